// The partition list: detection from a disk's own tables, tests and descriptions, the merge of a
// lost-partition scan, and list entries scanned and recovered from as drives.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/undelete_object.h"
#include "partition_test_util.h"

using namespace parttest;

namespace {

std::vector<PartitionRecord> recordsOf(Undelete* u, std::uint32_t disk) {
  std::vector<PartitionRecord> out;
  int count = 0;
  EXPECT_EQ(Undelete_GetPartitionCount(u, &count), 1);
  for (int i = 0; i < count; ++i) {
    PartitionRecord r{};
    EXPECT_EQ(Undelete_GetPartition(u, static_cast<unsigned>(i), &r), 1);
    if (r.drive == disk) out.push_back(r);
  }
  PartitionRecord untouched{};
  untouched.type = 0x77;
  EXPECT_EQ(Undelete_GetPartition(u, static_cast<unsigned>(count), &untouched), 0);
  EXPECT_EQ(untouched.type, 0x77);
  return out;
}

std::string row(const PartitionRecord& r) {
  char text[400];
  std::snprintf(text, sizeof text, "%llu+%llu n%u t%02x fs%u | %s\n",
                static_cast<unsigned long long>(r.start.get() / 512),
                static_cast<unsigned long long>(r.length.get() / 512), r.number, r.type,
                r.fileSystem, r.description);
  return text;
}

TEST(PartitionList, DetectedFromTheDisksOwnTables) {
  Engine e;
  const std::uint32_t disk = diskOf(images() / "mbr.img");
  ASSERT_EQ(Undelete_PhysicalDrivePresent(static_cast<int>(disk)), 1);
  EXPECT_EQ(Undelete_PhysicalDrivePresent(127), 0);
  ASSERT_EQ(Undelete_DetectPhysicalDrivesPartitions(e.get()), 1);
  const auto list = recordsOf(e.get(), disk);
  std::string got;
  for (const auto& r : list) got += row(r);
  // Layout positions count four entries per table: logicals are 4, 8 and 12. The 1 MiB before
  // the first partition and the free end of the disk are unallocated areas, described as volumes
  // without a file system.
  const std::string d = "Drive " + std::to_string(disk);
  EXPECT_EQ(
      got,
      "0+2048 n254 t00 fs0 | " + d + ", unallocated, 1.0 MB, Unformated, Sector size: 512\n" +
          "2048+16384 n0 t0e fs5 | " + d +
          ", Partition 0, Unmounted, 8.0 MB, FAT16, Cluster size: 512, FATs count: 2\n" +
          "18432+32768 n1 t07 fs3 | " + list[2].description + "\n" + "53248+16384 n4 t06 fs5 | " +
          d + ", Partition 4, Unmounted, 8.0 MB, FAT16, Cluster size: 512, FATs count: 2\n" +
          "71680+32768 n8 t07 fs3 | " + list[4].description + "\n" + "106496+81920 n12 t0c fs6 | " +
          d + ", Partition 12, Unmounted, 40.0 MB, FAT32, Cluster size: 512, FATs count: 2\n" +
          "188416+16384 n254 t00 fs0 | " + d +
          ", unallocated, 8.0 MB, Unformated, Sector size: 512\n");
  EXPECT_NE(std::string(list[2].description).find(", NTFS"), std::string::npos)
      << list[2].description;
}

TEST(PartitionList, LostPartitionsMergedOnceAndMappedFromTheFoundTable) {
  kvxtest::TempDir dir("partmerge");
  const auto img = damagedCopy(images() / "mbr.img", dir.path(), "zeroed.img",
                               {{0, std::vector<std::uint8_t>(512, 0)}});
  const std::uint32_t disk = diskOf(img);
  Engine e;
  (void)scan(e.get(), disk, false);
  auto list = recordsOf(e.get(), disk);
  ASSERT_EQ(list.size(), 6u);  // five volumes found, then the free end of the disk
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_EQ(list[i].number, i);
    EXPECT_NE(list[i].fileSystem, 0) << row(list[i]);
  }
  EXPECT_EQ(list[4].fileSystem, kFsFat32);
  EXPECT_EQ(list[5].number, kUnallocatedArea);
  unsigned volumes = 0;
  for (unsigned f = 0; f < kMaxFoundPartitions; ++f) {
    if (Undelete_ShouldShow(e.get(), f) != 1) continue;  // the EBRs of the chain
    ++volumes;
    int index = -1;
    ASSERT_EQ(Undelete_GetGlobalPartitionIndex(e.get(), f, &index), 1);
    PartitionRecord r{};
    ASSERT_EQ(Undelete_GetPartition(e.get(), static_cast<unsigned>(index), &r), 1);
    FoundPartition p{};
    ASSERT_EQ(Undelete_GetPartitionDesc(e.get(), f, &p), 1);
    EXPECT_EQ(r.start.get(), p.start.get());
  }
  EXPECT_EQ(volumes, 5u);
  int none = 0;
  EXPECT_EQ(Undelete_GetGlobalPartitionIndex(e.get(), 31, &none), 0);

  // A second scan finds the same partitions: nothing new is listed.
  (void)scan(e.get(), disk, true);
  EXPECT_EQ(recordsOf(e.get(), disk).size(), list.size());

  // A full list takes nothing more.
  Undelete* u = e.get();
  const std::uint32_t kept = u->partitionCount;
  u->partitionCount = kMaxPartitions - 1;
  (void)scan(e.get(), diskOf(images() / "chs.img"), true);
  EXPECT_EQ(u->partitionCount, kMaxPartitions - 1);
  u->partitionCount = kept;
}

TEST(PartitionList, LogicalPartitionScannedAndRecoveredAsADrive) {
  Engine e;
  const std::uint32_t disk = diskOf(images() / "mbr.img");
  ASSERT_EQ(Undelete_DetectPhysicalDrivesPartitions(e.get()), 1);
  int count = 0;
  ASSERT_EQ(Undelete_GetPartitionCount(e.get(), &count), 1);
  std::uint32_t index = 0xFFFFFFFF;
  for (int i = 0; i < count; ++i) {
    PartitionRecord r{};
    ASSERT_EQ(Undelete_GetPartition(e.get(), static_cast<unsigned>(i), &r), 1);
    if (r.drive == disk && r.start.get() == 53248ull * 512) index = static_cast<std::uint32_t>(i);
  }
  ASSERT_NE(index, 0xFFFFFFFFu);
  const std::uint32_t driveSpec = 1u << 24 | index;
  ASSERT_EQ(Undelete_SearchMultiple(e.get(), &driveSpec, 1, 0, nullptr, nullptr, nullptr), 1);
  std::uint32_t code = 0;
  for (int i = 0; i < 2000 && Undelete_IsSearching(e.get(), &code); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(Undelete_IsSearching(e.get(), &code), 0);

  char name[256] = {}, details[256] = {};
  ASSERT_EQ(Undelete_GetDriveInfo(e.get(), 0, name, details), 1);
  EXPECT_NE(std::string(name).find("Physical drive " + std::to_string(disk)), std::string::npos);
  EXPECT_NE(std::string(details).find("FAT16"), std::string::npos) << details;

  std::uint32_t files = 0;
  ASSERT_EQ(Undelete_GetFilesCount(e.get(), &files), 1);
  kvxtest::TempDir out("partrecover");
  bool recovered = false;
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* f = nullptr;
    ASSERT_EQ(Undelete_GetFileInfo(e.get(), i, &f), 1);
    const void* n = nullptr;
    ASSERT_EQ(Undelete_GetString(e.get(), f->name.get(), &n), 1);
    const std::string fileName = kvxtest::utf8(static_cast<const char16_t*>(n));
    if ((f->status & kStatusExisting) != 0 || fileName.find("ELETED.TXT") == std::string::npos)
      continue;
    const auto target = out / "deleted.txt";
    ASSERT_EQ(Undelete_RecoverFile(e.get(), i, target.c_str()), 1);
    EXPECT_EQ(kvxtest::md5File(target), kvxtest::md5File(images() / "deleted.txt"));
    recovered = true;
  }
  EXPECT_TRUE(recovered);
}

}  // namespace
