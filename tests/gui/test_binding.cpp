// Start-up binding: every name required, and a program whose engine lacks one name ends before
// any window with one line on standard error.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "engine_api.h"
#include "gui_test.h"
#include "undelete_app.h"

class TestBinding : public QObject {
  Q_OBJECT
 private slots:
  void bindsEveryName();
  void refusesLackingLibraries();
  void programEndsBeforeAnyWindow();
};

void TestBinding::bindsEveryName() {
  EngineApi api;
  std::string error;
  QVERIFY2(EngineApi_Load(api, GUI_TEST_ENGINE, error), error.c_str());
  int count = 0;
  const char* const* names = EngineApi_Names(&count);
  // The 66 names of the binding list and the string-reference lookup, then the drive-table
  // additions; all bound, none twice.
  QCOMPARE(count, 67 + 7);
  QCOMPARE(QByteArray(names[0]), QByteArray("Undelete_Create"));
  QCOMPARE(QByteArray(names[65]), QByteArray("Undelete_GetSessionInfo"));
  QCOMPARE(QByteArray(names[66]), QByteArray("Undelete_GetString"));
  QSet<QByteArray> unique;
  for (int i = 0; i < count; ++i) unique.insert(names[i]);
  QCOMPARE(unique.size(), count);
  QVERIFY(api.Undelete_GetSessionInfo != nullptr && api.Undelete_GetString != nullptr &&
          api.Undelete_AddDrive != nullptr && api.module != nullptr);
  QVERIFY(api.Undelete_IsGoodOS() != 0);  // really the engine's code behind the pointer
}

void TestBinding::refusesLackingLibraries() {
  EngineApi api;
  std::string error;
  QVERIFY(!EngineApi_Load(api, "/nonexistent/libKVXDLL.so", error));
  QVERIFY(!error.empty());
  QVERIFY(api.module == nullptr && api.Undelete_Create == nullptr);
  error.clear();
  QVERIFY(!EngineApi_Load(api, GUI_LACKING_ENGINE, error));
  QVERIFY2(error.find("lacks Undelete_GetSessionInfo") != std::string::npos, error.c_str());
  QVERIFY(api.module == nullptr && api.Undelete_Create == nullptr);
}

void TestBinding::programEndsBeforeAnyWindow() {
  // The program looks for the engine next to itself first: a copy beside the lacking library.
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QVERIFY(QFile::copy(QStringLiteral(REKOVIA_PROGRAM), dir.filePath(QStringLiteral("Rekovia"))));
  QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("Rekovia")),
                                QFile::ReadOwner | QFile::ExeOwner));
  QVERIFY(QFile::copy(QStringLiteral(GUI_LACKING_ENGINE),
                      dir.filePath(QStringLiteral("libKVXDLL.so"))));
  QProcess p;
  p.setWorkingDirectory(dir.path());
  p.start(dir.filePath(QStringLiteral("Rekovia")), {});
  QVERIFY(p.waitForFinished(20000));
  QCOMPARE(p.exitStatus(), QProcess::NormalExit);
  QCOMPARE(p.exitCode(), kExitEngine);
  const QList<QByteArray> lines = p.readAllStandardError().trimmed().split('\n');
  QByteArrayList ours;
  for (const QByteArray& l : lines)
    if (l.startsWith("Rekovia:")) ours << l;
  QCOMPARE(ours.size(), 1);
  QVERIFY2(ours[0].contains("lacks Undelete_GetSessionInfo"), ours[0].constData());
  // Nothing was written where it ran: no options file, no session.
  QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

GUI_TEST(TestBinding);
#include "test_binding.moc"
