// Rights and restart. pkexec clears the environment except DISPLAY and XAUTHORITY (the policy
// installed with the program allows a GUI), so nothing of the caller's environment leaks in.
#include "elevation.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

bool Corvane_IsAdmin() { return ::geteuid() == 0; }

bool Corvane_RestartElevated(const QStringList& arguments) {
  const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
  if (pkexec.isEmpty()) return false;
  QStringList args{QCoreApplication::applicationFilePath()};
  args += arguments;
  return QProcess::startDetached(pkexec, args);
}
