// The engine object's frame exports, the log line rules and the size text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/size_text.h"
#include "core_engine.h"
#include "test_support.h"

namespace {

using coretest::fileRecord;
using coretest::SmallEngine;

TEST(Frame, CreateRefusesANullOutPointer) { EXPECT_EQ(Undelete_Create(nullptr), 0); }

TEST(Frame, SessionPathIsFixedAtCreation) {
  kvxtest::TempDir dir("frame_cwd");
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  std::filesystem::current_path(before);
  EXPECT_EQ(u->sessionPath,
            (std::filesystem::canonical(dir.path()) / "LastSession.Results").string());
  Undelete_Delete(u);
}

TEST(Frame, TraceSwitchComesFromTheEnvironment) {
  for (const char* value : {"1", "0", "yes"}) {
    setenv("KVX_TRACE", value, 1);
    Undelete* u = nullptr;
    ASSERT_EQ(Undelete_Create(&u), 1);
    EXPECT_EQ(u->traceOn, std::string(value) == "1" ? 1u : 0u) << value;
    u->traceOn = 0;
    Undelete_Delete(u);
  }
  unsetenv("KVX_TRACE");
}

TEST(Frame, DoneOnAFreshObjectLogsNothing) {
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  u->traceOn = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Undelete_Done(u), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  u->traceOn = 0;
  Undelete_Delete(u);
}

TEST(Frame, DoneReleasesTheResultsAndSaysSoInOrder) {
  SmallEngine u;
  FileRecord r = fileRecord();
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  ASSERT_TRUE(Storage_AddFolder(u.get(), u"C:", kNoParent, 0xFFFF, 0, false, false, nullptr));
  u->cancelEvent.set();
  u->totalCancelEvent.set();
  u->progress = 5;
  u->bytesDone = 9;
  u->traceOn = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Undelete_Done(u.get()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Undelete_Done: Destroy files list.\r\nUndelete_Done: Destroy strings memory.\r\n"
            "Undelete_Done: Destroy folder memory.\r\n");
  u->traceOn = 0;
  EXPECT_EQ(u->files, nullptr);
  EXPECT_EQ(u->strings, nullptr);
  EXPECT_EQ(u->folders, nullptr);
  EXPECT_EQ(u->fileCount + u->deletedCount + u->folderCount + u->stringsUsed, 0u);
  EXPECT_EQ(u->progress, 0u);
  EXPECT_EQ(u->bytesDone, 0u);
  EXPECT_FALSE(u->cancelEvent.isSet());
  EXPECT_FALSE(u->totalCancelEvent.isSet());
  // A new reservation works on the same object.
  EXPECT_TRUE(Storage_Reserve(u.get()));
}

TEST(Frame, DoneRefusesWhileTheSearchThreadRuns) {
  SmallEngine u;
  u->searchRunning = true;
  EXPECT_EQ(Undelete_Done(u.get()), 0);
  EXPECT_NE(u->files, nullptr);
  u->searchRunning = false;
}

TEST(Frame, ErrorAndVerboseNeedTheirPointers) {
  SmallEngine u;
  std::uint32_t code = 1;
  u->error = kErrUserAbort;
  EXPECT_EQ(Undelete_GetError(u.get(), &code), 1);
  EXPECT_EQ(code, kErrUserAbort);
  EXPECT_EQ(Undelete_GetError(u.get(), nullptr), 0);
  EXPECT_EQ(Undelete_SetVerbose(u.get(), nullptr, nullptr), 1);
  EXPECT_EQ(Undelete_IsGoodOS(), 1);
}

struct MessageCase {
  std::uint32_t code;
  const char* text;  // nullptr: no message
};
class ErrorMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessages, StaticTextOrNothing) {
  SmallEngine u;
  u->error = GetParam().code;
  const char* out = "unchanged";
  const int ok = Undelete_GetErrorMessage(u.get(), &out);
  if (GetParam().text == nullptr) {
    EXPECT_EQ(ok, 0);
    EXPECT_STREQ(out, "unchanged");
  } else {
    EXPECT_EQ(ok, 1);
    EXPECT_STREQ(out, GetParam().text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frame, ErrorMessages,
    ::testing::Values(MessageCase{0, "No errors."},
                      MessageCase{0x20000003, "Failed to open drive - access denied."},
                      MessageCase{0x20000008, "Failed to reserve memory."},
                      MessageCase{0x2000000F, "Unable to read source drive."},
                      MessageCase{0x20000010, nullptr},
                      MessageCase{0x20000011,
                                  "Windows version is too low, at least Windows 95 OSR2 required."},
                      MessageCase{0x20000013, "NULL pointer passed."},
                      MessageCase{0x20000014, nullptr}, MessageCase{5, nullptr}));

TEST(Frame, FileSystemNames) {
  const std::vector<std::string> names{"Unknown FS", "CDFS",  "UDF",   "NTFS",
                                       "FAT12",      "FAT16", "FAT32", "exFAT"};
  for (std::uint32_t type = 0; type < names.size(); ++type) {
    const char* out = nullptr;
    ASSERT_EQ(Undelete_FileSystemIndexToName(nullptr, type, &out), 1);
    EXPECT_EQ(out, names[type]);
  }
  const char* out = "unchanged";
  EXPECT_EQ(Undelete_FileSystemIndexToName(nullptr, 8, &out), 0);
  EXPECT_STREQ(out, "unchanged");
  EXPECT_EQ(Undelete_FileSystemIndexToName(nullptr, 0, nullptr), 0);
}

// --- Log lines ----------------------------------------------------------------------------------

std::string formatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatLine(const char* format, ...) {
  char out[kLogLineMax + 3];
  va_list args;
  va_start(args, format);
  const std::size_t n = formatLogLine(out, format, args);
  va_end(args);
  EXPECT_EQ(n, std::strlen(out));
  return std::string(out, n);
}

TEST(LogLine, TrailingWhiteSpaceGivesWayToOneLineBreak) {
  EXPECT_EQ(formatLine("Scan %d\n", 3), "Scan 3\r\n");
  EXPECT_EQ(formatLine("\tDone. \t\r\n\n  "), "\tDone.\r\n");
  EXPECT_EQ(formatLine("a\nb"), "a\nb\r\n");
  EXPECT_EQ(formatLine(" \n"), "\r\n");
  EXPECT_EQ(formatLine("%s", ""), "\r\n");
}

TEST(LogLine, LongOutputIsCutAt4093Characters) {
  const std::string long1(5000, 'x');
  const std::string line = formatLine("%s", long1.c_str());
  EXPECT_EQ(line, std::string(4093, 'x') + "\r\n");
  // The cut comes first, then the stripping: spaces at the cut are removed too.
  const std::string spaced = std::string(4090, 'y') + std::string(10, ' ') + "z";
  EXPECT_EQ(formatLine("%s", spaced.c_str()), std::string(4090, 'y') + "\r\n");
  const std::string exact(4093, 'w');
  EXPECT_EQ(formatLine("%s", exact.c_str()), exact + "\r\n");
}

struct Reports {
  std::vector<std::string> lines;
  static int collect(void* context, const char* line) {
    static_cast<Reports*>(context)->lines.emplace_back(line);
    return 0;
  }
};

TEST(LogChannels, ReportGoesToTheCallbackOnly) {
  SmallEngine u;
  Reports reports;
  Undelete_Report(u.get(), "dropped\n");  // no callback yet
  ASSERT_EQ(Undelete_SetVerbose(u.get(), Reports::collect, &reports), 1);
  testing::internal::CaptureStderr();
  Undelete_Report(u.get(), "\tScanning file system %d, NTFS.  \n\n", 1);
  Undelete_Log(u.get(), "silent while traceOn is 0\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(reports.lines, std::vector<std::string>{"\tScanning file system 1, NTFS.\r\n"});
  Undelete_Report(nullptr, "x");
  Undelete_Log(nullptr, "x");
}

// --- Size text ----------------------------------------------------------------------------------

struct SizeCase {
  std::uint64_t bytes;
  const char* text;
};
class SizeText : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeText, UnitAndRoundedTenths) {
  char out[32];
  const std::size_t n = formatSizeText(GetParam().bytes, out, sizeof out);
  EXPECT_STREQ(out, GetParam().text);
  EXPECT_EQ(n, std::strlen(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Size, SizeText,
    ::testing::Values(SizeCase{0, "0 B"}, SizeCase{1023, "1023 B"}, SizeCase{1024, "1.0 KB"},
                      SizeCase{1536, "1.5 KB"}, SizeCase{1075, "1.0 KB"},
                      SizeCase{1076, "1.1 KB"},  // 10760 + 512 = 11272 -> 11
                      SizeCase{1048575, "1024.0 KB"}, SizeCase{1048576, "1.0 MB"},
                      SizeCase{16u << 20, "16.0 MB"}, SizeCase{(1ull << 30) * 3 / 2, "1.5 GB"},
                      SizeCase{(1ull << 40) - 1, "1024.0 GB"}, SizeCase{1ull << 40, "1.0 TB"},
                      SizeCase{(1ull << 50) - 1, "1024.0 TB"}, SizeCase{1ull << 50, ""},
                      SizeCase{~0ull, ""}));

TEST(SizeText, CutToTheBuffer) {
  char out[4] = {'?', '?', '?', '?'};
  formatSizeText(1536, out, sizeof out);
  EXPECT_STREQ(out, "1.5");
  EXPECT_EQ(formatSizeText(1536, nullptr, 0), 0u);
}

}  // namespace
