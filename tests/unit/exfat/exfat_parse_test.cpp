// Parser tests: the boot region of a mkfs.exfat volume with one field mutated per case, entry
// sets as a driver writes and deletes them, entry times, and cluster walks over a small table.
#include "exfat/exfat_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fat/fat_parse.h"
#include "test_support.h"

namespace {

/// The first 24 sectors (both boot regions) of a fresh 8 MiB volume.
const std::vector<std::uint8_t>& bootRegions() {
  static const std::vector<std::uint8_t> bytes = [] {
    kvxtest::TempDir dir("exfat-boot");
    const auto img = dir / "v.img";
    if (kvxtest::run("truncate -s 8M " + kvxtest::quote(img.string()) + " && mkfs.exfat " +
                     kvxtest::quote(img.string()) + " >/dev/null 2>&1")
            .exitCode != 0)
      return std::vector<std::uint8_t>();
    auto all = kvxtest::readFile(img);
    all.resize(24 * 512);
    return all;
  }();
  return bytes;
}

struct BootCase {
  const char* name;
  std::size_t offset;
  std::vector<std::uint8_t> bytes;
  Parse sector;  // the boot sector alone
  Parse region;  // with its checksum sector
};

class ExfatBootTest : public ::testing::TestWithParam<BootCase> {};

TEST_P(ExfatBootTest, MutatedField) {
  if (!kvxtest::haveTools({"mkfs.exfat"}) || bootRegions().empty()) GTEST_SKIP() << "no mkfs.exfat";
  auto region = bootRegions();
  std::ranges::copy(GetParam().bytes,
                    region.begin() + static_cast<std::ptrdiff_t>(GetParam().offset));
  ExfatBoot boot;
  const std::span<const std::uint8_t> all(region);
  EXPECT_EQ(EXFAT_ParseBootSector(all.first(512), boot), GetParam().sector);
  EXPECT_EQ(EXFAT_ParseBootRegion(all.first(12 * 512), boot), GetParam().region);
  // The backup region is an exact copy of the pristine main one.
  EXPECT_EQ(EXFAT_ParseBootRegion(all.subspan(12 * 512), boot), Parse::Ok);
  EXPECT_EQ(boot.sectorSize, 512u);
  EXPECT_EQ(
      std::uint64_t{boot.clusterHeapOffset} +
          std::uint64_t{boot.clusterCount} * boot.sectorsPerCluster,
      boot.volumeSectors - (boot.volumeSectors - boot.clusterHeapOffset) % boot.sectorsPerCluster);
}

INSTANTIATE_TEST_SUITE_P(
    Exfat, ExfatBootTest,
    ::testing::Values(
        BootCase{"Pristine", 0, {}, Parse::Ok, Parse::Ok},
        // Bytes the checksum leaves out change while the volume is mounted.
        BootCase{"DirtyFlag", 0x6A, {0x02}, Parse::Ok, Parse::Ok},
        BootCase{"PercentInUse", 0x70, {37}, Parse::Ok, Parse::Ok},
        BootCase{"ChecksummedByteChanged", 0x64, {0x55}, Parse::Ok, Parse::Corrupt},
        BootCase{"ChecksumSectorChanged", 11 * 512 + 100, {0x00}, Parse::Ok, Parse::Corrupt},
        BootCase{"NameIsNtfs",
                 3,
                 {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '},
                 Parse::NotThis,
                 Parse::NotThis},
        BootCase{"FatParameterBlock", 0x0B, {0x00, 0x02}, Parse::NotThis, Parse::NotThis},
        BootCase{"NoSignature", 0x1FE, {0x00, 0x00}, Parse::NotThis, Parse::NotThis},
        BootCase{"SectorShift8", 0x6C, {8}, Parse::Corrupt, Parse::Corrupt},
        BootCase{"ClusterOver32MiB", 0x6D, {17}, Parse::Corrupt, Parse::Corrupt},
        BootCase{"ThreeFats", 0x6E, {3}, Parse::Corrupt, Parse::Corrupt},
        BootCase{"FatInBootRegion", 0x50, {4, 0, 0, 0}, Parse::Corrupt, Parse::Corrupt},
        BootCase{
            "HeapPastVolumeEnd", 0x5C, {0xFF, 0xFF, 0xFF, 0x00}, Parse::Corrupt, Parse::Corrupt},
        BootCase{"RootClusterOne", 0x60, {1, 0, 0, 0}, Parse::Corrupt, Parse::Corrupt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExfatBootTest, FatParserDoesNotTakeAnExfatBootSector) {
  if (bootRegions().empty()) GTEST_SKIP() << "no mkfs.exfat";
  FatBoot fat;
  EXPECT_EQ(FAT_ParseBootSector(std::span(bootRegions()).first(512), fat), Parse::NotThis);
}

// --- Entry sets ------------------------------------------------------------------------------

std::uint16_t setChecksum(const std::vector<std::uint8_t>& set) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

/// A file entry set as a driver writes it (in use), with @p name, data at @p cluster.
std::vector<std::uint8_t> makeSet(const std::u16string& name, std::uint32_t cluster,
                                  std::uint64_t size, std::uint8_t flags = 0x03) {
  const std::size_t nameEntries = (name.size() + 14) / 15;
  std::vector<std::uint8_t> s((2 + nameEntries) * 32, 0);
  s[0] = 0x85;
  s[1] = static_cast<std::uint8_t>(1 + nameEntries);
  s[4] = 0x20;                                  // archive
  storeLe<std::uint32_t>(&s[12], 0x5A5C4C43u);  // 2025-02-28 09:34:06
  s[21] = 150;                                  // + 1.5 s
  s[23] = 0x80 | 4;                             // UTC+1
  s[32] = 0xC0;
  s[33] = flags;
  s[35] = static_cast<std::uint8_t>(name.size());
  storeLe<std::uint64_t>(&s[40], size);
  storeLe<std::uint32_t>(&s[52], cluster);
  storeLe<std::uint64_t>(&s[56], size);
  for (std::size_t k = 0; k < nameEntries; ++k) {
    s[64 + 32 * k] = 0xC1;
    for (std::size_t j = 0; j < 15 && 15 * k + j < name.size(); ++j)
      storeLe<std::uint16_t>(&s[64 + 32 * k + 2 + 2 * j], name[15 * k + j]);
  }
  char16_t identity[kExfatUpcaseChars];
  for (std::size_t i = 0; i < kExfatUpcaseChars; ++i) identity[i] = static_cast<char16_t>(i);
  storeLe<std::uint16_t>(
      &s[36], EXFAT_NameHash(name.data(), static_cast<std::uint32_t>(name.size()), identity));
  storeLe<std::uint16_t>(&s[2], setChecksum(s));
  return s;
}

/// What deletion does: the in-use bit of every entry of the set is cleared.
std::vector<std::uint8_t> deleted(std::vector<std::uint8_t> s) {
  for (std::size_t i = 0; i < s.size(); i += 32) s[i] &= 0x7F;
  return s;
}

TEST(ExfatEntrySetTest, LiveDeletedLongAndDamagedSets) {
  ExfatEntrySet set;
  const auto live = makeSet(u"photo.jpg", 9, 50000);
  ASSERT_EQ(EXFAT_ParseEntrySet(live, nullptr, set), Parse::Ok);
  EXPECT_FALSE(set.deleted);
  EXPECT_TRUE(set.checksumOk && set.noFatChain());
  EXPECT_EQ(set.entries, 3u);
  EXPECT_EQ(std::u16string(set.name), u"photo.jpg");
  EXPECT_EQ(set.firstCluster, 9u);
  EXPECT_EQ(set.dataLength, 50000u);

  ASSERT_EQ(EXFAT_ParseEntrySet(deleted(live), nullptr, set), Parse::Ok);
  EXPECT_TRUE(set.deleted && set.checksumOk);

  // 255 UTF-16 units over 17 name entries, a surrogate pair included.
  std::u16string longName(253, u'n');
  longName += u"\xD83D\xDE00";
  auto big = makeSet(longName, 2, 1);
  ASSERT_EQ(EXFAT_ParseEntrySet(deleted(big), nullptr, set), Parse::Ok);
  EXPECT_EQ(set.nameLength, 255u);
  EXPECT_EQ(set.entries, 19u);
  EXPECT_EQ(std::u16string(set.name), longName);

  // Cut short, mixed states, a reused entry inside, a bad character, a missing stream entry.
  EXPECT_EQ(EXFAT_ParseEntrySet(std::span(live).first(64), nullptr, set), Parse::Corrupt);
  auto mixed = deleted(live);
  mixed[64] = 0xC1;
  EXPECT_EQ(EXFAT_ParseEntrySet(mixed, nullptr, set), Parse::Corrupt);
  auto reused = deleted(live);
  reused[64] = 0x85;  // a new set starts where the name entry was
  EXPECT_EQ(EXFAT_ParseEntrySet(reused, nullptr, set), Parse::Corrupt);
  EXPECT_EQ(EXFAT_ParseEntrySet(deleted(makeSet(u"a:b", 5, 1)), nullptr, set), Parse::Corrupt);
  auto noStream = live;
  noStream[32] = 0xC1;
  EXPECT_EQ(EXFAT_ParseEntrySet(noStream, nullptr, set), Parse::Corrupt);
  EXPECT_EQ(EXFAT_ParseEntrySet(std::span(live).subspan(32), nullptr, set), Parse::NotThis);

  // A changed byte: a live set is still listed, a deleted one only when its name hash vouches.
  auto changed = live;
  changed[8] ^= 1;
  ASSERT_EQ(EXFAT_ParseEntrySet(changed, nullptr, set), Parse::Ok);
  EXPECT_FALSE(set.checksumOk);
  EXPECT_EQ(EXFAT_ParseEntrySet(deleted(changed), nullptr, set), Parse::Corrupt);
  std::vector<char16_t> upcase(kExfatUpcaseChars);
  for (std::size_t i = 0; i < upcase.size(); ++i) upcase[i] = static_cast<char16_t>(i);
  EXPECT_EQ(EXFAT_ParseEntrySet(deleted(changed), upcase.data(), set), Parse::Ok);
  upcase[u'p'] = u'P';  // a different table gives a different hash
  EXPECT_EQ(EXFAT_ParseEntrySet(deleted(changed), upcase.data(), set), Parse::Corrupt);
}

TEST(ExfatEntrySetTest, TimesCarryTenMillisecondsAndTheUtcOffset) {
  const std::uint32_t stamp = 0x5A5C4C43u;  // 2025-02-28 09:34:06 local
  const std::uint64_t local = FAT_DosToFileTime(0x5A5C, 0x4C43, 0);
  ASSERT_NE(local, 0u);
  constexpr std::uint64_t kHour = 36000000000ull;
  bool utc = false;
  EXPECT_EQ(EXFAT_TimeToFileTime(stamp, 150, 0x80 | 4, utc), local + 15000000 - kHour);
  EXPECT_TRUE(utc);
  EXPECT_EQ(EXFAT_TimeToFileTime(stamp, 0, 0x80 | (128 - 20), utc), local + 5 * kHour);  // UTC-5
  EXPECT_EQ(EXFAT_TimeToFileTime(stamp, 0, 0x04, utc), local) << "offset not marked valid";
  EXPECT_FALSE(utc);
  EXPECT_EQ(EXFAT_TimeToFileTime(0, 0, 0x80, utc), 0u) << "month 0";
}

// --- Cluster walks -----------------------------------------------------------------------------

TEST(ExfatClusterWalkTest, ContiguousChainFreedChainAndLoops) {
  // Ten clusters: 2 -> 5 -> 3 (end); 6 -> 6 (a loop); 8 free.
  std::vector<std::uint8_t> fat(12 * 4, 0);
  const auto set = [&](std::uint32_t c, std::uint32_t v) {
    storeLe<std::uint32_t>(&fat[c * 4], v);
  };
  set(2, 5);
  set(5, 3);
  set(3, 0xFFFFFFFF);
  set(6, 6);
  ExfatGeometry g;
  g.sectorSize = 512;
  g.clusterBytes = 1024;
  g.sectorsPerCluster = 2;
  g.clusterHeapOffset = 100;
  g.clusterCount = 10;
  g.fat = fat.data();
  g.fatBytes = static_cast<std::uint32_t>(fat.size());
  const auto walk = [&](std::uint32_t first, bool noChain, std::uint64_t bytes, bool stop = false) {
    ExfatClusterWalk w(g, first, noChain, bytes, stop);
    std::vector<std::uint32_t> out;
    for (std::uint32_t c = 0; w.next(c);) out.push_back(c);
    return out;
  };
  using V = std::vector<std::uint32_t>;
  EXPECT_EQ(walk(4, true, 3000), (V{4, 5, 6}));
  EXPECT_EQ(walk(2, false, 3 * 1024), (V{2, 5, 3}));
  EXPECT_EQ(walk(2, false, 5 * 1024), (V{2, 5, 3, 4, 5})) << "straight on after the chain";
  EXPECT_EQ(walk(2, false, 5 * 1024, true), (V{2, 5, 3})) << "a directory ends with its chain";
  EXPECT_EQ(walk(6, false, 1 << 20, true).size(), 10u) << "a loop ends after clusterCount steps";
  EXPECT_EQ(walk(10, true, 8 * 1024), (V{10, 11})) << "the heap ends at cluster 11";
  EXPECT_TRUE(walk(1, true, 1024).empty());
  EXPECT_EQ(EXFAT_ClusterSector(g, 4), 104u);
}

}  // namespace
