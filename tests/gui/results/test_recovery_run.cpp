// The recovery run against an engine stand-in that writes known bytes: the overwrite question
// and its yes-to-all, failures that leave the rest going, cancel between files, the destination
// checks and the same-drive test. The scanned-image run is in test_recovery_image.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <set>
#include <sstream>

#include "recovery/recovery_run.h"

using recovery::FileJob;
using recovery::FileOutcome;
using recovery::RecoveryEngine;
using recovery::RecoveryRun;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

/// Writes "file N" for file N, exclusively, as the engine would; fails for the indexes in @p bad.
struct FakeEngine {
  std::set<std::uint32_t> bad;
  std::string sourceLetters;  // letters whose files may not go to the destination
  std::string destinationLetters;
  int recoverCalls = 0;
  std::function<void()> duringRecover;

  RecoveryEngine bind() {
    RecoveryEngine e;
    e.mayBeRecoveredTo = [this](std::uint32_t, char letter) {
      return sourceLetters.find(letter) == std::string::npos;
    };
    e.lettersOfPath = [this](const std::string&) { return destinationLetters; };
    e.openFolder = [](int parent, const std::string& name, std::string* chosen) {
      if (parent < 0) {
        std::filesystem::create_directories(name);
        return ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      }
      ::mkdirat(parent, name.c_str(), 0755);
      if (chosen != nullptr) *chosen = name;
      return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    };
    e.recoverAt = [this](std::uint32_t index, int folder, const std::string& name,
                         std::string* chosen) {
      ++recoverCalls;
      if (duringRecover) duringRecover();
      if (bad.count(index) != 0) return false;
      const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
      if (fd < 0) return false;
      const std::string text = "file " + std::to_string(index);
      const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      ::close(fd);
      *chosen = name;
      return ok;
    };
    e.isCancelled = [] { return false; };
    e.cancel = [] {};
    e.bytesProcessed = [] { return std::uint64_t{0}; };
    e.lastError = [] { return std::string("it broke"); };
    return e;
  }
};

struct ScriptedQuestions : recovery::RecoveryQuestions {
  bool answer = true;
  std::vector<std::string> asked;
  bool overwrite(const std::string& path) override {
    asked.push_back(path);
    return answer;
  }
};

std::vector<FileJob> jobs(std::initializer_list<std::pair<std::uint32_t, const char*>> list) {
  std::vector<FileJob> out;
  for (const auto& [index, name] : list) out.push_back({index, {"E:", "Docs"}, name, 10});
  return out;
}

}  // namespace

class RecoveryRunTest : public QObject {
  Q_OBJECT
 private slots:
  void yesOnceOverwritesEveryLaterFile() {
    QTemporaryDir tmp;
    const std::string dest = tmp.path().toStdString() + "/out";
    std::filesystem::create_directories(dest + "/E:/Docs");
    spit(dest + "/E:/Docs/a.txt", "old a");
    spit(dest + "/E:/Docs/c.txt", "old c");
    FakeEngine engine;
    std::vector<FileOutcome> outcomes;
    RecoveryRun run(engine.bind(), dest, {}, jobs({{0, "a.txt"}, {1, "b.txt"}, {2, "c.txt"}}));
    ScriptedQuestions questions;
    run.run(questions, [&](const FileOutcome& o) { outcomes.push_back(o); });
    QCOMPARE(questions.asked.size(), std::size_t{1});
    QCOMPARE(questions.asked[0], dest + "/E:/Docs/a.txt");
    QCOMPARE(slurp(dest + "/E:/Docs/a.txt"), std::string("file 0"));
    QCOMPARE(slurp(dest + "/E:/Docs/c.txt"), std::string("file 2"));
    QCOMPARE(run.recovered(), 3u);
    QCOMPARE(run.lastRecovered(), dest + "/E:/Docs/c.txt");
    QCOMPARE(run.bytesProcessed(), std::uint64_t{30});
    // Nothing of the replacement step is left behind.
    QCOMPARE(std::distance(std::filesystem::directory_iterator(dest + "/E:/Docs"), {}), 3);
  }

  void noEndsTheRunAndKeepsTheFile() {
    QTemporaryDir tmp;
    const std::string dest = tmp.path().toStdString();
    std::filesystem::create_directories(dest + "/E:/Docs");
    spit(dest + "/E:/Docs/b.txt", "old b");
    FakeEngine engine;
    std::vector<FileOutcome> outcomes;
    RecoveryRun run(engine.bind(), dest, {}, jobs({{0, "a.txt"}, {1, "b.txt"}, {2, "c.txt"}}));
    ScriptedQuestions questions;
    questions.answer = false;
    run.run(questions, [&](const FileOutcome& o) { outcomes.push_back(o); });
    QVERIFY(run.declined());
    QCOMPARE(outcomes.size(), std::size_t{1});  // a was recovered; b declined; c never tried
    QCOMPARE(slurp(dest + "/E:/Docs/b.txt"), std::string("old b"));
    QVERIFY(!std::filesystem::exists(dest + "/E:/Docs/c.txt"));
    QCOMPARE(run.recovered(), 1u);
  }

  void failedReplacementKeepsTheOldFile() {
    QTemporaryDir tmp;
    const std::string dest = tmp.path().toStdString();
    std::filesystem::create_directories(dest + "/E:/Docs");
    spit(dest + "/E:/Docs/a.txt", "old a");
    FakeEngine engine;
    engine.bad = {0};
    std::vector<FileOutcome> outcomes;
    RecoveryRun run(engine.bind(), dest, {}, jobs({{0, "a.txt"}, {1, "b.txt"}}));
    ScriptedQuestions questions;
    run.run(questions, [&](const FileOutcome& o) { outcomes.push_back(o); });
    QCOMPARE(outcomes.size(), std::size_t{2});
    QVERIFY(!outcomes[0].recovered);
    QCOMPARE(outcomes[0].error, std::string("it broke"));
    QVERIFY(outcomes[1].recovered);  // the loop goes on after a failure
    QCOMPARE(slurp(dest + "/E:/Docs/a.txt"), std::string("old a"));
  }

  void cancelBetweenFilesIsNotLost() {
    QTemporaryDir tmp;
    FakeEngine engine;
    RecoveryRun* self = nullptr;
    // The cancel arrives while file 0 is written; the engine forgets its own cancel at the next
    // file, so the run must stop on its own flag.
    engine.duringRecover = [&] {
      if (engine.recoverCalls == 1) self->cancel();
    };
    RecoveryRun run(engine.bind(), tmp.path().toStdString(), {},
                    jobs({{0, "a"}, {1, "b"}, {2, "c"}}));
    self = &run;
    ScriptedQuestions questions;
    run.run(questions, {});
    QCOMPARE(engine.recoverCalls, 1);
    QVERIFY(run.cancelled());
  }

  void foldersAndUnsafeNames() {
    QTemporaryDir tmp;
    const std::string dest = tmp.path().toStdString() + "/new/deeper";  // made with its parents
    FakeEngine engine;
    std::vector<FileJob> files = {{0, {"E:", ".."}, "../x", 1}, {1, {"E:", "a/b"}, "", 1}};
    RecoveryRun run(engine.bind(), dest, {{{"E:", "Empty"}}}, files);
    ScriptedQuestions questions;
    run.run(questions, {});
    QCOMPARE(run.recovered(), 2u);
    QVERIFY(std::filesystem::is_directory(dest + "/E:/Empty"));
    QCOMPARE(slurp(dest + "/E:/___/.._x"), std::string("file 0"));
    QCOMPARE(slurp(dest + "/E:/a_b/_"), std::string("file 1"));
    QCOMPARE(recovery::safeComponent(std::string(300, 'n') + ".jpeg").size(), std::size_t{255});
    QVERIFY(recovery::safeComponent(std::string(300, 'n') + ".jpeg").ends_with(".jpeg"));
  }

  void destinationChecks() {
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString();
    QCOMPARE(recovery::destinationProblem(dir + "/not/yet", 0), std::string());
    QCOMPARE(recovery::destinationProblem(dir, 1 << 20), std::string());
    QVERIFY(!recovery::destinationProblem(dir, ~0ull).empty());  // no volume is that free
    // A file of the test file's name is left alone and does not fail the check.
    spit(dir + "/__test__file__.tmp", "mine");
    QCOMPARE(recovery::destinationProblem(dir, 0), std::string());
    QCOMPARE(slurp(dir + "/__test__file__.tmp"), std::string("mine"));
    if (::geteuid() != 0) {  // root writes anywhere
      std::filesystem::create_directory(dir + "/ro");
      ::chmod((dir + "/ro").c_str(), 0555);
      QVERIFY(!recovery::destinationProblem(dir + "/ro", 0).empty());
    }
  }

  void sameDriveTest() {
    FakeEngine engine;
    engine.sourceLetters = "S";
    engine.destinationLetters = "TS";
    const RecoveryEngine bound = engine.bind();
    QVERIFY(recovery::writesToSourceDrive(bound, "/x", {0, 1, 2}));
    engine.destinationLetters = "T";
    QVERIFY(!recovery::writesToSourceDrive(bound, "/x", {0, 1, 2}));
    engine.destinationLetters = "";
    QVERIFY(!recovery::writesToSourceDrive(bound, "/x", {0}));
  }
};

QTEST_MAIN(RecoveryRunTest)
#include "test_recovery_run.moc"
