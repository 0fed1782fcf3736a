// Third-party FAT images with published ground truth (tests/fixtures/corpus): what the authors
// state must be found and recovered; damaged images end with what was found.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "fat_harness.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

namespace fs = std::filesystem;
using fattest::Found;
using fattest::Scan;

fs::path corpus(const std::string& rel) {
  return kvxtest::sourceDir() / "tests/fixtures/corpus" / rel;
}

/// Expands a fixture (.xz or .gz) into @p dir; returns the image path.
fs::path expand(const kvxtest::TempDir& dir, const std::string& rel) {
  const fs::path src = corpus(rel);
  const std::string tool = src.extension() == ".xz" ? "xz -dc " : "gzip -dc ";
  const fs::path out = dir / src.stem().string();
  const auto r =
      kvxtest::run(tool + kvxtest::quote(src.string()) + " > " + kvxtest::quote(out.string()));
  EXPECT_EQ(r.exitCode, 0) << rel;
  return out;
}

std::string recoveredMd5(Scan& scan, const Found& f, const kvxtest::TempDir& dir) {
  const fs::path out = dir / ("rec-" + std::to_string(f.index));
  if (!scan.recover(f.index, out)) return "failed";
  return kvxtest::md5File(out);
}

TEST(FatCorpus, UndeleteImageGivesThePublishedFindsAndChecksums) {
  kvxtest::TempDir dir("fat-corpus-undel");
  const fs::path image = expand(dir, "6-fat-undel/6-fat-undel.dd.xz");
  ASSERT_EQ(kvxtest::md5File(image), "4aeb06ecd361777242ab78735d51ace6");
  Scan scan(image);
  ASSERT_TRUE(scan.recognized());
  // Published truth, the fragmented files included: their fragments lie around files that
  // existed while they were written (and are deleted now). Those layouts are inferred, and the
  // files passed over might have been written over instead, so all are Good, none Excellent.
  const std::map<std::string, std::tuple<std::uint64_t, std::string, std::uint32_t>> expected = {
      {"_ing.dat", {780, "59b20779f69ff9f0ac5fcd2c38835a79", kStateGood}},
      {"_ult1.dat", {3801, "ffd27bd782bdce67750b6b9ee069d2ef", kStateGood}},
      {"_rag1.dat", {1584, "7a3bc5b763bef201202108f4ba128149", kStateGood}},
      {"_rag2.dat", {3873, "0e80ab84ef0087e60dfc67b88a1cf13e", kStateGood}},
      {"_ir1/mult2.dat", {1715, "59cf0e9cd107bc1e75afb7374f6e05bb", kStateGood}},
      {"_ir1/dir2/frag3.dat", {2027, "21121699487f3fbbdb9a4b3391b6d3e0", kStateGood}},
  };
  for (const auto& [path, truth] : expected) {
    const Found* f = scan.find(path, true);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(f->size, std::get<0>(truth)) << path;
    EXPECT_EQ(recoveredMd5(scan, *f, dir), std::get<1>(truth)) << path;
    EXPECT_EQ(f->state, std::get<2>(truth)) << path;
  }
  bool dir1Deleted = false;
  for (const auto& d : scan.folders()) dir1Deleted |= d.path == "_ir1/" && d.deleted;
  EXPECT_TRUE(dir1Deleted);
  EXPECT_EQ(kvxtest::md5File(image), "4aeb06ecd361777242ab78735d51ace6");
}

TEST(FatCorpus, TimesAreTakenAsWrittenWithoutTimeZoneShift) {
  kvxtest::TempDir dir("fat-corpus-daylight");
  const fs::path image = expand(dir, "5-fat-daylight/daylight.dd.xz");
  Scan scan(image);
  ASSERT_TRUE(scan.recognized());
  const Found* winter = scan.find("winter.txt", false);
  const Found* summer = scan.find("summer.txt", false);
  ASSERT_TRUE(winter && summer);
  EXPECT_EQ(winter->state, 5u);
  // FAT12: only the write time is read. 2004-01-01 14:00 and 2004-06-01 15:00 as calendar values.
  constexpr std::uint64_t kTicksPerMinute = 600000000ull;
  const std::uint64_t jan1 = 127173888000000000ull;  // 2004-01-01 00:00 as FILETIME
  EXPECT_EQ(winter->modified / kTicksPerMinute,
            (jan1 + 14 * 60 * kTicksPerMinute) / kTicksPerMinute);
  const std::uint64_t jun1 = jan1 + 152ull * 24 * 60 * kTicksPerMinute;
  EXPECT_EQ(summer->modified / kTicksPerMinute,
            (jun1 + 15 * 60 * kTicksPerMinute) / kTicksPerMinute);
  EXPECT_EQ(winter->created, 0u);
}

TEST(FatCorpus, FindMeFileOfFat12Image) {
  kvxtest::TempDir dir("fat-corpus-fat12");
  const fs::path image = expand(dir, "dfir_ntfs-fat/fat12.raw.gz");
  Scan scan(image);
  ASSERT_TRUE(scan.recognized());
  const Found* f = scan.find("265/find_me.txt", false);
  ASSERT_NE(f, nullptr);
  const fs::path out = dir / "find_me";
  ASSERT_TRUE(scan.recover(f->index, out));
  auto bytes = kvxtest::readFile(out);
  ASSERT_EQ(bytes.size(), 8192u + 7);
  EXPECT_EQ(std::string(bytes.end() - 7, bytes.end()), "the end");
  EXPECT_TRUE(
      std::all_of(bytes.begin(), bytes.begin() + 8192, [](std::uint8_t b) { return b == 0xFE; }));
}

TEST(FatCorpus, HugeClustersAreReadWhole) {
  kvxtest::TempDir dir("fat-corpus-cluster");
  const fs::path image = expand(dir, "dfir_ntfs-fat/fat_unusual_cluster.raw.gz");
  Scan scan(image);
  ASSERT_TRUE(scan.recognized());
  const Found* f = scan.find("test_test_test_123_123_123.txt", false);
  ASSERT_NE(f, nullptr);
  const fs::path out = dir / "t";
  ASSERT_TRUE(scan.recover(f->index, out));
  const auto bytes = kvxtest::readFile(out);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "456\n");
}

TEST(FatCorpus, DeletedDirectoryWithReusedClustersAndSmallFat32) {
  kvxtest::TempDir dir("fat-corpus-moved");
  {
    Scan scan(expand(dir, "dfir_ntfs-fat/fat16_moved.raw.gz"));
    ASSERT_TRUE(scan.recognized());
    EXPECT_NE(scan.find("test/2/11/1.txt", false), nullptr);
  }
  {
    Scan scan(expand(dir, "dfir_ntfs-fat/fat32_small.raw.gz"));
    ASSERT_TRUE(scan.recognized());
    const Found* f = scan.find("test/1.TXT", false);
    ASSERT_NE(f, nullptr);
    const fs::path out = dir / "one";
    ASSERT_TRUE(scan.recover(f->index, out));
    const auto bytes = kvxtest::readFile(out);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "test1\n");
  }
  {
    Scan scan(expand(dir, "dfir_ntfs-fat/fat_deleted_dir_2.raw.gz"));
    ASSERT_TRUE(scan.recognized());
    EXPECT_NE(scan.find("_/2.txt", true), nullptr);
    EXPECT_NE(scan.find("_/22.txt", true), nullptr);
  }
}

TEST(FatCorpus, DirectoryLoopEndsWithWhatWasFound) {
  kvxtest::TempDir dir("fat-corpus-loop");
  const fs::path image = expand(dir, "dfir_ntfs-fat/fat32_loop.raw.gz");
  const std::string md5 = kvxtest::md5File(image);
  Scan scan(image);
  ASSERT_TRUE(scan.recognized());
  const std::size_t entries = scan.files().size() + scan.folders().size() - 1;
  EXPECT_GE(entries, 1u);
  EXPECT_LE(entries, 100u);
  EXPECT_EQ(kvxtest::md5File(image), md5);
}

}  // namespace
