// Files created for the user in a hostile destination: planted links and files are never written
// through or replaced, name searches end on real errors, incomplete files do not stay under their
// names, session-style files are replaced atomically, and FIFOs are never opened for reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include "host/host.h"
#include "host/host_output.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

namespace fs = std::filesystem;

std::string content(const fs::path& p) {
  const auto b = kvxtest::readFile(p);
  return {b.begin(), b.end()};
}

std::string entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  std::string out;
  for (const auto& n : names) out += n + ";";
  return out;
}

class HostileDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dest);
    fs::create_directories(elsewhere);
    kvxtest::writeFile(elsewhere / "victim", {'k', 'e', 'e', 'p'});
    fs::create_symlink(elsewhere, dest / "sub");                   // a folder name taken by a link
    fs::create_symlink(elsewhere / "victim", dest / "a.txt");      // a file name taken by a link
    fs::create_symlink(elsewhere / "victim", dest / "b.txt:ads");  // a stream name taken by a link
    kvxtest::writeFile(dest / "plain", {'x'});                     // a folder name taken by a file
    root = Undelete_OpenOutputFolder(-1, dest.c_str(), nullptr, 0);
    ASSERT_GE(root, 0);
  }
  void TearDown() override {
    if (root >= 0) ::close(root);
    EXPECT_EQ(content(elsewhere / "victim"), "keep") << "written outside the destination";
    EXPECT_EQ(entries(elsewhere), "victim;") << "created outside the destination";
  }
  kvxtest::TempDir dir{"output"};
  fs::path dest = dir / "dest", elsewhere = dir / "elsewhere";
  int root = -1;
};

TEST_F(HostileDestination, FoldersAndFilesTakeFreeNamesInsteadOfFollowingOrReplacing) {
  char chosen[512];
  // Folders: a link or a file under the name gives the next free name; a real folder is reused.
  for (const char* name : {"sub", "plain"}) {
    const int fd = Undelete_OpenOutputFolder(root, name, chosen, sizeof chosen);
    ASSERT_GE(fd, 0) << name;
    EXPECT_EQ(std::string(chosen), std::string(name) + " (2)");
    ::close(fd);
  }
  const int again = Undelete_OpenOutputFolder(root, "sub (2)", chosen, sizeof chosen);
  ASSERT_GE(again, 0);
  EXPECT_STREQ(chosen, "sub (2)");

  // Files: created exclusively, numbered past the planted link; the stream beside it likewise.
  HostOutputFile file;
  ASSERT_TRUE(file.create(HostOutputPlace{again, true}, "b.txt"));
  ::close(again);
  ASSERT_TRUE(file.write("data", 4));
  HostOutputFile top, ads;
  ASSERT_TRUE(top.create(HostOutputPlace{root, true}, "a.txt"));
  EXPECT_EQ(top.name(), "a (2).txt");
  HostOutputFile b;
  ASSERT_TRUE(b.create(HostOutputPlace{root, true}, "b.txt"));
  ASSERT_TRUE(ads.createSibling(b, "ads"));
  EXPECT_EQ(ads.name(), "b.txt:ads (2)") << entries(dest) << " / " << b.name();
  ASSERT_TRUE(ads.write("s", 1));
  EXPECT_TRUE(ads.finish());
  EXPECT_TRUE(b.finish());
  EXPECT_TRUE(top.finish());
  EXPECT_TRUE(file.finish());
  EXPECT_EQ(content(dest / "sub (2)" / "b.txt"), "data");

  // Without numbering (a path given by a caller) an existing name fails: nothing is replaced.
  HostOutputFile exact;
  EXPECT_FALSE(exact.create(HostOutputPlace{}, (dest / "a.txt").string()));
  EXPECT_NE(Host_LastErrorText().find("File exists"), std::string::npos) << Host_LastErrorText();
  // A path whose folder is a link is refused too.
  EXPECT_FALSE(exact.create(HostOutputPlace{}, (dest / "sub" / "new").string()));

  // The destination itself must be a folder, not a link to one.
  EXPECT_LT(Undelete_OpenOutputFolder(-1, (dest / "sub").c_str(), nullptr, 0), 0);
}

TEST_F(HostileDestination, NameSearchesAreBoundedAndStopOnRealErrors) {
  // The longest name a folder holds, taken twice: the numbered name is cut to fit, not refused.
  const std::string longName = std::string(251, 'n') + ".txt";
  HostOutputFile first, second;
  ASSERT_TRUE(first.create(HostOutputPlace{root, true}, longName));
  ASSERT_TRUE(second.create(HostOutputPlace{root, true}, longName));
  EXPECT_EQ(second.name().size(), 255u);
  EXPECT_TRUE(second.name().ends_with(" (2).txt")) << second.name();
  EXPECT_TRUE(first.finish() && second.finish());
  EXPECT_EQ(Host_NumberedName(std::string(300, 'x'), 12).size(), 255u);

  // A name the file system refuses fails at once with the reason, without trying numbers.
  HostOutputFile tooLong;
  EXPECT_FALSE(tooLong.create(HostOutputPlace{root, true}, std::string(256, 'y')));
  EXPECT_NE(Host_LastErrorText().find("too long"), std::string::npos) << Host_LastErrorText();

  // A folder that cannot be entered (another user's 0700 folder): the search ends with EACCES.
  fs::create_directories(dest / "private");
  ::chmod((dest / "private").c_str(), 0700);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a search that spins would be killed and fail the test
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(3);
    const int fd = Undelete_OpenOutputFolder(root, "private", nullptr, 0);
    if (fd >= 0) _exit(4);
    HostOutputFile f;
    const int priv = ::open((dest / "private").c_str(), O_RDONLY | O_DIRECTORY);
    const bool created = f.create(HostOutputPlace{priv, true}, "x");
    _exit(created                                                               ? 5
          : Host_LastErrorText().find("Permission denied") != std::string::npos ? 0
                                                                                : 6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges";
  ASSERT_TRUE(WIFEXITED(status)) << "killed: the search did not end";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostileDestination, IncompleteFilesAreRemovedOrNamedPartial) {
  HostOutputFile empty, readError, writeError;
  ASSERT_TRUE(empty.create(HostOutputPlace{root, true}, "empty.bin"));
  EXPECT_FALSE(empty.fail(true)) << "nothing read: nothing kept";
  ASSERT_TRUE(readError.create(HostOutputPlace{root, true}, "half.bin"));
  ASSERT_TRUE(readError.write("half", 4));
  kvxtest::writeFile(dest / "half.bin.partial", {'o', 'l', 'd'});  // an earlier partial stays
  EXPECT_TRUE(readError.fail(true));
  EXPECT_EQ(readError.name(), "half.bin (2).partial");
  ASSERT_TRUE(writeError.create(HostOutputPlace{root, true}, "full.bin"));
  ASSERT_TRUE(writeError.write("ab", 2));
  EXPECT_FALSE(writeError.fail(false));
  {
    HostOutputFile abandoned;  // dropped without finish(): as a failure
    ASSERT_TRUE(abandoned.create(HostOutputPlace{root, true}, "dropped.bin"));
  }
  EXPECT_EQ(entries(dest), "a.txt;b.txt:ads;half.bin (2).partial;half.bin.partial;plain;sub;");
  EXPECT_EQ(content(dest / "half.bin (2).partial"), "half");
  EXPECT_EQ(content(dest / "half.bin.partial"), "old");
}

TEST_F(HostileDestination, AtomicWritesReplaceLinksAndKeepTheOldFileOnFailure) {
  // Links planted under the final name and under every fixed temporary name a writer might use.
  const fs::path session = dest / "LastSession.Results";
  fs::create_symlink(elsewhere / "victim", session);
  fs::create_symlink(elsewhere / "victim", dest / "LastSession.Results.partial");
  const auto writeText = [&](const std::string& text, bool succeed) {
    return Host_WriteFileAtomically(
        session.c_str(), [&](const auto& put) { return put(text.data(), text.size()) && succeed; });
  };
  ASSERT_TRUE(writeText("session one", true));
  EXPECT_FALSE(fs::is_symlink(session));
  EXPECT_EQ(content(session), "session one");
  EXPECT_FALSE(writeText("session two", false));
  EXPECT_EQ(content(session), "session one");
  EXPECT_EQ(entries(dest),
            "LastSession.Results;LastSession.Results.partial;a.txt;b.txt:ads;plain;sub;")
      << "no temporary file is left";

  // Reading: a FIFO is refused at once instead of waiting for a writer.
  const fs::path fifo = dest / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_LT(Host_OpenRegularFile(fifo.c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const int fd = Host_OpenRegularFile(session.c_str());
  EXPECT_GE(fd, 0);
  ::close(fd);
}

}  // namespace
