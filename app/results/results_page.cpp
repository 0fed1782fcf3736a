// The results page.
#include "results/results_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "results/engine_records.h"

CCTree::CCTree(results::ResultsModel* model, QWidget* parent) : QTreeView(parent), m_model(model) {
  setObjectName(QStringLiteral("TreeNavigator"));
  setModel(model);
  setUniformRowHeights(true);  // rows are never measured one by one
  setSelectionMode(QAbstractItemView::SingleSelection);
  setAlternatingRowColors(true);
  header()->setStretchLastSection(true);
  header()->resizeSection(results::ResultsModel::Name, 260);
  header()->resizeSection(results::ResultsModel::Location, 200);
  header()->resizeSection(results::ResultsModel::State, 150);
  connect(this, &QTreeView::expanded, this,
          [this](const QModelIndex& i) { m_model->setExpanded(m_model->itemOf(i), true); });
  connect(this, &QTreeView::collapsed, this,
          [this](const QModelIndex& i) { m_model->setExpanded(m_model->itemOf(i), false); });
}

void CCTree::restoreExpanded() {
  for (const QModelIndex& i : m_model->expandedIndexes()) expand(i);
}

std::uint32_t CCTree::currentFile() const {
  const std::uint32_t item = m_model->itemOf(currentIndex());
  return item < m_model->fileCount() ? item : m_model->rootItem();
}

CDlgHardDriveResultScan::CDlgHardDriveResultScan(const EngineApi& api, Undelete* engine,
                                                 QWidget* parent)
    : CCorvanePage(parent),
      m_api(api),
      m_engine(engine),
      m_model(new results::ResultsModel(this)),
      m_tree(new CCTree(m_model, this)),
      m_count(new QLabel(this)) {
  setObjectName(QStringLiteral("CDlgHardDriveResultScan"));
  m_count->setObjectName(QStringLiteral("count"));
  auto* filter = new QPushButton(Corvane_Text("IDS_FILTER_BUTTON"), this);
  filter->setObjectName(QStringLiteral("filter"));
  m_preview = new QPushButton(Corvane_Text("IDS_PREVIEW"), this);
  m_preview->setObjectName(QStringLiteral("preview"));
  m_preview->setEnabled(false);
  auto* recover = new QPushButton(Corvane_Text("IDS_RECOVER"), this);
  recover->setObjectName(QStringLiteral("recover"));
  recover->setDefault(true);
  auto* settings = new QPushButton(Corvane_Text("IDS_FILTER_SETTINGS"), this);
  settings->setObjectName(QStringLiteral("filterSettings"));
  auto* again = new QPushButton(Corvane_Text("IDS_NEW_SCAN"), this);
  again->setObjectName(QStringLiteral("newScan"));

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(again);
  buttons->addWidget(filter);
  buttons->addWidget(settings);
  buttons->addWidget(m_count, 1);
  buttons->addWidget(m_preview);
  buttons->addWidget(recover);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_tree, 1);
  layout->addLayout(buttons);

  connect(filter, &QPushButton::clicked, this, &CDlgHardDriveResultScan::filterRequested);
  connect(settings, &QPushButton::clicked, this, &CDlgHardDriveResultScan::settingsRequested);
  connect(recover, &QPushButton::clicked, this, &CDlgHardDriveResultScan::recoverRequested);
  connect(again, &QPushButton::clicked, this, &CDlgHardDriveResultScan::newScanRequested);
  connect(m_preview, &QPushButton::clicked, this, [this] {
    const std::uint32_t file = m_tree->currentFile();
    if (file < m_model->fileCount()) emit previewRequested(file);
  });
  connect(m_tree, &QTreeView::doubleClicked, this, [this](const QModelIndex& i) {
    const std::uint32_t item = m_model->itemOf(i);
    if (item < m_model->fileCount()) emit previewRequested(item);
  });
  connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { m_preview->setEnabled(m_tree->currentFile() < m_model->fileCount()); });
}

void CDlgHardDriveResultScan::fill(const results::FilterRule& rule) {
  m_model->setRecords(Results_ReadEngine(m_api, m_engine), rule);
  // The drive roots open, so that the first thing seen is the volume's top folder.
  for (int row = 0; row < m_model->rowCount(); ++row) m_tree->expand(m_model->index(row, 0));
  m_tree->restoreExpanded();
  updateCount();
}

void CDlgHardDriveResultScan::applyFilter(const results::FilterRule& rule) {
  m_model->applyFilter(rule);
  m_tree->restoreExpanded();
  updateCount();
}

void CDlgHardDriveResultScan::clearItems() {
  m_model->clear();
  updateCount();
}

void CDlgHardDriveResultScan::reset() {
  clearItems();  // first: the model must not read records the engine is about to release
  (void)m_api.Undelete_Done(m_engine);
}

QString CDlgHardDriveResultScan::countText() const { return m_count->text(); }

void CDlgHardDriveResultScan::updateCount() {
  m_count->setText(Corvane_Text("IDS_FILES_SHOWN").arg(m_model->visibleFiles()));
  m_preview->setEnabled(m_tree->currentFile() < m_model->fileCount());
}
