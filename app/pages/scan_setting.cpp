// Scan-type prompt.
#include "pages/scan_setting.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "settings_names.h"

CDlgScanSetting::CDlgScanSetting(CCorvaneSettings& settings, QWidget* parent)
    : QDialog(parent),
      m_settings(settings),
      m_quick(new QRadioButton(Corvane_Text("IDS_QUICK_SCAN"), this)),
      m_deep(new QRadioButton(Corvane_Text("IDS_DEEP_SCAN"), this)),
      m_dontShow(new QCheckBox(Corvane_Text("IDS_DONT_SHOW_AGAIN"), this)) {
  setObjectName(QStringLiteral("CDlgScanSetting"));
  setWindowTitle(Corvane_Text("IDS_SELECT_SCANTYPE"));
  m_quick->setObjectName(QStringLiteral("quick"));
  m_deep->setObjectName(QStringLiteral("deep"));
  m_dontShow->setObjectName(QStringLiteral("dontShow"));
  (settings.dword({}, kValueScanSettingType, 0) == 1 ? m_deep : m_quick)->setChecked(true);
  auto* makeDefault = new QPushButton(Corvane_Text("IDS_SET_DEFAULT"), this);
  makeDefault->setObjectName(QStringLiteral("makeDefault"));
  auto* scanNow = new QPushButton(Corvane_Text("IDS_SCAN_NOW"), this);
  scanNow->setObjectName(QStringLiteral("scanNow"));
  scanNow->setDefault(true);
  auto* cancel = new QPushButton(Corvane_Text("IDS_CANCEL"), this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_quick);
  layout->addWidget(m_deep);
  layout->addWidget(m_dontShow);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(makeDefault);
  buttons->addStretch(1);
  buttons->addWidget(scanNow);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(makeDefault, &QPushButton::clicked, this, [this] {
    m_settings.setDword({}, kValueScanSettingType, m_deep->isChecked() ? 1 : 0);
    (void)m_settings.sync();
  });
  connect(scanNow, &QPushButton::clicked, this, [this] {
    if (m_dontShow->isChecked()) {
      m_settings.setDword({}, kValueDontShowScanSettingNag, 1);
      (void)m_settings.sync();
    }
    accept();
  });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool CDlgScanSetting::deepScan() const { return m_deep->isChecked(); }
