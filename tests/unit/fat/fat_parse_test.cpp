// Pure FAT parsers: boot sector and geometry, table entries, names, long-name parts and times.
// Each table starts from a good value and changes one field per case.
#include "fat/fat_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "undelete/undelete.h"

namespace {

// Sector 0 of `mkfs.fat -C -F 12 -i 1234ABCD -n FAT12TEST --invariant img 1440` (first 90 bytes).
constexpr std::uint8_t kFat12Head[90] = {
    0xEB, 0x3C, 0x90, 0x6D, 0x6B, 0x66, 0x73, 0x2E, 0x66, 0x61, 0x74, 0x00, 0x02, 0x01, 0x01,
    0x00, 0x02, 0xE0, 0x00, 0x40, 0x0B, 0xF0, 0x09, 0x00, 0x12, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x29, 0xCD, 0xAB, 0x34, 0x12, 0x46, 0x41,
    0x54, 0x31, 0x32, 0x54, 0x45, 0x53, 0x54, 0x20, 0x20, 0x46, 0x41, 0x54, 0x31, 0x32, 0x20,
    0x20, 0x20, 0x0E, 0x1F, 0xBE, 0x5B, 0x7C, 0xAC, 0x22, 0xC0, 0x74, 0x0B, 0x56, 0xB4, 0x0E,
    0xBB, 0x07, 0x00, 0xCD, 0x10, 0x5E, 0xEB, 0xF0, 0x32, 0xE4, 0xCD, 0x16, 0xCD, 0x19, 0xEB};
// Sector 0 of `mkfs.fat -C -F 32 -i 1234ABCD -n FAT32TEST --invariant img 40000`.
constexpr std::uint8_t kFat32Head[90] = {
    0xEB, 0x58, 0x90, 0x6D, 0x6B, 0x66, 0x73, 0x2E, 0x66, 0x61, 0x74, 0x00, 0x02, 0x01, 0x20,
    0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0x20, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x80, 0x38, 0x01, 0x00, 0x68, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,
    0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x29, 0xCD, 0xAB, 0x34, 0x12, 0x46, 0x41, 0x54, 0x33,
    0x32, 0x54, 0x45, 0x53, 0x54, 0x20, 0x20, 0x46, 0x41, 0x54, 0x33, 0x32, 0x20, 0x20, 0x20};

std::array<std::uint8_t, 512> sectorOf(const std::uint8_t (&head)[90]) {
  std::array<std::uint8_t, 512> s{};
  std::copy(std::begin(head), std::end(head), s.begin());
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

enum class Outcome { NotThis, Incompatible, OutOfRange, Ok };

struct BootCase {
  const char* name;
  bool fat32;
  std::size_t offset;
  std::vector<std::uint8_t> bytes;
  Outcome expected;
  std::uint32_t kind = 0;         // checked when Ok
  std::uint32_t rootEntries = 0;  // checked when Ok and non-zero
};

class FatBootSectorTest : public ::testing::TestWithParam<BootCase> {};

TEST_P(FatBootSectorTest, MutatedField) {
  const BootCase& c = GetParam();
  auto sector = sectorOf(c.fat32 ? kFat32Head : kFat12Head);
  std::copy(c.bytes.begin(), c.bytes.end(), sector.begin() + static_cast<std::ptrdiff_t>(c.offset));
  const std::uint64_t volumeBytes = c.fat32 ? 40000ull * 1024 : 1440ull * 1024;
  FatBoot boot;
  Outcome got = Outcome::NotThis;
  FatVolumeInfo info{};
  if (FAT_ParseBootSector(sector, boot) == Parse::Ok) {
    switch (FAT_MakeVolumeInfo(boot, volumeBytes, info)) {
      case FatGeometryCheck::Ok:
        got = Outcome::Ok;
        break;
      case FatGeometryCheck::Incompatible:
        got = Outcome::Incompatible;
        break;
      case FatGeometryCheck::OutOfRange:
        got = Outcome::OutOfRange;
        break;
    }
  }
  ASSERT_EQ(got, c.expected);
  if (got == Outcome::Ok) {
    EXPECT_EQ(info.kind.get(), c.kind);
    if (c.rootEntries != 0) EXPECT_EQ(info.rootEntries.get(), c.rootEntries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fat, FatBootSectorTest,
    ::testing::Values(
        BootCase{"Fat12Pristine", false, 0, {}, Outcome::Ok, kFsFat12, 224},
        BootCase{"Fat32Pristine", true, 0, {}, Outcome::Ok, kFsFat32, 65536},
        BootCase{"LowerCaseFat16Text", false, 54, {'f', 'a', 't', '1', '6'}, Outcome::Ok, kFsFat16},
        BootCase{"NoTypeText", false, 54, {'N', 'T', 'F', 'S'}, Outcome::NotThis},
        BootCase{"Fat32CarryingFat16Text",
                 true,
                 54,
                 {'F', 'A', 'T', '1', '6', ' ', ' ', ' '},
                 Outcome::Incompatible},
        BootCase{"Fat32WithSixteenBitFatSize", true, 22, {0x10, 0x00}, Outcome::Incompatible},
        BootCase{"Fat12WithoutFatSize", false, 22, {0x00, 0x00}, Outcome::Incompatible},
        BootCase{"RootEntriesZeroGives512", false, 17, {0x00, 0x00}, Outcome::Ok, kFsFat12, 512},
        BootCase{"BytesPerSectorZero", false, 11, {0x00, 0x00}, Outcome::OutOfRange},
        BootCase{"BytesPerSectorNegative", false, 11, {0x00, 0x80}, Outcome::OutOfRange},
        BootCase{"BytesPerSectorOdd", false, 11, {0x08, 0x02}, Outcome::OutOfRange},
        BootCase{"SectorsPerClusterZero", false, 13, {0x00}, Outcome::OutOfRange},
        BootCase{"FatPastVolumeEnd", false, 22, {0xFF, 0xFF}, Outcome::OutOfRange},
        BootCase{"ReservedPastVolumeEnd", false, 14, {0xFF, 0xFF}, Outcome::OutOfRange},
        BootCase{"Fat32FatSizeZero", true, 36, {0, 0, 0, 0}, Outcome::OutOfRange},
        BootCase{"Fat32HugeFatSize", true, 36, {0xFF, 0xFF, 0xFF, 0xFF}, Outcome::OutOfRange}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatGeometry, ClusterLimitAndSectorsFollowTheBootSector) {
  const auto sector = sectorOf(kFat12Head);
  FatBoot boot;
  ASSERT_EQ(FAT_ParseBootSector(sector, boot), Parse::Ok);
  FatVolumeInfo info{};
  ASSERT_EQ(FAT_MakeVolumeInfo(boot, 1440 * 1024, info), FatGeometryCheck::Ok);
  // 2880 sectors - 1 reserved - 2 x 9 FAT sectors = 2861 clusters of one sector, + 2; the root
  // area is not subtracted.
  EXPECT_EQ(info.clusterLimit.get(), 2861u + 2);
  EXPECT_EQ(info.fatBytes.get(), 9u * 512);
  std::vector<std::uint8_t> fat(9 * 512);
  FatGeometry g;
  ASSERT_TRUE(FAT_GeometryFrom(info, fat.data(), 512, g));
  EXPECT_EQ(FAT_RootSector(g), 19u);
  EXPECT_EQ(FAT_ClusterSector(g, 2), 19u + 224 * 32 / 512);
  EXPECT_EQ(FAT_ClusterSector(g, 10), 33u + 8);
}

FatGeometry tableGeometry(std::uint32_t kind, std::vector<std::uint8_t>& fat) {
  FatGeometry g;
  g.kind = kind;
  g.fatBytes = static_cast<std::uint32_t>(fat.size());
  g.fat = fat.data();
  g.clusterLimit = 0x0FFFFFF0;
  return g;
}

TEST(FatTable, Fat12EntriesArePackedInPairs) {
  // Entries 2..5 = 0x003, 0xABC, 0x000, 0xFF7 packed as in a FAT12 table.
  std::vector<std::uint8_t> fat = {0xF0, 0xFF, 0xFF, 0x03, 0xC0, 0xAB, 0x00, 0x70, 0xFF};
  const FatGeometry g = tableGeometry(kFsFat12, fat);
  std::uint32_t next = 0;
  ASSERT_TRUE(FAT_TableEntry(g, 2, next));  // word at 3, masked
  EXPECT_EQ(next, 0x003u);
  ASSERT_TRUE(FAT_TableEntry(g, 3, next));  // word at 4, shifted right by 4
  EXPECT_EQ(next, 0xABCu);
  EXPECT_FALSE(FAT_TableEntry(g, 4, next)) << "a free entry has no next cluster";
  ASSERT_TRUE(FAT_TableEntry(g, 5, next));  // the last odd entry ends at the table's last byte
  EXPECT_EQ(next, 0xFF7u);
  EXPECT_TRUE(FAT_EndOfChainValue(kFsFat12, next));
  EXPECT_FALSE(FAT_TableEntry(g, 6, next)) << "past the table";
}

TEST(FatTable, Fat16And32EntriesAndChainEnds) {
  std::vector<std::uint8_t> fat16 = {0xF8, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x05, 0x00, 0xF7, 0xFF};
  FatGeometry g = tableGeometry(kFsFat16, fat16);
  std::uint32_t next = 0;
  EXPECT_FALSE(FAT_TableEntry(g, 2, next)) << "value 1 is reserved";
  ASSERT_TRUE(FAT_TableEntry(g, 3, next));
  EXPECT_EQ(next, 5u);
  ASSERT_TRUE(FAT_TableEntry(g, 4, next));
  EXPECT_TRUE(FAT_EndOfChainValue(kFsFat16, next));
  EXPECT_FALSE(FAT_TableEntry(g, 5, next));

  std::vector<std::uint8_t> fat32(16, 0);
  fat32[8] = 0x07;
  fat32[11] = 0xF0;  // upper four bits kept
  g = tableGeometry(kFsFat32, fat32);
  ASSERT_TRUE(FAT_TableEntry(g, 2, next));
  EXPECT_EQ(next, 0xF0000007u);
  EXPECT_TRUE(FAT_EndOfChainValue(kFsFat32, 0x0FFFFFF7u));
  EXPECT_FALSE(FAT_EndOfChainValue(kFsFat32, 0x0FFFFFF6u));
  EXPECT_TRUE(FAT_EndOfChainValue(kFsNtfs, 2)) << "any other kind ends a chain";
}

struct NameCase {
  const char* name;
  std::array<std::uint8_t, 32> entry;
  bool accepted;
  std::u16string expected;
};

std::array<std::uint8_t, 32> entryOf(const char (&name11)[12], std::uint8_t caseFlags = 0,
                                     std::uint16_t cluster = 0) {
  std::array<std::uint8_t, 32> e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = 0x20;
  e[12] = caseFlags;
  e[26] = static_cast<std::uint8_t>(cluster);
  e[27] = static_cast<std::uint8_t>(cluster >> 8);
  return e;
}

std::array<std::uint8_t, 32> deletedEntry(const char (&name11)[12]) {
  auto e = entryOf(name11);
  e[0] = 0xE5;
  return e;
}

class FatShortNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FatShortNameTest, FormsTheName) {
  FatName name;
  const bool ok = FAT_FormatShortName(GetParam().entry.data(), name);
  ASSERT_EQ(ok, GetParam().accepted);
  if (ok) EXPECT_EQ(std::u16string(name.chars, name.length), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fat, FatShortNameTest,
    ::testing::Values(
        NameCase{"Plain", entryOf("README  TXT"), true, u"README.TXT"},
        NameCase{"NoExtensionNoDot", entryOf("README     "), true, u"README"},
        NameCase{"DeletedGetsUnderscore", deletedEntry("xILE    TXT"), true, u"_ILE.TXT"},
        NameCase{"LowerCaseFlags", entryOf("README  TXT", 0x18), true, u"readme.txt"},
        NameCase{"LowerCaseExtensionOnly", entryOf("README  TXT", 0x10), true, u"README.txt"},
        NameCase{"Windows1252", entryOf("\x80UR     TXT"), true, u"\u20ACUR.TXT"},
        NameCase{"ForbiddenCharacter", entryOf("A?B     TXT"), false, u""},
        NameCase{"DotInsideBase", entryOf("A.B     TXT"), false, u""},
        NameCase{"ControlCharacter",
                 entryOf("A\x01"
                         "B     TXT"),
                 false, u""},
        NameCase{"AllBlankWithCluster", entryOf("           ", 0, 5), true, u"_"},
        NameCase{"AllBlankWithoutCluster", entryOf("           "), true, u""}),
    [](const auto& info) { return std::string(info.param.name); });

std::array<std::uint8_t, 32> lfnPart(std::uint8_t sequence, const std::u16string& chars13) {
  std::array<std::uint8_t, 32> e{};
  e[0] = sequence;
  e[11] = 0x0F;
  static constexpr int kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int i = 0; i < 13; ++i) {
    const char16_t c = i < static_cast<int>(chars13.size()) ? chars13[static_cast<std::size_t>(i)]
                       : i == static_cast<int>(chars13.size()) ? u'\0'
                                                               : u'\xFFFF';
    e[static_cast<std::size_t>(kAt[i])] = static_cast<std::uint8_t>(c);
    e[static_cast<std::size_t>(kAt[i]) + 1] = static_cast<std::uint8_t>(c >> 8);
  }
  return e;
}

TEST(FatLongName, PartsAreJoinedLastFirstAndChecked) {
  FatName collected;
  FatItem item;
  const auto p2 = lfnPart(0x42, u"g name.txt");
  const auto p1 = lfnPart(0x01, u"A \u00DCnicode lon");
  const auto sfn = entryOf("AUNICO~1TXT");
  FAT_ClassifyEntry(p2.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::LongPart);
  FAT_ClassifyEntry(p1.data(), false, 100, collected, item);
  FAT_ClassifyEntry(sfn.data(), false, 100, collected, item);
  ASSERT_EQ(item.slot, FatSlot::File);
  EXPECT_EQ(std::u16string(item.name.chars, item.name.length), u"A \u00DCnicode long name.txt");
  EXPECT_EQ(collected.length, 0u) << "cleared after the short entry";

  // A long name with a forbidden character rejects the entry.
  FAT_ClassifyEntry(lfnPart(0x41, u"a:b").data(), false, 100, collected, item);
  FAT_ClassifyEntry(sfn.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::Invalid);
}

TEST(FatLongName, MoreThanTwentyPartsStayInTheBuffer) {
  FatName collected;
  collected.chars[kFatNameMax] = 0x7777;  // must be overwritten only by the terminator
  for (int i = 30; i >= 1; --i)
    FAT_AppendLongNamePart(lfnPart(static_cast<std::uint8_t>(i), u"abcdefghijklm").data(),
                           collected);
  EXPECT_EQ(collected.length, kFatNameMax);
  EXPECT_EQ(collected.chars[kFatNameMax], 0);
  EXPECT_EQ(collected.chars[0], u'a');
}

TEST(FatEntry, ClassificationByAttributesAndCluster) {
  FatName collected;
  FatItem item;
  auto dir = entryOf("SUBDIR     ", 0, 7);
  dir[11] = 0x10;
  FAT_ClassifyEntry(dir.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::Directory);
  EXPECT_EQ(item.cluster, 7u);

  auto label = entryOf("MYLABEL    ");
  label[11] = 0x08;
  FAT_ClassifyEntry(label.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::Volume);

  auto far = entryOf("FAR     BIN", 0, 100);
  FAT_ClassifyEntry(far.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::Invalid) << "cluster at the limit";

  auto high = entryOf("HIGH    BIN", 0, 5);
  high[20] = 0x01;  // high word: used on FAT32 only
  FAT_ClassifyEntry(high.data(), false, 0x20000, collected, item);
  EXPECT_EQ(item.cluster, 5u);
  FAT_ClassifyEntry(high.data(), true, 0x20000, collected, item);
  EXPECT_EQ(item.cluster, 0x10005u);

  auto end = entryOf("END     BIN");
  end[0] = 0;
  FAT_ClassifyEntry(end.data(), false, 100, collected, item);
  EXPECT_EQ(item.slot, FatSlot::End);

  const auto gone = deletedEntry("xONE    BIN");
  FAT_ClassifyEntry(gone.data(), false, 100, collected, item);
  EXPECT_TRUE(item.deleted);
  EXPECT_TRUE(FAT_IsDotEntry(entryOf(".          ").data(), false));
  EXPECT_TRUE(FAT_IsDotEntry(entryOf("..         ").data(), true));
  EXPECT_FALSE(FAT_IsDotEntry(entryOf("..         ").data(), false));
}

struct TimeCase {
  const char* name;
  std::uint16_t date, time;
  std::uint32_t tenths;
  std::uint64_t expected;
};

class FatTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FatTimeTest, CalendarValuesWithoutZoneShift) {
  EXPECT_EQ(FAT_DosToFileTime(GetParam().date, GetParam().time, GetParam().tenths),
            GetParam().expected);
}

constexpr std::uint16_t dosDate(unsigned y, unsigned m, unsigned d) {
  return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d);
}
constexpr std::uint16_t dosTime(unsigned h, unsigned m, unsigned s2) {
  return static_cast<std::uint16_t>(h << 11 | m << 5 | s2);
}

INSTANTIATE_TEST_SUITE_P(
    Fat, FatTimeTest,
    ::testing::Values(
        TimeCase{"Ordinary", dosDate(2020, 1, 2), dosTime(3, 4, 3), 0, 132224078460000000ull},
        TimeCase{"TenthsAddSecondsAndMillis", dosDate(2020, 1, 2), dosTime(3, 4, 3), 155,
                 132224078460000000ull + 15500000ull},
        TimeCase{"Epoch1980", dosDate(1980, 1, 1), 0, 0, 119600064000000000ull},
        TimeCase{"LastDay", dosDate(2107, 12, 31), dosTime(23, 59, 29), 0, 159992927980000000ull},
        TimeCase{"LeapDay", dosDate(2024, 2, 29), dosTime(12, 0, 0), 0, 133536816000000000ull},
        TimeCase{"MonthZero", dosDate(2020, 0, 1), 0, 0, 0},
        TimeCase{"DayZero", dosDate(2020, 1, 0), 0, 0, 0},
        TimeCase{"NoLeapDay", dosDate(2023, 2, 29), 0, 0, 0},
        TimeCase{"Hour24", dosDate(2020, 1, 1), dosTime(24, 0, 0), 0, 0},
        TimeCase{"Seconds62", dosDate(2020, 1, 1), dosTime(0, 0, 31), 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatTimes, Fat12KeepsOnlyTheWriteTime) {
  auto e = entryOf("A       TXT");
  e[16] = 0x21;  // creation date 1980-01-01
  e[18] = 0x21;
  e[24] = 0x21;
  const FatTimes t12 = FAT_EntryTimes(e.data(), kFsFat12);
  EXPECT_NE(t12.modified, 0u);
  EXPECT_EQ(t12.created, 0u);
  EXPECT_EQ(t12.accessed, 0u);
  const FatTimes t16 = FAT_EntryTimes(e.data(), kFsFat16);
  EXPECT_EQ(t16.created, t16.modified);
  EXPECT_EQ(t16.accessed, t16.modified);
}

}  // namespace
