// The results side of the main dialog: the results, filter settings, restoring and finish pages
// and the recovery flow, created in the dialog the first time a scan's results are shown.
#pragma once

#include <QObject>
#include <QString>

#include "results/file_filter.h"

class CUndeleteDlg;
class CDlgHardDriveResultScan;
class CDlgSettingsFilterOptions;
class CDlgHardDriveRestoring;
class CDlgHardDriveFinish;
class CRecoveryFlow;
struct ScanOutcome;

class CResultsHost : public QObject {
  Q_OBJECT
 public:
  explicit CResultsHost(CUndeleteDlg& dlg);
  /// The host of @p dlg, made on first use.
  static CResultsHost& of(CUndeleteDlg& dlg);

  /// Fills the tree from the engine's records and shows the results page.
  void show(const ScanOutcome& outcome);

  [[nodiscard]] CDlgHardDriveResultScan* results() const { return m_results; }
  [[nodiscard]] CDlgSettingsFilterOptions* filterSettings() const { return m_filterSettings; }
  [[nodiscard]] CDlgHardDriveRestoring* restoring() const { return m_restoring; }
  [[nodiscard]] CDlgHardDriveFinish* finish() const { return m_finish; }
  [[nodiscard]] CRecoveryFlow* flow() const { return m_flow; }

  /// Opens the filter dialog; when it is accepted, stores and applies its rule.
  void editFilter();

 private:
  /// Stores @p rule in the options file and re-runs the filter with it.
  void applyRule(const results::FilterRule& rule);
  void showResultsPage();

  CUndeleteDlg& m_dlg;
  CDlgHardDriveResultScan* m_results;
  CDlgSettingsFilterOptions* m_filterSettings;
  CDlgHardDriveRestoring* m_restoring;
  CDlgHardDriveFinish* m_finish;
  CRecoveryFlow* m_flow;
  QString m_resultLine;
};

/// The hook of CUndeleteDlg::showResults: shows the results page for @p outcome.
void Results_Show(CUndeleteDlg& dlg, const ScanOutcome& outcome);
