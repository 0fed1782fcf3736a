// CachedDrive: sector probe, cache refill rules, window edges, writes, the optical path and the
// file-system table, over counting memory devices.
#include <gtest/gtest.h>

#include <string>

#include "core/last_error.h"
#include "drive_test_util.h"
#include "undelete/undelete.h"

using namespace drivetest;

namespace {

constexpr std::uint32_t kMiB = 1024 * 1024;

struct Fixture {
  std::vector<std::uint8_t> bytes;
  std::vector<Request> log;
  DrivePtr drive;

  Fixture(std::size_t size, std::uint32_t unit = 1, std::uint32_t type = kHostDriveFixed)
      : bytes(pattern(size)), drive(makeDrive()) {
    opened = CachedDrive_OpenDevice(drive.get(),
                                    std::make_unique<CountingDevice>(&bytes, &log, unit), type);
  }
  bool opened = false;

  /// Reads through the drive and checks the bytes against the device's contents.
  ::testing::AssertionResult readMatches(std::uint64_t offset, std::uint32_t count) {
    std::vector<std::uint8_t> out(count, 0xEE);
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive.get(), offset, count, out.data(), &got))
      return ::testing::AssertionFailure() << "read failed at " << offset;
    if (got != count) return ::testing::AssertionFailure() << "got " << got << " of " << count;
    const std::uint64_t abs = offset + drive->windowStart;
    for (std::uint32_t i = 0; i < count; ++i)
      if (out[i] != bytes[abs + i])
        return ::testing::AssertionFailure() << "byte " << abs + i << " differs";
    return ::testing::AssertionSuccess();
  }
};

struct ProbeCase {
  const char* name;
  std::size_t size;
  std::uint32_t unit;
  bool opens;
  std::uint32_t sectorSize;
  std::size_t probes;
};
class SectorProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(SectorProbeTest, FindsSmallestWholeRead) {
  const auto& c = GetParam();
  Fixture f(c.size, c.unit);
  EXPECT_EQ(f.opened, c.opens);
  EXPECT_EQ(f.drive->sectorSize, c.sectorSize);
  EXPECT_EQ(f.log.size(), c.probes);
}

INSTANTIATE_TEST_SUITE_P(Drive, SectorProbeTest,
                         ::testing::Values(ProbeCase{"Bytes", 64 * 1024, 1, true, 512, 1},
                                           ProbeCase{"Only2048", 64 * 1024, 2048, true, 2048, 4},
                                           ProbeCase{"Only4096", 64 * 1024, 4096, true, 4096, 8},
                                           ProbeCase{"Only16384", 64 * 1024, 16384, true, 16384,
                                                     32},
                                           ProbeCase{"Only32768", 64 * 1024, 32768, false, 0, 32},
                                           ProbeCase{"SmallerThanASector", 300, 1, false, 0, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CachedDriveTest, EmptyDeviceDoesNotOpen) {
  Fixture f(0);
  EXPECT_FALSE(f.opened);
  EXPECT_EQ(Host_GetLastError(), kErrDriveSize);
}

TEST(CachedDriveTest, SequentialRefillKeepsLast32KiB) {
  Fixture f(8 * kMiB);
  ASSERT_TRUE(f.opened);
  f.log.clear();
  ASSERT_TRUE(f.readMatches(0, 512));
  ASSERT_EQ(f.log.size(), 1u);
  EXPECT_EQ(f.log[0].offset, 0u);
  EXPECT_EQ(f.log[0].count, 2 * kMiB);

  ASSERT_TRUE(f.readMatches(2 * kMiB - 512, 512));  // last cached bytes: no device read
  EXPECT_EQ(f.log.size(), 1u);

  ASSERT_TRUE(f.readMatches(2 * kMiB, 512));  // begins where the cache ends
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_EQ(f.log[1].offset, 2 * kMiB);
  EXPECT_EQ(f.log[1].count, 2 * kMiB - 0x8000);
  EXPECT_EQ(f.drive->cacheStart, 2 * kMiB - 0x8000);

  ASSERT_TRUE(f.readMatches(2 * kMiB - 0x8000, 0x8000 + 512));  // the kept tail and beyond
  EXPECT_EQ(f.log.size(), 2u);
  ASSERT_TRUE(f.readMatches(2 * kMiB - 0x8000 - 1, 2));  // one byte before the tail: refill
  EXPECT_EQ(f.log.size(), 3u);
}

TEST(CachedDriveTest, ReadsAcrossTheCacheEdgeAndBypass) {
  Fixture f(8 * kMiB);
  ASSERT_TRUE(f.opened);
  f.log.clear();
  ASSERT_TRUE(f.readMatches(0, 512));
  // Straddles the cache end: a random-access refill from the request on.
  ASSERT_TRUE(f.readMatches(2 * kMiB - 100, 200));
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_EQ(f.log[1].offset, 2 * kMiB - 100);
  EXPECT_EQ(f.log[1].count, 2 * kMiB);
  // Larger than the cache: straight to the device, the cache stays.
  ASSERT_TRUE(f.readMatches(5 * kMiB, 2 * kMiB + 1));
  ASSERT_EQ(f.log.size(), 3u);
  EXPECT_EQ(f.log[2].count, 2 * kMiB + 1);
  ASSERT_TRUE(f.readMatches(2 * kMiB, 4096));
  EXPECT_EQ(f.log.size(), 3u);
  // Exactly the cache size still goes through the cache.
  ASSERT_TRUE(f.readMatches(kMiB / 2, 2 * kMiB));
  EXPECT_EQ(f.log.size(), 4u);
  EXPECT_EQ(f.drive->cacheStart, kMiB / 2);
}

TEST(CachedDriveTest, RefillsAreCutAtTheWindowEnd) {
  Fixture f(3 * kMiB);
  ASSERT_TRUE(f.opened);
  f.log.clear();
  ASSERT_TRUE(f.readMatches(0, 512));
  ASSERT_TRUE(f.readMatches(2 * kMiB, 512));  // sequential, 1 MiB left: keeps 1 MiB before it
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_EQ(f.log[1].count, kMiB);
  ASSERT_TRUE(f.readMatches(kMiB, 2 * kMiB));
  EXPECT_EQ(f.log.size(), 2u);

  ASSERT_TRUE(f.readMatches(3 * kMiB - 100, 50));   // cached
  ASSERT_TRUE(f.readMatches(10, 10));               // random
  ASSERT_TRUE(f.readMatches(3 * kMiB - 100, 100));  // random, cut: the cache holds 100 bytes
  EXPECT_EQ(f.drive->cacheSize, 100u);
}

TEST(CachedDriveTest, ShortCacheFollowedBySequentialReadAfterWindowGrows) {
  // A refill cut at a window end leaves a cache of a few bytes; when the window is widened
  // afterwards, the next sequential refill must neither overrun the cache nor hand out stale data.
  Fixture f(4 * kMiB);
  ASSERT_TRUE(f.opened);
  ASSERT_TRUE(CachedDrive_SetWindow(f.drive.get(), 0, kMiB));
  ASSERT_TRUE(f.readMatches(kMiB - 100, 100));
  EXPECT_EQ(f.drive->cacheSize, 100u);
  ASSERT_TRUE(CachedDrive_SetWindow(f.drive.get(), 0, 4 * kMiB));
  ASSERT_TRUE(f.readMatches(kMiB, 4096));
  EXPECT_LE(f.drive->cacheSize, kCacheSize);
  ASSERT_TRUE(f.readMatches(kMiB - 100, 200));
  ASSERT_TRUE(f.readMatches(kMiB, 2 * kMiB - 0x8000));
}

struct EdgeCase {
  const char* name;
  std::uint64_t windowStart, windowLength;
  std::uint64_t offset;
  std::uint32_t count;
  bool ok;
};
class WindowEdgeTest : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(WindowEdgeTest, ReadsInsideOnly) {
  const auto& c = GetParam();
  Fixture f(kMiB);
  ASSERT_TRUE(f.opened);
  ASSERT_TRUE(CachedDrive_SetWindow(f.drive.get(), c.windowStart, c.windowLength));
  f.drive->traceOn = 1;
  ::testing::internal::CaptureStderr();
  std::vector<std::uint8_t> out(c.count);
  std::uint32_t got = 7;
  const bool ok = CachedDrive_Read(f.drive.get(), c.offset, c.count, out.data(), &got);
  const std::string trace = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ok, c.ok);
  if (c.ok) {
    EXPECT_EQ(got, c.count);
    EXPECT_TRUE(f.readMatches(c.offset, c.count));
  } else {
    EXPECT_EQ(trace, "CachedDrive_Read: Last byte to read is out of drive.\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drive, WindowEdgeTest,
    ::testing::Values(EdgeCase{"EndsAtWindowEnd", 4096, 8192, 8192 - 512, 512, true},
                      EdgeCase{"OneBytePast", 4096, 8192, 8192 - 511, 512, false},
                      EdgeCase{"WholeWindow", 4096, 8192, 0, 8192, true},
                      EdgeCase{"StartsAtEnd", 4096, 8192, 8192, 1, false},
                      EdgeCase{"EmptyAtEnd", 4096, 8192, 8192, 0, true},
                      EdgeCase{"OffsetWraps", 4096, 8192, ~0ull - 100, 512, false},
                      EdgeCase{"DeviceEndViaLongWindow", 1024, ~0ull, kMiB - 1024 - 16, 16, true},
                      EdgeCase{"PastDeviceEnd", 1024, ~0ull, kMiB - 1024 - 16, 17, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CachedDriveTest, SetWindowBounds) {
  Fixture f(kMiB);
  ASSERT_TRUE(f.opened);
  EXPECT_FALSE(CachedDrive_SetWindow(f.drive.get(), kMiB, 1));
  EXPECT_FALSE(CachedDrive_SetWindow(f.drive.get(), kMiB + 1, 1));
  ASSERT_TRUE(CachedDrive_SetWindow(f.drive.get(), kMiB - 512, 4096));
  std::uint64_t size = 0, start = 0;
  ASSERT_TRUE(CachedDrive_GetSize(f.drive.get(), &size));
  ASSERT_TRUE(CachedDrive_GetWindowStart(&start, f.drive.get()));
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(start, kMiB - 512);
}

TEST(CachedDriveTest, WritesGoThroughAndKeepTheCacheCurrent) {
  Fixture f(kMiB);
  ASSERT_TRUE(f.opened);
  ASSERT_TRUE(CachedDrive_SetWindow(f.drive.get(), 4096, 65536));
  ASSERT_TRUE(f.readMatches(0, 512));  // caches the window
  const std::vector<std::uint8_t> data(1000, 0xA5);
  std::uint32_t written = 0;
  ASSERT_TRUE(CachedDrive_Write(100, data.data(), 1000, &written, f.drive.get()));
  EXPECT_EQ(written, 1000u);
  EXPECT_EQ(f.bytes[4096 + 100], 0xA5);
  EXPECT_EQ(f.bytes[4096 + 1099], 0xA5);
  EXPECT_NE(f.bytes[4096 + 1100], 0xA5);
  ASSERT_TRUE(f.readMatches(0, 2048));  // the cached copy shows the new bytes
  EXPECT_FALSE(CachedDrive_Write(65536 - 999, data.data(), 1000, &written, f.drive.get()));
  EXPECT_FALSE(CachedDrive_Write(0, data.data(), 1000, nullptr, f.drive.get()));
}

TEST(CachedDriveTest, OpticalReadsAreWholeBlocksWithA64KiBCache) {
  Fixture f(4 * kMiB + 4096, 2048, kDriveTypeCdRom);
  ASSERT_TRUE(f.opened);
  EXPECT_EQ(f.drive->sectorSize, 2048u);
  EXPECT_EQ(f.drive->cacheCapacity, kCdCacheSize);
  f.log.clear();
  EXPECT_TRUE(f.readMatches(5000, 100));           // inside a block
  EXPECT_TRUE(f.readMatches(65536 * 3 - 10, 20));  // across a cache edge
  EXPECT_TRUE(f.readMatches(2048 * 40, 0x9000 + 100));
  EXPECT_TRUE(f.readMatches(12345, 200000));  // larger than the cache, not block-aligned
  EXPECT_TRUE(f.readMatches(4 * kMiB + 4096 - 100, 100));
  for (const auto& r : f.log) {
    EXPECT_EQ(r.offset % 2048, 0u);
    EXPECT_EQ(r.count % 2048, 0u);
    EXPECT_LE(r.count, 0x8000u);
  }
}

TEST(CachedDriveTest, OpticalReadStopsAtTheFirstBadBlock) {
  // Blocks past 1 MiB fail; a read across that point keeps what came before it.
  std::vector<std::uint8_t> bytes = pattern(kMiB);
  std::vector<Request> log;
  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_OpenDevice(
      drive.get(), std::make_unique<CountingDevice>(&bytes, &log, 2048), kDriveTypeCdRom));
  drive->deviceSize = drive->windowEnd = 2 * kMiB;  // claims more than it can read
  std::vector<std::uint8_t> out(8192);
  std::uint32_t got = 0;
  drive->traceOn = 1;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(CachedDrive_Read(drive.get(), kMiB - 4096, 8192, out.data(), &got));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "CachedDrive_Read: ReadCDSectors error.\r\n");
  EXPECT_EQ(got, 4096u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 4096, bytes.end() - 4096));
  EXPECT_FALSE(CachedDrive_Read(drive.get(), kMiB + 65536, 512, out.data(), &got));
}

TEST(CachedDriveTest, FailedReadZeroFillsAndLogs) {
  Fixture f(kMiB);
  ASSERT_TRUE(f.opened);
  f.drive->deviceSize = f.drive->windowEnd = 4 * kMiB;  // the device ends earlier than claimed
  std::vector<std::uint8_t> out(3 * kMiB, 0xEE);
  std::uint32_t got = 0;
  f.drive->traceOn = 1;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(CachedDrive_Read(f.drive.get(), 0, 3 * kMiB, out.data(), &got));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "CachedDrive_Read: ReadFile error.\r\n");
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[3 * kMiB - 1], 0);
  EXPECT_FALSE(CachedDrive_Read(f.drive.get(), kMiB - 100, 200, out.data(), &got));
  f.drive->deviceSize = f.drive->windowEnd = kMiB;
  EXPECT_TRUE(f.readMatches(kMiB - 100, 100));  // the failed refill left no wrong cache behind
}

TEST(CachedDriveTest, FileSystemTableHoldsPrivateCopies) {
  Fixture f(65536);
  ASSERT_TRUE(f.opened);
  f.drive->traceOn = 1;
  std::uint32_t record[4] = {6, 1, 2, 3};
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(CachedDrive_AddFileSystem(f.drive.get(), sizeof record, record));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Added file system 1.\r\n");
  f.drive->traceOn = 0;
  record[0] = 7;
  for (std::uint32_t i = 1; i < kMaxFileSystems; ++i)
    ASSERT_TRUE(CachedDrive_AddFileSystem(f.drive.get(), sizeof record, record)) << i;
  EXPECT_FALSE(CachedDrive_AddFileSystem(f.drive.get(), sizeof record, record));  // 256th
  EXPECT_FALSE(CachedDrive_AddFileSystem(nullptr, sizeof record, record));
  void* entry = nullptr;
  ASSERT_TRUE(CachedDrive_GetFileSystem(f.drive.get(), &entry));
  EXPECT_EQ(static_cast<std::uint32_t*>(entry)[0], 6u);
  EXPECT_FALSE(CachedDrive_SelectFileSystem(f.drive.get(), kMaxFileSystems));
  ASSERT_TRUE(CachedDrive_SelectFileSystem(f.drive.get(), 254));
  ASSERT_TRUE(CachedDrive_GetFileSystem(f.drive.get(), &entry));
  EXPECT_EQ(static_cast<std::uint32_t*>(entry)[0], 7u);
  ASSERT_TRUE(CachedDrive_Close(f.drive.get()));
  EXPECT_EQ(f.drive->fsCount, 0u);
  EXPECT_FALSE(CachedDrive_GetFileSystem(f.drive.get(), &entry));
}

TEST(CachedDriveTest, ReopenAfterCloseReadsTheNewDevice) {
  Fixture f(kMiB);
  ASSERT_TRUE(f.opened);
  ASSERT_TRUE(f.readMatches(0, 512));
  ASSERT_TRUE(CachedDrive_Close(f.drive.get()));
  std::vector<std::uint8_t> other(kMiB, 0x5A);
  std::vector<Request> log;
  ASSERT_TRUE(CachedDrive_OpenDevice(f.drive.get(), std::make_unique<CountingDevice>(&other, &log),
                                     kHostDriveFixed));
  std::uint8_t b = 0;
  std::uint32_t got = 0;
  ASSERT_TRUE(CachedDrive_Read(f.drive.get(), 10, 1, &b, &got));
  EXPECT_EQ(b, 0x5A);
}

TEST(CachedDriveTest, ImagesHaveOneTrackAtZero) {
  Fixture f(65536);
  ASSERT_TRUE(f.opened);
  std::uint32_t count = 0, starts[100] = {9};
  ASSERT_TRUE(CachedDrive_ReadToc(f.drive.get(), &count, starts));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(starts[0], 0u);
}

}  // namespace
