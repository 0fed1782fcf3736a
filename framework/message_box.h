// OK and Yes/No message boxes. Tests (and scripted runs) can answer them through a hook.
#pragma once

#include <QString>
#include <functional>

class QWidget;

enum class CorvaneMessage { Ok, YesNo };
/// Answers a message instead of a window: true means Yes (ignored for Ok).
using CorvaneMessageHook = std::function<bool(CorvaneMessage kind, const QString& text)>;

/// Shows @p text with an OK button.
void Corvane_MessageOk(QWidget* parent, const QString& text);
/// Asks @p text; true when Yes was pressed.
[[nodiscard]] bool Corvane_AskYesNo(QWidget* parent, const QString& text);
/// Installs @p hook (an empty one restores the windows); returns the previous hook.
CorvaneMessageHook Corvane_SetMessageHook(CorvaneMessageHook hook);
