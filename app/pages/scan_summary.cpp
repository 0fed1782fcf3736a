// Counts page.
#include "pages/scan_summary.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "corvane_app.h"
#include "gui_text.h"

CScanSummaryPage::CScanSummaryPage(QWidget* parent)
    : CCorvanePage(parent), m_result(new QLabel(this)), m_counts(new QLabel(this)) {
  setObjectName(QStringLiteral("CScanSummaryPage"));
  m_result->setObjectName(QStringLiteral("result"));
  m_counts->setObjectName(QStringLiteral("counts"));
  m_result->setTextFormat(Qt::PlainText);
  m_counts->setTextFormat(Qt::PlainText);
  auto* again = new QPushButton(Corvane_Text("IDS_NEW_SCAN"), this);
  again->setObjectName(QStringLiteral("newScan"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_result);
  layout->addWidget(m_counts);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(again);
  layout->addLayout(buttons);
  connect(again, &QPushButton::clicked, this, &CScanSummaryPage::newScan);
}

void CScanSummaryPage::show(const ScanOutcome& outcome, const QString& resultLine,
                            uint32_t folders) {
  m_result->setText(resultLine);
  m_counts->setText(
      Corvane_Text("IDS_RESULT_COUNTS").arg(outcome.files).arg(outcome.deleted).arg(folders) +
      u'\n' + Corvane_Text("IDS_ELAPSED").arg(Gui_Elapsed(outcome.elapsedMs)));
}

QString CScanSummaryPage::countsText() const { return m_counts->text(); }
