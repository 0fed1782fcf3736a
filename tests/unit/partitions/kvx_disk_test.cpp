// kvx on whole-disk images: the partition table and list, every volume scanned under its own pN
// folder, a deleted file of a logical partition recovered byte for byte, the image untouched.
#include <gtest/gtest.h>

#include "partition_test_util.h"

using namespace parttest;

namespace {

std::string kvx(const std::string& args) {
  return kvxtest::quote(kvxtest::cliPath().string()) + " " + args;
}

TEST(KvxDisk, RecoversADeletedFileOfALogicalPartition) {
  kvxtest::TempDir dir("kvxdisk");
  const auto img = images() / "mbr.img";
  const std::string before = kvxtest::md5File(img);
  const std::string q = kvxtest::quote(img.string());

  auto r = kvxtest::run(kvx("scan " + q + " 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(" p3/DOCS/KEEP.TXT\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" p2/$MFT\n"), std::string::npos);

  const auto out = dir / "out";
  r = kvxtest::run(
      kvx("recover " + q + " --to " + kvxtest::quote(out.string()) + " --deleted 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::string recovered;
  for (const auto& e : std::filesystem::directory_iterator(out / "p3" / "DOCS"))
    if (e.path().filename().string().find("ELETED.TXT") != std::string::npos) recovered = e.path();
  ASSERT_FALSE(recovered.empty()) << r.out;
  EXPECT_EQ(kvxtest::md5File(recovered), kvxtest::md5File(images() / "deleted.txt"));
  EXPECT_EQ(kvxtest::md5File(img), before) << "the image was written to";

  // One volume picked by its number, or by its offset.
  r = kvxtest::run(kvx("scan " + q + " --partition 3 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(" p3/DOCS/KEEP.TXT\n"), std::string::npos);
  EXPECT_EQ(r.out.find(" p2/"), std::string::npos);
  r = kvxtest::run(kvx("scan " + q + " --offset " + std::to_string(53248 * 512) + " 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find(" DOCS/KEEP.TXT\n"), std::string::npos) << r.out;
}

TEST(KvxDisk, PartitionsAndDisksAsJson) {
  kvxtest::TempDir dir("kvxparts");
  const auto zeroed = damagedCopy(images() / "mbr.img", dir.path(), "zeroed.img",
                                  {{0, std::vector<std::uint8_t>(512, 0)}});
  auto r = kvxtest::run(kvx("partitions " + kvxtest::quote(zeroed.string()) + " --json"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out.find("\"statusName\":\"Existing partition\""), std::string::npos) << r.out;
  std::size_t found = 0;
  for (auto at = r.out.find("\"statusName\":\"Partition found by scan\""); at != std::string::npos;
       at = r.out.find("\"statusName\":\"Partition found by scan\"", at + 1))
    ++found;
  EXPECT_EQ(found, 5u) << r.out;
  EXPECT_NE(r.out.find("\"mbrPresent\":false"), std::string::npos);

  r = kvxtest::run("KVX_DISKS=" + kvxtest::quote("7=" + zeroed.string()) + " " +
                   kvx("disks --json"));
  EXPECT_NE(r.out.find("\"number\":7,\"path\":\"" + zeroed.string() + "\""), std::string::npos)
      << r.out;
}

TEST(KvxDisk, PartitionTableWithoutVolumeSaysWhatItFound) {
  kvxtest::TempDir dir("kvxnovol");
  const auto img = dir / "ext.img";
  ASSERT_EQ(kvxtest::run("truncate -s 8M " + kvxtest::quote(img.string()) +
                         " && printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " +
                         kvxtest::quote(img.string()))
                .exitCode,
            0);
  const auto r = kvxtest::run(kvx("scan " + kvxtest::quote(img.string()) + " 2>&1"));
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("a partition table but no recognisable volume"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("start 1048576"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// wipe-file on a disk of two FAT volumes takes PATH as kvx scan lists it, volume prefix and all;
// a bare path is taken only when one volume has it, and a wipe of one volume's file leaves the
// other's alone.
TEST(KvxDisk, WipeFileTakesTheVolumePrefixAsListed) {
  if (!kvxtest::haveTools({"sfdisk", "mkfs.fat", "mcopy", "mdel"}))
    GTEST_SKIP() << "sfdisk, mkfs.fat and mtools are needed";
  kvxtest::TempDir dir("kvxwipe");
  const std::string d = kvxtest::quote(dir.path().string());
  const std::string img = kvxtest::quote((dir / "disk.img").string());
  ASSERT_EQ(
      kvxtest::run(
          "cd " + d +
          " && truncate -s 40M disk.img && printf 'label: dos\\n"
          "start=2048, size=32768, type=6\\nstart=36864, size=32768, type=6\\n' | sfdisk -q "
          "disk.img && mkfs.fat -F 16 --offset=2048 disk.img 16384 >/dev/null 2>&1 && mkfs.fat "
          "-F 16 --offset=36864 disk.img 16384 >/dev/null 2>&1 && export MTOOLS_SKIP_CHECK=1 && "
          "for v in 1 2; do yes P$v-SAME | head -c 6000 > s$v; "
          "mcopy -i disk.img@@$(( v == 1 ? 1048576 : 18874368 )) s$v '::/same file.txt'; done"
          " && yes P1-ONLY | head -c 6000 > o && mcopy -i disk.img@@1048576 o '::/only one.txt'"
          " && mdel -i disk.img@@1048576 '::/same file.txt' '::/only one.txt'"
          " && mdel -i disk.img@@18874368 '::/same file.txt'")
          .exitCode,
      0);
  const auto present = [&](const char* text) {
    return kvxtest::run("grep -q -a " + std::string(text) + " " + img).exitCode == 0;
  };
  ASSERT_TRUE(present("P2-SAME"));

  auto r = kvxtest::run(kvx("wipe-file " + img + " 'same file.txt' --yes 2>&1"));
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("on several volumes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  p1/same file.txt\n  p2/same file.txt\n"), std::string::npos) << r.out;

  r = kvxtest::run(kvx("wipe-file " + img + " 'p2/same file.txt' --yes 2>&1"));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("wiped: p2/same file.txt\n1 wiped, 0 failed"), std::string::npos) << r.out;
  EXPECT_FALSE(present("P2-SAME"));
  EXPECT_TRUE(present("P1-SAME")) << "the other volume's file is left alone";

  r = kvxtest::run(kvx("wipe-file " + img + " 'only one.txt' --yes 2>&1"));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("wiped: p1/only one.txt"), std::string::npos) << r.out;
  EXPECT_FALSE(present("P1-ONLY"));
}

}  // namespace
