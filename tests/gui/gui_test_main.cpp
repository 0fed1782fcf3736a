// Runs every registered GUI test class (one QApplication for all of them).
#include <QApplication>
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
  QApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("RekoviaTest"));
  int failed = 0;
  for (auto& [name, make] : GuiTest_All()) {
    std::unique_ptr<QObject> test(make());
    failed += QTest::qExec(test.get(), QStringList{QString::fromLatin1(argv[0])});
  }
  return failed == 0 ? 0 : 1;
}
