// A source that shrinks while it is searched by content (an image cut during the scan): the pass
// ends at the cut with a read error instead of trying every sector left and reporting success.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "host/host.h"
#include "test_support.h"

namespace {

TEST(ShrinkingSource, SearchByContentStopsAtTheCutWithAReadError) {
  constexpr std::uint64_t kSectors = 16384;  // 8 MiB of 512-byte sectors
  kvxtest::TempDir dir("shrink");
  const auto img = dir / "img";
  kvxtest::writeFile(img, std::vector<std::uint8_t>(kSectors * 512, 0));
  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  ASSERT_TRUE(CachedDrive_OpenDevice(drive, Host_OpenPath(img.string(), false, false), 0));
  ASSERT_TRUE(CachedDrive_InitMap(drive, kSectors, nullptr, 0));
  ASSERT_EQ(::truncate(img.c_str(), 1 << 20), 0);  // cut after the drive took its size

  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  ASSERT_TRUE(Storage_Reserve(u));
  u->drive = drive;
  std::memset(u->scanScratch, 0xFF, sizeof u->scanScratch);
  std::uint32_t root = 0;
  ASSERT_TRUE(Storage_AddFolder(u, u"E:", kNoParent, 0xFFFF, 0, false, false, &root));
  u->rootFolder = root;
  u->recognizeHook = nullptr;
  EXPECT_TRUE(FileFormat_ScanHole(u, 0, 9500));
  EXPECT_EQ(u->error.load(), kErrReadSource);
  EXPECT_LE(u->deepScanDone.load(), 2048u + 1) << "the pass went on past the end of the source";
  u->drive = nullptr;
  Undelete_Delete(u);
  CachedDrive_Destroy(drive);
}

}  // namespace
