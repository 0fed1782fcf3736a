// Scan orchestration: progress arithmetic, cancel semantics, the search thread's life cycle,
// recognition of an empty optical drive, and the result queries and recovery dispatch over
// records placed in the storage by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/cached_drive.h"
#include "core/search.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

// --- Progress ----------------------------------------------------------------------------------

struct ProgressCase {
  const char* name;
  ScanProgressInput in;
  bool ok;
  std::uint32_t position;
};

ScanProgressInput input(std::uint32_t progress, std::uint16_t driveIndex, std::uint16_t driveCount,
                        std::uint32_t options = 0, std::uint64_t done = 0, std::uint64_t total = 0,
                        std::uint16_t fsIndex = 0, std::uint16_t fsCount = 1) {
  ScanProgressInput in;
  in.progress = progress;
  in.driveIndex = driveIndex;
  in.driveCount = driveCount;
  in.options = options;
  in.deepScanDone = done;
  in.deepScanTotal = total;
  in.fsIndex = fsIndex;
  in.fsCount = fsCount;
  return in;
}

class ProgressTest : public ::testing::TestWithParam<ProgressCase> {};
TEST_P(ProgressTest, Position) {
  std::uint32_t pos = 0xDEADBEEF;
  EXPECT_EQ(Search_ComputePosition(GetParam().in, &pos), GetParam().ok);
  if (GetParam().ok) EXPECT_EQ(pos, GetParam().position);
}
INSTANTIATE_TEST_SUITE_P(
    Scan, ProgressTest,
    ::testing::Values(
        ProgressCase{"HalfOfFirstOfTwo", input(5000, 0, 2), true, 2500},
        ProgressCase{"HalfOfSecondOfTwo", input(5000, 1, 2), true, 7500},
        ProgressCase{"DeepQuarter", input(0, 0, 1, kOptDeepScan, 250, 1000), true, 3000},
        ProgressCase{"DeepBeforeCounters", input(8000, 0, 1, kOptDeepScan), true, 800},
        ProgressCase{"DeepDoneOnly", input(8000, 0, 1, kOptDeepScan, 5, 0), true, 800},
        ProgressCase{"DeepHugeCounters", input(0, 0, 1, kOptDeepScan, ~0ull / 2, ~0ull), true, 4999},
        ProgressCase{"SecondFurtherPassHalf", input(5000, 0, 1, 0, 0, 0, 2, 3), true, 9833},
        ProgressCase{"FurtherPassNoCount", input(5000, 0, 1, 0, 0, 0, 1, 0), false, 0},
        ProgressCase{"OverflowingPassCut", input(25000, 0, 1), true, 10000},
        ProgressCase{"AfterLastDrive", input(0, 2, 2), true, 10000},
        ProgressCase{"NoDrives", input(5000, 0, 0), false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Engine object with a report log -------------------------------------------------------------

/// Report lines as delivered, and an optional hook run on each (on the search thread).
struct ReportLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> onLine;
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return lines;
  }
  int count(const std::string& line) {
    int n = 0;
    for (const auto& l : snapshot()) n += l == line;
    return n;
  }
};

int collect(void* context, const char* line) {
  auto* log = static_cast<ReportLog*>(context);
  {
    std::lock_guard lock(log->mutex);
    log->lines.emplace_back(line);
  }
  if (log->onLine) log->onLine(line);
  return 0;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Undelete_Create(&u), 1);
    Undelete_SetVerbose(u, collect, &log);
  }
  void TearDown() override {
    waitIdle();
    Undelete_Delete(u);
  }
  void waitIdle() {
    std::uint32_t code = 0;
    for (int i = 0; i < 1000 && Undelete_IsSearching(u, &code); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  /// A drive letter over a file of zeros (no file system: the unformatted path runs).
  char blankDrive(const std::string& name, std::size_t bytes = 64 * 1024) {
    const auto path = dir / name;
    kvxtest::writeFile(path, std::vector<std::uint8_t>(bytes, 0));
    return Host_AddDrive(path.string());
  }
  std::uint32_t driveSpecOf(char letter) { return static_cast<std::uint32_t>(letter - 'A'); }

  Undelete* u = nullptr;
  ReportLog log;
  kvxtest::TempDir dir{"scan"};
};

TEST_F(EngineTest, CancelReportsOnceAndTotalCancelSetsBoth) {
  EXPECT_EQ(Undelete_IsCancelled(u), 0);
  Undelete_Cancel(u);
  Undelete_Cancel(u);
  EXPECT_EQ(log.count("\tCancelled.\r\n"), 1);
  EXPECT_EQ(Undelete_IsCancelled(u), 1);
  EXPECT_FALSE(u->totalCancelEvent.isSet());
  Undelete_TotalCancel(u);
  EXPECT_TRUE(u->totalCancelEvent.isSet());
  EXPECT_EQ(log.count("\tScan totally cancelled.\r\n"), 1);
}

TEST_F(EngineTest, CancelClearsDeleteSessionAtEnd) {
  u->partitionFlags |= kDeleteSessionAtEnd;
  Undelete_Cancel(u);
  EXPECT_EQ(u->partitionFlags & kDeleteSessionAtEnd, 0u);
}

TEST_F(EngineTest, StartRefusesEmptyListsAndUnknownDrives) {
  const std::uint32_t driveSpec = 0;
  EXPECT_EQ(Undelete_SearchMultiple(u, nullptr, 1, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Undelete_SearchMultiple(u, &driveSpec, 0, 0, nullptr, nullptr, nullptr), 0);
  const std::uint32_t beyondZ = 40;
  EXPECT_EQ(Undelete_SearchMultiple(u, &beyondZ, 1, 0, nullptr, nullptr, nullptr), 0);
  std::uint32_t error = 0;
  Undelete_GetError(u, &error);
  EXPECT_EQ(error, kErrOpenDrive);
  std::uint32_t code = 7;
  EXPECT_EQ(Undelete_IsSearching(u, &code), 0);
  EXPECT_EQ(code, 7u) << "no thread: the exit code is left alone";
}

TEST_F(EngineTest, SecondStartWhileRunningIsRefused) {
  const char letter = blankDrive("blank.img");
  ASSERT_NE(letter, 0);
  // The search thread reports its drive heading first and waits there until released.
  std::mutex m;
  std::condition_variable cv;
  bool reached = false, release = false;
  log.onLine = [&](const std::string& line) {
    if (line.rfind("Scanning drive", 0) != 0) return;
    std::unique_lock lock(m);
    reached = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  const std::uint32_t driveSpec = driveSpecOf(letter);
  ASSERT_EQ(Undelete_SearchMultiple(u, &driveSpec, 1, 0, nullptr, nullptr, nullptr), 1);
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return reached; });
  }
  EXPECT_EQ(Undelete_IsSearching(u, nullptr), 1);
  EXPECT_EQ(Undelete_SearchMultiple(u, &driveSpec, 1, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_NE(u->driveTable, nullptr) << "the running scan keeps its drives";
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  waitIdle();
  std::uint32_t code = 0;
  EXPECT_EQ(Undelete_IsSearching(u, &code), 0);
  EXPECT_EQ(code, 1u);
  const char* stage = nullptr;
  ASSERT_EQ(Undelete_GetScanStage(u, &stage), 1);
  EXPECT_STREQ(stage, "");
  // Every drive gets its root folder, named after the slot's title.
  const FolderRecord* root = nullptr;
  ASSERT_EQ(Undelete_GetFolderInfo(u, 0, &root), 1);
  EXPECT_EQ(root->parent.get(), kNoParent);
  const void* name = nullptr;
  ASSERT_EQ(Undelete_GetString(u, root->name.get(), &name), 1);
  const std::u16string expected{static_cast<char16_t>(letter), u':'};
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(name)), expected);
}

struct CancelCase {
  const char* name;
  int drives;
  int cancelAtHeading;  // 1-based drive heading on which the scan is cancelled
  int saveOffers;       // times the save callback is asked
};
class CancelTest : public EngineTest, public ::testing::WithParamInterface<CancelCase> {};

int countOffer(void* arg) {
  ++*static_cast<std::atomic<int>*>(arg);
  return 0;  // no session file
}

TEST_P(CancelTest, InterruptedScan) {
  std::vector<std::uint32_t> driveSpecs;
  for (int i = 0; i < GetParam().drives; ++i) {
    const char letter = blankDrive("blank" + std::to_string(i) + ".img");
    ASSERT_NE(letter, 0);
    driveSpecs.push_back(driveSpecOf(letter));
  }
  std::atomic<int> headings{0}, offers{0};
  log.onLine = [&](const std::string& line) {
    if (line.rfind("Scanning drive", 0) == 0 && ++headings == GetParam().cancelAtHeading)
      Undelete_Cancel(u);
  };
  ASSERT_EQ(Undelete_SearchMultiple(u, driveSpecs.data(), static_cast<std::uint16_t>(driveSpecs.size()), 0,
                                    countOffer, nullptr, &offers),
            1);
  waitIdle();
  std::uint32_t error = 0;
  Undelete_GetError(u, &error);
  EXPECT_EQ(error, kErrUserAbort);
  EXPECT_EQ(offers.load(), GetParam().saveOffers);
  EXPECT_EQ(headings.load(), GetParam().cancelAtHeading) << "no drive after the cancelled one";
  EXPECT_EQ(Undelete_IsCancelled(u), 0) << "the thread clears the events when it handles a cancel";
}
INSTANTIATE_TEST_SUITE_P(Scan, CancelTest,
                         ::testing::Values(CancelCase{"FirstDriveNoSession", 1, 1, 0},
                                           CancelCase{"SecondDriveOffersSession", 2, 2, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, EmptyOpticalDriveIsUnrecognisedButPasses) {
  std::vector<std::uint8_t> disc(64 * 2048, 0);
  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  ASSERT_TRUE(CachedDrive_OpenDevice(drive, Host_OpenMemory(disc, false, true), kDriveTypeCdRom));
  ASSERT_EQ(drive->sectorSize, 2048u);
  EXPECT_TRUE(Undelete_RecognizeDrive(drive, u));
  EXPECT_EQ(drive->fsCount, 0u);
  EXPECT_EQ(log.count("\tUnrecognized file system.\r\n"), 1);
  std::uint32_t error = 0;
  Undelete_GetError(u, &error);
  EXPECT_EQ(error, kErrUnrecognized);
  CachedDrive_Destroy(drive);
}

// --- Queries and recovery over hand-made records -----------------------------------------------

class QueryTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(Storage_Reserve(u));
    // Slot 0: drive C:; slot 1: a partition without a letter; slot 2: a partition with E:.
    u->driveTable = new DriveSlot[3]();
    u->driveCount = 3;
    u->driveTable[0].driveSpec = 2;
    u->driveTable[0].letter = 'C';
    u->driveTable[1].driveSpec = kSpecPartition << 24;
    u->driveTable[2].driveSpec = (kSpecPartition << 24) | 1;
    u->driveTable[2].physicalDrive = 1;
    u->driveTable[2].start = 0x100000;
    u->driveTable[2].length = 0x40000000;
    u->driveTable[2].letter = 'E';
    addFile(0, kKindFat);
    addFile(1, kKindNtfs);
    addFile(7, kKindFat);  // names a slot the table does not have
  }
  void addFile(std::uint16_t slot, std::uint16_t kind) {
    FileRecord r{};
    std::memset(&r, 0, sizeof r);
    r.location.set(static_cast<std::uint16_t>(slot | kind << 12));
    r.status = 4 << 1;
    ASSERT_TRUE(Storage_AddFile(u, &r, false));
  }
};

TEST_F(QueryTest, MayBeRecoveredTo) {
  EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 0, 'C'), 0);
  EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 0, 'D'), 1);
  EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 0, 0x100 | 'C'), 0) << "only the low byte counts";
  for (const std::uint32_t letter : {0u, std::uint32_t{'C'}, std::uint32_t{'Z'}})
    EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 1, letter), 1) << "a slot without a letter";
  EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 2, 'D'), 0) << "unknown slot";
  EXPECT_EQ(Undelete_MayBeRecoveredTo(u, 3, 'D'), 0) << "index out of range";
}

TEST_F(QueryTest, FileInfoBounds) {
  const FileRecord* r = nullptr;
  EXPECT_EQ(Undelete_GetFileInfo(u, 3, &r), 0);
  EXPECT_EQ(r, nullptr);
  ASSERT_EQ(Undelete_GetFileInfo(u, 2, &r), 1);
  EXPECT_EQ(r->location.get() & 0xFFF, 7);
  EXPECT_EQ(Undelete_GetFileInfo(u, 0, nullptr), 0);
}

TEST_F(QueryTest, StateNames) {
  const char* name = nullptr;
  ASSERT_EQ(Undelete_GetFileState(5, &name), 1);
  EXPECT_STREQ(name, "Existing");
  ASSERT_EQ(Undelete_GetFileState(0, &name), 1);
  EXPECT_STREQ(name, "Unrecoverable");
  EXPECT_EQ(Undelete_GetFileState(6, &name), 0);
  EXPECT_STREQ(name, "Unrecoverable") << "left unchanged";
}

TEST_F(QueryTest, DriveInfoOfPartitionSlot) {
  char name[256] = {}, details[256] = "x";
  ASSERT_EQ(Undelete_GetDriveInfo(u, 2, name, details), 1);
  EXPECT_STREQ(name, "Physical drive 1, Offset: 0x0000000000100000, Length: 0x0000000040000000 (E:)");
  EXPECT_STREQ(details, "") << "no drive, no file system to describe";
  ASSERT_EQ(Undelete_GetDriveInfo(u, 1, name, details), 1);
  EXPECT_STREQ(name, "Physical drive 0, Offset: 0x0000000000000000, Length: 0x0000000000000000");
  EXPECT_EQ(Undelete_GetDriveInfo(u, 3, name, details), 0);
  EXPECT_EQ(Undelete_GetDriveInfo(u, 0, nullptr, details), 0);
}

TEST_F(QueryTest, RecoverRefusesBadIndexAndMissingDrive) {
  const auto target = (dir / "out.bin").string();
  Undelete_Cancel(u);
  EXPECT_EQ(Undelete_RecoverFile(u, 3, target.c_str()), 0);
  std::uint32_t error = 0;
  Undelete_GetError(u, &error);
  EXPECT_EQ(error, kErrInvalidParameter);
  EXPECT_EQ(Undelete_IsCancelled(u), 0) << "a recovery clears an earlier cancel first";
  for (const std::uint32_t index : {0u, 2u}) {  // slot without a drive; slot out of the table
    u->error = 0;
    EXPECT_EQ(Undelete_RecoverFile(u, index, target.c_str()), 0);
    Undelete_GetError(u, &error);
    EXPECT_EQ(error, kErrInvalidParameter);
  }
  std::uint64_t bytes = 1;
  ASSERT_EQ(Undelete_GetBytesProcessed(u, &bytes), 1);
  EXPECT_EQ(bytes, 0u);
  EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
