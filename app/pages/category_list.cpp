// Category list.
#include "pages/category_list.h"

#include <QHeaderView>

#include "corvane_app.h"

namespace {
constexpr int kIndexRole = Qt::UserRole + 1;
constexpr const char* kCategoryKeys[kDriveCategoryCount] = {
    "IDS_CATEGORY_HARD_DRIVE", "IDS_CATEGORY_CD_DVD", "IDS_CATEGORY_REMOVABLE",
    "IDS_CATEGORY_PARTITIONS"};
}  // namespace

CCCategoryList::CCCategoryList(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("CategoryList"));
  setColumnCount(1);
  header()->hide();
  setRootIsDecorated(true);
  setUniformRowHeights(true);
  for (const char* key : kCategoryKeys) {
    auto* category = new QTreeWidgetItem(this, {Corvane_Text(key)});
    category->setData(0, kIndexRole, -1);
    category->setFlags(Qt::ItemIsEnabled);
    QFont f = category->font(0);
    f.setBold(true);
    category->setFont(0, f);
  }
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    const int index = item != nullptr ? item->data(0, kIndexRole).toInt() : -1;
    if (index >= 0) emit chosen(index);
  });
  connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    const int index = item->data(0, kIndexRole).toInt();
    if (index >= 0) emit activatedDrive(index);
  });
}

void CCCategoryList::setItems(const std::vector<DriveItem>& items) {
  for (int c = 0; c < kDriveCategoryCount; ++c) qDeleteAll(topLevelItem(c)->takeChildren());
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto* item =
        new QTreeWidgetItem(topLevelItem(static_cast<int>(items[i].category)), {items[i].text});
    item->setData(0, kIndexRole, static_cast<int>(i));
    item->setToolTip(0, items[i].text);
  }
  expandAll();
}

int CCCategoryList::chosenIndex() const {
  const QTreeWidgetItem* item = currentItem();
  return item != nullptr ? item->data(0, kIndexRole).toInt() : -1;
}

void CCCategoryList::choose(int index) {
  for (int c = 0; c < kDriveCategoryCount; ++c) {
    QTreeWidgetItem* category = topLevelItem(c);
    for (int i = 0; i < category->childCount(); ++i)
      if (category->child(i)->data(0, kIndexRole).toInt() == index) {
        setCurrentItem(category->child(i));
        return;
      }
  }
}

QStringList CCCategoryList::texts(DriveCategory category) const {
  QStringList out;
  const QTreeWidgetItem* c = topLevelItem(static_cast<int>(category));
  for (int i = 0; i < c->childCount(); ++i) out << c->child(i)->text(0);
  return out;
}
