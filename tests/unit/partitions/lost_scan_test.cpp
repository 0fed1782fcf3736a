// Lost-partition scan on sfdisk/sgdisk images damaged the ways users lose partitions. Expected
// tables come from the layout the image script wrote (its `sfdisk -d`, and mmls on the undamaged
// image agrees): mbr.img has p1 2048+16384 (0x0E), p2 18432+32768 (NTFS), extended 51200 with EBRs
// at 51200, 69632, 104448 and logicals 53248+16384 (0x06), 71680+32768 (NTFS), 106496+81920 (0x0C).
#include <gtest/gtest.h>

#include "partition_test_util.h"

using namespace parttest;

namespace {

using Patches = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;
std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n, 0); }

bool operator==(const Expect& a, const Expect& b) {
  return a.startSector == b.startSector && a.sectors == b.sectors && a.type == b.type &&
         a.status == b.status;
}

const std::vector<Expect> kMbrIntact = {{2048, 16384, 0x0E, 1},
                                        {18432, 32768, 0x07, 1},
                                        {53248, 16384, 0x06, 1},
                                        {71680, 32768, 0x07, 1},
                                        {106496, 81920, 0x0C, 1}};

/// mbr.img's four table entries as sfdisk wrote them.
const std::vector<std::uint8_t> kMbrEntries = [] {
  const auto sector = kvxtest::readFile(images() / "mbr.img");
  return std::vector<std::uint8_t>(sector.begin() + 0x1BE, sector.begin() + 0x1FE);
}();

struct DamageCase {
  const char* name;
  const char* image;
  Patches patches;
  std::vector<Expect> expected;  // shown entries, sorted as the table is
  int needFixMbr;
};

class Damaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damaged, FoundTableInQuickAndFullScans) {
  const DamageCase& c = GetParam();
  kvxtest::TempDir dir("partdmg");
  const auto img = damagedCopy(images() / c.image, dir.path(), c.name, c.patches);
  const std::string before = kvxtest::md5File(img);
  Engine e;
  for (const bool quick : {true, false}) {
    const auto table = scan(e.get(), diskOf(img), quick);
    auto got = shown(e.get(), table);
    std::sort(got.begin(), got.end(),
              [](const Expect& a, const Expect& b) { return a.startSector < b.startSector; });
    EXPECT_EQ(describe(got), describe(c.expected)) << (quick ? "quick" : "full");
    EXPECT_EQ(Undelete_NeedFixMBR(e.get()), c.needFixMbr);
  }
  EXPECT_EQ(kvxtest::md5File(img), before) << "the scan wrote to the disk";
}

INSTANTIATE_TEST_SUITE_P(
    Mbr, Damaged,
    ::testing::Values(
        DamageCase{"Intact", "mbr.img", {}, kMbrIntact, 0},
        // The NTFS primary's entry deleted: found again by its boot sector.
        DamageCase{"PrimaryDeleted",
                   "mbr.img",
                   {{0x1CE, zeros(16)}},
                   {{2048, 16384, 0x0E, 1},
                    {18432, 32768, 0x07, 2},
                    {53248, 16384, 0x06, 1},
                    {71680, 32768, 0x07, 1},
                    {106496, 81920, 0x0C, 1}},
                   1},
        // The first EBR's link cut: the logicals behind it come back from their boot sectors
        // (FAT32 off the cylinder grid keeps a FAT type, its LBA form).
        DamageCase{"EbrLinkCut",
                   "mbr.img",
                   {{51200ull * 512 + 0x1CE, zeros(16)}},
                   {{2048, 16384, 0x0E, 1},
                    {18432, 32768, 0x07, 1},
                    {53248, 16384, 0x06, 1},
                    {71680, 32768, 0x07, 2},
                    {106496, 81920, 0x0C, 2}},
                   1},
        // The whole MBR zeroed: the primaries found by their boot sectors, the logicals by the
        // EBR chain, found at its 1 MiB boundary (so they keep the types it gives them).
        DamageCase{"MbrZeroed",
                   "mbr.img",
                   {{0, zeros(512)}},
                   {{2048, 16384, 0x0E, 2},
                    {18432, 32768, 0x07, 2},
                    {53248, 16384, 0x06, 2},
                    {71680, 32768, 0x07, 2},
                    {106496, 81920, 0x0C, 2}},
                   1},
        // The extended entry deleted: the chain is found at its first EBR and walked whole.
        DamageCase{"ExtendedEntryDeleted",
                   "mbr.img",
                   {{0x1DE, zeros(16)}},
                   {{2048, 16384, 0x0E, 1},
                    {18432, 32768, 0x07, 1},
                    {53248, 16384, 0x06, 2},
                    {71680, 32768, 0x07, 2},
                    {106496, 81920, 0x0C, 2}},
                   1},
        // Table-like sectors at 1 MiB boundaries of free space are not taken for EBRs: a copy of
        // the MBR, and an EBR-shaped sector whose volume would run past the end of the disk.
        DamageCase{"TableCopiesInFreeSpace",
                   "mbr.img",
                   {{190464ull * 512 + 0x1BE, kMbrEntries},
                    {190464ull * 512 + 510, {0x55, 0xAA}},
                    {192512ull * 512 + 0x1BE, {0, 0, 0, 0, 0x07, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 1}},
                    {192512ull * 512 + 510, {0x55, 0xAA}}},
                   kMbrIntact,
                   0},
        // A hidden FAT16 (0x1E): shown with its plain type.
        DamageCase{"HiddenType", "mbr.img", {{0x1C2, {0x1E}}}, kMbrIntact, 0},
        // The second EBR links back to the first: the loop ends, the third logical is found.
        DamageCase{"EbrLoop",
                   "mbr.img",
                   {{69632ull * 512 + 0x1CE, {0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}}},
                   {{2048, 16384, 0x0E, 1},
                    {18432, 32768, 0x07, 1},
                    {53248, 16384, 0x06, 1},
                    {71680, 32768, 0x07, 1},
                    {106496, 81920, 0x0C, 2}},
                   1},
        // An entry far outside the disk is left unchecked; its volume is found where it is.
        DamageCase{"EntryOutsideDisk",
                   "mbr.img",
                   {{0x1D6, {0x00, 0xFF, 0xFF, 0xF0}}},
                   {{2048, 16384, 0x0E, 1},
                    {18432, 32768, 0x07, 2},
                    {53248, 16384, 0x06, 1},
                    {71680, 32768, 0x07, 1},
                    {106496, 81920, 0x0C, 1}},
                   1},
        // Cylinder-grid disk without its MBR: FAT16 kinds kept, the EBR on a track boundary is
        // walked again.
        DamageCase{"ChsMbrZeroed",
                   "chs.img",
                   {{0, zeros(512)}},
                   {{63, 20096, 0x04, 2}, {20223, 20097, 0x06, 2}, {40383, 20097, 0x06, 2}},
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LostScan, DiskStateOfIntactMbrAndHiddenEntry) {
  kvxtest::TempDir dir("partstate");
  Engine e;
  (void)scan(e.get(), diskOf(images() / "mbr.img"), true);
  EXPECT_EQ(Undelete_MBRPresent(e.get()), 1);
  EXPECT_EQ(Undelete_NeedFixMBRBootCode(e.get()), 1);  // sfdisk writes no boot code
  EXPECT_EQ(Undelete_IsDriveGPT(e.get()), 0);
  EXPECT_EQ(Undelete_NeedUnhide(e.get()), 0);

  const auto hidden =
      damagedCopy(images() / "mbr.img", dir.path(), "hidden.img", {{0x1C2, {0x1E}}});
  const auto table = scan(e.get(), diskOf(hidden), true);
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(table[0].origType, 0x1E);
  EXPECT_EQ(Undelete_NeedUnhide(e.get()), 1);

  // Sector 0 holding a volume's boot sector: nothing else is looked at.
  const auto fat = dir / "fat.img";
  ASSERT_EQ(kvxtest::run("mkfs.fat -C -F 16 -s 1 " + kvxtest::quote(fat.string()) +
                         " 8192 >/dev/null 2>&1")
                .exitCode,
            0);
  EXPECT_TRUE(scan(e.get(), diskOf(fat), false).empty());
  EXPECT_EQ(Undelete_BootSectorInsteadOfMBR(e.get()), 1);
}

TEST(LostScan, GptCopiesAndDamage) {
  kvxtest::TempDir dir("partgpt");
  Engine e;
  const auto gpt = images() / "gpt.img";
  const std::uint64_t lastLba = 64ull * 1024 * 2 - 1, backupArray = lastLba - 32;

  auto table = scan(e.get(), diskOf(gpt), true);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(Undelete_IsDriveGPT(e.get()), 1);
  EXPECT_EQ(Undelete_NeedFixGPT(e.get()), 0);
  EXPECT_EQ(Undelete_NeedFixProtectiveMBR(e.get()), 0);
  EXPECT_EQ(foundCopies(table[1]), 2);
  EXPECT_EQ(nameOf(table[1]), "fat");
  EXPECT_EQ(table[1].uniqueGuid[0], 0xAA);

  // The primary header destroyed: every partition comes from the backup, once.
  const auto noPrimary = damagedCopy(gpt, dir.path(), "noprimary.img", {{512, zeros(512)}});
  table = scan(e.get(), diskOf(noPrimary), false);
  EXPECT_EQ(describe(shown(e.get(), table)),
            describe({{2048, 32768, 0xFF, 1}, {34816, 32768, 0xFF, 1}, {67584, 32768, 0xFF, 1}}));
  for (const auto& p : table) EXPECT_EQ(foundCopies(p), 1);
  EXPECT_EQ(Undelete_NeedFixGPT(e.get()), 1);

  // The backup array lacks the second entry: it is listed by one copy only.
  const auto backupShort =
      damagedCopy(gpt, dir.path(), "backupshort.img", {{backupArray * 512 + 128, zeros(128)}});
  table = scan(e.get(), diskOf(backupShort), true);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(foundCopies(table[0]), 2);
  EXPECT_EQ(foundCopies(table[1]), 1);
  EXPECT_EQ(Undelete_NeedFixGPT(e.get()), 1);

  // The FAT partition deleted from both copies: found in the gap as a recovered basic-data entry.
  const auto deleted =
      damagedCopy(gpt, dir.path(), "deleted.img",
                  {{2 * 512 + 128, zeros(128)}, {backupArray * 512 + 128, zeros(128)}});
  for (const bool quick : {true, false}) {
    table = scan(e.get(), diskOf(deleted), quick);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[1].start.get(), 34816u * 512);
    EXPECT_EQ(table[1].length.get(), 32768u * 512);
    EXPECT_EQ(foundStatus(table[1]), kPartFound);
    EXPECT_EQ(table[1].type, 0xFF);
    EXPECT_EQ(nameOf(table[1]), "Basic data partition recovered");
  }
}

}  // namespace
