// Published partitioned images: DFTT's extended-partition and NTFS-autodetect disks, dfVFS's
// fdisk image, dfir_ntfs's MBR/EBR (512- and 4096-byte sectors) and GPT images, and the dynamic
// disks of libldm. Expected tables are the published layouts (mmls and ldmtool agree).
#include <gtest/gtest.h>

#include "partition_test_util.h"

using namespace parttest;

namespace {

namespace fs = std::filesystem;

/// The corpus images, unpacked once per test program.
const fs::path& unpacked() {
  static const fs::path dir = [] {
    const fs::path out = kvxtest::fixtureDir() / "partition-corpus";
    const fs::path src = kvxtest::sourceDir() / "tests/fixtures/corpus";
    if (!fs::exists(out / "done")) {
      fs::create_directories(out);
      const std::string o = kvxtest::quote(out.string()), c = kvxtest::quote(src.string());
      const std::string script =
          "set -e; cd " + o + "; unzip -qo " + c + "/1-extend-part/1-extend-part.zip;" +
          " unzip -qo " + c +
          "/10-ntfs-autodetect/10b-ntfs-autodetect.zip 10-ntfs-autodetect/10-ntfs-disk.dd;" +
          " gunzip -c " + c + "/dfvfs-mbr/mbr.raw.gz > dfvfs-mbr.raw;" + " for f in " + c +
          "/dfir_ntfs-partitions/*.gz; do gunzip -c \"$f\" > $(basename \"$f\" .gz); done;" +
          " cp " + c + "/dfir_ntfs-partitions/*.bin .; tar xf " + c +
          "/dfir_ntfs-partitions/mbr-win-512.raw.tgz;" + " tar -SJxf " + c +
          "/libldm/ldm-data.tar.xz; touch done";
      EXPECT_EQ(kvxtest::run("bash -c " + kvxtest::quote(script)).exitCode, 0);
    }
    return out;
  }();
  return dir;
}

struct CorpusCase {
  const char* name;
  const char* image;
  std::vector<Expect> expected;  // shown entries in table order
};

class Corpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(Corpus, FoundTableMatchesPublishedLayout) {
  const CorpusCase& c = GetParam();
  Engine e;
  for (const bool quick : {true, false}) {
    const auto table = scan(e.get(), diskOf(unpacked() / c.image), quick);
    EXPECT_EQ(describe(shown(e.get(), table)), describe(c.expected)) << (quick ? "quick" : "full");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Published, Corpus,
    ::testing::Values(
        // Six FAT16 partitions; the first EBR holds three entries, and an old EBR of the chain
        // before its hand edit still lies at 209664 (not listed twice).
        CorpusCase{"DfttExtendedPartition",
                   "1-extend-part/ext-part-test-2.dd",
                   {{63, 52353, 0x04, 1},
                    {52416, 52416, 0x04, 1},
                    {104832, 52416, 0x04, 1},
                    {157311, 52353, 0x04, 1},
                    {209727, 52353, 0x04, 1},
                    {262143, 50337, 0x06, 1}}},
        CorpusCase{"DfttNtfsAutodetect",
                   "10-ntfs-autodetect/10-ntfs-disk.dd",
                   {{63, 96327, 0x07, 1}, {96390, 96390, 0x07, 1}}},
        // ext file systems carry no boot signature: their entries point at nothing recognisable.
        CorpusCase{"DfvfsFdisk", "dfvfs-mbr.raw", {{1, 129, 0x83, 3}, {131, 129, 0x83, 3}}},
        CorpusCase{"ExtendedListedFirst",
                   "mbr-512-p1e2.bin",
                   {{1025, 1023, 0x83, 3}, {2, 511, 0x83, 3}, {514, 511, 0x83, 3}}},
        CorpusCase{
            "Sectors4096WithLogical", "mbr-4096-p1e1.bin", {{24, 16, 0x8E, 3}, {72, 16, 0x83, 3}}},
        CorpusCase{"Sectors4096EmptyExtended", "mbr-4096-p1e0.bin", {{8, 1000, 0x83, 3}}},
        CorpusCase{"WindowsChainOfFour",
                   "mbr-win-512.raw",
                   {{128, 16384, 0x06, 3},
                    {16512, 16384, 0x06, 3},
                    {32896, 16384, 0x06, 3},
                    {49408, 16384, 0x06, 3},
                    {65920, 16384, 0x06, 3},
                    {82432, 16384, 0x06, 3},
                    {98944, 417792, 0x06, 3}}},
        CorpusCase{"GptThreePartitions",
                   "gpt-512-3p.raw",
                   {{34, 31, 0xFF, 3}, {65, 64, 0xFF, 3}, {129, 1886, 0xFF, 3}}},
        CorpusCase{"GptEmpty", "gpt-512-0p.raw", {}},
        // Dynamic disks: only this disk's partitions, at the data area's start plus their offset.
        CorpusCase{"LdmSimple", "ldm-2003r2-simple-1.img", {{63, 96256, 0x07, 1}}},
        CorpusCase{"LdmSpannedSecondMember", "ldm-2003r2-spanned-1.img", {{63, 96256, 0xFD, 3}}},
        CorpusCase{"LdmStripedTwoPartitions",
                   "ldm-2003r2-striped-1.img",
                   {{63, 61440, 0x07, 1}, {61503, 34816, 0x07, 1}}},
        CorpusCase{"LdmOnGpt", "ldm-2008r2-raid5-2.img", {{65664, 32768, 0xFD, 3}}},
        CorpusCase{"LdmMbr2008",
                   "ldm-2008r2-raid5-1.img",
                   {{128, 32768, 0x07, 1}, {32896, 63488, 0x07, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CorpusDisks, StateOfGptAndDynamicDisks) {
  Engine e;
  auto table = scan(e.get(), diskOf(unpacked() / "gpt-512-3p.raw"), true);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(Undelete_IsDriveGPT(e.get()), 1);
  for (const auto& p : table) EXPECT_EQ(foundCopies(p), 2);
  EXPECT_EQ(nameOf(table[2]), "EFI System");

  table = scan(e.get(), diskOf(unpacked() / "ldm-2008r2-raid5-2.img"), true);
  EXPECT_EQ(Undelete_IsDriveGPT(e.get()), 1);
  EXPECT_EQ(Undelete_IsDriveDynamic(e.get()), 1);
  ASSERT_EQ(table.size(), 4u);  // metadata, reserved and data partitions are not shown
  EXPECT_EQ(nameOf(table[3]), "Disk8-01");

  (void)scan(e.get(), diskOf(unpacked() / "ldm-2003r2-simple-1.img"), true);
  EXPECT_EQ(Undelete_IsDriveDynamic(e.get()), 1);
  EXPECT_EQ(Undelete_NeedFixMBR(e.get()), 0);  // one 0x42 entry covering the logical disk
}

}  // namespace
