// The drive-table exports front ends use instead of the host layer: mapping an image to a letter,
// listing both tables, probing sources and the failure code and text of the last call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "drive_test_util.h"
#include "host/host.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

class DriveExportsTest : public ::testing::Test {
 protected:
  kvxtest::TempDir dir{"drive-exports"};
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    ::unsetenv("KVX_DRIVES");
    ::unsetenv("KVX_DISKS");
  }
  void TearDown() override {
    ::unsetenv("KVX_DRIVES");
    ::unsetenv("KVX_DISKS");
    Host_RefreshDrives();
  }
  std::string image(const std::string& name, std::size_t size) {
    const auto path = dir / name;
    kvxtest::writeFile(path, drivetest::pattern(size));
    return path.string();
  }
  static std::string hostError(std::uint32_t* code) {
    char text[512];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(Undelete_GetHostError(code, text, sizeof text), 1);
    return text;
  }
};

TEST_F(DriveExportsTest, ImagesMapToLettersThatTheTableListsAndProbes) {
  const std::string a = image("a.img", 3 << 20);
  const std::string iso = image("b.iso", 8192);
  const std::string empty = image("empty.img", 0);
  const std::string missing = (dir / "gone.img").string();
  ::setenv("KVX_DRIVES", ("E=" + a + ";F=" + missing).c_str(), 1);
  ::setenv("KVX_DISKS", ("9=" + a).c_str(), 1);
  Host_RefreshDrives();

  char used = 0;
  ASSERT_EQ(Undelete_AddDrive(iso.c_str(), 0, &used), 1);
  ASSERT_NE(used, 0);
  char again = 0;
  EXPECT_EQ(Undelete_AddDrive(iso.c_str(), 0, &again), 1);
  EXPECT_EQ(again, used) << "the same source keeps its letter";
  ASSERT_EQ(Undelete_AddDrive(empty.c_str(), 'Z', nullptr), 1);

  UndeleteDriveEntry entry;
  ASSERT_EQ(Undelete_FindDrive(used, &entry), 1);
  EXPECT_EQ(entry.letter, used);
  EXPECT_EQ(entry.type, kUndeleteDriveCdRom);
  EXPECT_EQ(entry.origin, kUndeleteOriginAdded);
  EXPECT_EQ(std::string(entry.path), iso);
  EXPECT_EQ(Undelete_FindDrive('E', nullptr), 1);

  // The listing is the host's table, entry for entry.
  const auto drives = Host_ListDrives();
  std::uint32_t n = 0;
  for (; Undelete_GetDriveEntry(n, &entry); ++n) {
    ASSERT_LT(n, drives.size());
    EXPECT_EQ(entry.letter, drives[n].letter);
    EXPECT_EQ(std::string(entry.source), drives[n].source);
    EXPECT_EQ(std::string(entry.path), drives[n].path);
    if (entry.letter == 'E') EXPECT_EQ(entry.origin, kUndeleteOriginEnvironment);
  }
  EXPECT_EQ(n, drives.size());
  EXPECT_EQ(Undelete_GetDriveEntry(0, nullptr), 0);
  bool sawDisk = false;
  for (std::uint32_t i = 0; Undelete_GetDiskEntry(i, &entry); ++i)
    if (entry.number == 9) sawDisk = std::string(entry.path) == a;
  EXPECT_TRUE(sawDisk);

  UndeleteProbe probe;
  ASSERT_EQ(Undelete_ProbeDrive('E', &probe), 1);
  EXPECT_EQ(probe.status, kUndeleteProbeUsable);
  EXPECT_EQ(probe.size, 3u << 20);
  ASSERT_EQ(Undelete_ProbeDisk(9, &probe), 1);
  EXPECT_EQ(probe.status, kUndeleteProbeUsable);
  ASSERT_EQ(Undelete_ProbeDrive('Z', &probe), 1);
  EXPECT_EQ(probe.status, kUndeleteProbeEmpty);
  EXPECT_EQ(probe.size, 0u);

  ASSERT_EQ(Undelete_ProbeDrive('F', &probe), 1);
  EXPECT_EQ(probe.status, kUndeleteProbeCannotOpen);
  std::uint32_t code = 0;
  std::string text = hostError(&code);
  EXPECT_EQ(code, kErrOpenDrive);
  EXPECT_EQ(text, missing + ": No such file or directory");
}

TEST_F(DriveExportsTest, FailuresSayWhyAndTextsAreCutNotOverrun) {
  const std::string missing = (dir / "nothing.img").string();
  char used = 'Q';
  EXPECT_EQ(Undelete_AddDrive(missing.c_str(), 0, &used), 0);
  EXPECT_EQ(used, 0);
  std::uint32_t code = 0;
  EXPECT_NE(hostError(&code).find("No such file"), std::string::npos);
  EXPECT_EQ(code, kErrOpenDrive);
  EXPECT_EQ(Undelete_AddDrive(nullptr, 0, nullptr), 0);
  EXPECT_EQ(Undelete_GetHostError(&code, nullptr, 0), 1);
  EXPECT_EQ(code, kErrNullPointer);

  // A text longer than the buffer is cut and still terminated; nothing is written past it.
  EXPECT_EQ(Undelete_AddDrive(missing.c_str(), 0, nullptr), 0);
  char small[8];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(Undelete_GetHostError(nullptr, small, 5), 1);
  EXPECT_EQ(std::string(small), missing.substr(0, 4));
  EXPECT_EQ(small[5], '#');

  // The letters of a folder: the host's answer, or a refusal when it does not fit.
  const std::string expected = Host_LettersOfPath(dir.path().string());
  char letters[27];
  ASSERT_EQ(Undelete_LettersOfPath(dir.path().c_str(), letters, sizeof letters), 1);
  EXPECT_EQ(std::string(letters), expected);
  EXPECT_EQ(Undelete_LettersOfPath(dir.path().c_str(), letters,
                                   static_cast<std::uint32_t>(expected.size())),
            0);
  EXPECT_EQ(Undelete_LettersOfPath(nullptr, letters, sizeof letters), 0);
}

}  // namespace
