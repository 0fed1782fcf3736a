// The results tree's model: item tables, filter pass, check rule and cell texts.
#include "results/results_model.h"

#include <QApplication>
#include <QBrush>
#include <QDateTime>
#include <QLocale>
#include <QStyle>
#include <QTimeZone>
#include <algorithm>

namespace results {
namespace {

// State word bits of our own, above the four the tree keeps.
constexpr std::uint16_t kShown = 0x10;     // visible and every ancestor visible: the view has it
constexpr std::uint16_t kMarkPass = 0x20;  // scratch bit of the ancestor pass

constexpr std::uint8_t kReplacedMark = 0x01;
constexpr int kFolderAttrShift = 16;

QString fromUtf16(std::u16string_view s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

QString attributeLetters(std::uint8_t attributes) {
  static constexpr char kLetters[] = "ARHSCE";
  QString out;
  for (int k = 0; k < 6; ++k)
    if ((attributes & (1u << k)) != 0) out.append(QLatin1Char(kLetters[k]));
  return out;
}

QString fileTimeText(std::uint64_t fileTime) {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  if (!UndeleteFileTimeToUnix(fileTime, &seconds, &nanoseconds)) return {};
  // Record times are the volume's wall-clock time already: shown as they are, not shifted again.
  const QDateTime t = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
  const QLocale locale;
  return locale.toString(t.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(t.time(), QLocale::ShortFormat);
}

ResultsModel::ResultsModel(QObject* parent) : QAbstractItemModel(parent) { clear(); }

void ResultsModel::clear() {
  beginResetModel();
  m_records = {};
  m_files = m_folders = m_visibleFiles = m_deletedFiles = 0;
  m_state.assign(1, kShown);
  m_parent.clear();
  m_allFirst.assign(2, 0);
  m_allChildren.clear();
  m_marked.assign(1, 0);
  m_firstChild.assign(2, 0);
  m_children.clear();
  m_rowInParent.clear();
  endResetModel();
}

void ResultsModel::setRecords(ResultRecords records, const FilterRule& rule) {
  beginResetModel();
  m_records = std::move(records);
  m_rule = rule;
  m_files = static_cast<std::uint32_t>(m_records.files.size());
  m_folders = static_cast<std::uint32_t>(m_records.folders.size());
  const std::uint32_t n = m_files + m_folders;
  m_state.assign(n + 1, 0);
  m_marked.assign(n + 1, 0);
  m_deletedFiles = 0;
  for (const FileRecord* r : m_records.files)
    if ((r->status & kStatusExisting) == 0) ++m_deletedFiles;
  linkParents();
  computeVisibility();
  buildShownTables();
  endResetModel();
}

void ResultsModel::applyFilter(const FilterRule& rule) {
  beginResetModel();
  m_rule = rule;
  computeVisibility();
  buildShownTables();
  endResetModel();
}

void ResultsModel::linkParents() {
  const std::uint32_t n = m_files + m_folders, root = n;
  m_parent.assign(n, root);
  for (std::uint32_t j = 0; j < m_folders; ++j) {
    const std::uint32_t p = m_records.folders[j]->parent.get();
    if (p < m_folders && p != j) m_parent[m_files + j] = m_files + p;
  }
  // A damaged session can link folders in a loop: cut each loop where the walk meets it, so that
  // every chain ends at the root.
  std::vector<std::uint8_t> colour(m_folders, 0);  // 0 new, 1 on the current walk, 2 done
  std::vector<std::uint32_t> walk;
  for (std::uint32_t j = 0; j < m_folders; ++j) {
    std::uint32_t at = j;
    walk.clear();
    while (colour[at] == 0) {
      colour[at] = 1;
      walk.push_back(at);
      const std::uint32_t p = m_parent[m_files + at];
      if (p == root) break;
      at = p - m_files;
      if (colour[at] == 1) {
        m_parent[m_files + walk.back()] = root;
        break;
      }
    }
    for (const std::uint32_t w : walk) colour[w] = 2;
  }
  for (std::uint32_t i = 0; i < m_files; ++i) {
    const std::uint32_t f = m_records.files[i]->folder.get();
    if (f < m_folders) m_parent[i] = m_files + f;
  }
  // All children of each item, folders before files, each in index order.
  m_allFirst.assign(n + 2, 0);
  for (std::uint32_t item = 0; item < n; ++item) ++m_allFirst[m_parent[item] + 1];
  for (std::uint32_t p = 0; p <= n; ++p) m_allFirst[p + 1] += m_allFirst[p];
  m_allChildren.assign(n, 0);
  std::vector<std::uint32_t> fill(m_allFirst.begin(), m_allFirst.end() - 1);
  for (std::uint32_t j = 0; j < m_folders; ++j)
    m_allChildren[fill[m_parent[m_files + j]]++] = m_files + j;
  for (std::uint32_t i = 0; i < m_files; ++i) m_allChildren[fill[m_parent[i]]++] = i;
}

void ResultsModel::computeVisibility() {
  const FileFilter filter(m_rule);
  const std::uint32_t root = rootItem();
  const bool deletedOnly = m_rule.deletedOnly();
  m_visibleFiles = 0;
  for (std::uint32_t j = 0; j < m_folders; ++j) {
    const std::uint32_t flags = m_records.folders[j]->flags.get();
    const bool visible =
        ((flags & kFolderDeleted) != 0 || !deletedOnly) && (flags & kFolderHidden) == 0;
    std::uint16_t& s = m_state[m_files + j];
    s = static_cast<std::uint16_t>((s & ~(kVisible | kShown | kMarkPass)) |
                                   (visible ? kVisible : 0));
  }
  for (std::uint32_t i = 0; i < m_files; ++i) {
    const FileRecord& r = *m_records.files[i];
    const bool visible = (r.marks.get() & kReplacedMark) == 0 &&
                         filter.keeps(r, [&] { return m_records.text(r.name.get()); });
    m_state[i] =
        static_cast<std::uint16_t>((m_state[i] & ~(kVisible | kShown)) | (visible ? kVisible : 0));
    if (!visible) continue;
    ++m_visibleFiles;
    if ((r.status & kStatusExisting) != 0) continue;
    // A deleted file the filter keeps brings its folders with it (a hidden folder stays hidden).
    for (std::uint32_t p = m_parent[i]; p != root && (m_state[p] & kMarkPass) == 0;
         p = m_parent[p]) {
      m_state[p] |= kMarkPass;
      if ((m_records.folders[p - m_files]->flags.get() & kFolderHidden) == 0)
        m_state[p] |= kVisible;
    }
  }
  for (std::uint32_t j = 0; j < m_folders; ++j)
    m_state[m_files + j] &= static_cast<std::uint16_t>(~kMarkPass);
}

void ResultsModel::buildShownTables() {
  const std::uint32_t n = rootItem();
  // Shown: visible with every ancestor visible. Parents come before children in a walk from the
  // root over the full child table.
  m_state[n] |= kShown;
  std::vector<std::uint32_t> stack{n};
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    for (std::uint32_t k = m_allFirst[p]; k < m_allFirst[p + 1]; ++k) {
      const std::uint32_t c = m_allChildren[k];
      if ((m_state[c] & kVisible) == 0) continue;
      m_state[c] |= kShown;
      if (c >= m_files) stack.push_back(c);
    }
  }
  m_firstChild.assign(n + 2, 0);
  m_children.clear();
  m_children.reserve(n);
  m_rowInParent.assign(n, 0);
  for (std::uint32_t p = 0; p <= n; ++p) {
    m_firstChild[p] = static_cast<std::uint32_t>(m_children.size());
    if ((m_state[p] & kShown) == 0 || (p < m_files)) continue;
    for (std::uint32_t k = m_allFirst[p]; k < m_allFirst[p + 1]; ++k) {
      const std::uint32_t c = m_allChildren[k];
      if ((m_state[c] & kShown) == 0) continue;
      m_rowInParent[c] = static_cast<std::uint32_t>(m_children.size()) - m_firstChild[p];
      m_children.push_back(c);
    }
  }
  m_firstChild[n + 1] = static_cast<std::uint32_t>(m_children.size());
}

std::uint32_t ResultsModel::itemOf(const QModelIndex& index) const noexcept {
  return index.isValid() ? static_cast<std::uint32_t>(index.internalId()) : rootItem();
}

QModelIndex ResultsModel::indexOfItem(std::uint32_t item, int column) const {
  if (item >= rootItem() || (m_state[item] & kShown) == 0) return {};
  return createIndex(static_cast<int>(m_rowInParent[item]), column, quintptr{item});
}

bool ResultsModel::isVisible(std::uint32_t item) const noexcept {
  return item < rootItem() && (m_state[item] & kVisible) != 0;
}

bool ResultsModel::isShown(std::uint32_t item) const noexcept {
  return item < rootItem() && (m_state[item] & kShown) != 0;
}

ResultsModel::CheckMark ResultsModel::checkMark(std::uint32_t item) const noexcept {
  if (item > rootItem()) return Unchecked;
  return static_cast<CheckMark>((m_state[item] & kCheckMask) >> 1);
}

std::uint32_t ResultsModel::parentItem(std::uint32_t item) const noexcept {
  return item < rootItem() ? m_parent[item] : rootItem();
}

bool ResultsModel::isDeleted(std::uint32_t item) const noexcept {
  if (item < m_files) return (m_records.files[item]->status & kStatusExisting) == 0;
  return item < rootItem() &&
         (m_records.folders[item - m_files]->flags.get() & kFolderDeleted) != 0;
}

// --- Check marks --------------------------------------------------------------------------------

void ResultsModel::setMark(std::uint32_t item, CheckMark mark) {
  const CheckMark old = checkMark(item);
  if (old == mark) return;
  m_state[item] = static_cast<std::uint16_t>((m_state[item] & ~kCheckMask) | (mark << 1));
  if (item == rootItem()) return;
  std::uint32_t& count = m_marked[m_parent[item]];
  if (old == Unchecked) ++count;
  if (mark == Unchecked) --count;
}

void ResultsModel::setChecked(std::uint32_t item, bool checked) {
  if (item >= rootItem()) return;
  std::vector<std::uint32_t> stack{item};
  if (checked) {
    // What the filter hides is not chosen by checking a folder: only what the user sees.
    setMark(item, Checked);
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      for (std::uint32_t k = m_firstChild[p]; k < m_firstChild[p + 1]; ++k) {
        setMark(m_children[k], Checked);
        stack.push_back(m_children[k]);
      }
    }
    for (std::uint32_t a = m_parent[item]; a != rootItem(); a = m_parent[a])
      setMark(a, PartlyChecked);
  } else {
    // Unchecking clears everything below, shown or not, so nothing hidden stays chosen under it.
    setMark(item, Unchecked);
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      if (m_marked[p] == 0) continue;
      for (std::uint32_t k = m_allFirst[p]; k < m_allFirst[p + 1]; ++k) {
        setMark(m_allChildren[k], Unchecked);
        stack.push_back(m_allChildren[k]);
      }
    }
    for (std::uint32_t a = m_parent[item]; a != rootItem(); a = m_parent[a])
      setMark(a, m_marked[a] != 0 ? PartlyChecked : Unchecked);
  }
  emitChecks(item);
}

void ResultsModel::markAncestorsPartly(std::uint32_t item) {
  if (item >= rootItem()) return;
  for (std::uint32_t a = m_parent[item]; a != rootItem(); a = m_parent[a]) {
    setMark(a, PartlyChecked);
    const QModelIndex i = indexOfItem(a);
    if (i.isValid()) emit dataChanged(i, i, {Qt::CheckStateRole});
  }
}

void ResultsModel::clearFolderChecks() {
  for (std::uint32_t j = 0; j < m_folders; ++j) {
    const std::uint32_t item = m_files + j;
    if (checkMark(item) != Checked) continue;
    setMark(item, Unchecked);
    const QModelIndex i = indexOfItem(item);
    if (i.isValid()) emit dataChanged(i, i, {Qt::CheckStateRole});
  }
}

void ResultsModel::emitChecks(std::uint32_t item) {
  // One signal for the item and each ancestor, and one per run of shown siblings below it.
  for (std::uint32_t a = item; a != rootItem(); a = m_parent[a]) {
    const QModelIndex i = indexOfItem(a);
    if (i.isValid()) emit dataChanged(i, i, {Qt::CheckStateRole});
  }
  if ((m_state[item] & kShown) == 0) return;
  std::vector<std::uint32_t> stack{item};
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    const std::uint32_t first = m_firstChild[p], last = m_firstChild[p + 1];
    if (first == last) continue;
    emit dataChanged(indexOfItem(m_children[first]), indexOfItem(m_children[last - 1]),
                     {Qt::CheckStateRole});
    for (std::uint32_t k = first; k < last; ++k)
      if (m_children[k] >= m_files) stack.push_back(m_children[k]);
  }
}

std::vector<std::uint32_t> ResultsModel::checkedFiles() const {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = 0; i < m_files; ++i)
    if (checkMark(i) == Checked) out.push_back(i);
  return out;
}

std::vector<std::uint32_t> ResultsModel::checkedFolders() const {
  std::vector<std::uint32_t> out;
  for (std::uint32_t j = 0; j < m_folders; ++j)
    if (checkMark(m_files + j) == Checked) out.push_back(j);
  return out;
}

void ResultsModel::setExpanded(std::uint32_t item, bool expanded) {
  if (item >= rootItem()) return;
  if (expanded)
    m_state[item] |= kExpanded;
  else
    m_state[item] &= static_cast<std::uint16_t>(~kExpanded);
}

QModelIndexList ResultsModel::expandedIndexes() const {
  QModelIndexList out;
  std::vector<std::uint32_t> stack{rootItem()};
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    for (std::uint32_t k = m_firstChild[p]; k < m_firstChild[p + 1]; ++k) {
      const std::uint32_t c = m_children[k];
      if (c < m_files || (m_state[c] & kExpanded) == 0) continue;
      out.append(indexOfItem(c));
      stack.push_back(c);
    }
  }
  return out;
}

// --- Texts --------------------------------------------------------------------------------------

std::vector<std::uint32_t> ResultsModel::folderChain(std::uint32_t folder) const {
  std::vector<std::uint32_t> chain;
  if (folder >= m_folders) return chain;
  for (std::uint32_t item = m_files + folder; item != rootItem(); item = m_parent[item])
    chain.push_back(item - m_files);
  std::reverse(chain.begin(), chain.end());
  return chain;
}

QString ResultsModel::locationText(std::uint32_t folder) const {
  QString out;
  for (const std::uint32_t j : folderChain(folder)) {
    out += folderName(j);
    out += QLatin1Char('\\');
    if (out.size() >= kLocationLimit) return {};
  }
  return out;
}

QString ResultsModel::fileName(std::uint32_t file) const {
  if (file >= m_files) return {};
  return fromUtf16(m_records.text(m_records.files[file]->name.get()));
}

QString ResultsModel::folderName(std::uint32_t folder) const {
  if (folder >= m_folders) return {};
  return fromUtf16(m_records.text(m_records.folders[folder]->name.get()));
}

QString ResultsModel::stateText(const FileRecord& r) const {
  if ((r.status & kStatusExisting) != 0) return QStringLiteral("Exists");
  const char* name = m_records.stateName ? m_records.stateName(stateOf(r)) : nullptr;
  QString out = QString::fromUtf8(name != nullptr ? name : "");
  if ((r.stateOnly & 1) == 0)
    out += QStringLiteral(" (%1 / %2)").arg(r.overwrittenClusters.get()).arg(r.totalClusters.get());
  return out;
}

QString ResultsModel::commentText(const FileRecord& r) const {
  QString out;
  const std::u16string_view note = m_records.text(r.note.get());
  if (!note.empty()) out += fromUtf16(note) + QLatin1Char(' ');
  bool wrote = false;
  const std::uint32_t by = r.overwrittenBy.get();
  if (by == 0xFFFFFFFEu) {
    out += QStringLiteral("This file is overwritten by other file system, ");
    wrote = true;
  } else if (by < m_files) {
    const FileRecord& other = *m_records.files[by];
    out += QStringLiteral("This file is overwritten with '%1', ")
               .arg(locationText(other.folder.get()) + fileName(by));
    wrote = true;
  }
  const std::uint64_t overwritten = r.overwrittenClusters.get();
  if (overwritten != 0 && r.firstOverwritten[0].get() != UINT64_MAX) {
    int valid = 1;
    while (valid < 3 && r.firstOverwritten[valid].get() != UINT64_MAX) ++valid;
    out += QStringLiteral("%1 first overwritten clusters of %2 are: %3")
               .arg(valid)
               .arg(overwritten)
               .arg(r.firstOverwritten[0].get());
    for (int k = 1; k < valid; ++k) out += QStringLiteral(", %1").arg(r.firstOverwritten[k].get());
    out += QStringLiteral(". ");
    wrote = true;
  }
  if (!wrote && note.empty()) out += QStringLiteral("No overwritten clusters detected. ");
  return out;
}

QString ResultsModel::fileCell(std::uint32_t file, int column) const {
  const FileRecord& r = *m_records.files[file];
  switch (column) {
    case Name:
      return fileName(file);
    case Extension: {
      const QString name = fileName(file);
      const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
      return dot < 0 ? QString() : name.mid(dot + 1);
    }
    case Location:
      return locationText(r.folder.get());
    case Size:
      return m_records.sizeText ? m_records.sizeText(r.size.get()) : QString::number(r.size.get());
    case Modified:
      return fileTimeText(r.modified.get());
    case Attributes:
      return attributeLetters(r.attributes);
    case State:
      return stateText(r);
    case Comment:
      return commentText(r);
    default:
      return {};
  }
}

QString ResultsModel::cellText(std::uint32_t item, int column) const {
  if (item < m_files) return fileCell(item, column);
  if (item >= rootItem()) return {};
  const std::uint32_t folder = item - m_files;
  if (column == Name) return folderName(folder);
  if (column == Attributes)
    return attributeLetters(
        static_cast<std::uint8_t>(m_records.folders[folder]->flags.get() >> kFolderAttrShift));
  return {};
}

// --- QAbstractItemModel -------------------------------------------------------------------------

QModelIndex ResultsModel::index(int row, int column, const QModelIndex& parent) const {
  if (!hasIndex(row, column, parent)) return {};
  const std::uint32_t p = itemOf(parent);
  return createIndex(row, column,
                     quintptr{m_children[m_firstChild[p] + static_cast<std::uint32_t>(row)]});
}

QModelIndex ResultsModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const std::uint32_t p = m_parent[itemOf(child)];
  return p == rootItem() ? QModelIndex()
                         : createIndex(static_cast<int>(m_rowInParent[p]), 0, quintptr{p});
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const std::uint32_t p = itemOf(parent);
  if (p < m_files) return 0;
  return static_cast<int>(m_firstChild[p + 1] - m_firstChild[p]);
}

int ResultsModel::columnCount(const QModelIndex&) const { return kColumns; }

bool ResultsModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const std::uint32_t item = itemOf(index);
  switch (role) {
    case Qt::DisplayRole:
      return cellText(item, index.column());
    case Qt::CheckStateRole:
      if (index.column() != Name) return {};
      switch (checkMark(item)) {
        case Checked:
          return int(Qt::Checked);
        case PartlyChecked:
          return int(Qt::PartiallyChecked);
        default:
          return int(Qt::Unchecked);
      }
    case Qt::ForegroundRole:
      if (index.column() == Name && isDeleted(item)) return QBrush(Qt::red);
      return {};
    case Qt::DecorationRole:
      if (index.column() != Name) return {};
      return QApplication::style()->standardIcon(item < m_files ? QStyle::SP_FileIcon
                                                                : QStyle::SP_DirIcon);
    default:
      return {};
  }
}

bool ResultsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || index.column() != Name) return false;
  setChecked(itemOf(index), static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked);
  return true;
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == Name) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kNames[kColumns] = {"File name",     "Extension", "Location", "Size",
                                               "Last modified", "Attribute", "State",    "Comment"};
  return section >= 0 && section < kColumns ? QString::fromLatin1(kNames[section]) : QVariant();
}

}  // namespace results
