// Dialog base that hosts pages: a heading, a stack of pages (one shown at a time) and a status
// line along the bottom.
#pragma once

#include <QDialog>
#include <QWidget>

class QLabel;
class QStackedWidget;

/// A page of a CCorvaneDialog. enterPage() runs each time it becomes the shown page.
class CCorvanePage : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  virtual void enterPage() {}
};

class CCorvaneDialog : public QDialog {
  Q_OBJECT
 public:
  explicit CCorvaneDialog(QWidget* parent = nullptr);
  /// Adds @p page to the stack (the dialog takes ownership); returns its index.
  int addPage(QWidget* page);
  /// Shows @p page (adding it first if needed) and calls its enterPage().
  void showPage(QWidget* page);
  [[nodiscard]] QWidget* currentPage() const;
  void setHeading(const QString& text);
  void setStatusLine(const QString& text);
  [[nodiscard]] QString statusLine() const;

 signals:
  void pageShown(QWidget* page);

 private:
  QLabel* m_heading;
  QStackedWidget* m_stack;
  QLabel* m_status;
};
