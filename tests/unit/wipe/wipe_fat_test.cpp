// Wipes on FAT16 and FAT32 images made with mkfs.fat and mtools, through kvx: one deleted file,
// the free space with the entries of deleted files, a whole drive, and cancelling. The Sleuth Kit
// says what was allocated and what the live files hold; the marker strings the test wrote say
// whether anything of a wiped file survives.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "host/host.h"
#include "test_support.h"
#include "undelete/undelete.h"
#include "wipe_image_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;
using wipetest::contains;
using wipetest::kvx;

constexpr const char* kBuild = R"SH(
set -e
img="$1"; kind="$2"; kib="$3"; t="$(dirname "$img")/src"; mkdir -p "$t"
export MTOOLS_SKIP_CHECK=1
mkfs.fat -C -F "$kind" -s 1 -i 1234ABCD -n WIPETEST --invariant "$img" "$kib" >/dev/null
python3 - "$t" <<'PY'
import random, sys
d = sys.argv[1]; r = random.Random(7)
open(d + '/keep1', 'wb').write(bytes(r.getrandbits(8) for _ in range(40000)))
open(d + '/keep2', 'wb').write(b'live text line\n' * 200)
open(d + '/after', 'wb').write(b'written after the others\n' * 40)
open(d + '/gone', 'wb').write(b'WIPEMARK-A:' * 3000)
open(d + '/gone2', 'wb').write(b'WIPEMARK-B:' * 900)
PY
mmd -i "$img" ::/DIR
mcopy -i "$img" "$t/keep1" ::/KEEP1.BIN
mcopy -i "$img" "$t/gone" ::/GONE.TXT
mcopy -i "$img" "$t/gone2" ::/DIR/GONE2.BIN
mcopy -i "$img" "$t/keep2" ::/DIR/KEEP2.TXT
mcopy -i "$img" "$t/after" ::/AFTER.TXT
mdel -i "$img" ::/GONE.TXT ::/DIR/GONE2.BIN
)SH";

struct FatCase {
  const char* name;
  const char* kind;
  const char* kib;
};

class FatWipe : public ::testing::TestWithParam<FatCase> {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "python3", "fls", "icat", "blkls", "istat",
                             "fsck.fat", "tsk_recover"}))
      GTEST_SKIP() << "dosfstools, mtools, python3 and The Sleuth Kit are needed";
    // One image of each kind per program, copied for every test.
    static kvxtest::TempDir shared{"wipe-fat-base"};
    before = shared / (std::string(GetParam().name) + ".img");
    if (!fs::exists(before)) {
      ASSERT_EQ(run("bash -c " + quote(kBuild) + " x " + quote(before.string()) + " " +
                    GetParam().kind + " " + GetParam().kib)
                    .exitCode,
                0);
    }
    img = dir / "fat.img";
    fs::copy_file(before, img);
    ASSERT_TRUE(contains(img, "WIPEMARK-A:") && contains(img, "WIPEMARK-B:"));
  }

  void expectConsistentAndLiveFilesKept() {
    EXPECT_EQ(run("fsck.fat -n " + quote(img.string()) + " >/dev/null").exitCode, 0);
    EXPECT_EQ(wipetest::liveFiles(img), wipetest::liveFiles(before));
    EXPECT_EQ(wipetest::changedAllocatedUnits(before, img, false), std::vector<std::uint64_t>{});
  }

  /// Neither the Sleuth Kit's recoverer nor kvx's deep recovery brings @p marker back.
  void expectNotRecoverable(const std::string& marker) {
    const auto tsk = dir / "tsk";
    run("tsk_recover " + quote(img.string()) + " " + quote(tsk.string()) + " >/dev/null 2>&1");
    EXPECT_FALSE(wipetest::treeContains(tsk, marker));
    const auto deep = dir / "deep";
    run(kvx("recover " + quote(img.string()) + " --deep --all --overwrite --to " +
            quote(deep.string()) + " >/dev/null 2>&1"));
    EXPECT_FALSE(wipetest::treeContains(deep, marker));
  }

  kvxtest::TempDir dir{"wipe-fat"};
  fs::path before, img;
};

TEST_P(FatWipe, DeletedFileLeavesNothingAndTouchesNothingElse) {
  const auto r = run(kvx("wipe-file " + quote(img.string()) + " --pattern '_ONE.TXT' --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("will destroy"), std::string::npos);
  EXPECT_FALSE(contains(img, "WIPEMARK-A:"));
  EXPECT_TRUE(contains(img, "WIPEMARK-B:")) << "only the chosen file is wiped";
  expectConsistentAndLiveFilesKept();
  const auto scan = run(kvx("scan " + quote(img.string()) + " 2>/dev/null")).out;
  const auto at = scan.find("_ONE.TXT");
  ASSERT_NE(at, std::string::npos) << scan;
  const auto line = scan.substr(scan.rfind('\n', at) + 1, at - scan.rfind('\n', at));
  EXPECT_NE(line.find("Unrecoverable"), std::string::npos) << scan;
  expectNotRecoverable("WIPEMARK-A:");
}

TEST_P(FatWipe, FreeSpaceWithEntriesLeavesNoMarkerAndNoDeletedName) {
  const auto r = run(kvx("wipe-free " + quote(img.string()) + " --entries --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Obtained exclusive access, using fast wipe method."), std::string::npos);
  EXPECT_FALSE(contains(img, "WIPEMARK-A:"));
  EXPECT_FALSE(contains(img, "WIPEMARK-B:"));
  const auto deleted = run("fls -r -d " + quote(img.string())).out;
  EXPECT_EQ(deleted.find("ONE"), std::string::npos) << deleted;
  EXPECT_FALSE(contains(img, "ONE2    BIN"));
  expectConsistentAndLiveFilesKept();
  expectNotRecoverable("WIPEMARK-B:");
}

TEST_P(FatWipe, DeepScanFindIsWipedOverItsClusters) {
  // Text in free clusters that no entry names: only the deep scan finds it.
  {
    std::FILE* f = std::fopen(img.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 8l << 20, SEEK_SET);
    for (int i = 0; i < 300; ++i) std::fputs("RAWMARK-C: a line of text that no entry names\n", f);
    std::fclose(f);
  }
  before = dir / "with-text.img";  // the shared image stays as it was
  fs::copy_file(img, before);
  const auto r =
      run(kvx("wipe-file " + quote(img.string()) + " --deep --pattern 'file_*.txt' --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Files by content"), std::string::npos) << r.out;
  EXPECT_FALSE(contains(img, "RAWMARK-C:"));
  expectConsistentAndLiveFilesKept();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatWipe,
                         ::testing::Values(FatCase{"Fat16", "16", "16384"},
                                           FatCase{"Fat32", "32", "34816"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatWipeCli, ScriptsMustSayYes) {
  kvxtest::TempDir dir{"wipe-cli"};
  const auto img = dir / "x.img";
  ASSERT_EQ(run("truncate -s 1M " + quote(img.string())).exitCode, 0);
  EXPECT_EQ(run(kvx("wipe-drive " + quote(img.string()) + " </dev/null 2>/dev/null")).exitCode, 1);
  EXPECT_EQ(kvxtest::readFile(img), std::vector<std::uint8_t>(1 << 20, 0));
  EXPECT_EQ(run(kvx("wipe-free 2>/dev/null")).exitCode, 2);
  EXPECT_EQ(run(kvx("wipe-free x --method 7 --yes 2>/dev/null")).exitCode, 2);
  EXPECT_EQ(run(kvx("wipe-file x.img 2>/dev/null")).exitCode, 2) << "no PATH, --id or --pattern";
}

TEST(DriveWipe, LeavesOnlyThePattern) {
  kvxtest::TempDir dir{"wipe-drive"};
  const auto img = dir / "disk.img";
  ASSERT_EQ(run("head -c 2097152 /dev/urandom > " + quote(img.string())).exitCode, 0);
  // 30 passes of the 35-pass table: the last one written is pass 29, B6 DB 6D from every chunk's
  // start.
  const auto r =
      run(kvx("wipe-drive " + quote(img.string()) + " --method 4 --passes 30 --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("will destroy: every byte"), std::string::npos) << r.out;
  const auto bytes = kvxtest::readFile(img);
  ASSERT_EQ(bytes.size(), 2097152u);
  const std::uint8_t p[3] = {0xB6, 0xDB, 0x6D};
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != p[(i % 0x40000) % 3]) ++wrong;
  EXPECT_EQ(wrong, 0u);
}

TEST(DriveWipe, CancelStopsAtTheNextChunk) {
  kvxtest::TempDir dir{"wipe-cancel"};
  const auto img = dir / "big.img";
  {
    std::vector<std::uint8_t> ones(16u << 20, 0x77);
    kvxtest::writeFile(img, ones);
  }
  ::setenv("KVX_DRIVES", ("Q=" + img.string()).c_str(), 1);
  Host_RefreshDrives();
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  Undelete_SetWipeMethod(u, 4, 35);
  const std::uint32_t driveSpec = 'Q' - 'A';
  ASSERT_EQ(Undelete_WipeMultiple(u, &driveSpec, 1), 1);
  Undelete_Cancel(u);
  std::uint32_t pos = 0, total = 0;
  while (Undelete_GetWipeProgress(u, &pos, &total) != 0) {
  }
  Undelete_Delete(u);
  ::unsetenv("KVX_DRIVES");
  const auto bytes = kvxtest::readFile(img);
  std::size_t touched = 0;
  for (const auto b : bytes) touched += b != 0x77;
  EXPECT_LE(touched, 2u * 0x40000) << "at most the chunk under way when the cancel came";
}

}  // namespace
