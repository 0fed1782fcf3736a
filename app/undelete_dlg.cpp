// Main dialog and the scan flow.
#include "undelete_dlg.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>

#include "corvane_app.h"
#include "gui_text.h"
#include "message_box.h"
#include "pages/scan_setting.h"
#include "pages/scan_summary.h"
#include "pages/settings_scan_options.h"
#include "pages/welcome_page.h"
#include "results/results_host.h"
#include "settings_names.h"

CUndeleteDlg::CUndeleteDlg(const EngineApi& api, QWidget* parent)
    : CCorvaneDialog(parent),
      m_api(api),
      m_settings(QStringLiteral("Rekovia")),
      m_options(Options_Defaults()) {
  setObjectName(QStringLiteral("CUndeleteDlg"));
  setWindowTitle(Corvane_Text("IDS_APP_TITLE"));
  resize(760, 560);
}

CUndeleteDlg::~CUndeleteDlg() {
  // The engine object lives as long as the main dialog, which is the rest of the run; releasing
  // it here (after its scan has stopped) lets leak checkers see a clean exit.
  stopScan();
  if (m_engine != nullptr && m_api.Undelete_Delete != nullptr)
    (void)m_api.Undelete_Delete(m_engine);
}

void CUndeleteDlg::stopScan() {
  // The search thread may still ask its questions on this thread: answer them while waiting.
  if (m_engine == nullptr || m_api.Undelete_IsSearching(m_engine, nullptr) == 0) return;
  (void)m_api.Undelete_Cancel(m_engine);
  while (m_api.Undelete_IsSearching(m_engine, nullptr) != 0) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

bool CUndeleteDlg::initDialog(const QStringList& images) {
  if (m_api.Undelete_Create(&m_engine) == 0 || m_engine == nullptr) return false;
  {
    QProgressDialog progress(this);
    progress.setCancelButton(nullptr);
    progress.setMinimumDuration(500);
    progress.setRange(0, 100);
    DriveList_ScanPartitions(m_api, m_engine, [&progress](int drive, int percent) {
      progress.setLabelText(Corvane_Text("IDS_SEARCHING_PARTITIONS").arg(drive));
      progress.setValue(percent);
      QApplication::processEvents();
    });
  }
  for (const QString& image : images) {
    QString error;
    if (openImage(image, &error) < 0) qWarning("%s", qPrintable(error));
  }
  rebuildDriveList();
  m_options = Options_Read(QDir::currentPath());

  m_welcome = new CDlgHardDriveWelcome(*this, this);
  m_settingsPage = new CDlgSettingsScanOptions(*this, this);
  m_scanning = new CDlgHardDriveScanning(m_api, m_engine, this);
  m_summary = new CScanSummaryPage(this);
  addPage(m_welcome);
  addPage(m_settingsPage);
  addPage(m_scanning);
  addPage(m_summary);
  connect(m_scanning, &CDlgHardDriveScanning::finished, this, &CUndeleteDlg::scanEnded);
  connect(m_summary, &CScanSummaryPage::newScan, this, &CUndeleteDlg::showWelcome);
  showWelcome();
  return true;
}

bool CUndeleteDlg::saveOptions(QString* error) {
  return Options_Write(QDir::currentPath(), m_options, error);
}

void CUndeleteDlg::rebuildDriveList() {
  m_drives = DriveList_Build(m_api, m_engine);
  if (m_welcome != nullptr) m_welcome->refreshDrives();
}

void CUndeleteDlg::showWelcome() { showPage(m_welcome); }

void CUndeleteDlg::showSettings() {
  setHeading(Corvane_Text("IDS_SCAN_OPTIONS_TITLE"));
  showPage(m_settingsPage);
}

QString CUndeleteDlg::sessionDescription() const {
  QByteArray text(0x4000, '\0');
  if (m_api.Undelete_GetSessionInfo(m_engine, text.data(), static_cast<int>(text.size()), nullptr,
                                    nullptr) == 0)
    return {};
  text[text.size() - 1] = '\0';
  return QString::fromUtf8(text.constData());
}

QString CUndeleteDlg::engineError() const {
  const char* message = nullptr;
  if (m_api.Undelete_GetErrorMessage(m_engine, &message) != 0 && message != nullptr &&
      message[0] != '\0')
    return QString::fromUtf8(message);
  uint32_t code = 0;
  (void)m_api.Undelete_GetError(m_engine, &code);
  return QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

bool CUndeleteDlg::scanNow(int index, const QString& typed, bool lastSession) {
  DriveItem item;
  if (index >= 0 && index < static_cast<int>(m_drives.size())) {
    item = m_drives[static_cast<std::size_t>(index)];
  } else if (!lastSession || sessionDescription().isNull()) {
    // A drive typed by the user: "E", "E:" or "E:\", and it must be in the drive table.
    const QString t = typed.trimmed();
    if (t.isEmpty()) {
      Corvane_MessageOk(this, Corvane_Text("IDS_NO_DRIVE"));
      return false;
    }
    static const QRegularExpression drive(QStringLiteral("^([A-Za-z])(:\\\\?)?$"));
    const auto m = drive.match(t);
    const char letter = m.hasMatch() ? static_cast<char>(m.captured(1).toUpper()[0].toLatin1()) : 0;
    if (letter == 0 || m_api.Undelete_FindDrive(letter, nullptr) == 0) {
      const QString root = letter != 0 ? QStringLiteral("%1:\\").arg(QChar::fromLatin1(letter)) : t;
      Corvane_MessageOk(this, Corvane_Text("IDS_DRIVE_NOT_VALID").arg(root));
      return false;
    }
    const auto known = std::find_if(m_drives.begin(), m_drives.end(),
                                    [letter](const DriveItem& d) { return d.letter == letter; });
    if (known != m_drives.end()) {
      item = *known;
    } else {
      item.letter = letter;
      item.driveSpec = DriveSpec_Letter(letter);
      item.root = QStringLiteral("%1:\\").arg(QChar::fromLatin1(letter));
      item.text = item.root;
    }
  }

  if (lastSession) {
    const QString description = sessionDescription();
    if (!description.isNull()) {
      setStatusLine(Gui_SessionStatus(Corvane_Text("IDS_LAST_SESSION"), description));
      return startRestore(description);
    }
  }

  bool deep = m_settings.dword({}, kValueScanSettingType, 0) == 1;
  if (m_settings.dword({}, kValueDontShowScanSettingNag, 0) == 0) {
    CDlgScanSetting prompt(m_settings, this);
    if (prompt.exec() != QDialog::Accepted) return false;
    // The scan runs as chosen in the prompt; "make default" alone changes the stored type.
    deep = prompt.deepScan();
  }
  setStatusLine(Gui_DriveStatus(item.text));
  return startScan(item, deep);
}

bool CUndeleteDlg::startScan(const DriveItem& item, bool deep) {
  const uint32_t driveSpec = item.driveSpec;
  if (m_api.Undelete_SearchMultiple(m_engine, &driveSpec, 1, Options_ScanFlags(m_options, deep),
                                    &CUndeleteDlg::askSave, &CUndeleteDlg::askMemory, this) == 0) {
    Corvane_MessageOk(this, Corvane_Text("IDS_SCAN_FAILED").arg(engineError()));
    return false;
  }
  setHeading(Corvane_Text("IDS_SCANNING_TITLE"));
  showPage(m_scanning);
  m_scanning->begin(item.text, false);
  return true;
}

bool CUndeleteDlg::startRestore(const QString& description) {
  const uint32_t options = (m_options.flags.get() >> 4) & 0x7u;
  if (m_api.Undelete_RestoreSession(m_engine, options, &CUndeleteDlg::askSave, this) == 0) {
    Corvane_MessageOk(this, Corvane_Text("IDS_RESTORE_FAILED").arg(engineError()));
    return false;
  }
  setHeading(Corvane_Text("IDS_SCANNING_TITLE"));
  showPage(m_scanning);
  m_scanning->begin(description, true);
  return true;
}

void CUndeleteDlg::scanEnded(const ScanOutcome& outcome) {
  m_resultLine = Corvane_Text(outcome.cancelled ? "IDS_SCAN_CANCELLED" : "IDS_SCAN_COMPLETED");
  setStatusLine(m_resultLine);
  const QString heading = Corvane_Text("IDS_SCANNING_RES") + u' ' + outcome.driveText;
  setHeading(Gui_Cut(heading, outcome.restored ? 49 : 50, QStringLiteral(" ...")));
  const QString date = QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
  m_settings.setString(
      kKeyLastScanStatus, kValueScanStatusLine1,
      m_resultLine + u' ' + Gui_Cut(outcome.driveText, 50, QStringLiteral(" ...")));
  m_settings.setString(kKeyLastScanStatus, kValueScanStatusLine2,
                       Corvane_Text("IDS_FILES_FOUND").arg(outcome.files) + QStringLiteral(", ") +
                           Corvane_Text("IDS_DELETED_FOUND").arg(outcome.deleted));
  m_settings.setString(kKeyLastScanStatus, kValueLastOptionSelected, outcome.driveText);
  m_settings.setString(kKeyLastScanStatus, kValueLastScanDate, date);
  m_settings.setString(kKeyLastScanStatus, kValueNumOfFilesFound, QString::number(outcome.files));
  (void)m_settings.sync();
  emit scanFinished(outcome);
  showResults(outcome);
}

void CUndeleteDlg::showResults(const ScanOutcome& outcome) {
  return Results_Show(*this, outcome);  // the results page (app/results/results_host.h)
  uint32_t folders = 0;
  (void)m_api.Undelete_GetFolderCount(m_engine, &folders);
  m_summary->show(outcome, m_resultLine, folders);
  showPage(m_summary);
}

bool CUndeleteDlg::askOnGuiThread(const char* key) {
  // The engine asks from its search thread; the question is shown by the GUI thread, which
  // never waits for the engine, so the blocking call cannot deadlock.
  bool yes = false;
  if (QThread::currentThread() == thread()) {
    yes = Corvane_AskYesNo(this, Corvane_Text(key));
  } else {
    QMetaObject::invokeMethod(
        this, [this, key] { return Corvane_AskYesNo(this, Corvane_Text(key)); },
        Qt::BlockingQueuedConnection, &yes);
  }
  return yes;
}

int CUndeleteDlg::askSave(void* self) {
  return static_cast<CUndeleteDlg*>(self)->askOnGuiThread("IDS_SAVE_RESULTS") ? 1 : 0;
}

int CUndeleteDlg::askMemory(void* self) {
  return static_cast<CUndeleteDlg*>(self)->askOnGuiThread("IDS_MEM_STRING") ? 1 : 0;
}

void CUndeleteDlg::reject() {
  stopScan();  // closing during a scan stops it first
  CCorvaneDialog::reject();
}

int CUndeleteDlg::openImage(const QString& path, QString* error) {
  const QByteArray source = QFile::encodeName(path);
  auto hostError = [this, error, &path] {
    char text[4352] = {};
    (void)m_api.Undelete_GetHostError(nullptr, text, sizeof text);
    if (error != nullptr) *error = text[0] != 0 ? QString::fromUtf8(text) : path;
  };
  char letter = 0;
  if (m_api.Undelete_AddDrive(source.constData(), 0, &letter) == 0) {
    hostError();
    return -1;
  }
  // An image without a file system at its start may hold a whole disk: as a physical drive its
  // partitions join the list, and the first volume found inside is the one to choose. (A volume
  // image is not made a disk too: it would be listed once more as unallocated space.)
  char summary[512] = {};
  const bool volume = m_api.Undelete_GetLogicalDriveInfo(m_engine, letter, 1, summary) != 0 &&
                      !QString::fromUtf8(summary).endsWith(QStringLiteral(", Unformatted"));
  uint32_t disk = 0xFFFFFFFFu;
  if (!volume && m_api.Undelete_AddDisk(source.constData(), &disk) != 0)
    (void)DriveList_ScanDisk(m_api, m_engine, static_cast<int>(disk), [](int, int) {
      QApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    });
  rebuildDriveList();
  int choice = -1;
  for (std::size_t i = 0; i < m_drives.size(); ++i) {
    const DriveItem& d = m_drives[i];
    if (d.letter == letter && choice < 0) choice = static_cast<int>(i);
    if (d.category != DriveCategory::Partitions) continue;
    PartitionRecord r{};
    if (m_api.Undelete_GetPartition(m_engine, d.driveSpec & 0x00FFFFFFu, &r) != 0 &&
        r.drive == disk && r.fileSystem != 0 && r.start.get() != 0) {
      choice = static_cast<int>(i);
      break;
    }
  }
  if (choice < 0 && error != nullptr)
    *error = path + QStringLiteral(": no file system was recognised on it");
  return choice;
}
