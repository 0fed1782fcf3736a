// Runs every registered GUI test class (one QApplication for all of them).
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "gui_test.h"

std::vector<std::pair<const char*, std::function<QObject*()>>>& GuiTest_All() {
  static std::vector<std::pair<const char*, std::function<QObject*()>>> all;
  return all;
}

GuiTestRegistration::GuiTestRegistration(const char* name, std::function<QObject*()> make) {
  GuiTest_All().emplace_back(name, std::move(make));
}

int main(int argc, char** argv) {
  // Settings, options and session files of the tests go to folders of their own.
  QTemporaryDir config, work;
  if (!config.isValid() || !work.isValid()) return 2;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  if (!QDir::setCurrent(work.path())) return 2;
  QApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("RekoviaTest"));
  int failed = 0;
  for (auto& [name, make] : GuiTest_All()) {
    std::unique_ptr<QObject> test(make());
    failed += QTest::qExec(test.get(), QStringList{QString::fromLatin1(argv[0])});
  }
  return failed == 0 ? 0 : 1;
}
