// From the results page to the finish page: the destination questions on the GUI thread, the
// recovery on a worker thread, the tree's marks per file, the totals. Also the one-file preview.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>

#include "engine_api.h"
#include "recovery/recovery_pages.h"
#include "recovery/recovery_run.h"

class CCorvaneDialog;
class CCorvaneSettings;
class CDlgHardDriveResultScan;

class CRecoveryFlow : public QObject {
  Q_OBJECT
 public:
  CRecoveryFlow(const EngineApi& api, Undelete* engine, CCorvaneDialog* dialog,
                CCorvaneSettings& settings, CDlgHardDriveResultScan* results,
                CDlgHardDriveRestoring* restoring, CDlgHardDriveFinish* finish);
  ~CRecoveryFlow() override;

  /// Recovers the checked files: asks for the destination until it passes the checks, then
  /// runs the worker with the restoring page shown. False when nothing started.
  bool recoverChecked();
  /// Recovers file @p index to a name the user chooses and opens it. False when it was not
  /// written (cancelled, refused or failed; a failure is shown).
  bool preview(std::uint32_t index);
  /// Stops the running recovery after the file being written.
  void cancel();
  [[nodiscard]] bool running() const { return m_worker != nullptr; }
  [[nodiscard]] const RecoveryTotals& totals() const { return m_totals; }

  // The shell's dialogs, replaceable by tests: the folder browser (empty: cancelled), the
  // save-file dialog (empty: cancelled) and opening a file with its default application.
  std::function<QString(QWidget* parent)> chooseFolder;
  std::function<QString(QWidget* parent, const QString& suggested)> chooseSaveFile;
  std::function<bool(const QString& path)> openFile;
  /// Stands in for the engine binding's output exports (tests without a loaded library).
  std::function<std::optional<recovery::RecoveryEngine>()> bindEngine;

 signals:
  /// The run ended and the finish page is shown.
  void finished(const RecoveryTotals& totals);

 private:
  class Worker;
  void fileDone(const recovery::FileOutcome& outcome);
  void workerEnded();
  [[nodiscard]] std::optional<recovery::RecoveryEngine> engineCalls(QString* error);

  const EngineApi& m_api;
  Undelete* m_engine;
  CCorvaneDialog* m_dialog;
  CCorvaneSettings& m_settings;
  CDlgHardDriveResultScan* m_results;
  CDlgHardDriveRestoring* m_restoring;
  CDlgHardDriveFinish* m_finish;
  std::unique_ptr<recovery::RecoveryRun> m_run;
  Worker* m_worker = nullptr;
  RecoveryTotals m_totals;
};
