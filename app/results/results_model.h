// The results tree's model: every file and folder the engine found, as one item range (files
// 0..F-1, folders F..F+D-1, then a synthetic root), with a 16-bit state word per item and flat
// child tables rebuilt when the filter changes. No per-row objects and no cached texts: cells are
// made from the engine's records when the view asks for them, so a million rows stay cheap.
#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <cstdint>
#include <vector>

#include "results/file_filter.h"
#include "results/result_records.h"

namespace results {

/// The letters A R H S C E of the set attribute bits, in that order.
[[nodiscard]] QString attributeLetters(std::uint8_t attributes);
/// A record's FILETIME as the local short date and time; empty for 0 (no time recorded).
[[nodiscard]] QString fileTimeText(std::uint64_t fileTime);

class ResultsModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  enum Column : int {
    Name,
    Extension,
    Location,
    Size,
    Modified,
    Attributes,
    State,
    Comment,
    kColumns
  };
  enum CheckMark : std::uint16_t { Unchecked = 0, Checked = 1, PartlyChecked = 2 };
  // State word bits.
  static constexpr std::uint16_t kVisible = 0x1;
  static constexpr std::uint16_t kCheckMask = 0x6;
  static constexpr std::uint16_t kExpanded = 0x8;
  /// Longest location text, in UTF-16 units with its terminator; a longer chain gives "".
  static constexpr qsizetype kLocationLimit = 4096;

  explicit ResultsModel(QObject* parent = nullptr);

  /// Takes the records of a finished scan and shows what @p rule lets through.
  void setRecords(ResultRecords records, const FilterRule& rule);
  /// Re-runs the filter over every item; check and expanded marks stay.
  void applyFilter(const FilterRule& rule);
  /// Drops every item (the records are no longer read afterwards).
  void clear();

  [[nodiscard]] std::uint32_t fileCount() const noexcept { return m_files; }
  [[nodiscard]] std::uint32_t folderCount() const noexcept { return m_folders; }
  [[nodiscard]] std::uint32_t rootItem() const noexcept { return m_files + m_folders; }
  [[nodiscard]] std::uint32_t visibleFiles() const noexcept { return m_visibleFiles; }
  [[nodiscard]] const ResultRecords& records() const noexcept { return m_records; }
  [[nodiscard]] const FilterRule& filterRule() const noexcept { return m_rule; }

  [[nodiscard]] std::uint32_t itemOf(const QModelIndex& index) const noexcept;
  /// The index of @p item in @p column; invalid when the item is not shown.
  [[nodiscard]] QModelIndex indexOfItem(std::uint32_t item, int column = 0) const;
  [[nodiscard]] bool isVisible(std::uint32_t item) const noexcept;
  [[nodiscard]] bool isShown(std::uint32_t item) const noexcept;
  [[nodiscard]] CheckMark checkMark(std::uint32_t item) const noexcept;
  [[nodiscard]] std::uint32_t parentItem(std::uint32_t item) const noexcept;

  /// The tree's check rule. Checking marks the item and every shown descendant, and every
  /// ancestor partly checked. Unchecking clears the item and all its descendants; an ancestor
  /// stays partly checked while any other descendant is marked, otherwise it is cleared.
  void setChecked(std::uint32_t item, bool checked);
  /// Marks every ancestor of @p item partly checked (a file that failed to recover).
  void markAncestorsPartly(std::uint32_t item);
  /// Clears the marks of checked folder items alone (their descendants keep theirs).
  void clearFolderChecks();
  /// Checked file indexes and checked folder indexes, in index order.
  [[nodiscard]] std::vector<std::uint32_t> checkedFiles() const;
  [[nodiscard]] std::vector<std::uint32_t> checkedFolders() const;
  [[nodiscard]] std::uint32_t deletedFiles() const noexcept { return m_deletedFiles; }

  void setExpanded(std::uint32_t item, bool expanded);
  /// Shown items marked expanded, parents before children (for the view to re-expand).
  [[nodiscard]] QModelIndexList expandedIndexes() const;

  /// Folder indexes from the root down to @p folder; empty for an unknown folder.
  [[nodiscard]] std::vector<std::uint32_t> folderChain(std::uint32_t folder) const;
  /// Location text of the folder chain ending at @p folder: each name followed by a backslash
  /// ("D:\Documents\"), the engine's own way of writing a listed path.
  [[nodiscard]] QString locationText(std::uint32_t folder) const;
  [[nodiscard]] QString fileName(std::uint32_t file) const;
  [[nodiscard]] QString folderName(std::uint32_t folder) const;
  [[nodiscard]] QString cellText(std::uint32_t item, int column) const;

  // QAbstractItemModel.
  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  [[nodiscard]] bool isDeleted(std::uint32_t item) const noexcept;
  [[nodiscard]] QString fileCell(std::uint32_t file, int column) const;
  [[nodiscard]] QString stateText(const FileRecord& r) const;
  [[nodiscard]] QString commentText(const FileRecord& r) const;
  void linkParents();
  void computeVisibility();
  void buildShownTables();
  void setMark(std::uint32_t item, CheckMark mark);
  void emitChecks(std::uint32_t item);

  ResultRecords m_records;
  FilterRule m_rule;
  std::uint32_t m_files = 0, m_folders = 0, m_visibleFiles = 0, m_deletedFiles = 0;
  std::vector<std::uint16_t> m_state;     // per item and the root
  std::vector<std::uint32_t> m_parent;    // per item: parent item, root() for none
  std::vector<std::uint32_t> m_allFirst;  // all children of item p: m_allChildren[first[p]..]
  std::vector<std::uint32_t> m_allChildren;
  std::vector<std::uint32_t> m_marked;      // per item: direct children checked or partly
  std::vector<std::uint32_t> m_firstChild;  // shown children of item p: m_children[first[p]..]
  std::vector<std::uint32_t> m_children;
  std::vector<std::uint32_t> m_rowInParent;
};

}  // namespace results
