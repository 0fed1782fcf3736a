// The category list of the welcome page: "Hard drive", "CD/DVD", "Removable", "Partitions", each
// with its drives. An item carries its display text and its index in the drive list.
#pragma once

#include <QTreeWidget>
#include <vector>

#include "drive_list.h"

class CCCategoryList : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CCCategoryList(QWidget* parent = nullptr);
  /// Shows @p items under their categories (the list keeps the index into @p items).
  void setItems(const std::vector<DriveItem>& items);
  /// Index of the chosen drive in the list given to setItems(); -1 when a category or nothing is
  /// chosen.
  [[nodiscard]] int chosenIndex() const;
  /// Chooses drive @p index.
  void choose(int index);
  /// The texts under category @p category, in order.
  [[nodiscard]] QStringList texts(DriveCategory category) const;

 signals:
  void chosen(int index);
  void activatedDrive(int index);
};
