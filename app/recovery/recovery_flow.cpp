// From the results page to the finish page, and the preview.
#include "recovery/recovery_flow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

#include "corvane_app.h"
#include "corvane_dialog.h"
#include "corvane_settings.h"
#include "message_box.h"
#include "results/engine_records.h"
#include "results/results_page.h"
#include "settings_names.h"

namespace {

/// Asks the worker's questions on the GUI thread and waits for the answer.
class GuiQuestions : public recovery::RecoveryQuestions {
 public:
  explicit GuiQuestions(QWidget* parent) : m_parent(parent) {}
  bool overwrite(const std::string& path) override {
    bool yes = false;
    QMetaObject::invokeMethod(
        m_parent,
        [this, path] {
          return Corvane_AskYesNo(
              m_parent, Corvane_Text("IDS_OVERWRITE_MSG").arg(QString::fromStdString(path)));
        },
        Qt::BlockingQueuedConnection, &yes);
    return yes;
  }

 private:
  QWidget* m_parent;
};

/// Answers the overwrite question with yes: the save-file dialog asked it already.
struct AlreadyConfirmed : recovery::RecoveryQuestions {
  bool overwrite(const std::string&) override { return true; }
};

QString fromStd(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

class CRecoveryFlow::Worker : public QThread {
 public:
  Worker(CRecoveryFlow* flow, recovery::RecoveryRun* run, QWidget* questionsParent)
      : m_flow(flow), m_run(run), m_questions(questionsParent) {}
  void run() override {
    // Never touches a widget: the marks and texts go to the GUI thread as queued calls.
    m_run->run(m_questions, [this](const recovery::FileOutcome& outcome) {
      QMetaObject::invokeMethod(
          m_flow, [flow = m_flow, outcome] { flow->fileDone(outcome); }, Qt::QueuedConnection);
    });
  }

 private:
  CRecoveryFlow* m_flow;
  recovery::RecoveryRun* m_run;
  GuiQuestions m_questions;
};

CRecoveryFlow::CRecoveryFlow(const EngineApi& api, Undelete* engine, CCorvaneDialog* dialog,
                             CCorvaneSettings& settings, CDlgHardDriveResultScan* results,
                             CDlgHardDriveRestoring* restoring, CDlgHardDriveFinish* finish)
    : QObject(dialog),
      m_api(api),
      m_engine(engine),
      m_dialog(dialog),
      m_settings(settings),
      m_results(results),
      m_restoring(restoring),
      m_finish(finish) {
  chooseFolder = [](QWidget* parent) {
    return QFileDialog::getExistingDirectory(parent, Corvane_Text("IDS_SEL_LOC"), QDir::homePath());
  };
  chooseSaveFile = [](QWidget* parent, const QString& suggested) {
    // The dialog asks before replacing an existing file.
    return QFileDialog::getSaveFileName(parent, Corvane_Text("IDS_PREVIEW"),
                                        QDir::home().filePath(suggested),
                                        QStringLiteral("Any file (*.*)"));
  };
  openFile = [](const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  connect(m_restoring, &CDlgHardDriveRestoring::cancelRequested, this, &CRecoveryFlow::cancel);
}

CRecoveryFlow::~CRecoveryFlow() {
  if (m_worker != nullptr) {
    m_run->cancel();
    m_worker->wait();
    delete m_worker;
  }
}

std::optional<recovery::RecoveryEngine> CRecoveryFlow::engineCalls(QString* error) {
  auto calls = bindEngine ? bindEngine() : Recovery_Bind(m_api, m_engine);
  if (!calls) *error = Corvane_Text("IDS_ENGINE_CANNOT_WRITE");
  return calls;
}

bool CRecoveryFlow::recoverChecked() {
  if (m_worker != nullptr) return false;
  results::ResultsModel* model = m_results->model();
  QString error;
  const auto calls = engineCalls(&error);
  if (!calls) {
    Corvane_MessageOk(m_dialog, error);
    return false;
  }
  std::vector<std::uint32_t> files;
  std::uint64_t total = 0;
  for (const std::uint32_t i : model->checkedFiles()) {
    const FileRecord* r = nullptr;
    if (m_api.Undelete_GetFileInfo(m_engine, i, &r) == 0 || r == nullptr) continue;
    files.push_back(i);
    total += r->size.get();
  }
  if (files.empty()) {
    Corvane_MessageOk(m_dialog, Corvane_Text("IDS_NO_FILES_CHECKED"));
    return false;
  }

  QString destination;
  while (true) {
    destination = chooseFolder(m_dialog);
    if (destination.isEmpty()) return false;  // the browser was cancelled
    const std::string problem = recovery::destinationProblem(destination.toStdString(), total);
    if (!problem.empty()) {
      Corvane_MessageOk(m_dialog, Corvane_Text("IDS_INVALID_DRIVE") + u'\n' + fromStd(problem));
      continue;
    }
    // One warning for the whole selection, however many of its files are on that drive.
    if (recovery::writesToSourceDrive(*calls, destination.toStdString(), files) &&
        !Corvane_AskYesNo(m_dialog, Corvane_Text("IDS_WARN_SAME_DRIVE")))
      continue;
    break;
  }

  auto names = [model](const std::vector<std::uint32_t>& chain) {
    std::vector<std::string> out;
    for (const std::uint32_t j : chain) out.push_back(model->folderName(j).toStdString());
    return out;
  };
  std::vector<recovery::FolderJob> folderJobs;
  for (const std::uint32_t j : model->checkedFolders())
    folderJobs.push_back({names(model->folderChain(j))});
  std::vector<recovery::FileJob> fileJobs;
  for (const std::uint32_t i : files) {
    const FileRecord& r = *model->records().files[i];
    fileJobs.push_back({i, names(model->folderChain(r.folder.get())),
                        model->fileName(i).toStdString(), r.size.get()});
  }
  model->clearFolderChecks();

  m_totals = {};
  m_totals.filesFound = model->fileCount();
  m_totals.deletedFound = model->deletedFiles();
  m_totals.selected = static_cast<std::uint32_t>(files.size());
  m_run = std::make_unique<recovery::RecoveryRun>(*calls, destination.toStdString(),
                                                  std::move(folderJobs), std::move(fileJobs));
  recovery::RecoveryRun* run = m_run.get();
  m_dialog->showPage(m_restoring);
  m_restoring->begin(run->totalBytes(), run->fileCount(), [run] { return run->bytesProcessed(); });
  m_worker = new Worker(this, run, m_dialog);
  connect(m_worker, &QThread::finished, this, &CRecoveryFlow::workerEnded, Qt::QueuedConnection);
  m_worker->start();
  return true;
}

void CRecoveryFlow::cancel() {
  if (m_run != nullptr && m_worker != nullptr) m_run->cancel();
}

void CRecoveryFlow::fileDone(const recovery::FileOutcome& outcome) {
  results::ResultsModel* model = m_results->model();
  if (outcome.recovered) {
    model->setChecked(outcome.index, false);
    m_restoring->setCurrent(fromStd(outcome.path));
  } else {
    // Left checked, so that another try picks it up again.
    model->markAncestorsPartly(outcome.index);
    m_restoring->setCurrent(model->fileName(outcome.index) + QStringLiteral(": ") +
                            fromStd(outcome.error));
  }
}

void CRecoveryFlow::workerEnded() {
  if (m_worker == nullptr) return;
  m_worker->wait();
  delete m_worker;
  m_worker = nullptr;
  m_restoring->stop();
  m_totals.recovered = m_run->recovered();
  m_totals.lastRecovered = fromStd(m_run->lastRecovered());
  if (!m_run->destinationError().empty())
    m_totals.problem = fromStd(m_run->destinationError());
  else if (m_run->cancelled())
    m_totals.problem = Corvane_Text("IDS_RECOVERY_CANCELLED");
  m_run.reset();

  const quint32 before = m_settings.dword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate, 0);
  m_settings.setDword(kKeyLastScanStatus, kValueNumOfFilesRestoredTillDate,
                      before + m_totals.recovered);
  (void)m_settings.sync();
  m_finish->show(m_totals);
  m_dialog->showPage(m_finish);
  emit finished(m_totals);
}

bool CRecoveryFlow::preview(std::uint32_t index) {
  if (m_worker != nullptr) return false;
  results::ResultsModel* model = m_results->model();
  const FileRecord* r = nullptr;
  if (m_api.Undelete_GetFileInfo(m_engine, index, &r) == 0 || r == nullptr) return false;
  QString error;
  const auto calls = engineCalls(&error);
  if (!calls) {
    Corvane_MessageOk(m_dialog, error);
    return false;
  }
  QString path;
  while (true) {
    path = chooseSaveFile(m_dialog, model->fileName(index));
    if (path.isEmpty()) return false;
    const std::string folder = QFileInfo(path).absolutePath().toStdString();
    const std::string problem = recovery::destinationProblem(folder, r->size.get());
    if (!problem.empty()) {
      Corvane_MessageOk(m_dialog, Corvane_Text("IDS_INVALID_DRIVE") + u'\n' + fromStd(problem));
      continue;
    }
    if (recovery::writesToSourceDrive(*calls, folder, {index}) &&
        !Corvane_AskYesNo(m_dialog, Corvane_Text("IDS_WRITING_WARN")))
      continue;
    break;
  }
  const QFileInfo target(path);
  recovery::RecoveryRun run(*calls, target.absolutePath().toStdString(), {},
                            {{index, {}, target.fileName().toStdString(), r->size.get()}});
  AlreadyConfirmed confirmed;
  recovery::FileOutcome outcome;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  run.run(confirmed, [&](const recovery::FileOutcome& o) { outcome = o; });
  QApplication::restoreOverrideCursor();
  // Only a file written whole is opened; a failed one would open as whatever was left.
  if (!outcome.recovered) {
    const std::string why =
        !run.destinationError().empty() ? run.destinationError() : outcome.error;
    Corvane_MessageOk(m_dialog, Corvane_Text("IDS_PREVIEW_FAILED").arg(fromStd(why)));
    return false;
  }
  (void)openFile(fromStd(outcome.path));
  return true;
}
