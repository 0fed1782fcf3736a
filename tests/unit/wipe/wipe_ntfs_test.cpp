// Wipes on NTFS images made with mkntfs and filled through an ntfs-3g mount, through kvx: a
// deleted file with a named stream, the free space with the free file records, an existing file
// through the mount, and a mounted source, which gets the slow method and never the fast one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <chrono>
#include <thread>

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
img="$1"; m="$(dirname "$img")/mnt"; mkdir -p "$m"
truncate -s 12M "$img"
mkntfs -F -Q -q -s 512 -c 4096 -L WIPETEST "$img" >/dev/null 2>&1
ntfs-3g -o streams_interface=windows "$img" "$m"
trap 'umount "$m" 2>/dev/null || true' EXIT
python3 - "$m" <<'PY'
import os, random, sys
m = sys.argv[1]; r = random.Random(11)
os.mkdir(m + '/sub')
os.mkdir(m + '/emptydir')
open(m + '/keep.bin', 'wb').write(bytes(r.getrandbits(8) for _ in range(64000)))
open(m + '/sub/keep2.txt', 'wb').write(b'live ntfs text\n' * 500)
open(m + '/exist.txt', 'wb').write(b'EXISTMARK:' * 2500)
open(m + '/gone.bin', 'wb').write(b'NTFSMARK-A:' * 6000)
open(m + '/gone.bin:side', 'wb').write(b'NTFSMARK-S:' * 2000)
open(m + '/sub/small.txt', 'wb').write(b'NTFSMARK-R:' * 20)
PY
sync
rm "$m/gone.bin" "$m/sub/small.txt"
)SH";

class NtfsWipe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "ntfs-3g mounts need root";
    if (!kvxtest::haveTools({"mkntfs", "ntfs-3g", "ntfsfix", "python3", "fls", "icat", "blkls",
                             "istat", "tsk_recover"}))
      GTEST_SKIP() << "ntfs-3g, python3 and The Sleuth Kit are needed";
    // One image per program: building it through the driver is the slow part.
    static kvxtest::TempDir shared{"wipe-ntfs-base"};
    static const bool built =
        run("bash -c " + quote(kBuild) + " x " + quote((shared / "before.img").string()))
            .exitCode == 0;
    ASSERT_TRUE(built);
    before = shared / "before.img";
    img = dir / "ntfs.img";
    mnt = dir / "mnt";
    fs::create_directories(mnt);
    fs::copy_file(before, img);
    ASSERT_TRUE(contains(img, "NTFSMARK-A:") && contains(img, "NTFSMARK-S:") &&
                contains(img, "NTFSMARK-R:"));
  }
  void TearDown() override { run("umount " + quote(mnt.string()) + " 2>/dev/null"); }

  void expectConsistent() {
    const auto r = run("ntfsfix -n " + quote(img.string()) + " 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("processed successfully"), std::string::npos) << r.out;
  }
  void expectLiveFilesKept(bool exceptExist) {
    auto want = wipetest::liveFiles(before);
    if (exceptExist) want.erase("exist.txt");
    EXPECT_EQ(wipetest::liveFiles(img), want);
  }
  void expectNotRecoverable(const std::string& marker) {
    const auto tsk = dir / "tsk";
    run("tsk_recover " + quote(img.string()) + " " + quote(tsk.string()) + " >/dev/null 2>&1");
    EXPECT_FALSE(wipetest::treeContains(tsk, marker));
    const auto deep = dir / "deep";
    run(kvx("recover " + quote(img.string()) + " --deep --all --overwrite --to " +
            quote(deep.string()) + " >/dev/null 2>&1"));
    EXPECT_FALSE(wipetest::treeContains(deep, marker));
  }
  std::string scanLine(const std::string& name) {
    const auto scan = run(kvx("scan " + quote(img.string()) + " 2>/dev/null")).out;
    const auto at = scan.find(name);
    if (at == std::string::npos) return {};
    const auto start = scan.rfind('\n', at);
    return scan.substr(start == std::string::npos ? 0 : start + 1, at - start);
  }

  kvxtest::TempDir dir{"wipe-ntfs"};
  fs::path before, img, mnt;
};

TEST_F(NtfsWipe, DeletedFileAndItsStreamLeaveNothing) {
  ASSERT_NE(scanLine("gone.bin").find("Excellent"), std::string::npos);
  const auto r = run(kvx("wipe-file " + quote(img.string()) + " gone.bin --method 1 --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_FALSE(contains(img, "NTFSMARK-A:"));
  EXPECT_FALSE(contains(img, "NTFSMARK-S:")) << "the named stream's clusters too";
  expectConsistent();
  expectLiveFilesKept(false);
  EXPECT_EQ(wipetest::changedAllocatedUnits(before, img, true), std::vector<std::uint64_t>{});
  EXPECT_NE(scanLine("gone.bin").find("Unrecoverable"), std::string::npos);
  expectNotRecoverable("NTFSMARK-A:");
}

TEST_F(NtfsWipe, FreeSpaceWithEntriesEmptiesFreeRecords) {
  const auto r = run(kvx("wipe-free " + quote(img.string()) + " --entries --yes 2>&1"));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  for (const char* m : {"NTFSMARK-A:", "NTFSMARK-S:", "NTFSMARK-R:"})
    EXPECT_FALSE(contains(img, m)) << m;
  EXPECT_EQ(scanLine("gone.bin"), "") << "the free record no longer names the file";
  EXPECT_EQ(scanLine("small.txt"), "");
  expectConsistent();
  expectLiveFilesKept(false);
  EXPECT_EQ(wipetest::changedAllocatedUnits(before, img, true), std::vector<std::uint64_t>{});
}

TEST_F(NtfsWipe, ExistingFileThroughTheMount) {
  ASSERT_EQ(run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string())).exitCode, 0);
  const auto r = run(kvx("wipe-file " + quote(img.string()) + " exist.txt --yes 2>&1"));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_FALSE(fs::exists(mnt / "exist.txt"));
  EXPECT_EQ(fs::directory_entry(mnt / "keep.bin").file_size(), 64000u);
  ASSERT_EQ(run("umount " + quote(mnt.string())).exitCode, 0);
  EXPECT_FALSE(contains(img, "EXISTMARK:"));
  EXPECT_EQ(scanLine("exist.txt"), "") << "renamed before it was deleted";
  expectConsistent();
  expectLiveFilesKept(true);
}

TEST_F(NtfsWipe, OnlyEmptyFoldersAreWiped) {
  ASSERT_EQ(run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string())).exitCode, 0);
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  char letter = 0;
  ASSERT_EQ(Undelete_AddDrive(img.c_str(), 0, &letter), 1);
  const std::uint32_t driveSpec = static_cast<std::uint32_t>(letter - 'A');
  ASSERT_EQ(Undelete_SearchMultiple(u, &driveSpec, 1, 0, nullptr, nullptr, nullptr), 1);
  while (Undelete_IsSearching(u, nullptr) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::uint32_t folders = 0, sub = ~0u, empty = ~0u;
  Undelete_GetFolderCount(u, &folders);
  for (std::uint32_t i = 0; i < folders; ++i) {
    const FolderRecord* f = nullptr;
    const void* name = nullptr;
    if (!Undelete_GetFolderInfo(u, i, &f) || !Undelete_GetString(u, f->name.get(), &name)) continue;
    const std::string n = kvxtest::utf8(static_cast<const char16_t*>(name));
    if (n == "sub") sub = i;
    if (n == "emptydir") empty = i;
  }
  ASSERT_NE(sub, ~0u);
  ASSERT_NE(empty, ~0u);
  EXPECT_EQ(Undelete_WipeFolder(u, sub), 0) << "it still holds a file";
  EXPECT_TRUE(fs::exists(mnt / "sub" / "keep2.txt"));
  EXPECT_EQ(Undelete_WipeFolder(u, empty), 1);
  EXPECT_FALSE(fs::exists(mnt / "emptydir"));
  const FolderRecord* f = nullptr;
  ASSERT_EQ(Undelete_GetFolderInfo(u, empty, &f), 1);
  EXPECT_NE(f->flags.get() & kFolderDeleted, 0u);
  const void* name = nullptr;
  ASSERT_EQ(Undelete_GetString(u, f->name.get(), &name), 1);
  EXPECT_EQ(kvxtest::utf8(static_cast<const char16_t*>(name)).size(), 8u) << "a random name";
  EXPECT_EQ(Undelete_WipeFolder(u, empty), 1) << "already wiped";
  Undelete_Delete(u);
  ASSERT_EQ(run("umount " + quote(mnt.string())).exitCode, 0);
  expectConsistent();
}

TEST_F(NtfsWipe, MountedSourceGetsTheSlowMethodOnly) {
  ASSERT_EQ(run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string())).exitCode, 0);
  // A deleted file's wipe needs the volume to itself: refused while mounted, nothing written.
  const auto d = run(kvx("wipe-file " + quote(img.string()) + " gone.bin --yes 2>&1"));
  EXPECT_EQ(d.exitCode, 1) << d.out;
  EXPECT_TRUE(contains(img, "NTFSMARK-A:"));
  const auto r = run(kvx("wipe-free " + quote(img.string()) + " --entries --yes 2>&1"));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Exclusive access denied, using slow wipe method."), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("fast wipe method"), std::string::npos);
  ASSERT_EQ(run("umount " + quote(mnt.string())).exitCode, 0);
  EXPECT_FALSE(contains(img, "NTFSMARK-A:")) << "the filler took the free clusters";
  EXPECT_FALSE(contains(img, "NTFSMARK-R:")) << "the driver reused the free records";
  expectConsistent();
  expectLiveFilesKept(false);
}

}  // namespace
