// FAT operations over a small mtools image: description, saved record, state estimation between
// deleted files, recovery of deep-scan finds and of inconsistent or truncated data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat_harness.h"
#include "host/host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using fattest::Found;
using fattest::Scan;

class FatEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel"})) GTEST_SKIP() << "mtools missing";
    m_dir = std::make_unique<kvxtest::TempDir>("fat-engine");
    m_image = *m_dir / "v.img";
    std::vector<std::uint8_t> a(5000), b(5000);
    for (std::size_t i = 0; i < a.size(); ++i) {
      a[i] = static_cast<std::uint8_t>(i * 7 + 1);
      b[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    kvxtest::writeFile(*m_dir / "a.bin", a);
    kvxtest::writeFile(*m_dir / "b.bin", b);
    const auto r = kvxtest::run(
        "cd " + kvxtest::quote(m_dir->path().string()) +
        " && export MTOOLS_SKIP_CHECK=1 && mkfs.fat -C -F 16 -s 8 -i 1234ABCD "
        "--invariant v.img 32768 >/dev/null && touch -d '2020-01-02 03:04:06' a.bin && "
        "touch -d '2021-01-02 03:04:06' b.bin && mcopy -m -i v.img a.bin b.bin ::/ && "
        "mdel -i v.img ::/a.bin ::/b.bin 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
  }

  std::unique_ptr<kvxtest::TempDir> m_dir;
  fs::path m_image;
};

TEST_F(FatEngineTest, DescriptionAndSavedRecord) {
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());
  char text[256] = {};
  ASSERT_TRUE(FAT_DescribeVolume(scan.drive(), text, false));
  EXPECT_STREQ(text, "32.0 MB, FAT16, Cluster size: 4096, FATs count: 2");
  ASSERT_TRUE(FAT_DescribeVolume(scan.drive(), text, true));
  EXPECT_STREQ(text, "32.0 MB, FAT16");
  EXPECT_FALSE(FAT_RecognizeDrive(scan.engine(), scan.drive()))
      << "a drive with a file system is left alone";

  void* block = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(FAT_SaveVolumeInfo(scan.drive(), &block, &size));
  FatGeometry saved;
  ASSERT_TRUE(FAT_GetGeometry(scan.drive(), saved));
  EXPECT_EQ(size, 44u + saved.fatBytes);

  CachedDrive* fresh = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&fresh));
  ASSERT_TRUE(CachedDrive_OpenDevice(fresh, Host_OpenPath(m_image.string(), false, false),
                                     kHostDriveFixed));
  EXPECT_FALSE(FAT_LoadVolumeInfo(block, size - 1, fresh)) << "table cut short";
  std::vector<std::uint8_t> wrongKind(static_cast<std::uint8_t*>(block),
                                      static_cast<std::uint8_t*>(block) + size);
  wrongKind[0] = 3;
  EXPECT_FALSE(FAT_LoadVolumeInfo(wrongKind.data(), size, fresh));
  ASSERT_TRUE(FAT_LoadVolumeInfo(block, size, fresh));
  FatGeometry loaded;
  ASSERT_TRUE(FAT_GetGeometry(fresh, loaded));
  EXPECT_EQ(loaded.clusterLimit, saved.clusterLimit);
  EXPECT_EQ(std::memcmp(loaded.fat, saved.fat, saved.fatBytes), 0);
  EXPECT_EQ(FAT_ClusterToSector(fresh, 5), FAT_ClusterToSector(scan.drive(), 5));
  std::free(block);
  CachedDrive_Destroy(fresh);
}

TEST_F(FatEngineTest, TwoDeletedFilesOnOneClusterLaterOneWins) {
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());
  const Found* a = scan.find("_.bin", true);
  ASSERT_EQ(scan.files().size(), 2u);
  const Found& older = scan.files()[0];
  const Found& newer = scan.files()[1];
  ASSERT_TRUE(a != nullptr && older.state == kStateExcellent && newer.state == kStateExcellent);
  // Point the newer file at the older one's first cluster, then estimate again.
  Undelete* u = scan.engine();
  const FileRecord* ro = Storage_File(u, older.index);
  FileRecord* rn = Storage_File(u, newer.index);
  std::memcpy(Storage_At(u, rn->locator.get()), Storage_At(u, ro->locator.get()), 4);
  u->passFirstFile = 0;
  ASSERT_TRUE(FAT_GetDamage(u));
  const FileRecord* o = Storage_File(u, older.index);
  const FileRecord* n = Storage_File(u, newer.index);
  EXPECT_EQ((n->status >> 1) & 0x1F, kStateExcellent);
  EXPECT_EQ((o->status >> 1) & 0x1F, kStateUnrecoverable)
      << "every cluster owned by the later file";
  EXPECT_EQ(o->overwrittenBy.get(), newer.index);
  EXPECT_EQ(o->overwrittenClusters.get(), o->totalClusters.get());
  EXPECT_EQ(o->firstOverwritten[0].get(), 0u);
  EXPECT_EQ(o->firstOverwritten[1].get(), 1u);
  EXPECT_EQ(o->firstOverwritten[2].get(), ~0ull) << "two clusters only";
}

TEST_F(FatEngineTest, DeepScanFindIsReadFromItsByteOffset) {
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());
  Undelete* u = scan.engine();
  const Found& f = scan.files()[0];
  FileRecord* r = Storage_File(u, f.index);
  // The same data addressed by byte offset instead of cluster.
  const std::uint32_t cluster =
      loadLe<std::uint32_t>(static_cast<const std::uint8_t*>(Storage_At(u, r->locator.get())));
  std::uint8_t blob[12];
  storeLe<std::uint32_t>(blob, 0xFFFFFFFFu);
  storeLe<std::uint64_t>(blob + 4, FAT_ClusterToSector(scan.drive(), cluster) * 512 + 100);
  std::uint32_t ref = 0;
  ASSERT_TRUE(Storage_AddBlob(u, blob, sizeof blob, &ref));
  FileRecord copy = *r;
  copy.locator.set(ref);
  copy.size.set(1000);
  const fs::path out = *m_dir / "deep";
  ASSERT_TRUE(FAT_RecoverFile(u, &copy, out.c_str(), &u->bytesDone));
  const auto got = kvxtest::readFile(out);
  const auto original = kvxtest::readFile(*m_dir / "a.bin");
  ASSERT_EQ(got.size(), 1000u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), original.begin() + 100));
  EXPECT_EQ(u->bytesDone.load(), 1000u);
}

TEST_F(FatEngineTest, InconsistentAndOutOfVolumeRecordsFailCleanly) {
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());
  Undelete* u = scan.engine();
  FileRecord copy = *Storage_File(u, scan.files()[0].index);
  std::uint8_t zero[4] = {0, 0, 0, 0};
  std::uint32_t ref = 0;
  ASSERT_TRUE(Storage_AddBlob(u, zero, sizeof zero, &ref));
  copy.locator.set(ref);
  const fs::path out = *m_dir / "bad";
  EXPECT_FALSE(FAT_RecoverFile(u, &copy, out.c_str(), &u->bytesDone))
      << "first cluster 0 with data";
  EXPECT_FALSE(fs::exists(out)) << "a failed file with nothing read is not left behind";

  // A size reaching past the volume's last cluster ends with a read error; what was read is kept
  // under a name that says it is partial, never under the file's own.
  FileRecord far = *Storage_File(u, scan.files()[0].index);
  far.size.set(0xFFFFFFF0u);
  EXPECT_FALSE(FAT_RecoverFile(u, &far, out.c_str(), &u->bytesDone));
  EXPECT_EQ(u->error.load(), kErrReadSource);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_GT(fs::file_size(*m_dir / "bad.partial"), 0u);
  EXPECT_LE(fs::file_size(*m_dir / "bad.partial"), 32u << 20);

  EXPECT_FALSE(FAT_RecoverFile(u, &far, (*m_dir / "no/such/dir/x").c_str(), &u->bytesDone));
  EXPECT_EQ(u->error.load(), kErrCreateFile);
}

TEST_F(FatEngineTest, TruncatedAndDamagedImagesEndWithWhatWasFound) {
  // Cut at the first data cluster and at half the size; then a boot sector with a loop-free but
  // impossible geometry.
  const auto whole = kvxtest::readFile(m_image);
  for (std::size_t keep : {std::size_t{512}, std::size_t{70000}, whole.size() / 2}) {
    const fs::path cut = *m_dir / ("cut" + std::to_string(keep));
    kvxtest::writeFile(cut, std::vector<std::uint8_t>(
                                whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)));
    Scan scan(cut);
    for (const Found& f : scan.files()) {
      (void)scan.recover(f.index, *m_dir / "out");
    }
  }
  auto bad = whole;
  bad[13] = 0;  // sectors per cluster
  kvxtest::writeFile(*m_dir / "bad.img", bad);
  Scan rejected(*m_dir / "bad.img");
  EXPECT_FALSE(rejected.recognized());
  EXPECT_EQ(Host_GetLastError(), kErrBootInfo);
}

/// A 16 x 16 24-bit BMP.
std::vector<std::uint8_t> bmpFile() {
  const std::uint32_t w = 16, h = 16, row = w * 3, pixels = row * h, size = 54 + pixels;
  std::vector<std::uint8_t> b(size);
  b[0] = 'B';
  b[1] = 'M';
  storeLe<std::uint32_t>(b.data() + 2, size);
  storeLe<std::uint32_t>(b.data() + 10, 54);
  storeLe<std::uint32_t>(b.data() + 14, 40);
  storeLe<std::uint32_t>(b.data() + 18, w);
  storeLe<std::uint32_t>(b.data() + 22, h);
  storeLe<std::uint16_t>(b.data() + 26, 1);
  storeLe<std::uint16_t>(b.data() + 28, 24);
  storeLe<std::uint32_t>(b.data() + 34, pixels);
  for (std::uint32_t i = 0; i < pixels; ++i) b[54 + i] = static_cast<std::uint8_t>(i * 31);
  return b;
}

TEST_F(FatEngineTest, ContentCheckAndDeepScanOptions) {
  kvxtest::writeFile(*m_dir / "pic.txt", bmpFile());
  const auto r =
      kvxtest::run("cd " + kvxtest::quote(m_dir->path().string()) +
                   " && MTOOLS_SKIP_CHECK=1 mcopy -i v.img pic.txt ::/ && MTOOLS_SKIP_CHECK=1 "
                   "mdel -i v.img ::/pic.txt 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  {
    Scan scan(m_image, kOptTestExtension | kOptRenameExtension);
    const Found* f = scan.find("_ic.txt.bmp", true);
    ASSERT_NE(f, nullptr) << "renamed after its contents";
    EXPECT_EQ(f->state, kStateBad);
  }
  {
    Scan scan(m_image, kOptDeepScan);
    ASSERT_NE(scan.find("_ic.txt", true), nullptr);
    bool carved = false;
    for (const Found& f : scan.files()) carved |= f.path.rfind("Files by content/", 0) == 0;
    EXPECT_TRUE(carved) << "the deep scan ran over the unclaimed sectors";
  }
}

TEST_F(FatEngineTest, ScanAndRecoveryThroughTheInterface) {
  const char letter = Host_AddDrive(m_image.string(), 0);
  ASSERT_NE(letter, 0);
  Undelete* u = nullptr;
  ASSERT_TRUE(Undelete_Create(&u));
  const std::uint32_t driveSpec = static_cast<std::uint32_t>(letter - 'A');
  ASSERT_TRUE(Undelete_SearchMultiple(u, &driveSpec, 1, 0, nullptr, nullptr, nullptr));
  std::uint32_t exitCode = 0;
  while (Undelete_IsSearching(u, &exitCode)) ::usleep(1000);
  EXPECT_EQ(exitCode, 1u);
  std::uint32_t files = 0, deleted = 0;
  ASSERT_TRUE(Undelete_GetFilesCount(u, &files));
  ASSERT_TRUE(Undelete_GetDeletedCount(u, &deleted));
  EXPECT_EQ(files, 2u);
  EXPECT_EQ(deleted, 2u);
  const FileRecord* r = nullptr;
  ASSERT_TRUE(Undelete_GetFileInfo(u, 0, &r));
  EXPECT_EQ((r->location.get() >> 12) & 7u, kKindFat);
  const fs::path out = *m_dir / "via-interface";
  ASSERT_TRUE(Undelete_RecoverFile(u, 0, out.c_str()));
  EXPECT_EQ(kvxtest::md5File(out), kvxtest::md5File(*m_dir / "a.bin"));
  Undelete_Delete(u);
}

}  // namespace
