// The pure rules behind lost folders and lost file systems: which cluster heads and bodies are
// directories, the geometry guessed for an earlier FAT file system, and the cluster size and
// state given to files of a lost NTFS volume.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/le.h"
#include "fat/fat_lost.h"
#include "fat/fat_parse.h"
#include "ntfs/ntfs_lost.h"
#include "undelete/undelete.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A short entry as mtools writes it: name, attributes, 2024-05-06 07:08:10, cluster and size.
void putEntry(std::uint8_t* e, const char* name11, std::uint8_t attributes, std::uint32_t cluster,
              std::uint32_t size) {
  std::memcpy(e, name11, 11);
  e[11] = attributes;
  const std::uint16_t date = ((2024 - 1980) << 9) | (5 << 5) | 6, time = (7 << 11) | (8 << 5) | 5;
  storeLe<std::uint16_t>(e + 14, time);
  storeLe<std::uint16_t>(e + 16, date);
  storeLe<std::uint16_t>(e + 18, date);
  storeLe<std::uint16_t>(e + 20, static_cast<std::uint16_t>(cluster >> 16));
  storeLe<std::uint16_t>(e + 22, time);
  storeLe<std::uint16_t>(e + 24, date);
  storeLe<std::uint16_t>(e + 26, static_cast<std::uint16_t>(cluster));
  storeLe<std::uint32_t>(e + 28, size);
}

// Directory cluster 0x12345 of a FAT32 volume, child of 0x300: ".", "..", one file.
Bytes headCluster() {
  Bytes c(512, 0);
  putEntry(c.data(), ".          ", 0x10, 0x12345, 0);
  putEntry(c.data() + 32, "..         ", 0x10, 0x300, 0);
  putEntry(c.data() + 64, "REPORT  TXT", 0x20, 0x12346, 1000);
  return c;
}

// A later cluster of a directory: a long-name part, its short entry, a deleted entry, end.
Bytes bodyCluster() {
  Bytes c(512, 0);
  std::uint8_t* lfn = c.data();
  lfn[0] = 0x41;
  const char16_t part[13] = u"notes.txt";
  for (int i = 0; i < 5; ++i) storeLe<std::uint16_t>(lfn + 1 + 2 * i, part[i]);
  for (int i = 0; i < 6; ++i) storeLe<std::uint16_t>(lfn + 14 + 2 * i, part[5 + i]);
  for (int i = 0; i < 2; ++i) storeLe<std::uint16_t>(lfn + 28 + 2 * i, part[11 + i]);
  lfn[11] = 0x0F;
  lfn[13] = 0x5A;
  putEntry(c.data() + 32, "NOTES   TXT", 0x20, 0x200, 5000);
  putEntry(c.data() + 64, "\xE5OLD    BIN", 0x20, 0x210, 70000);
  return c;
}

struct Mutation {
  const char* name;
  std::size_t offset;
  Bytes bytes;
  Parse expected;
};

class DirectoryHead : public ::testing::TestWithParam<Mutation> {};
TEST_P(DirectoryHead, MutatedField) {
  Bytes c = headCluster();
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(),
            c.begin() + static_cast<std::ptrdiff_t>(GetParam().offset));
  std::uint32_t parent = 0;
  EXPECT_EQ(FAT_CheckDirectoryHead(c, true, 0x12345, 0x100000, parent), GetParam().expected);
  if (GetParam().bytes.empty()) EXPECT_EQ(parent, 0x300u);
}
INSTANTIATE_TEST_SUITE_P(
    Fat, DirectoryHead,
    ::testing::Values(Mutation{"Pristine", 0, {}, Parse::Ok},
                      Mutation{"DotNamesOtherCluster", 26, {0x46}, Parse::NotThis},
                      Mutation{"DotHighWordDiffers", 20, {0x02}, Parse::NotThis},
                      Mutation{"DotNotADirectory", 11, {0x20}, Parse::NotThis},
                      Mutation{"DotImpossibleDate", 24, {0xFF, 0xFF}, Parse::NotThis},
                      Mutation{"DotDotMissing", 32, {'X'}, Parse::NotThis},
                      Mutation{
                          "ParentIsItself", 52, {0x01, 0, 0, 0, 0, 0, 0x45, 0x23}, Parse::NotThis},
                      Mutation{"ParentPastTheVolume", 52, {0x20, 0x00}, Parse::NotThis},
                      Mutation{"ParentIsRoot", 52, {0, 0, 0, 0, 0, 0, 0, 0}, Parse::Ok}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DirectoryHead, TooShortOrBelowClusterTwoIsNotADirectory) {
  const Bytes c = headCluster();
  std::uint32_t parent = 0;
  EXPECT_EQ(FAT_CheckDirectoryHead(std::span(c).first(63), true, 0x12345, 0x100000, parent),
            Parse::NotThis);
  EXPECT_EQ(FAT_CheckDirectoryHead(c, true, 1, 0x100000, parent), Parse::NotThis);
  // FAT12/16 keep no high word: the same bytes name cluster 0x2345.
  EXPECT_EQ(FAT_CheckDirectoryHead(c, false, 0x12345, 0xFFF0, parent), Parse::NotThis);
  EXPECT_EQ(FAT_CheckDirectoryHead(c, false, 0x2345, 0xFFF0, parent), Parse::Ok);
}

class DirectoryBody : public ::testing::TestWithParam<Mutation> {};
TEST_P(DirectoryBody, MutatedField) {
  Bytes c = bodyCluster();
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(),
            c.begin() + static_cast<std::ptrdiff_t>(GetParam().offset));
  EXPECT_EQ(FAT_CheckDirectoryBody(c, true, 0x100000, 64ull << 20), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Fat, DirectoryBody,
    ::testing::Values(Mutation{"Pristine", 0, {}, Parse::Ok},
                      Mutation{"LowerCaseShortName", 33, {'o'}, Parse::NotThis},
                      Mutation{"VolumeLabelInside", 43, {0x28}, Parse::NotThis},
                      Mutation{"ImpossibleWriteTime", 54, {0xFF, 0xFF}, Parse::NotThis},
                      Mutation{"ClusterPastTheVolume", 52, {0x20}, Parse::NotThis},
                      Mutation{"LongPartBadSequence", 0, {0x35}, Parse::NotThis},
                      Mutation{"BytesAfterTheEnd", 300, {7}, Parse::NotThis},
                      Mutation{"StartsWithDot", 32, {'.', ' '}, Parse::NotThis},
                      Mutation{"DirectoryWithSize", 43, {0x10}, Parse::NotThis}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DirectoryBody, ZerosLongNamesAloneAndSizesWithoutClusterAreNotDirectories) {
  EXPECT_EQ(FAT_CheckDirectoryBody(Bytes(512, 0), true, 0x100000, 1u << 26), Parse::NotThis);
  Bytes c = bodyCluster();
  storeLe<std::uint16_t>(c.data() + 32 + 26, 0);  // NOTES.TXT: no cluster, yet 5000 bytes
  EXPECT_EQ(FAT_CheckDirectoryBody(c, true, 0x100000, 1u << 26), Parse::NotThis);
  Bytes parts = bodyCluster();
  std::fill(parts.begin() + 32, parts.end(), 0);  // a long-name part and nothing it names
  EXPECT_EQ(FAT_CheckDirectoryBody(parts, true, 0x100000, 1u << 26), Parse::NotThis);
  // Text is not a directory, however many blanks and capitals it has.
  Bytes text(512);
  const std::string line = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG. 0123456789\r\n";
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<std::uint8_t>(line[i % line.size()]);
  EXPECT_EQ(FAT_CheckDirectoryBody(text, true, 0x100000, 1u << 26), Parse::NotThis);
}

TEST(FormatGeometry, SubdirectorySectorPlacesTheDataArea) {
  // Sector 10000 holds the "." entry of cluster 100: with 4 KiB clusters the data area starts at
  // 10000 - 98 x 8 = 9216, which leaves the smallest area in front of the FATs on this volume.
  FatVolumeInfo v{};
  ASSERT_TRUE(FAT_GuessFormatGeometry(512, 2277ull << 20, 10000, 100, v));
  EXPECT_EQ(v.kind.get(), kFsFat32);
  EXPECT_EQ(v.clusterBytes.get(), 4096u);
  EXPECT_EQ(v.fatBytes.get(), 0u);
  EXPECT_EQ(v.rootCluster.get(), 2u);
  FatGeometry g;
  ASSERT_TRUE(FAT_GeometryFrom(v, nullptr, 512, g));
  EXPECT_EQ(FAT_ClusterSector(g, 2), 9216u);
  EXPECT_EQ(FAT_ClusterSector(g, 100), 10000u);
  EXPECT_LT(v.reservedSectors.get(), 128u);
  EXPECT_EQ(v.clusterLimit.get(), ((2277ull << 20) - 9216ull * 512) / 4096);
}

TEST(FormatGeometry, ImpossiblePlacesAreDeclined) {
  FatVolumeInfo v{};
  EXPECT_FALSE(FAT_GuessFormatGeometry(512, 2277ull << 20, 10000, 0, v));  // no cluster 0 dir
  EXPECT_FALSE(FAT_GuessFormatGeometry(512, 2277ull << 20, 10, 100, v));   // data before sector 0
  std::uint64_t f = 0;
  EXPECT_FALSE(FAT_GuessGeometry(512, 0, kFsFat16, 4096, &f));
  EXPECT_FALSE(FAT_GuessGeometry(512, 1ull << 40, kFsFat12, 512, &f));  // too many clusters
}

TEST(LostNtfs, RecordSizeClusterSizeAndState) {
  Bytes s(512, 0);
  std::memcpy(s.data(), "FILE", 4);
  storeLe<std::uint16_t>(s.data() + 6, 3);
  EXPECT_EQ(NTFS_LostRecordBytes(s, 512), 1024u);
  storeLe<std::uint16_t>(s.data() + 6, 66);
  EXPECT_EQ(NTFS_LostRecordBytes(s, 512), 0u);  // above 32 KiB

  EXPECT_EQ(NTFS_GuessClusterSectors(2, 5000, 512), 8u);       // 10 sectors in 2 clusters
  EXPECT_EQ(NTFS_GuessClusterSectors(1, 1u << 20, 512), 0u);   // over 128 sectors a cluster
  EXPECT_EQ(NTFS_GuessClusterSectors(~0ull, ~0ull, 512), 1u);  // no overflow

  // 8 clusters: none, 3 or 4 of them claimed by other data, or all.
  EXPECT_EQ(NTFS_LostState(0, 8), static_cast<std::uint32_t>(kStateExcellent));
  EXPECT_EQ(NTFS_LostState(3, 8), static_cast<std::uint32_t>(kStateGood));
  EXPECT_EQ(NTFS_LostState(4, 8), static_cast<std::uint32_t>(kStatePoor));
  EXPECT_EQ(NTFS_LostState(8, 8), static_cast<std::uint32_t>(kStateUnrecoverable));
}

}  // namespace
