// Scan-type prompt shown before a scan: quick or deep, "do not show again", "make default".
#pragma once

#include <QDialog>

class QCheckBox;
class QRadioButton;
class CCorvaneSettings;

class CDlgScanSetting : public QDialog {
  Q_OBJECT
 public:
  CDlgScanSetting(CCorvaneSettings& settings, QWidget* parent = nullptr);
  /// The choice when the dialog was accepted with "Scan now".
  [[nodiscard]] bool deepScan() const;
  QRadioButton* quickButton() const { return m_quick; }
  QRadioButton* deepButton() const { return m_deep; }
  QCheckBox* dontShowBox() const { return m_dontShow; }

 private:
  CCorvaneSettings& m_settings;
  QRadioButton* m_quick;
  QRadioButton* m_deep;
  QCheckBox* m_dontShow;
};
