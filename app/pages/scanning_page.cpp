// Scanning page.
#include "pages/scanning_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "gui_text.h"

namespace {
QLabel* plainLabel(QWidget* parent, const char* name) {
  auto* l = new QLabel(parent);
  l->setTextFormat(Qt::PlainText);
  l->setObjectName(QLatin1String(name));
  return l;
}
}  // namespace

CDlgHardDriveScanning::CDlgHardDriveScanning(const EngineApi& api, Undelete* engine,
                                             QWidget* parent)
    : CCorvanePage(parent),
      m_api(api),
      m_engine(engine),
      m_bar(new QProgressBar(this)),
      m_percent(plainLabel(this, "percent")),
      m_files(plainLabel(this, "files")),
      m_deleted(plainLabel(this, "deleted")),
      m_stage(plainLabel(this, "stage")),
      m_sectors(plainLabel(this, "sectors")),
      m_elapsed(plainLabel(this, "elapsed")),
      m_status(plainLabel(this, "status")),
      m_cancel(new QPushButton(Corvane_Text("IDS_CANCEL"), this)) {
  setObjectName(QStringLiteral("CDlgHardDriveScanning"));
  m_bar->setObjectName(QStringLiteral("progress"));
  m_bar->setTextVisible(false);
  m_cancel->setObjectName(QStringLiteral("cancel"));
  m_stage->setWordWrap(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_status);
  layout->addWidget(m_bar);
  layout->addWidget(m_percent);
  auto* grid = new QGridLayout;
  grid->addWidget(m_files, 0, 0);
  grid->addWidget(m_deleted, 0, 1);
  grid->addWidget(m_stage, 1, 0, 1, 2);
  grid->addWidget(m_sectors, 2, 0);
  grid->addWidget(m_elapsed, 2, 1);
  layout->addLayout(grid);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_cancel);
  layout->addLayout(buttons);
  connect(m_cancel, &QPushButton::clicked, this, &CDlgHardDriveScanning::cancel);
  m_timer.setInterval(50);
  connect(&m_timer, &QTimer::timeout, this, &CDlgHardDriveScanning::poll);
}

void CDlgHardDriveScanning::begin(const QString& driveText, bool restored) {
  m_driveText = driveText;
  m_restored = restored;
  m_cancelled = false;
  m_pollCount = 0;
  m_total = m_done = m_filesCount = m_deletedCount = 0;
  m_bar->setRange(0, 1);
  m_bar->setValue(0);
  m_percent->setText(Corvane_Text("IDS_SCAN_STINRG").arg(0).arg(0));
  m_files->setText(Corvane_Text("IDS_FILES_FOUND").arg(0));
  m_deleted->setText(Corvane_Text("IDS_DELETED_FOUND").arg(0));
  m_stage->clear();
  m_sectors->clear();
  m_elapsed->setText(Corvane_Text("IDS_ELAPSED").arg(Gui_Elapsed(0)));
  m_status->setText(Gui_DriveStatus(driveText));
  m_cancel->setEnabled(true);
  m_clock.start();
  m_timer.start();
}

void CDlgHardDriveScanning::cancel() {
  (void)m_api.Undelete_Cancel(m_engine);
  m_cancelled = true;
  m_status->setText(Corvane_Text("IDS_STOPPED"));
  m_cancel->setEnabled(false);
}

void CDlgHardDriveScanning::refreshStage(uint64_t sectorsDone, uint64_t sectorsTotal) {
  const char* stage = nullptr;
  if (m_api.Undelete_GetScanStage(m_engine, &stage) != 0 && stage != nullptr)
    m_stage->setText(QString::fromUtf8(stage, static_cast<qsizetype>(strnlen(stage, 260))));
  if (sectorsTotal != 0)
    m_sectors->setText(Corvane_Text("IDS_SECTOR_PROGRESS")
                           .arg(QString::number(sectorsDone), QString::number(sectorsTotal)));
}

void CDlgHardDriveScanning::poll() {
  const bool searching = m_api.Undelete_IsSearching(m_engine, nullptr) != 0;
  uint32_t total = 0, done = 0, files = 0, deleted = 0;
  uint64_t sectorsDone = 0, sectorsTotal = 0;
  const bool read =
      m_api.Undelete_GetProgress(m_engine, &total, &done, &sectorsDone, &sectorsTotal) != 0 &&
      m_api.Undelete_GetDeletedCount(m_engine, &deleted) != 0 &&
      m_api.Undelete_GetFilesCount(m_engine, &files) != 0;
  if (read) {
    if (m_api.Undelete_IsCancelled(m_engine) != 0) m_cancelled = true;
    if (!m_cancelled) {
      m_total = total;
      m_done = done;
      m_filesCount = files;
      m_deletedCount = deleted;
      const uint32_t q = Gui_PercentTenths(total, done);
      m_percent->setText(Corvane_Text("IDS_SCAN_STINRG").arg(q / 10).arg(q % 10));
      m_files->setText(Corvane_Text("IDS_FILES_FOUND").arg(files));
      m_deleted->setText(Corvane_Text("IDS_DELETED_FOUND").arg(deleted));
      // Stage and sector texts change often; they are redrawn on every eleventh poll (on every
      // poll while a session is restored).
      if (m_restored) {
        refreshStage(sectorsDone, sectorsTotal);
      } else if (m_pollCount++ > 9) {
        refreshStage(sectorsDone, sectorsTotal);
        m_pollCount = 0;
      }
      const GuiBar bar = Gui_Bar(total, done);
      m_bar->setRange(0, bar.maximum);
      m_bar->setValue(bar.value);
    }
  }
  m_elapsed->setText(Corvane_Text("IDS_ELAPSED").arg(Gui_Elapsed(m_clock.elapsed())));
  if (searching) return;

  // The search thread has ended: the counts are final now.
  m_timer.stop();
  m_cancel->setEnabled(false);
  // The engine clears its cancel flag when the interrupted scan has ended, so a cancel that
  // came after the last poll shows only in the scan's error code.
  uint32_t error = 0;
  if (m_api.Undelete_IsCancelled(m_engine) != 0 ||
      (m_api.Undelete_GetError(m_engine, &error) != 0 && error == kErrUserAbort))
    m_cancelled = true;
  ScanOutcome outcome;
  outcome.cancelled = m_cancelled;
  outcome.restored = m_restored;
  outcome.driveText = m_driveText;
  outcome.elapsedMs = m_clock.elapsed();
  if (m_api.Undelete_GetFilesCount(m_engine, &files) != 0) m_filesCount = files;
  if (m_api.Undelete_GetDeletedCount(m_engine, &deleted) != 0) m_deletedCount = deleted;
  outcome.files = m_filesCount;
  outcome.deleted = m_deletedCount;
  emit finished(outcome);
}

QString CDlgHardDriveScanning::percentText() const { return m_percent->text(); }
QString CDlgHardDriveScanning::stageText() const { return m_stage->text(); }
QString CDlgHardDriveScanning::sectorText() const { return m_sectors->text(); }
QString CDlgHardDriveScanning::filesText() const { return m_files->text(); }
QString CDlgHardDriveScanning::deletedText() const { return m_deleted->text(); }
QString CDlgHardDriveScanning::statusText() const { return m_status->text(); }
int CDlgHardDriveScanning::barValue() const { return m_bar->value(); }
int CDlgHardDriveScanning::barMaximum() const { return m_bar->maximum(); }
