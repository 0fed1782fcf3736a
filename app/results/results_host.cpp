// The results side of the main dialog.
#include "results/results_host.h"

#include "corvane_app.h"
#include "message_box.h"
#include "recovery/recovery_flow.h"
#include "recovery/recovery_pages.h"
#include "results/engine_records.h"
#include "results/filter_dialog.h"
#include "results/results_page.h"
#include "undelete_dlg.h"

CResultsHost::CResultsHost(CUndeleteDlg& dlg)
    : QObject(&dlg),
      m_dlg(dlg),
      m_results(new CDlgHardDriveResultScan(dlg.api(), dlg.engine(), &dlg)),
      m_filterSettings(new CDlgSettingsFilterOptions(&dlg)),
      m_restoring(new CDlgHardDriveRestoring(&dlg)),
      m_finish(new CDlgHardDriveFinish(&dlg)),
      m_flow(new CRecoveryFlow(dlg.api(), dlg.engine(), &dlg, dlg.settings(), m_results,
                               m_restoring, m_finish)) {
  setObjectName(QStringLiteral("CResultsHost"));
  for (QWidget* page :
       std::initializer_list<QWidget*>{m_results, m_filterSettings, m_restoring, m_finish})
    dlg.addPage(page);

  connect(m_results, &CDlgHardDriveResultScan::filterRequested, this, &CResultsHost::editFilter);
  connect(m_results, &CDlgHardDriveResultScan::settingsRequested, this, [this] {
    m_filterSettings->load(Results_RuleOf(m_dlg.options()));
    m_dlg.showPage(m_filterSettings);
  });
  connect(m_results, &CDlgHardDriveResultScan::recoverRequested, m_flow,
          &CRecoveryFlow::recoverChecked);
  connect(m_results, &CDlgHardDriveResultScan::previewRequested, m_flow, &CRecoveryFlow::preview);
  // Leaving the results releases the engine's lists: a new scan starts from the welcome page.
  auto newScan = [this] {
    m_results->reset();
    m_dlg.showWelcome();
  };
  connect(m_results, &CDlgHardDriveResultScan::newScanRequested, this, newScan);
  connect(m_finish, &CDlgHardDriveFinish::finishRequested, this, newScan);
  connect(m_finish, &CDlgHardDriveFinish::restoreMoreRequested, this,
          &CResultsHost::showResultsPage);
  connect(m_filterSettings, &CDlgSettingsFilterOptions::back, this, &CResultsHost::showResultsPage);
  connect(m_filterSettings, &CDlgSettingsFilterOptions::applied, this,
          [this](const results::FilterRule& rule, const char* confirmKey) {
            applyRule(rule);
            Corvane_MessageOk(&m_dlg, Corvane_Text(confirmKey));
          });
  // A scan or a session restore makes the engine drop the lists the tree points into: the tree
  // lets go of them as soon as the scanning page comes up.
  connect(&dlg, &CCorvaneDialog::pageShown, this, [this](QWidget* page) {
    if (page == m_dlg.scanningPage()) m_results->clearItems();
  });
}

CResultsHost& CResultsHost::of(CUndeleteDlg& dlg) {
  auto* host =
      dlg.findChild<CResultsHost*>(QStringLiteral("CResultsHost"), Qt::FindDirectChildrenOnly);
  return host != nullptr ? *host : *new CResultsHost(dlg);
}

void CResultsHost::show(const ScanOutcome&) {
  m_resultLine = m_dlg.resultLine();
  m_results->fill(Results_RuleOf(m_dlg.options()));
  showResultsPage();
}

void CResultsHost::showResultsPage() {
  m_dlg.showPage(m_results);
  m_dlg.setStatusLine(m_resultLine);
}

void CResultsHost::applyRule(const results::FilterRule& rule) {
  Results_StoreRule(rule, m_dlg.options());
  QString error;
  if (!m_dlg.saveOptions(&error))
    Corvane_MessageOk(&m_dlg, Corvane_Text("IDS_SETTINGS_NOT_SAVED").arg(error));
  m_results->applyFilter(rule);
}

void CResultsHost::editFilter() {
  CDlgOptions dialog(Results_RuleOf(m_dlg.options()), &m_dlg);
  if (dialog.exec() == QDialog::Accepted) applyRule(dialog.rule());
}

void Results_Show(CUndeleteDlg& dlg, const ScanOutcome& outcome) {
  CResultsHost::of(dlg).show(outcome);
}
