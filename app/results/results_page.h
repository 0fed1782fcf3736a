// The results page: the tree of everything the scan found, its filter, and the way into a
// recovery or a preview.
#pragma once

#include <QTreeView>

#include "corvane_dialog.h"
#include "engine_api.h"
#include "results/results_model.h"

class QLabel;
class QPushButton;

/// The tree list: a view over ResultsModel that keeps the model's expanded marks.
class CCTree : public QTreeView {
  Q_OBJECT
 public:
  explicit CCTree(results::ResultsModel* model, QWidget* parent = nullptr);
  /// Expands the items the model marks expanded (after a fill or a re-filter).
  void restoreExpanded();
  /// The file item of the current row; the model's root item when the row is no file.
  [[nodiscard]] std::uint32_t currentFile() const;

 private:
  results::ResultsModel* m_model;
};

class CDlgHardDriveResultScan : public CCorvanePage {
  Q_OBJECT
 public:
  CDlgHardDriveResultScan(const EngineApi& api, Undelete* engine, QWidget* parent = nullptr);

  /// Reads the engine's records of the finished scan and shows what @p rule lets through.
  void fill(const results::FilterRule& rule);
  /// Re-runs the filter over every item with @p rule.
  void applyFilter(const results::FilterRule& rule);
  /// Empties the tree and releases the engine's lists (Undelete_Done).
  void reset();
  /// Empties the tree without touching the engine (before a scan, which drops its lists itself).
  void clearItems();

  [[nodiscard]] results::ResultsModel* model() const { return m_model; }
  [[nodiscard]] CCTree* tree() const { return m_tree; }
  /// "N files shown" (the visible files of the last fill or filter).
  [[nodiscard]] QString countText() const;

 signals:
  void filterRequested();
  void settingsRequested();
  void recoverRequested();
  void previewRequested(std::uint32_t file);
  void newScanRequested();

 private:
  void updateCount();

  const EngineApi& m_api;
  Undelete* m_engine;
  results::ResultsModel* m_model;
  CCTree* m_tree;
  QLabel* m_count;
  QPushButton* m_preview;
};
