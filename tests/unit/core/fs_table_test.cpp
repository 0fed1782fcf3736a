// The file-system table: every row where its kind says, every entry type served by one row, rows
// complete enough to be called, and table entries decoded from a drive's table.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "undelete/undelete.h"

namespace {

TEST(FsTable, RowsSitAtTheirKindAndEveryTypeHasOneOwner) {
  const auto table = Fs_Table();
  ASSERT_GE(table.size(), std::size_t{kKindCdfs} + 1);
  EXPECT_LE(table.size(), 8u) << "FileRecord.location keeps the kind in 3 bits";
  std::map<std::uint32_t, const FsDescriptor*> owners;
  for (std::size_t kind = 0; kind < table.size(); ++kind) {
    const FsDescriptor* fs = table[kind];
    if (fs == nullptr) continue;
    EXPECT_EQ(fs->kind, kind) << fs->name;
    EXPECT_EQ(Fs_OfKind(static_cast<std::uint32_t>(kind)), fs);
    EXPECT_FALSE(fs->types.empty()) << fs->name;
    for (const FsTypeInfo& t : fs->types) {
      EXPECT_TRUE(owners.emplace(t.type, fs).second) << "type " << t.type << " twice";
      const FsTypeInfo* info = nullptr;
      EXPECT_EQ(Fs_OfType(t.type, &info), fs);
      EXPECT_EQ(info, &t);
    }
  }
  EXPECT_EQ(Fs_OfKind(static_cast<std::uint32_t>(table.size())), nullptr);
  const FsTypeInfo* info = &Fs_OfKind(kKindFat)->types[0];
  EXPECT_EQ(Fs_OfType(0x7FFFFFFF, &info), nullptr);
  EXPECT_EQ(info, nullptr);
  // The raw kind is the fallback of every 512-byte drive; it must be there to take one.
  ASSERT_NE(Fs_OfKind(kKindRaw), nullptr);
  EXPECT_NE(Fs_OfKind(kKindRaw)->recognize512, nullptr);
}

// A kind that can put an entry in a drive's table must be able to do everything the engine then
// asks of such an entry; a half-filled row would fail only when a user meets that file system.
TEST(FsTable, RecognisingRowsAreComplete) {
  for (const FsDescriptor* fs : Fs_Table()) {
    if (fs == nullptr) continue;
    SCOPED_TRACE(fs->name);
    for (const FsTypeInfo& t : fs->types) {
      EXPECT_NE(t.name, nullptr);
      EXPECT_NE(t.searchLog, nullptr);
      EXPECT_NE(t.searchReport, nullptr);
      if (fs->loadEntry == nullptr) EXPECT_GE(t.minEntrySize, 4u) << "taken as it stands";
    }
    EXPECT_NE(fs->recoverLog, nullptr);
    if (fs->recognize512 == nullptr && fs->recognize2048 == nullptr) continue;
    EXPECT_NE(fs->searchFiles, nullptr);
    EXPECT_NE(fs->recoverFile, nullptr);
    EXPECT_NE(fs->describeVolume, nullptr);
    EXPECT_NE(fs->saveEntry, nullptr);
    EXPECT_NE(fs->fileLocation, nullptr);
    if (fs->kind != kKindRaw) {
      EXPECT_NE(fs->recognizedReport, nullptr);
      if (fs->recognize512 != nullptr) EXPECT_NE(fs->notRecognizedLog, nullptr);
    }
  }
}

TEST(FsTable, EntriesAreDecodedFromTheDrivesTable) {
  CachedDrive* raw = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&raw));
  std::unique_ptr<CachedDrive, decltype(&CachedDrive_Destroy)> drive(raw, CachedDrive_Destroy);
  EXPECT_FALSE(Fs_SelectedEntry(drive.get()));
  EXPECT_FALSE(Fs_SelectedEntry(nullptr));

  const std::uint8_t fat16[8] = {kFsFat16, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
  const std::uint8_t unknown[4] = {0x39, 0x30, 0, 0};  // 12345: no kind makes it
  ASSERT_TRUE(CachedDrive_AddFileSystem(drive.get(), sizeof fat16, fat16));
  ASSERT_TRUE(CachedDrive_AddFileSystem(drive.get(), sizeof unknown, unknown));

  auto e = Fs_Entry(drive.get(), 0);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->type, kFsFat16);
  EXPECT_EQ(e->fs, Fs_OfKind(kKindFat));
  ASSERT_NE(e->typeInfo, nullptr);
  EXPECT_STREQ(e->typeInfo->name, "FAT16");
  ASSERT_EQ(e->bytes.size(), sizeof fat16);
  EXPECT_EQ(e->bytes[7], 0xDD);
  EXPECT_NE(e->bytes.data(), fat16) << "the drive's own copy";

  e = Fs_Entry(drive.get(), 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->type, 12345u);
  EXPECT_EQ(e->fs, nullptr);
  EXPECT_EQ(e->typeInfo, nullptr);
  EXPECT_FALSE(Fs_Entry(drive.get(), 2));

  ASSERT_TRUE(CachedDrive_SelectFileSystem(drive.get(), 1));
  EXPECT_EQ(Fs_SelectedEntry(drive.get())->type, 12345u);
  ASSERT_TRUE(CachedDrive_SelectFileSystem(drive.get(), 0));
  EXPECT_EQ(Fs_SelectedEntry(drive.get())->type, kFsFat16);
}

// Locator blocks the image tests do not make: FAT and NTFS files placed by their bytes, ISO files
// in several extents, finds past 2^32 sectors, cut blocks (a damaged session) and a drive that is
// gone. Image tests check the usual cases against fls/istat and the bytes the test wrote.
struct LocationCase {
  const char* name;
  std::uint16_t kind;
  std::vector<std::uint8_t> locator;
  std::uint64_t scanKey;
  std::uint32_t sectorSize;
  std::uint32_t where;
  std::uint64_t value;
};
class FsLocationTest : public ::testing::TestWithParam<LocationCase> {};
TEST_P(FsLocationTest, FromLocatorBlock) {
  const LocationCase& c = GetParam();
  const FsDescriptor* fs = Fs_OfKind(c.kind);
  if (fs == nullptr) GTEST_SKIP() << "kind not in this build";
  FileRecord record;
  std::memset(&record, 0, sizeof record);
  record.scanKey.set(c.scanKey);
  const FsLocation got = fs->fileLocation({record, c.locator, {}, c.sectorSize});
  EXPECT_EQ(got.kind, c.where);
  if (c.where != kUndeleteLocationNone) EXPECT_EQ(got.value, c.value);
}
std::vector<std::uint8_t> le(std::initializer_list<std::pair<std::uint64_t, int>> fields) {
  std::vector<std::uint8_t> out;
  for (const auto& [v, n] : fields)
    for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}
INSTANTIATE_TEST_SUITE_P(
    Kinds, FsLocationTest,
    ::testing::Values(
        LocationCase{"FatPlacedByBytes", kKindFat, le({{0xFFFFFFFF, 4}, {0x123456789, 8}}), 0, 512,
                     kUndeleteLocationOffset, 0x123456789},
        LocationCase{"FatPlacedCut", kKindFat, le({{0xFFFFFFFF, 4}, {1, 4}}), 0, 512,
                     kUndeleteLocationNone, 0},
        LocationCase{
            "NtfsNoRecord", kKindNtfs,
            le({{~0ull, 8}, {0, 8}, {0, 8}, {0, 4}, {0x1000, 4}, {2, 4}, {0, 4}, {0, 4}, {0, 2}}),
            0, 512, kUndeleteLocationOffset, 0x200001000},
        LocationCase{"NtfsCut", kKindNtfs, le({{42, 8}}), 0, 512, kUndeleteLocationNone, 0},
        LocationCase{"CdfsExtents", kKindCdfs, le({{0xFFFFFFFF, 4}, {2, 4}, {30, 4}, {2048, 4}}), 0,
                     2048, kUndeleteLocationOffset, 30 * 2048},
        LocationCase{"RawPast4GSectors", kKindRaw, le({{5, 4}}), (5ull + (1ull << 32)) * 512, 512,
                     kUndeleteLocationOffset, (5ull + (1ull << 32)) * 512},
        LocationCase{"RawKeyDisagrees", kKindRaw, le({{5, 4}}), 6 * 512, 512,
                     kUndeleteLocationOffset, 5 * 512},
        LocationCase{"RawDriveGone", kKindRaw, le({{5, 4}}), 5 * 2048, 0, kUndeleteLocationOffset,
                     5 * 2048}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
