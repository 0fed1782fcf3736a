// Carving an image of noise holding real tools' files, each once whole and once cut in half (the
// rest of its sectors noise): a cut file is never rated above Poor and ends where its structure
// ends, whole files keep their length and state, and no text find starts inside a bitmap whose
// rows are words or inside a PDF whose page streams are plain text.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "deepscan_test_util.h"
#include "host/host.h"

namespace {

using dstest::Bytes;
constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kImageSectors = 8192;  // 4 MiB

/// A 24-bit bitmap whose pixel rows are lines of prose (171 pixels: 513 bytes and 3 zero bytes of
/// padding per row).
Bytes proseBitmap() {
  const std::uint32_t w = 171, h = 40, stride = 516, pixels = stride * h;
  Bytes b(54 + pixels, 0);
  b[0] = 'B', b[1] = 'M';
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
  };
  put32(2, static_cast<std::uint32_t>(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  b[26] = 1, b[28] = 24;
  put32(34, pixels);
  const std::string words = "the quick brown fox jumps over a lazy dog while it reads ";
  for (std::uint32_t row = 0; row < h; ++row)
    for (std::uint32_t i = 0; i < 513; ++i)
      b[54 + row * stride + i] = static_cast<std::uint8_t>(words[(i + row * 7) % words.size()]);
  return b;
}

class CutFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<kvxtest::TempDir>("deepscan-cut");
    s_ok = kvxtest::haveTools({"convert", "gs", "zip"}) &&
           dstest::sh(s_dir->path(),
                      "convert -seed 4 -size 160x120 plasma:fractal -quality 90 a.jpg && "
                      "convert -seed 5 -size 120x90 plasma:fractal a.png && "
                      "convert -seed 6 -size 90x70 plasma:fractal -colors 64 a.gif && "
                      "convert -seed 7 -size 75x60 plasma:fractal a.bmp && "
                      "printf '%%!PS\\n/Helvetica findfont 11 scalefont setfont\\n' > t.ps && "
                      "for i in $(seq 1 60); do echo \"60 $((800 - i * 12)) moveto (Line $i of "
                      "a page that is plain text in the file) show\" >> t.ps; done && "
                      "echo showpage >> t.ps && "
                      "gs -q -sDEVICE=pdfwrite -dCompressPages=false -o a.pdf t.ps && "
                      "head -c 9000 a.bmp > b.bin && zip -q -X a.zip b.bin a.png");
  }
  static void TearDownTestSuite() { s_dir.reset(); }

  void SetUp() override {
    if (!s_ok) GTEST_SKIP() << "ImageMagick, ghostscript or zip missing";
    m_image = dstest::noise(kImageSectors * kSector, 7);
    std::uint64_t sector = 16;
    auto place = [&](const std::string& what, Bytes bytes, bool cut) {
      const std::size_t whole = bytes.size();
      if (cut) bytes.resize(whole / 2);
      std::memcpy(m_image.data() + sector * kSector, bytes.data(), bytes.size());
      m_placed[sector] = {what, whole, cut};
      sector += (whole + kSector - 1) / kSector + 8;
    };
    for (const char* name : {"a.jpg", "a.png", "a.gif", "a.bmp", "a.pdf", "a.zip"}) {
      const Bytes bytes = kvxtest::readFile(s_dir->path() / name);
      place(name, bytes, false);
      place(name, bytes, true);
    }
    place("prose.bmp", proseBitmap(), false);
    ASSERT_LT(sector, kImageSectors);

    ASSERT_TRUE(CachedDrive_Create(&m_drive));
    ASSERT_TRUE(CachedDrive_OpenDevice(m_drive, Host_OpenMemory(m_image, false), 0));
    ASSERT_EQ(Undelete_Create(&m_u), 1);
    ASSERT_TRUE(Storage_Reserve(m_u));
    m_u->drive = m_drive;
    std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
    std::uint32_t root = 0;
    ASSERT_TRUE(Storage_AddFolder(m_u, u"E:", kNoParent, 0xFFFF, 0, false, false, &root));
    m_u->rootFolder = root;
    ASSERT_TRUE(CachedDrive_InitMap(m_drive, kImageSectors, nullptr, 0));
    m_u->deepScanTotal = kImageSectors;
  }
  void TearDown() override {
    if (m_u != nullptr) {
      m_u->drive = nullptr;
      Undelete_Delete(m_u);
    }
    if (m_drive != nullptr) CachedDrive_Destroy(m_drive);
  }

  struct Placed {
    std::string what;
    std::size_t bytes = 0;
    bool cut = false;
  };
  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline bool s_ok = false;
  Bytes m_image;
  std::map<std::uint64_t, Placed> m_placed;  // by first sector
  CachedDrive* m_drive = nullptr;
  Undelete* m_u = nullptr;
};

TEST_F(CutFilesTest, CutFilesArePoorAtMostAndNoTextIsFoundInsideWholeFiles) {
  ASSERT_TRUE(FileFormat_ScanHole(m_u, 0, 9500));
  struct Hit {
    std::uint64_t size;
    std::uint32_t state, identifier;
  };
  std::map<std::uint64_t, Hit> hits;
  for (std::uint32_t i = 0; i < m_u->fileCount; ++i) {
    const FileRecord* r = Storage_File(m_u, i);
    std::uint32_t sector = 0;
    std::memcpy(&sector, Storage_At(m_u, r->locator.get()), 4);
    const auto* name = static_cast<const char16_t*>(Storage_At(m_u, r->name.get()));
    std::u16string n(name);
    hits[sector] = {r->size.get(), static_cast<std::uint32_t>((r->status >> 1) & 0x1F),
                    FileFormat_ExtensionOf(n)};
  }
  for (const auto& [sector, p] : m_placed) {
    const auto it = hits.find(sector);
    ASSERT_NE(it, hits.end()) << p.what << (p.cut ? " (cut)" : "");
    if (p.cut) {
      EXPECT_LE(it->second.state, kStatePoor) << p.what << " cut in half";
      // A cut file ends where its own structure ends: it does not run on through the noise.
      EXPECT_LE(it->second.size, p.bytes / 2 + 4096) << p.what << " cut in half";
    } else {
      EXPECT_EQ(it->second.size, p.bytes) << p.what;
      EXPECT_GE(it->second.state, kStateGood) << p.what;
    }
  }
  // Whole bitmaps and PDFs: nothing they hold is listed as text.
  for (const auto& [sector, p] : m_placed) {
    if (p.cut || (p.what.find(".bmp") == std::string::npos && p.what != "a.pdf")) continue;
    const std::uint64_t end = sector + (p.bytes + kSector - 1) / kSector;
    for (auto it = hits.upper_bound(sector); it != hits.end() && it->first < end; ++it) {
      const std::uint32_t id = it->second.identifier;
      EXPECT_FALSE(id >= kFmtHtm && id <= kFmtTxt)
          << "text find at sector " << it->first << " inside " << p.what;
    }
  }
}

TEST(TextRecogniser, RejectsPrintableRunsWithoutWordsOrLines) {
  // Pixel-like printable bytes without blanks, and one endless line of words.
  Bytes pixels(4096);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<std::uint8_t>("@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abc,;"[i % 38]);
  FormatResult r;
  EXPECT_FALSE(FileFormat_DetectBytes(pixels, r) && r.identifier == kFmtTxt);
  std::string line;
  while (line.size() < 9000) line += "words and more words ";
  Bytes oneLine(line.begin(), line.end());
  EXPECT_FALSE(FileFormat_DetectBytes(oneLine, r) && r.identifier == kFmtTxt);
  std::string prose;
  while (prose.size() < 3000) prose += "A line of ordinary text, with words.\n";
  Bytes text(prose.begin(), prose.end());
  text.push_back(0);
  ASSERT_TRUE(FileFormat_DetectBytes(text, r));
  EXPECT_EQ(r.identifier, kFmtTxt);
}

}  // namespace
