// Welcome page: what to scan (the category list and the drive box), "Open disk image...", the
// last interrupted session, the last scan's status, "Scan now".
#pragma once

#include "corvane_dialog.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class CCCategoryList;
class CUndeleteDlg;

class CDlgHardDriveWelcome : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CDlgHardDriveWelcome(CUndeleteDlg& dlg, QWidget* parent = nullptr);
  void enterPage() override;
  /// Shows the dialog's drive list again (after it changed).
  void refreshDrives();
  /// Chooses drive @p index of the dialog's list.
  void choose(int index);

  [[nodiscard]] CCCategoryList* categoryList() const { return m_list; }
  [[nodiscard]] QComboBox* driveBox() const { return m_drive; }
  [[nodiscard]] QCheckBox* lastSessionBox() const { return m_lastSession; }
  [[nodiscard]] QPushButton* scanNowButton() const { return m_scanNow; }

 public slots:
  void scanNow();
  void openImage();

 private:
  CUndeleteDlg& m_dlg;
  CCCategoryList* m_list;
  QComboBox* m_drive;
  QCheckBox* m_lastSession;
  QLabel* m_sessionText;
  QLabel* m_status1;
  QLabel* m_status2;
  QLabel* m_restored;
  QPushButton* m_scanNow;
};
