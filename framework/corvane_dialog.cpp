// Page-hosting dialog.
#include "corvane_dialog.h"

#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

CCorvaneDialog::CCorvaneDialog(QWidget* parent)
    : QDialog(parent),
      m_heading(new QLabel(this)),
      m_stack(new QStackedWidget(this)),
      m_status(new QLabel(this)) {
  setObjectName(QStringLiteral("CorvaneDialog"));
  auto* layout = new QVBoxLayout(this);
  QFont f = m_heading->font();
  f.setPointSizeF(f.pointSizeF() * 1.4);
  f.setBold(true);
  m_heading->setFont(f);
  m_heading->setObjectName(QStringLiteral("heading"));
  m_status->setObjectName(QStringLiteral("statusLine"));
  m_status->setTextFormat(Qt::PlainText);
  layout->addWidget(m_heading);
  layout->addWidget(m_stack, 1);
  layout->addWidget(m_status);
  setSizeGripEnabled(true);
}

int CCorvaneDialog::addPage(QWidget* page) {
  const int at = m_stack->indexOf(page);
  return at >= 0 ? at : m_stack->addWidget(page);
}

void CCorvaneDialog::showPage(QWidget* page) {
  addPage(page);
  m_stack->setCurrentWidget(page);
  if (auto* p = qobject_cast<CCorvanePage*>(page)) p->enterPage();
  emit pageShown(page);
}

QWidget* CCorvaneDialog::currentPage() const { return m_stack->currentWidget(); }

void CCorvaneDialog::setHeading(const QString& text) { m_heading->setText(text); }

void CCorvaneDialog::setStatusLine(const QString& text) { m_status->setText(text); }

QString CCorvaneDialog::statusLine() const { return m_status->text(); }
