// Scan settings page.
#include "pages/settings_scan_options.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "message_box.h"
#include "settings_names.h"
#include "undelete_dlg.h"

CDlgSettingsScanOptions::CDlgSettingsScanOptions(CUndeleteDlg& dlg, QWidget* parent)
    : CCorvanePage(parent),
      m_dlg(dlg),
      m_testExtension(new QCheckBox(Corvane_Text("IDS_OPT_TEST_EXTENSION"), this)),
      m_renameExtension(new QCheckBox(Corvane_Text("IDS_OPT_RENAME_EXTENSION"), this)),
      m_testAll(new QCheckBox(Corvane_Text("IDS_OPT_TEST_ALL"), this)),
      m_quick(new QRadioButton(Corvane_Text("IDS_QUICK_SCAN"), this)),
      m_deep(new QRadioButton(Corvane_Text("IDS_DEEP_SCAN"), this)),
      m_askScanType(new QCheckBox(Corvane_Text("IDS_OPT_SHOW_SCANTYPE"), this)) {
  setObjectName(QStringLiteral("CDlgSettingsScanOptions"));
  m_testExtension->setObjectName(QStringLiteral("testExtension"));
  m_renameExtension->setObjectName(QStringLiteral("renameExtension"));
  m_testAll->setObjectName(QStringLiteral("testAll"));
  m_quick->setObjectName(QStringLiteral("quick"));
  m_deep->setObjectName(QStringLiteral("deep"));
  m_askScanType->setObjectName(QStringLiteral("askScanType"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_testExtension);
  auto* indented = new QVBoxLayout;
  indented->setContentsMargins(24, 0, 0, 0);
  indented->addWidget(m_renameExtension);
  indented->addWidget(m_testAll);
  layout->addLayout(indented);
  auto* type = new QGroupBox(Corvane_Text("IDS_OPT_SCAN_TYPE"), this);
  auto* typeLayout = new QVBoxLayout(type);
  typeLayout->addWidget(m_quick);
  typeLayout->addWidget(m_deep);
  layout->addWidget(type);
  layout->addWidget(m_askScanType);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  auto* back = new QPushButton(Corvane_Text("IDS_BACK"), this);
  auto* defaults = new QPushButton(Corvane_Text("IDS_DEFAULTS"), this);
  auto* applyButton = new QPushButton(Corvane_Text("IDS_APPLY"), this);
  back->setObjectName(QStringLiteral("back"));
  defaults->setObjectName(QStringLiteral("defaults"));
  applyButton->setObjectName(QStringLiteral("apply"));
  buttons->addWidget(back);
  buttons->addStretch(1);
  buttons->addWidget(defaults);
  buttons->addWidget(applyButton);
  layout->addLayout(buttons);
  connect(m_testExtension, &QCheckBox::clicked, this, [this](bool on) {
    updateEnabled();
    if (on) Corvane_MessageOk(this, Corvane_Text("IDS_MESSAGE_CHECK_HEADER"));
  });
  connect(back, &QPushButton::clicked, &m_dlg, &CUndeleteDlg::showWelcome);
  connect(defaults, &QPushButton::clicked, this, &CDlgSettingsScanOptions::restoreDefaults);
  connect(applyButton, &QPushButton::clicked, this, [this] { (void)apply(); });
}

void CDlgSettingsScanOptions::enterPage() {
  const uint32_t flags = m_dlg.options().flags.get();
  m_testExtension->setChecked((flags & kOptScanTestExtension) != 0);
  m_renameExtension->setChecked((flags & kOptScanRenameExtension) != 0);
  m_testAll->setChecked((flags & kOptScanTestAll) != 0);
  const CCorvaneSettings& s = m_dlg.settings();
  (s.dword({}, kValueScanSettingType, 0) == 1 ? m_deep : m_quick)->setChecked(true);
  m_askScanType->setChecked(s.dword({}, kValueDontShowScanSettingNag, 0) == 0);
  updateEnabled();
}

void CDlgSettingsScanOptions::updateEnabled() {
  m_renameExtension->setEnabled(m_testExtension->isChecked());
  m_testAll->setEnabled(m_testExtension->isChecked());
}

bool CDlgSettingsScanOptions::apply(const char* confirmKey) {
  ScanFilterOptions& o = m_dlg.options();
  uint32_t flags =
      o.flags.get() & ~(kOptScanTestExtension | kOptScanRenameExtension | kOptScanTestAll);
  if (m_testExtension->isChecked()) flags |= kOptScanTestExtension;
  if (m_renameExtension->isChecked()) flags |= kOptScanRenameExtension;
  if (m_testAll->isChecked()) flags |= kOptScanTestAll;
  o.flags.set(flags);
  CCorvaneSettings& s = m_dlg.settings();
  s.setDword({}, kValueScanSettingType, m_deep->isChecked() ? 1 : 0);
  s.setDword({}, kValueDontShowScanSettingNag, m_askScanType->isChecked() ? 0 : 1);
  (void)s.sync();
  QString error;
  if (!m_dlg.saveOptions(&error)) {
    Corvane_MessageOk(this, Corvane_Text("IDS_SETTINGS_NOT_SAVED").arg(error));
    return false;
  }
  Corvane_MessageOk(this, Corvane_Text(confirmKey));
  return true;
}

void CDlgSettingsScanOptions::restoreDefaults() {
  m_testExtension->setChecked(false);
  m_renameExtension->setChecked(false);
  m_testAll->setChecked(false);
  m_quick->setChecked(true);
  updateEnabled();
  (void)apply("IDS_DEFAULT_SETTING_APPLIED");
}
