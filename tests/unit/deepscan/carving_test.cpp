// The deep scan over an image of noise with real files at sector offsets: names, folders,
// lengths, states, files inside files, the jumps behind tar archives, the metadata hook, resume
// after a cancel, and recovery of a find through the raw recoverer.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "deepscan_test_util.h"
#include "host/host.h"
#include "raw/unformated.h"

namespace {

using dstest::Bytes;
constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kImageSectors = 16384;  // 8 MiB

struct Placed {
  std::string what;
  std::uint64_t sector;
  Bytes bytes;
};

struct Find {
  std::string name, folder, parent;
  std::uint64_t size = 0;
  std::uint32_t state = 0;
  std::uint32_t sector = 0;
  std::string note;
};

std::string narrow(const char16_t* s) {
  std::string out;
  for (; s != nullptr && *s != 0; ++s) out.push_back(static_cast<char>(*s));
  return out;
}

/// Hook calls seen by the fake file-system recogniser, and what it does with them.
struct HookLog {
  std::vector<std::uint64_t> offsets;
  std::uint64_t cancelAt = 1;  // sets the cancel event when asked about this (1: never)
};
HookLog* g_hook = nullptr;

bool fakeHook(Undelete* u, std::uint64_t offset) {
  g_hook->offsets.push_back(offset);
  if (offset == g_hook->cancelAt) {
    u->cancelEvent.set();
    g_hook->cancelAt = 1;
    return false;
  }
  if (offset == ~std::uint64_t{0}) return false;
  // Takes the sector when it is an NTFS-looking record.
  std::uint8_t head[4];
  std::uint32_t got = 0;
  return CachedDrive_Read(u->drive, offset, 4, head, &got) && std::memcmp(head, "FILE", 4) == 0;
}

class CarvingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<kvxtest::TempDir>("deepscan-carving");
    s_ok = dstest::makeToolSamples(s_dir->path());
    if (!s_ok) return;
    // A stored zip whose second member (the JPEG) starts at byte 512: 30 + 7 + 436 + 30 + 9.
    s_ok = dstest::sh(s_dir->path(),
                      "head -c 436 /dev/zero | tr '\\0' 'p' > pad.bin && "
                      "zip -q -X -0 aligned.zip pad.bin photo.jpg");
  }
  static void TearDownTestSuite() { s_dir.reset(); }

  void SetUp() override {
    if (!s_ok) GTEST_SKIP() << "sample tools missing";
    m_image = dstest::noise(kImageSectors * kSector, 99);
    auto file = [&](const char* n) { return kvxtest::readFile(s_dir->path() / n); };
    m_jpeg = file("photo.jpg");
    Bytes cutPng = file("pic.png");
    cutPng.resize(cutPng.size() * 6 / 10);
    Bytes record(kSector, 0);
    std::memcpy(record.data(), "FILE0", 5);
    m_placed = {
        {"png", 100, file("pic.png")},
        {"jpeg", 2048, m_jpeg},
        {"zip", 3000, file("aligned.zip")},
        {"record", 4000, record},
        {"cutpng", 4500, cutPng},
        {"tar", 5000, file("archive.tar")},
        {"gif", 7000, file("anim.gif")},
        {"claimed", 9000, file("pic.png")},  // in sectors the map marks as used
        {"pdf", 12000, file("doc.pdf")},
    };
    for (const Placed& p : m_placed)
      std::memcpy(m_image.data() + p.sector * kSector, p.bytes.data(), p.bytes.size());
    ASSERT_TRUE(open());
  }
  void TearDown() override {
    if (m_u != nullptr) {
      m_u->drive = nullptr;
      Undelete_Delete(m_u);
    }
    if (m_drive != nullptr) CachedDrive_Destroy(m_drive);
    g_hook = nullptr;
  }

  bool open() {
    if (!CachedDrive_Create(&m_drive)) return false;
    if (!CachedDrive_OpenDevice(m_drive, Host_OpenMemory(m_image, false), 0)) return false;
    if (Undelete_Create(&m_u) != 1 || !Storage_Reserve(m_u)) return false;
    m_u->drive = m_drive;
    std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
    std::uint32_t root = 0;
    if (!Storage_AddFolder(m_u, u"E:", kNoParent, 0xFFFF, 0, false, false, &root)) return false;
    m_u->rootFolder = root;
    g_hook = &m_hook;
    m_u->recognizeHook = fakeHook;
    return true;
  }
  bool initMap() {
    if (!CachedDrive_InitMap(m_drive, kImageSectors, nullptr, 0)) return false;
    return CachedDrive_SetMapRange(m_drive, 9000, 64);
  }

  std::map<std::uint32_t, Find> finds() const {
    std::map<std::uint32_t, Find> out;
    for (std::uint32_t i = 0; i < m_u->fileCount; ++i) {
      const FileRecord* r = Storage_File(m_u, i);
      Find f;
      f.name = narrow(static_cast<const char16_t*>(Storage_At(m_u, r->name.get())));
      const FolderRecord* folder = Storage_Folder(m_u, r->folder.get());
      f.folder = narrow(static_cast<const char16_t*>(Storage_At(m_u, folder->name.get())));
      const FolderRecord* parent = Storage_Folder(m_u, folder->parent.get());
      f.parent = narrow(static_cast<const char16_t*>(Storage_At(m_u, parent->name.get())));
      f.size = r->size.get();
      f.state = (r->status >> 1) & 0x1F;
      std::memcpy(&f.sector, Storage_At(m_u, r->locator.get()), 4);
      f.note = narrow(static_cast<const char16_t*>(Storage_At(m_u, r->note.get())));
      EXPECT_EQ(r->status & 1, 0) << f.name;
      EXPECT_EQ((r->location.get() >> 12) & 7, kKindRaw);
      EXPECT_EQ(r->stateOnly, 1);
      EXPECT_EQ(r->totalClusters.get(), (f.size + kSector - 1) / kSector);
      EXPECT_TRUE(out.emplace(f.sector, f).second) << "listed twice: " << f.name;
    }
    return out;
  }
  const Placed& placed(const std::string& what) const {
    for (const Placed& p : m_placed)
      if (p.what == what) return p;
    throw std::runtime_error(what);
  }

  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline bool s_ok = false;
  Bytes m_image, m_jpeg;
  std::vector<Placed> m_placed;
  CachedDrive* m_drive = nullptr;
  Undelete* m_u = nullptr;
  HookLog m_hook;
};

TEST_F(CarvingTest, ListsRealFilesByOffsetUnderTheirFormatFolders) {
  ASSERT_TRUE(initMap());
  m_u->deepScanTotal = kImageSectors;
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->deepScanResume, kImageSectors);
  const auto f = finds();

  struct Expect {
    const char* what;
    const char* ext;
    std::uint32_t state;
    bool whole;
  };
  for (const Expect& e :
       {Expect{"png", ".png", kStateExcellent, true}, Expect{"jpeg", ".jpg", kStateGood, true},
        Expect{"zip", ".zip", kStateExcellent, true}, Expect{"cutpng", ".png", kStateBad, false},
        Expect{"gif", ".gif", kStateExcellent, true}, Expect{"pdf", ".pdf", kStateGood, true}}) {
    const Placed& p = placed(e.what);
    const auto it = f.find(static_cast<std::uint32_t>(p.sector));
    ASSERT_NE(it, f.end()) << e.what;
    EXPECT_EQ(it->second.name, "file_" + std::to_string(p.sector * kSector) + e.ext);
    EXPECT_EQ(it->second.folder, std::string(e.ext).substr(1)) << "visible folder: no leading dot";
    EXPECT_EQ(it->second.parent, "Files by content");
    EXPECT_EQ(it->second.state, e.state) << e.what;
    EXPECT_EQ(it->second.note, "Found by Deep Scan");
    if (e.whole) EXPECT_EQ(it->second.size, p.bytes.size()) << e.what;
  }
  // The JPEG stored in the ZIP starts one sector into it and is found as well.
  const auto inner = f.find(3001);
  ASSERT_NE(inner, f.end());
  EXPECT_EQ(inner->second.folder, "jpg");
  EXPECT_EQ(inner->second.size, m_jpeg.size());

  // The tar is listed once; the JPEG member inside it is not carved again.
  const Placed& tar = placed("tar");
  const auto t = f.find(5000);
  ASSERT_NE(t, f.end());
  EXPECT_EQ(t->second.folder, "tar");
  for (const auto& [sector, find] : f)
    if (sector > tar.sector && sector * kSector < tar.sector * kSector + t->second.size)
      ADD_FAILURE() << "carved inside the tar: " << find.name;

  // Claimed sectors are not looked at; the metadata sector went to the hook and was taken.
  EXPECT_EQ(f.count(9000), 0u);
  EXPECT_EQ(f.count(4000), 0u);
  EXPECT_NE(std::find(m_hook.offsets.begin(), m_hook.offsets.end(), 4000u * kSector),
            m_hook.offsets.end());
  ASSERT_FALSE(m_hook.offsets.empty());
  EXPECT_EQ(m_hook.offsets.back(), ~std::uint64_t{0});

  // One folder per format under one "Files by content".
  std::set<std::string> tops;
  for (std::uint32_t i = 0; i < m_u->folderCount; ++i) {
    const FolderRecord* r = Storage_Folder(m_u, i);
    tops.insert(narrow(static_cast<const char16_t*>(Storage_At(m_u, r->name.get()))));
  }
  EXPECT_EQ(tops.size(), m_u->folderCount);  // every name once: one folder per format
  EXPECT_EQ(tops.count("Files by content"), 1u);
}

TEST_F(CarvingTest, CancelledPassResumesWhereItStopped) {
  ASSERT_TRUE(initMap());
  // Reference: one uninterrupted pass on a second object over the same image.
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  std::set<std::string> whole;
  for (const auto& [s, f] : finds()) whole.insert(f.name + "/" + std::to_string(f.size));

  TearDown();
  m_hook = HookLog{};
  ASSERT_TRUE(open());
  ASSERT_TRUE(initMap());
  m_hook.cancelAt = 4000u * kSector;
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->deepScanResume, 4000u);
  const std::uint32_t before = m_u->fileCount;
  for (const auto& [s, f] : finds()) EXPECT_LT(s, 4000u);
  EXPECT_GT(before, 0u);

  m_u->cancelEvent.reset();
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->deepScanResume, kImageSectors);
  std::set<std::string> resumed;
  for (const auto& [s, f] : finds()) resumed.insert(f.name + "/" + std::to_string(f.size));
  EXPECT_EQ(resumed, whole);

  // A finished pass run again has nothing left to do.
  const std::uint32_t count = m_u->fileCount;
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->fileCount, count);
}

TEST_F(CarvingTest, CancelAtTheFirstSectorDoesNotMarkThePassFinished) {
  ASSERT_TRUE(initMap());
  m_u->cancelEvent.set();
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->deepScanResume, 0u);  // not the map's bit count: nothing was examined
  EXPECT_EQ(m_u->fileCount, 0u);
  ASSERT_FALSE(m_hook.offsets.empty());
  EXPECT_EQ(m_hook.offsets.back(), ~std::uint64_t{0});
}

TEST_F(CarvingTest, NoMapMeansNoScan) {
  EXPECT_FALSE(FileFormat_ScanHole(m_u, 0, 9500));
  EXPECT_EQ(m_u->fileCount, 0u);
}

TEST_F(CarvingTest, UnformattedVolumeScansEverythingAndRecoversByteIdentical) {
  ASSERT_TRUE(Unformated_RecognizeDrive(m_drive));
  ASSERT_TRUE(Unformated_SearchFiles(m_u));
  EXPECT_EQ(m_u->deepScanTotal, kImageSectors);
  // Without claimed sectors the PNG at 9000 is found too.
  std::uint32_t jpegIndex = ~0u, pngIndex = ~0u;
  for (std::uint32_t i = 0; i < m_u->fileCount; ++i) {
    std::uint32_t sector = 0;
    std::memcpy(&sector, Storage_At(m_u, Storage_File(m_u, i)->locator.get()), 4);
    if (sector == 2048) jpegIndex = i;
    if (sector == 9000) pngIndex = i;
  }
  ASSERT_NE(jpegIndex, ~0u);
  ASSERT_NE(pngIndex, ~0u);

  kvxtest::TempDir out("deepscan-recover");
  std::atomic<std::uint64_t> done{0};
  FileRecord rec = *Storage_File(m_u, jpegIndex);
  ASSERT_TRUE(Unformated_RecoverFile(m_u, &rec, (out / "a.jpg").c_str(), &done));
  EXPECT_EQ(kvxtest::readFile(out / "a.jpg"), m_jpeg);
  EXPECT_EQ(done.load(), m_jpeg.size());

  // A 1000-byte find: 512 bytes of its first sector and 488 of the next.
  rec.size.set(1000);
  ASSERT_TRUE(Unformated_RecoverFile(m_u, &rec, (out / "b.bin").c_str(), &done));
  EXPECT_EQ(kvxtest::readFile(out / "b.bin"),
            Bytes(m_image.begin() + 2048 * kSector, m_image.begin() + 2048 * kSector + 1000));
  rec.size.set(0);
  ASSERT_TRUE(Unformated_RecoverFile(m_u, &rec, (out / "c.bin").c_str(), &done));
  EXPECT_TRUE(kvxtest::readFile(out / "c.bin").empty());
  // A find running past the volume's end fails with the read error, keeping what was read.
  rec.size.set(std::uint64_t{kImageSectors} * kSector);
  EXPECT_FALSE(Unformated_RecoverFile(m_u, &rec, (out / "d.bin").c_str(), &done));
  EXPECT_FALSE(Unformated_RecoverFile(m_u, &rec, (out / "no/such/dir.bin").c_str(), &done));
}

TEST_F(CarvingTest, ContinuedScanKeepsTheMapItHad) {
  // A restored session: the map as saved (sector 9000 on claimed), the deep scan at sector 4000.
  ASSERT_TRUE(initMap());
  m_u->deepScanResume = 4000;
  ASSERT_TRUE(Unformated_RecognizeDrive(m_drive));
  ASSERT_TRUE(Unformated_SearchFiles(m_u));
  const auto f = finds();
  ASSERT_FALSE(f.empty());
  EXPECT_GE(f.begin()->first, 4000u);  // nothing before the resume point again
  EXPECT_EQ(f.count(9000), 0u);        // the claimed sectors stayed claimed
  EXPECT_EQ(f.count(5000), 1u);
}

TEST_F(CarvingTest, DescribesAndSavesTheUnknownEntry) {
  ASSERT_TRUE(Unformated_RecognizeDrive(m_drive));
  char text[256];
  ASSERT_TRUE(Unformated_DescribeVolume(m_drive, text, false));
  EXPECT_STREQ(text, "8.0 MB, Unformated, Sector size: 512");
  ASSERT_TRUE(Unformated_DescribeVolume(m_drive, text, true));
  EXPECT_STREQ(text, "8.0 MB, Unformatted");
  void* block = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(Unformated_SaveVolumeInfo(m_drive, &block, &size));
  ASSERT_EQ(size, 4u);
  std::uint32_t v = 1;
  std::memcpy(&v, block, 4);
  EXPECT_EQ(v, 0u);
  std::free(block);
}

}  // namespace
