// Sources made of several files: an E01 made with ewfacquire and a split raw image made with
// split, both from one FAT image, read byte for byte as the image, listed and recovered by kvx as
// the image is, and never written. Also: the warning for a source mounted read-write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "host/host.h"
#include "host/host_internal.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

struct SplitCase {
  const char* name;
  const char* path;
  std::vector<std::string> present;  // other files that exist
  std::vector<std::string> expected;
};

class SplitImageNames : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitImageNames, FirstSegmentFindsItsSet) {
  const auto& c = GetParam();
  const std::set<std::string> present(c.present.begin(), c.present.end());
  EXPECT_EQ(
      host::splitImageSegments(c.path, [&](const std::string& p) { return present.count(p) != 0; }),
      c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SplitImageNames,
    ::testing::Values(SplitCase{"ThreeSegments",
                                "/i/disk.001",
                                {"/i/disk.002", "/i/disk.003", "/i/disk.005"},
                                {"/i/disk.001", "/i/disk.002", "/i/disk.003"}},
                      SplitCase{"FromZero", "d.000", {"d.001"}, {"d.000", "d.001"}},
                      SplitCase{"AloneIsPlainRaw", "/i/disk.001", {}, {}},
                      SplitCase{"LaterSegmentIsPlainRaw", "/i/disk.002", {"/i/disk.003"}, {}},
                      SplitCase{"TwoDigitsAreNoSet", "/i/disk.01", {"/i/disk.02"}, {}},
                      SplitCase{"DotInFolderOnly", "/i/v.001/disk", {"/i/v.002/disk"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MountInfo, ReadOnlyFromMountOrFileSystemOptions) {
  const auto mounts = host::parseMountInfo(
      "36 35 7:0 / /mnt/a rw,relatime shared:1 - ext2 /dev/loop0 rw\n"
      "37 35 7:1 / /mnt/b ro,relatime - ext2 /dev/loop1 rw\n"
      "38 35 7:2 / /mnt/c rw,relatime - ext2 /dev/loop2 ro,errors=continue\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_FALSE(mounts[0].readOnly);
  EXPECT_TRUE(mounts[1].readOnly);
  EXPECT_TRUE(mounts[2].readOnly);
}

class ImageSets : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kvxtest::haveTools(
            {"mkfs.fat", "mcopy", "mdel", "ewfacquire", "split", "python3", "convert", "sfdisk"}))
      return;
    s_dir = std::make_unique<kvxtest::TempDir>("image-sets");
    const std::string d = quote(s_dir->path().string());
    // Deleted files in the root and a folder, one kept, a picture for the search by content; the
    // E01 in 2 MiB segments without compression, another in one compressed segment, and the
    // image cut into 3,000,000-byte pieces (not a multiple of any sector).
    const auto made = run(
        "cd " + d +
        " && export MTOOLS_SKIP_CHECK=1 && mkfs.fat -C -F 16 -i 1234ABCD -n SETS --invariant "
        "fat.img 16384 >/dev/null && head -c 200000 /dev/urandom > gone.bin && head -c 7000 "
        "/dev/urandom > keep.bin && convert -size 64x48 gradient:red-blue pic.png"
        " && mmd -i fat.img ::/DIR && mcopy -i fat.img gone.bin ::/GONE.BIN && mcopy -i fat.img "
        "keep.bin ::/KEEP.BIN && mcopy -i fat.img pic.png ::/DIR/PIC.PNG && mcopy -i fat.img "
        "gone.bin ::/DIR/GONE2.BIN && mdel -i fat.img ::/GONE.BIN ::/DIR/GONE2.BIN ::/DIR/PIC.PNG"
        " && ewfacquire -q -u -t seg -c none -S 2MiB -f encase6 fat.img >/dev/null 2>&1"
        " && ewfacquire -q -u -t packed -c fast -f encase6 fat.img >/dev/null 2>&1"
        " && split -b 3000000 -d -a 3 --numeric-suffixes=1 fat.img disk."
        // A whole disk: an MBR with one FAT partition at 1 MiB, in one compressed E01.
        " && truncate -s 24M pdisk.img && printf \"label: dos\\nlabel-id: 0x12345678\\n,20M,c\\n\""
        " | sfdisk -q pdisk.img && mkfs.fat -F 16 --offset 2048 -i 1234ABCD -n PART --invariant "
        "pdisk.img 20480 >/dev/null 2>&1 && mcopy -i pdisk.img@@1M gone.bin ::/GONE.BIN && mdel -i "
        "pdisk.img@@1M ::/GONE.BIN && ewfacquire -q -u -t pdisk -c fast -f encase6 pdisk.img "
        ">/dev/null 2>&1"
        " && md5sum fat.img seg.E* packed.E01 disk.0* pdisk.E01 > before.md5");
    s_ready = made.exitCode == 0 && fs::exists(s_dir->path() / "seg.E05");
  }
  static void TearDownTestSuite() { s_dir.reset(); }

  void SetUp() override {
    if (!s_ready) GTEST_SKIP() << "needs mkfs.fat, mtools, ewf-tools, split, python3, imagemagick";
  }

  static std::string path(const std::string& name) { return (s_dir->path() / name).string(); }
  static kvxtest::CommandResult kvx(const std::string& args) {
    return run("cd " + quote(s_dir->path().string()) + " && " + quote(kvxtest::cliPath().string()) +
               " " + args);
  }
  /// For each kvx --json listing: its drives' details and files as one canonical JSON line
  /// (python3 as the independent parser, run once: it is slow to start).
  static std::vector<std::string> listings(const std::vector<std::string>& names) {
    std::string args;
    for (const auto& n : names) args += " " + quote(path(n));
    const auto r =
        run("python3 -c 'import json,sys\n"
            "for a in sys.argv[1:]:\n"
            " d=json.load(open(a))\n"
            " print(json.dumps([[v[\"details\"] for v in d[\"drives\"]], d[\"files\"]],"
            " sort_keys=True))'" +
            args);
    EXPECT_EQ(r.exitCode, 0);
    std::vector<std::string> out;
    std::size_t at = 0;
    for (std::size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
      out.push_back(r.out.substr(at, nl - at));
    return out;
  }

  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline bool s_ready = false;
};

TEST_F(ImageSets, ReadByteForByteAsTheImage) {
  const auto image = kvxtest::readFile(path("fat.img"));
  for (const char* name : {"seg.E01", "packed.E01", "disk.001"}) {
    auto device = Host_OpenPath(path(name), false, false);
    ASSERT_TRUE(device) << name << ": " << Host_LastErrorText();
    ASSERT_EQ(device->size(), image.size()) << name;
    // Odd-sized reads cross every segment and chunk boundary somewhere inside a read.
    std::vector<std::uint8_t> all(image.size() + 5000);
    std::uint64_t at = 0;
    while (at < image.size()) {
      std::uint32_t got = 0;
      ASSERT_TRUE(device->read(at, all.data() + at, 4093, &got)) << name << " at " << at;
      ASSERT_GT(got, 0u) << name << " at " << at;
      at += got;
    }
    EXPECT_EQ(at, image.size()) << name;
    all.resize(image.size());
    EXPECT_TRUE(all == image) << name << " reads other bytes than the image";
    std::uint32_t got = 1;
    std::uint8_t byte = 0;
    EXPECT_TRUE(device->read(image.size(), &byte, 1, &got));
    EXPECT_EQ(got, 0u) << name << ": bytes past the end";
    // Nothing writes through these sources, whichever way they are asked.
    EXPECT_FALSE(device->write(0, &byte, 1, &got)) << name;
    EXPECT_FALSE(Host_OpenPath(path(name), true, false)) << name;
    EXPECT_EQ(Host_GetLastError(), kErrAccessDenied) << name;
    EXPECT_NE(Host_LastErrorText().find("read-only"), std::string::npos) << Host_LastErrorText();
  }
}

TEST_F(ImageSets, ListedAndRecoveredAsTheImage) {
  ASSERT_EQ(kvx("scan fat.img --json > raw.json 2>/dev/null").exitCode, 0);
  ASSERT_EQ(kvx("scan fat.img --deep --json > raw.deep.json 2>/dev/null").exitCode, 0);
  ASSERT_EQ(kvx("recover fat.img --to out-raw >/dev/null 2>&1").exitCode, 0);
  std::vector<std::string> names{"raw.json", "raw.deep.json"};
  for (const std::string name : {"seg.E01", "packed.E01", "disk.001"}) {
    ASSERT_EQ(kvx("scan " + name + " --json > " + name + ".json 2>/dev/null").exitCode, 0) << name;
    ASSERT_EQ(kvx("scan " + name + " --deep --json > " + name + ".deep.json 2>/dev/null").exitCode,
              0)
        << name;
    names.push_back(name + ".json");
    names.push_back(name + ".deep.json");
    ASSERT_EQ(kvx("recover " + name + " --to out-" + name + " >/dev/null 2>&1").exitCode, 0)
        << name;
    EXPECT_EQ(run("diff -r " + quote(path("out-raw")) + " " + quote(path("out-" + name))).exitCode,
              0)
        << name << " recovered other files or bytes";
  }
  const auto all = listings(names);
  ASSERT_EQ(all.size(), names.size());
  ASSERT_NE(all[0].find("ONE2.BIN"), std::string::npos) << all[0];
  for (std::size_t i = 2; i < all.size(); ++i)
    EXPECT_EQ(all[i], all[i % 2]) << names[i] << " lists other files than the image";
  // The deleted file came back whole; the picture found by content carries no time of its own.
  const auto found = run("cd " + quote(s_dir->path().string()) +
                         " && find out-raw -name '*ONE2.BIN' -exec cmp gone.bin {} \\; -print");
  EXPECT_NE(found.out.find("ONE2.BIN"), std::string::npos) << found.out;
  const auto carved =
      run("python3 -c 'import json,sys\n"
          "fs=[f for f in json.load(open(sys.argv[1]))[\"files\"]"
          " if f[\"name\"].endswith(\".png\") and f[\"fileSystem\"] != \"FAT\"]\n"
          "print(len(fs), [k for f in fs for k in (\"modified\",\"created\","
          "\"accessed\") if f.get(k)])' " +
          quote(path("seg.E01.deep.json")));
  EXPECT_EQ(carved.out, "1 []\n");
  // Scanning and recovering wrote nothing into any of the files.
  EXPECT_EQ(
      run("cd " + quote(s_dir->path().string()) + " && md5sum -c --quiet before.md5").exitCode, 0);
}

TEST_F(ImageSets, PartitionedDiskAsTheImage) {
  const auto rawParts = kvx("partitions pdisk.img 2>/dev/null");
  ASSERT_EQ(rawParts.exitCode, 0);
  ASSERT_NE(rawParts.out.find("FAT16"), std::string::npos) << rawParts.out;
  EXPECT_EQ(kvx("partitions pdisk.E01 2>/dev/null").out, rawParts.out);
  ASSERT_EQ(kvx("scan pdisk.img --json > pdisk.json 2>/dev/null").exitCode, 0);
  ASSERT_EQ(kvx("scan pdisk.E01 --json > pdisk.E01.json 2>/dev/null").exitCode, 0);
  const auto both = listings({"pdisk.json", "pdisk.E01.json"});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_NE(both[0].find("ONE.BIN"), std::string::npos) << both[0];
  EXPECT_EQ(both[1], both[0]);
  EXPECT_EQ(
      run("cd " + quote(s_dir->path().string()) + " && md5sum -c --quiet before.md5").exitCode, 0);
}

TEST_F(ImageSets, DamagedSetsFailCleanly) {
  // A missing middle segment, and a last segment cut short: clear failures or what could be
  // read, never a crash.
  const std::string d = quote(s_dir->path().string());
  ASSERT_EQ(run("cd " + d +
                " && mkdir -p gap cut && cp seg.E0[1-4] seg.E0[6-9] gap/ && cp "
                "seg.E0* cut/ && truncate -s -100000 cut/seg.E09 && cp disk.0* cut/ && "
                "truncate -s 1000 cut/disk.003")
                .exitCode,
            0);
  const auto gap = kvx("scan gap/seg.E01 2>&1");
  EXPECT_EQ(gap.exitCode, 1) << gap.out;
  EXPECT_NE(gap.out.find("seg.E01"), std::string::npos) << gap.out;
  for (const char* name : {"cut/seg.E01", "cut/disk.001"}) {
    const auto r = kvx(std::string("scan ") + name + " --json >/dev/null 2>&1");
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << name << " exit " << r.exitCode;
  }
}

TEST(MountedSource, ReadWriteMountIsWarnedOf) {
  if (::geteuid() != 0 || !kvxtest::haveTools({"losetup", "mkfs.ext2", "mount", "umount"}))
    GTEST_SKIP() << "needs root, losetup and mkfs.ext2";
  const kvxtest::TempDir dir("mounted-source");
  const std::string img = (dir / "ext.img").string(), mnt = (dir / "mnt").string();
  fs::create_directories(mnt);
  ASSERT_EQ(
      run("truncate -s 4M " + quote(img) + " && mkfs.ext2 -q -F " + quote(img) + " >/dev/null 2>&1")
          .exitCode,
      0);
  const auto loop = run("losetup -f --show " + quote(img) + " 2>/dev/null");
  if (loop.exitCode != 0) GTEST_SKIP() << "no loop devices here";
  const std::string dev = loop.out.substr(0, loop.out.find('\n'));
  struct Cleanup {
    std::string dev, mnt;
    ~Cleanup() {
      run("umount " + quote(mnt) + " 2>/dev/null");
      run("losetup -d " + dev + " 2>/dev/null");
    }
  } cleanup{dev, mnt};
  if (run("mount " + dev + " " + quote(mnt) + " 2>/dev/null").exitCode != 0)
    GTEST_SKIP() << "cannot mount ext2 here";
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto rw = run(kvx + " scan " + dev + " 2>&1 >/dev/null");
  EXPECT_NE(rw.out.find("Warning: "), std::string::npos) << rw.out;
  EXPECT_NE(rw.out.find("mounted read-write on " + mnt), std::string::npos) << rw.out;
  // The image behind the loop device is the same bytes.
  EXPECT_NE(run(kvx + " scan " + quote(img) + " 2>&1 >/dev/null").out.find("mounted read-write"),
            std::string::npos);
  ASSERT_EQ(run("mount -o remount,ro " + quote(mnt)).exitCode, 0);
  const auto ro = run(kvx + " scan " + dev + " 2>&1 >/dev/null");
  EXPECT_EQ(ro.out.find("Warning: "), std::string::npos) << ro.out;
}

}  // namespace
