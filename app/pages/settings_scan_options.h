// Scan settings page: the three content-check options, the default scan type, the prompt.
#pragma once

#include "corvane_dialog.h"

class QCheckBox;
class QRadioButton;
class CUndeleteDlg;

class CDlgSettingsScanOptions : public CCorvanePage {
  Q_OBJECT
 public:
  explicit CDlgSettingsScanOptions(CUndeleteDlg& dlg, QWidget* parent = nullptr);
  void enterPage() override;
  /// Writes the options file and both values; confirms with @p confirmKey. False (with a message)
  /// when the options file cannot be written.
  bool apply(const char* confirmKey = "IDS_SETTING_APPLIED");
  /// Clears the three boxes, selects quick scan, applies.
  void restoreDefaults();

 private:
  void updateEnabled();
  CUndeleteDlg& m_dlg;
  QCheckBox* m_testExtension;
  QCheckBox* m_renameExtension;
  QCheckBox* m_testAll;
  QRadioButton* m_quick;
  QRadioButton* m_deep;
  QCheckBox* m_askScanType;
};
