// Message boxes with the program's title.
#include "message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace {
CorvaneMessageHook& hook() {
  static CorvaneMessageHook h;
  return h;
}
}  // namespace

CorvaneMessageHook Corvane_SetMessageHook(CorvaneMessageHook h) {
  return std::exchange(hook(), std::move(h));
}

void Corvane_MessageOk(QWidget* parent, const QString& text) {
  if (hook()) {
    (void)hook()(CorvaneMessage::Ok, text);
    return;
  }
  QMessageBox::information(parent, QApplication::applicationDisplayName(), text);
}

bool Corvane_AskYesNo(QWidget* parent, const QString& text) {
  if (hook()) return hook()(CorvaneMessage::YesNo, text);
  return QMessageBox::question(parent, QApplication::applicationDisplayName(), text,
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
