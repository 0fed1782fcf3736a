// The restoring and finish pages.
#include "recovery/recovery_pages.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>

#include "corvane_app.h"
#include "gui_text.h"

RecoveryBar Recovery_Bar(std::uint64_t total, std::uint64_t processed) {
  // The bar holds an int: halve both until the total fits.
  while (total > static_cast<std::uint64_t>(INT_MAX)) {
    total >>= 1;
    processed >>= 1;
  }
  const std::uint64_t value = processed > total ? total * 8 / 10 : processed;
  return {static_cast<int>(total), static_cast<int>(value)};
}

QString Recovery_FinishHeading(const RecoveryTotals& totals) {
  const QString heading =
      totals.recovered >= totals.selected
          ? Corvane_Text("IDS_ALL_FILES_RESTORED")
          : Corvane_Text("IDS_RENAMING_FILES").arg(totals.selected - totals.recovered);
  return Gui_Cut(heading, 50, QStringLiteral(" ..."));
}

CDlgHardDriveRestoring::CDlgHardDriveRestoring(QWidget* parent)
    : CCorvanePage(parent),
      m_bar(new QProgressBar(this)),
      m_current(new QLabel(this)),
      m_elapsed(new QLabel(this)),
      m_cancel(new QPushButton(Corvane_Text("IDS_CANCEL"), this)) {
  setObjectName(QStringLiteral("CDlgHardDriveRestoring"));
  m_bar->setObjectName(QStringLiteral("bar"));
  m_current->setObjectName(QStringLiteral("current"));
  m_current->setTextFormat(Qt::PlainText);
  m_cancel->setObjectName(QStringLiteral("cancel"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Corvane_Text("IDS_RESTORING_TEXT"), this));
  layout->addWidget(m_bar);
  layout->addWidget(m_current);
  layout->addWidget(m_elapsed);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_cancel);
  layout->addLayout(buttons);
  m_timer.setInterval(50);
  connect(&m_timer, &QTimer::timeout, this, &CDlgHardDriveRestoring::poll);
  connect(m_cancel, &QPushButton::clicked, this, [this] {
    m_cancel->setEnabled(false);
    m_current->setText(Corvane_Text("IDS_STOPPED"));
    emit cancelRequested();
  });
}

void CDlgHardDriveRestoring::begin(std::uint64_t total, std::size_t files,
                                   std::function<std::uint64_t()> processed) {
  m_total = total;
  m_processed = std::move(processed);
  m_cancel->setEnabled(true);
  m_current->setText(Corvane_Text("IDS_FILES_TO_RESTORE").arg(files));
  m_clock.start();
  poll();
  m_timer.start();
}

void CDlgHardDriveRestoring::stop() {
  m_timer.stop();
  poll();
}

void CDlgHardDriveRestoring::setCurrent(const QString& path) {
  if (m_cancel->isEnabled()) m_current->setText(path);
}

void CDlgHardDriveRestoring::poll() {
  const RecoveryBar bar = Recovery_Bar(m_total, m_processed ? m_processed() : 0);
  m_bar->setRange(0, std::max(bar.maximum, 1));
  m_bar->setValue(bar.maximum == 0 ? 1 : bar.value);
  m_elapsed->setText(Corvane_Text("IDS_ELAPSED").arg(Gui_Elapsed(m_clock.elapsed())));
}

CDlgHardDriveFinish::CDlgHardDriveFinish(QWidget* parent)
    : CCorvanePage(parent),
      m_heading(new QLabel(this)),
      m_totals(new QLabel(this)),
      m_last(new QLabel(this)) {
  setObjectName(QStringLiteral("CDlgHardDriveFinish"));
  m_heading->setObjectName(QStringLiteral("heading"));
  m_totals->setObjectName(QStringLiteral("totals"));
  m_last->setObjectName(QStringLiteral("last"));
  m_last->setTextFormat(Qt::PlainText);
  m_last->setWordWrap(true);
  QFont big = m_heading->font();
  big.setPointSizeF(big.pointSizeF() * 1.3);
  big.setBold(true);
  m_heading->setFont(big);
  auto* finish = new QPushButton(Corvane_Text("IDS_FINISH"), this);
  finish->setObjectName(QStringLiteral("finish"));
  auto* more = new QPushButton(Corvane_Text("IDS_RESTORE_MORE"), this);
  more->setObjectName(QStringLiteral("restoreMore"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_heading);
  layout->addWidget(m_totals);
  layout->addWidget(m_last);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(more);
  buttons->addWidget(finish);
  layout->addLayout(buttons);
  connect(finish, &QPushButton::clicked, this, &CDlgHardDriveFinish::finishRequested);
  connect(more, &QPushButton::clicked, this, &CDlgHardDriveFinish::restoreMoreRequested);
}

void CDlgHardDriveFinish::show(const RecoveryTotals& totals) {
  m_heading->setText(Recovery_FinishHeading(totals));
  const std::uint32_t remaining = totals.selected - std::min(totals.recovered, totals.selected);
  QString text;
  const auto line = [&](const char* key, std::uint32_t value) {
    text += Corvane_Text(key) + QStringLiteral(" %1\n").arg(value);
  };
  line("IDS_TOTL_FILES_FOUND", totals.filesFound);
  line("IDS_TOTL_DEL_FILES_FOUND", totals.deletedFound);
  line("IDS_TOTL_SEL_FILES", totals.selected);
  line("IDS_TOTAL_FILES_RECOVERED", totals.recovered);
  line("IDS_TOTL_REM_FILES", remaining);
  m_totals->setText(text.trimmed());
  QString last;
  if (!totals.problem.isEmpty()) last = totals.problem;
  if (!totals.lastRecovered.isEmpty())
    last += (last.isEmpty() ? QString() : QStringLiteral("\n")) +
            Corvane_Text("IDS_LAST_RECOVERED").arg(totals.lastRecovered);
  m_last->setText(last);
}

QString CDlgHardDriveFinish::headingText() const { return m_heading->text(); }
QString CDlgHardDriveFinish::totalsText() const { return m_totals->text(); }
