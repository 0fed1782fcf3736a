// Administrator rights: the test, and starting the program again with them through pkexec.
#pragma once

#include <QStringList>

/// True when the process runs as root.
[[nodiscard]] bool Corvane_IsAdmin();
/// Starts this program again through pkexec (polkit asks for the password) with @p arguments.
/// True when pkexec was started; the caller then quits.
[[nodiscard]] bool Corvane_RestartElevated(const QStringList& arguments);
