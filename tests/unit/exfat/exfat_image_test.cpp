// Whole-image tests: an exFAT image made with mkfs.exfat and populated through the FUSE driver
// (long and non-ASCII names, a fragmented live file, deleted contiguous and fragmented files, a
// deleted folder tree, a deleted file whose first clusters a later file took). What the test
// wrote and The Sleuth Kit's listing of the same image are the expected results.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>

#include "core/cached_drive.h"
#include "core/undelete_object.h"
#include "core/filetime.h"
#include "exfat/exfat.h"
#include "exfat_harness.h"
#include "fat/fat.h"
#include "host/host.h"
#include "ntfs/ntfs.h"

namespace {

namespace fs = std::filesystem;
using exfattest::Found;
using exfattest::Scan;

constexpr std::uint32_t kCluster = 4096;
constexpr std::int64_t kKeepTime = 1614834367;  // 2021-03-04 05:06:07 UTC
const std::string kLongName =
    std::string(120, 'L') + " with a long tail " + std::string(100, 'x') + ".bin";
const std::string kUnicodeName =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80.dat";

std::vector<std::uint8_t> content(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> v(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return v;
}

/// A JPEG as a camera writes one: start marker, JFIF header, data, end marker.
std::vector<std::uint8_t> jpeg(std::size_t size) {
  auto v = content(size, 77);
  const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                               0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  std::copy(std::begin(head), std::end(head), v.begin());
  for (std::size_t i = sizeof head; i + 2 < v.size(); ++i)
    if (v[i] == 0xFF) v[i] = 0xFE;  // no stray markers
  v[v.size() - 2] = 0xFF;
  v[v.size() - 1] = 0xD9;
  return v;
}

class ExfatImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!exfattest::canBuildImages()) return;
    s_dir = new kvxtest::TempDir("exfat-image");
    const fs::path src = *s_dir / "src";
    fs::create_directories(src / "tree/sub");
    const auto add = [&](const std::string& rel, std::vector<std::uint8_t> bytes) {
      kvxtest::writeFile(src / rel, bytes);
      (*s_sources)[rel] = std::move(bytes);
    };
    s_sources = new std::map<std::string, std::vector<std::uint8_t>>();
    add("big.bin", content(10 * kCluster, 1));
    add("keep.txt", content(3000, 2));
    add(kLongName, content(7000, 3));
    add(kUnicodeName, content(9000, 4));
    add("frag.bin", content(40000, 5));
    add("spacer.bin", content(8192, 6));
    add("photo.jpg", jpeg(50000));
    add("tree/a.txt", content(500, 7));
    add("tree/sub/deep.bin", content(12000, 8));
    add("fragdel.bin", content(40000, 9));
    add("spacer2.bin", content(8192, 10));
    add("reuses the clusters of big.bin", content(12000, 11));

    s_image = new fs::path(*s_dir / "volume.img");
    const std::string cd = "cd " + kvxtest::quote(src.string()) + " && ";
    bool ok = kvxtest::run("truncate -s 64M " + kvxtest::quote(s_image->string()) +
                           " && mkfs.exfat -c 4K -L KVXTEST " + kvxtest::quote(s_image->string()) +
                           " >/dev/null")
                  .exitCode == 0;
    // big.bin first, so that it holds the lowest clusters and the last file written reuses them.
    // The driver puts a new entry set into the first run of free entries long enough for it: the
    // deleted sets are kept apart, and the last file's longer name fits none of their holes.
    ok = ok && exfattest::withMount(
                   *s_image,
                   cd + "cp big.bin keep.txt photo.jpg '" + kLongName + "' \"$M\"/ && touch -d @" +
                       std::to_string(kKeepTime) +
                       " \"$M\"/keep.txt && "
                       "mkdir -p \"$M\"/tree/sub && cp tree/a.txt \"$M\"/tree/ && "
                       "cp tree/sub/deep.bin \"$M\"/tree/sub/ && cp '" +
                       kUnicodeName +
                       "' \"$M\"/ && "
                       "head -c 20000 fragdel.bin > \"$M\"/fragdel.bin && cp spacer2.bin \"$M\"/ "
                       "&& tail -c +20001 fragdel.bin >> \"$M\"/fragdel.bin && "
                       "head -c 20000 frag.bin > \"$M\"/frag.bin && cp spacer.bin \"$M\"/ && "
                       "tail -c +20001 frag.bin >> \"$M\"/frag.bin");
    ok = ok && exfattest::withMount(*s_image,
                                    cd + "rm \"$M\"/photo.jpg \"$M\"/fragdel.bin \"$M\"/big.bin && "
                                         "rm -r \"$M\"/tree && "
                                         "cp 'reuses the clusters of big.bin' \"$M\"/");
    s_built = ok;
  }

  static void TearDownTestSuite() {
    delete s_image;
    delete s_sources;
    delete s_dir;
  }

  void SetUp() override {
    if (!exfattest::canBuildImages())
      GTEST_SKIP() << "needs root, exfatprogs, exfat-fuse, sleuthkit";
    ASSERT_TRUE(s_built) << "the exFAT image could not be made";
  }

  static std::string md5Of(const std::vector<std::uint8_t>& bytes) {
    const fs::path p = *s_dir / "md5-scratch";
    kvxtest::writeFile(p, bytes);
    return kvxtest::md5File(p);
  }

  static kvxtest::TempDir* s_dir;
  static fs::path* s_image;
  static std::map<std::string, std::vector<std::uint8_t>>* s_sources;
  static bool s_built;
};
kvxtest::TempDir* ExfatImageTest::s_dir = nullptr;
fs::path* ExfatImageTest::s_image = nullptr;
std::map<std::string, std::vector<std::uint8_t>>* ExfatImageTest::s_sources = nullptr;
bool ExfatImageTest::s_built = false;

TEST_F(ExfatImageTest, ListsWhatTheSleuthKitListsAndRecoversByteForByte) {
  const std::string imageMd5 = kvxtest::md5File(*s_image);
  Scan scan(*s_image);
  ASSERT_TRUE(scan.recognized());

  // Every file the oracle lists, live or deleted, is found with the same path and size, and
  // nothing else is.
  std::map<std::string, std::string> inodeOf;
  std::size_t oracleFiles = 0;
  for (const auto& e : exfattest::fls(*s_image)) {
    if (e.directory) continue;
    ++oracleFiles;
    inodeOf[e.path + (e.deleted ? "*" : "")] = e.inode;
    const Found* f = scan.find(e.path, e.deleted);
    ASSERT_NE(f, nullptr) << (e.deleted ? "deleted " : "") << "file not found: " << e.path;
    EXPECT_EQ(f->size, e.size) << e.path;
    if (!e.deleted) EXPECT_EQ(f->state, kStateExisting) << e.path;
  }
  EXPECT_EQ(scan.files().size(), oracleFiles);
  EXPECT_NE(scan.find(kLongName, false), nullptr);
  EXPECT_NE(scan.find(kUnicodeName, false), nullptr);

  // The removed tree: its folders are deleted, its files deleted and intact.
  std::set<std::string> deletedFolders;
  for (const auto& d : scan.folders())
    if (d.deleted) deletedFolders.insert(d.path);
  EXPECT_EQ(deletedFolders, (std::set<std::string>{"tree/", "tree/sub/"}));
  for (const char* path : {"tree/a.txt", "tree/sub/deep.bin", "photo.jpg"}) {
    const Found* f = scan.find(path, true);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(f->state, kStateExcellent) << path;
  }

  // The later file took the first three of big.bin's ten clusters and is named as the owner.
  const Found* big = scan.find("big.bin", true);
  const Found* reuser = scan.find("reuses the clusters of big.bin", false);
  ASSERT_TRUE(big && reuser);
  EXPECT_EQ(big->state, kStatePoor);
  EXPECT_EQ(big->total, 10u);
  EXPECT_EQ(big->overwritten, 3u);
  EXPECT_EQ(big->overwrittenBy, static_cast<std::int32_t>(reuser->index));
  // The driver freed fragdel.bin's chain: read straight on, its second half is spacer2.bin.
  const Found* fragdel = scan.find("fragdel.bin", true);
  ASSERT_NE(fragdel, nullptr);
  EXPECT_EQ(fragdel->state, kStatePoor);
  EXPECT_EQ(fragdel->overwritten, 2u);

  // Times: the 2-s value and the UTC offset give back what touch set.
  const Found* keep = scan.find("keep.txt", false);
  ASSERT_NE(keep, nullptr);
  EXPECT_EQ(FileTime_LocalToUtc(keep->modified),
            static_cast<std::uint64_t>(kKeepTime) * 10000000 + 116444736000000000ull);

  // Existing and Excellent files recover as written and as icat reads them; big.bin's clusters
  // that no one took come back too.
  std::size_t checked = 0;
  for (const Found& f : scan.files()) {
    const fs::path out = *s_dir / ("rec-" + std::to_string(f.index));
    const bool ok = scan.recover(f.index, out);
    if (f.state != kStateExcellent && f.state != kStateExisting) {
      if (&f == big) {
        ASSERT_TRUE(ok);
        const auto got = kvxtest::readFile(out);
        const auto& want = s_sources->at("big.bin");
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(std::equal(got.begin() + 3 * kCluster, got.end(), want.begin() + 3 * kCluster));
      }
      continue;
    }
    ASSERT_TRUE(ok) << f.path;
    const std::string got = kvxtest::md5File(out);
    if (auto it = s_sources->find(f.path); it != s_sources->end()) {
      EXPECT_EQ(got, md5Of(it->second)) << f.path;
      ++checked;
    }
    const auto ino = inodeOf.find(f.path + (f.existing ? "" : "*"));
    ASSERT_NE(ino, inodeOf.end()) << f.path;
    const fs::path viaIcat = *s_dir / ("icat-" + std::to_string(f.index));
    kvxtest::run("icat -f exfat " + kvxtest::quote(s_image->string()) + " " + ino->second + " > " +
                 kvxtest::quote(viaIcat.string()));
    EXPECT_EQ(got, kvxtest::md5File(viaIcat)) << f.path;
    if (f.path == "keep.txt") {
      struct stat st {};
      ASSERT_EQ(::stat(out.c_str(), &st), 0);
      EXPECT_EQ(st.st_mtim.tv_sec, kKeepTime);
    }
  }
  EXPECT_EQ(checked, 10u);  // all but big.bin and fragdel.bin
  // Recovery never replaces a file that is there.
  EXPECT_FALSE(scan.recover(keep->index, *s_dir / ("rec-" + std::to_string(keep->index))));
  EXPECT_EQ(kvxtest::md5File(*s_image), imageMd5) << "scanning or recovery changed the image";
}

TEST_F(ExfatImageTest, UsedSectorMapLeavesTheFreeClustersToTheDeepScan) {
  Scan scan(*s_image);
  ASSERT_TRUE(scan.recognized());
  ExfatGeometry g;
  ASSERT_TRUE(EXFAT_GetGeometry(scan.drive(), g));
  ASSERT_NE(g.bitmap, nullptr);
  for (std::uint64_t s = 0; s < g.clusterHeapOffset; ++s)
    ASSERT_TRUE(CachedDrive_TestMapBit(scan.drive(), s)) << "structure sector " << s;
  // Every cluster in use is marked; of the free ones only the two deleted folders' clusters,
  // read as directories, are.
  std::uint32_t free = 0, freeButRead = 0;
  for (std::uint32_t c = 2; c < g.clusterEnd(); ++c) {
    const bool used = EXFAT_ClusterInUse(g, c);
    const bool marked = CachedDrive_TestMapBit(scan.drive(), EXFAT_ClusterSector(g, c));
    for (std::uint32_t k = 1; k < g.sectorsPerCluster; ++k)
      ASSERT_EQ(CachedDrive_TestMapBit(scan.drive(), EXFAT_ClusterSector(g, c) + k), marked);
    if (used) ASSERT_TRUE(marked) << "cluster " << c;
    free += used ? 0 : 1;
    freeButRead += !used && marked ? 1 : 0;
  }
  EXPECT_EQ(freeButRead, 2u);
  EXPECT_GT(free, 1000u);
}

TEST_F(ExfatImageTest, TableEntrySurvivesSaveAndLoadAndADamagedCopyIsRefused) {
  Scan scan(*s_image);
  ASSERT_TRUE(scan.recognized());
  char text[256];
  ASSERT_TRUE(EXFAT_DescribeVolume(scan.drive(), text, false));
  EXPECT_STREQ(text, "64.0 MB, exFAT, Cluster size: 4096, FATs count: 1, Label: KVXTEST");
  void* block = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(EXFAT_SaveVolumeInfo(scan.drive(), &block, &size));
  std::vector<std::uint8_t> saved(static_cast<std::uint8_t*>(block),
                                  static_cast<std::uint8_t*>(block) + size);
  std::free(block);

  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  EXPECT_FALSE(EXFAT_LoadVolumeInfo(saved.data(), size - 1, drive)) << "cut short";
  auto wrongType = saved;
  wrongType[0] = kFsFat32;
  EXPECT_FALSE(EXFAT_LoadVolumeInfo(wrongType.data(), size, drive));
  ASSERT_TRUE(EXFAT_LoadVolumeInfo(saved.data(), size, drive));
  ExfatGeometry a, b;
  ASSERT_TRUE(EXFAT_GetGeometry(scan.drive(), a));
  ASSERT_TRUE(EXFAT_GetGeometry(drive, b));
  EXPECT_EQ(b.clusterCount, a.clusterCount);
  EXPECT_EQ(0, std::memcmp(a.bitmap, b.bitmap, a.bitmapBytes));
  EXPECT_EQ(0, std::memcmp(a.fat, b.fat, a.fatBytes));
  CachedDrive_Destroy(drive);
}

/// Recognises @p image with one recogniser on a fresh drive.
bool recognizes(const fs::path& image, bool (*recognize)(Undelete*, CachedDrive*)) {
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  bool result = false;
  if (Undelete_Create(&u) && CachedDrive_Create(&drive)) {
    auto device = Host_OpenPath(image.string(), false, false);
    if (device && CachedDrive_OpenDevice(drive, std::move(device), kHostDriveFixed))
      result = recognize(u, drive) && drive->fsCount == 1;
  }
  if (u != nullptr) Undelete_Delete(u);
  if (drive != nullptr) CachedDrive_Destroy(drive);
  return result;
}

TEST_F(ExfatImageTest, NeverTakenForFatOrNtfsNorTheyForExfatAndBackupBootStandsIn) {
  const auto fat = [](Undelete* u, CachedDrive* d) { return FAT_RecognizeDrive(u, d); };
  const auto ntfs = [](Undelete* u, CachedDrive* d) { return NTFS_RecognizeDrive(d, u); };
  const auto exfat = [](Undelete* u, CachedDrive* d) { return EXFAT_RecognizeDrive(u, d); };
  EXPECT_TRUE(recognizes(*s_image, exfat));
  EXPECT_FALSE(recognizes(*s_image, fat));
  EXPECT_FALSE(recognizes(*s_image, ntfs));
  const fs::path fatImage = *s_dir / "fat32.img", ntfsImage = *s_dir / "ntfs.img";
  ASSERT_EQ(
      kvxtest::run("mkfs.fat -C -F 32 " + kvxtest::quote(fatImage.string()) +
                   " 65536 >/dev/null && truncate -s 16M " + kvxtest::quote(ntfsImage.string()) +
                   " && mkntfs -F -Q -q " + kvxtest::quote(ntfsImage.string()) + " >/dev/null 2>&1")
          .exitCode,
      0);
  EXPECT_TRUE(recognizes(fatImage, fat));
  EXPECT_FALSE(recognizes(fatImage, exfat));
  EXPECT_TRUE(recognizes(ntfsImage, ntfs));
  EXPECT_FALSE(recognizes(ntfsImage, exfat));

  // A damaged main boot sector: the backup region describes the volume and the listing is whole.
  const fs::path damaged = *s_dir / "damaged.img";
  fs::copy_file(*s_image, damaged, fs::copy_options::overwrite_existing);
  auto bytes = kvxtest::readFile(damaged);
  bytes[0x6C] = 2;  // sector size 4 bytes
  kvxtest::writeFile(damaged, bytes);
  Scan good(*s_image), fromBackup(damaged);
  ASSERT_TRUE(fromBackup.recognized());
  ExfatVolumeInfo info;
  ASSERT_TRUE(EXFAT_GetVolumeInfo(fromBackup.drive(), info));
  EXPECT_NE(info.flags.get() & kExfatInfoBackupBoot, 0u);
  EXPECT_EQ(fromBackup.files().size(), good.files().size());
  // Wiped, it still stands in; an NTFS boot sector in front of it is never looked behind.
  std::fill(bytes.begin(), bytes.begin() + 512, 0);
  kvxtest::writeFile(damaged, bytes);
  EXPECT_TRUE(recognizes(damaged, exfat));
  const auto ntfsBoot = kvxtest::readFile(ntfsImage);
  std::copy(ntfsBoot.begin(), ntfsBoot.begin() + 512, bytes.begin());
  kvxtest::writeFile(damaged, bytes);
  EXPECT_FALSE(recognizes(damaged, exfat));
}

TEST_F(ExfatImageTest, KvxScanAndRecoverTheDeletedJpegByteIdentical) {
  const std::string kvx = kvxtest::quote(kvxtest::cliPath().string());
  const std::string img = kvxtest::quote(s_image->string());
  const std::string imageMd5 = kvxtest::md5File(*s_image);
  const fs::path json = *s_dir / "scan.json";
  ASSERT_EQ(kvxtest::run(kvx + " scan " + img + " --json > " + kvxtest::quote(json.string())).exitCode,
            0);
  // python3 is the independent parser: the file system and the deleted photo's state.
  const auto listed = kvxtest::run(
      "python3 -c 'import json,sys\n"
      "d=json.load(open(sys.argv[1]))\n"
      "f=[f for f in d[\"files\"] if f[\"path\"].endswith(\"photo.jpg\")][0]\n"
      "print(f[\"fileSystem\"], int(f[\"deleted\"]), f[\"stateName\"])' " +
      kvxtest::quote(json.string()));
  EXPECT_EQ(listed.out, "exFAT 1 Excellent\n");

  const fs::path out = *s_dir / "kvx-out";
  const auto r = kvxtest::run(kvx + " recover " + img + " --to " + kvxtest::quote(out.string()) +
                              " --deleted --pattern '*.jpg'");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("1 recovered, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(kvxtest::md5File(out / "photo.jpg"), md5Of(s_sources->at("photo.jpg")));
  EXPECT_EQ(kvxtest::md5File(*s_image), imageMd5) << "kvx must not write to the image";
}

}  // namespace
