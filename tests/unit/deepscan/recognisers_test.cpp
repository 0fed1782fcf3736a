// The recognisers over whole, cut and damaged files: files made by real tools where one is
// installed, by our own writers otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "deepscan/deepscan.h"
#include "deepscan_test_util.h"
#include "format_builders.h"

namespace {

using dstest::Bytes;
namespace fs = std::filesystem;

constexpr std::uint64_t kWholeFile = ~std::uint64_t{0};

/// Tool-made samples, made once for the whole program.
class Samples {
 public:
  static Samples& get() {
    static Samples s;
    return s;
  }
  bool ok() const { return m_ok; }
  Bytes file(const std::string& name) const { return kvxtest::readFile(m_dir.path() / name); }

 private:
  Samples() : m_dir("deepscan-samples") { m_ok = dstest::makeToolSamples(m_dir.path()); }
  kvxtest::TempDir m_dir;
  bool m_ok = false;
};

Bytes sample(const std::string& name) { return Samples::get().file(name); }

/// The file followed by @p tail bytes of zeros (free space after a file is rarely empty, but
/// zero keeps the expected lengths exact).
Bytes padded(Bytes b, std::size_t tail = 4096) {
  b.resize(b.size() + tail, 0);
  return b;
}

FormatResult detect(const Bytes& b) {
  FormatResult r;
  if (!FileFormat_DetectBytes(b, r)) r = FormatResult{};
  return r;
}

struct WholeCase {
  const char* name;
  std::function<Bytes()> make;
  std::uint32_t id;
  std::uint32_t completeness;
  std::uint64_t length;  // kWholeFile: the file's own size
};

class WholeFileTest : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WholeFileTest, IdentifiesAndMeasures) {
  const WholeCase& c = GetParam();
  if (!Samples::get().ok()) GTEST_SKIP() << "sample tools missing";
  const Bytes file = c.make();
  ASSERT_FALSE(file.empty());
  const FormatResult r = detect(padded(file));
  EXPECT_EQ(r.identifier, c.id);
  EXPECT_EQ(r.completeness, c.completeness);
  EXPECT_EQ(r.length, c.length == kWholeFile ? file.size() : c.length);
}

/// A tar ends after its last member; the two zero records and the padding to a full block that
/// tar writes are not part of what the scan measures.
std::uint64_t tarMembersEnd(const Bytes& t) {
  std::size_t end = t.size();
  while (end >= 512 && std::all_of(t.begin() + static_cast<std::ptrdiff_t>(end - 512),
                                   t.begin() + static_cast<std::ptrdiff_t>(end),
                                   [](std::uint8_t x) { return x == 0; }))
    end -= 512;
  return end;
}

std::vector<WholeCase> wholeCases() {
  using namespace fmtbuild;
  return {
      {"JpegFromImageMagick", [] { return sample("photo.jpg"); }, kFmtJpg, kComplGood, kWholeFile},
      {"PngFromImageMagick", [] { return sample("pic.png"); }, kFmtPng, kComplExcellent,
       kWholeFile},
      {"GifStill", [] { return sample("anim1.gif"); }, kFmtGif, kComplExcellent, kWholeFile},
      {"GifAnimated", [] { return sample("anim.gif"); }, kFmtGif, kComplExcellent, kWholeFile},
      {"Bmp", [] { return sample("pic.bmp"); }, kFmtBmp, kComplGood, kWholeFile},
      {"Icon", [] { return sample("icon.ico"); }, kFmtIco, kComplExcellent, kWholeFile},
      {"CursorIsIconWithType2",
       [] {
         Bytes b = sample("icon.ico");
         b[2] = 2;
         return b;
       },
       kFmtCur, kComplExcellent, kWholeFile},
      // One cross-reference section: the structure is there, but a single section is all the
      // walk can confirm.
      {"PdfFromGhostscript", [] { return sample("doc.pdf"); }, kFmtPdf, kComplGood, kWholeFile},
      {"ZipPlain", [] { return sample("plain.zip"); }, kFmtZip, kComplExcellent, kWholeFile},
      {"ZipStored", [] { return sample("stored.zip"); }, kFmtZip, kComplExcellent, kWholeFile},
      {"Docx", [] { return sample("doc.docx"); }, kFmtDocx, kComplExcellent, kWholeFile},
      {"Xlsx", [] { return sample("book.xlsx"); }, kFmtXlsx, kComplExcellent, kWholeFile},
      {"PptxWithoutWordOrXl", [] { return sample("slides.pptx"); }, kFmtPptx, kComplExcellent,
       kWholeFile},
      {"WmzSkin", [] { return sample("skin.wmz"); }, kFmtWmz, kComplBad, 30 + 9},
      {"Cabinet", [] { return sample("files.cab"); }, kFmtCab, kComplPoor, kWholeFile},
      {"TarOfDotMembers", [] { return sample("archive.tar"); }, kFmtTar, kComplGood,
       tarMembersEnd(sample("archive.tar"))},
      {"WavFromPython", [] { return sample("tone.wav"); }, kFmtWav, kComplGood, kWholeFile},
      {"Avi", [] { return riff("AVI ", 1000); }, kFmtAvi, kComplGood, kWholeFile},
      {"Ani", [] { return riff("ACON", 300); }, kFmtAni, kComplGood, kWholeFile},
      {"Rmi", [] { return riff("RMID", 300); }, kFmtRmi, kComplGood, kWholeFile},
      {"DosProgram", [] { return dosExe(5, 100); }, kFmtExe, kComplGood, kWholeFile},
      {"DosProgramFullLastPage", [] { return dosExe(3, 0); }, kFmtExe, kComplGood, kWholeFile},
      {"PeExe", [] { return peImage(false, false); }, kFmtExe, kComplGood, kWholeFile},
      {"PeDll", [] { return peImage(true, false); }, kFmtDll, kComplGood, kWholeFile},
      {"PeDllMui", [] { return peImage(true, true); }, kFmtDllMui, kComplGood, kWholeFile},
      {"PeExeMui", [] { return peImage(false, true); }, kFmtExeMui, kComplGood, kWholeFile},
      {"CompoundWord", [] { return compoundDocument(u"WordDocument"); }, kFmtDoc, kComplGood,
       kWholeFile},
      {"CompoundExcel", [] { return compoundDocument(u"Workbook"); }, kFmtXls, kComplGood,
       kWholeFile},
      {"CompoundPowerPoint", [] { return compoundDocument(u"PowerPoint Document"); }, kFmtPpt,
       kComplGood, kWholeFile},
      {"CompoundCatalog", [] { return compoundDocument(u"Catalog"); }, kFmtMof, kComplGood,
       kWholeFile},
      {"CompoundUnknownStream", [] { return compoundDocument(u"Other"); }, kFmtMof,
       kComplUnrecoverable, kWholeFile},
      {"Rar", [] { return rar("a.txt", Bytes(700, 'a')); }, kFmtRar, kComplExcellent, kWholeFile},
      {"Chm", [] { return chm(0x400); }, kFmtChm, kComplGood, kWholeFile},
      {"Hlp", [] { return hlp(0x400); }, kFmtHlp, kComplGood, kWholeFile},
      {"AsfWithSimpleIndex", [] { return asf(false, true); }, kFmtAsf, kComplExcellent, kWholeFile},
      {"WmvWithoutIndex", [] { return asf(true, false); }, kFmtWmv, kComplPoor, kWholeFile},
      {"Swf", [] { return swf(1000); }, kFmtSwf, kComplGood, kWholeFile},
      {"QuickTime", [] { return mov(5000); }, kFmtMov, kComplExcellent, kWholeFile},
  };
}

INSTANTIATE_TEST_SUITE_P(Formats, WholeFileTest, ::testing::ValuesIn(wholeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TrueType, LengthIsTheFurthestTableEnd) {
  const fs::path font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  if (!fs::exists(font)) GTEST_SKIP() << "fonts-dejavu-core not installed";
  const Bytes f = kvxtest::readFile(font);
  const FormatResult r = detect(padded(f));
  EXPECT_EQ(r.identifier, kFmtTtf);
  EXPECT_EQ(r.completeness, kComplGood);
  // Font files pad their last table to four bytes; the table's own end is what is measured.
  EXPECT_LE(r.length, f.size());
  EXPECT_GT(r.length + 4, f.size());
}

// Cut files: the window ends inside them (what the deep scan sees when a free run ends).
struct CutCase {
  const char* name;
  std::function<Bytes()> make;
  double keep;  // fraction of the file left in the window
  std::uint32_t id;
  std::uint32_t completenessBelow;  // completeness must be lower than this
};
class CutFileTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutFileTest, LowerCompletenessInsideTheWindow) {
  const CutCase& c = GetParam();
  if (!Samples::get().ok()) GTEST_SKIP() << "sample tools missing";
  Bytes f = c.make();
  f.resize(static_cast<std::size_t>(static_cast<double>(f.size()) * c.keep));
  const FormatResult r = detect(f);
  EXPECT_EQ(r.identifier, c.id);
  EXPECT_LT(r.completeness, c.completenessBelow);
  EXPECT_LE(r.length, f.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CutFileTest,
    ::testing::Values(
        CutCase{"Jpeg", [] { return sample("photo.jpg"); }, 0.6, kFmtJpg, kComplGood},
        CutCase{"Png", [] { return sample("pic.png"); }, 0.7, kFmtPng, kComplGood},
        CutCase{"Gif", [] { return sample("anim.gif"); }, 0.5, kFmtGif, kComplExcellent},
        CutCase{"Bmp", [] { return sample("pic.bmp"); }, 0.5, kFmtBmp, kComplGood},
        CutCase{"Zip", [] { return sample("plain.zip"); }, 0.5, kFmtZip, kComplGood},
        CutCase{"Pdf", [] { return sample("doc.pdf"); }, 0.8, kFmtPdf, kComplPoor},
        CutCase{"Wav", [] { return sample("tone.wav"); }, 0.5, kFmtWav, kComplGood},
        CutCase{"Icon", [] { return sample("icon.ico"); }, 0.6, kFmtIco, kComplExcellent},
        CutCase{"Rar", [] { return fmtbuild::rar("a", Bytes(4000, 1)); }, 0.5, kFmtRar,
                kComplPoor + 1},
        CutCase{"Exe", [] { return fmtbuild::peImage(false, false); }, 0.8, kFmtExe, kComplGood},
        CutCase{"Asf", [] { return fmtbuild::asf(false, true); }, 0.5, kFmtAsf, kComplPoor}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Riff, SizePastTheWindowIsBadWithHeaderLength) {
  Bytes wav = fmtbuild::riff("WAVE", 100);
  wav.resize(60);
  const FormatResult r = detect(wav);
  EXPECT_EQ(r.identifier, kFmtWav);
  EXPECT_EQ(r.completeness, kComplBad);
  EXPECT_EQ(r.length, 12u);
}

TEST(Jpeg, EndsAtTheEndOfImageMarkerAfterScanData) {
  if (!Samples::get().ok()) GTEST_SKIP();
  const Bytes j = sample("photo.jpg");
  // Noise after the file: the scan still stops at the first FF D9 (which is the file's own).
  Bytes w = j;
  const Bytes tail = dstest::noise(8192, 3);
  w.insert(w.end(), tail.begin(), tail.end());
  const FormatResult r = detect(w);
  EXPECT_EQ(r.completeness, kComplGood);
  EXPECT_EQ(r.length, j.size());
  EXPECT_EQ(w[r.length - 1], 0xD9);
}

TEST(Pdf, EndsAtTheLineBreakAfterItsEndMarker) {
  if (!Samples::get().ok()) GTEST_SKIP();
  const Bytes pdf = sample("doc.pdf");
  for (const std::string tail : {std::string("\n\n  7 0 obj"), std::string(" xyz"),
                                 std::string(4, '\0'), std::string("%comment\n")}) {
    Bytes w = pdf;
    fmtbuild::append(w, tail);
    w.resize(w.size() + 600, 0x9C);
    const FormatResult r = detect(w);
    EXPECT_EQ(r.identifier, kFmtPdf);
    EXPECT_EQ(r.length, pdf.size()) << tail.size();
  }
}

TEST(Zip, DamagedSecondLocalHeaderEndsTheWalk) {
  if (!Samples::get().ok()) GTEST_SKIP();
  Bytes z = sample("plain.zip");
  // The second local header's signature: after the first header, its name and data.
  const std::size_t second = 30 + (z[26] | (z[27] << 8)) + (z[28] | (z[29] << 8)) +
                             (z[18] | (z[19] << 8) | (z[20] << 16) | (z[21] << 24));
  ASSERT_EQ(z[second], 'P');
  z[second + 4] ^= 0xFF;  // version field: still a local header
  EXPECT_EQ(detect(padded(z)).completeness, kComplExcellent);
  z[second + 2] = 9;  // signature broken: one member, nothing after it
  const FormatResult r = detect(padded(z));
  EXPECT_EQ(r.completeness, kComplBad);
  EXPECT_EQ(r.length, second + 4);
}

TEST(Compound, InconsistentFatIsBad) {
  Bytes d = fmtbuild::compoundDocument(u"WordDocument");
  fmtbuild::putLe32(d, 512 + 4 * 5, 0x00500000);  // a chain link far outside the FAT
  const FormatResult r = detect(padded(d));
  EXPECT_EQ(r.identifier, kFmtDoc);
  EXPECT_EQ(r.completeness, kComplBad);
}

TEST(Compound, DeclinesAFatListThatDoesNotFitTheHeader) {
  Bytes d = fmtbuild::compoundDocument(u"WordDocument");
  fmtbuild::putLe32(d, 44, 200);  // 200 FAT sectors and no DIFAT
  const FormatResult r = detect(padded(d));
  EXPECT_NE(r.identifier, kFmtDoc);
  EXPECT_NE(r.identifier, kFmtMof);
}

TEST(Tar, MembersNotStartingWithDotSlashAreNotTar) {
  if (!Samples::get().ok()) GTEST_SKIP();
  Bytes t = sample("archive.tar");
  t[0] = 'x';
  EXPECT_NE(detect(padded(t)).identifier, kFmtTar);
}

TEST(TrueTypeTable, ControlCharacterInATagDeclines) {
  Bytes f = {0, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 0};
  fmtbuild::append(f, std::string("gl\x01"
                                  "f",
                                  4));
  fmtbuild::appendBe32(f, 0), fmtbuild::appendBe32(f, 28), fmtbuild::appendBe32(f, 100);
  EXPECT_NE(detect(padded(f)).identifier, kFmtTtf);
  f[14] = 'y';
  const FormatResult r = detect(padded(f));
  EXPECT_EQ(r.identifier, kFmtTtf);
  EXPECT_EQ(r.length, 128u);
}

// Text: lengths in whole 512-byte blocks, except a text that ends inside its first block.
Bytes words(std::size_t n) {
  static const std::string kText =
      "The quick brown fox jumps over the lazy dog while 42 zebras quietly vex a jumpy "
      "wizard; Pack my box with five dozen liquor jugs. ";
  std::string s;
  while (s.size() < n) s += kText;
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

struct TextCase {
  const char* name;
  Bytes data;
  std::uint32_t id;  // kFmtNone: not listed
  std::uint64_t length;
};
class TextTest : public ::testing::TestWithParam<TextCase> {};
TEST_P(TextTest, BlocksAndTags) {
  Bytes w = GetParam().data;
  w.resize(std::max<std::size_t>(w.size() + 1024, 2048), 0);
  const FormatResult r = detect(w);
  EXPECT_EQ(r.identifier, GetParam().id);
  if (GetParam().id != kFmtNone) EXPECT_EQ(r.length, GetParam().length);
}
Bytes tagged(const std::string& tag, std::size_t n) {
  Bytes b(tag.begin(), tag.end());
  const Bytes rest = words(n - tag.size());
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}
Bytes spaced() {
  Bytes b;
  for (int i = 0; i < 400; ++i) fmtbuild::append(b, "a ");
  return b;
}
INSTANTIATE_TEST_SUITE_P(
    Text, TextTest,
    ::testing::Values(TextCase{"FortyBytesNotListed", words(40), kFmtNone, 0},
                      TextCase{"ThreeHundredBytes", words(300), kFmtTxt, 300},
                      TextCase{"SixHundredBytesCountsOneBlock", words(600), kFmtTxt, 512},
                      TextCase{"ThreeBlocksAndABit", words(1600), kFmtTxt, 1536},
                      TextCase{"Html", tagged("  <html><body>", 700), kFmtHtm, 512},
                      TextCase{"Doctype", tagged("<!doctype html>", 300), kFmtHtm, 300},
                      TextCase{"Xml", tagged("<?xml version='1.0'?>", 300), kFmtXml, 300},
                      TextCase{"Rtf", tagged("{\\rtf1 ", 300), kFmtRtf, 300},
                      TextCase{"RepeatedFillerIsNotText", Bytes(1024, 'a'), kFmtNone, 0},
                      TextCase{"SpacedLettersAreNotText", spaced(), kFmtNone, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Text, LongWordIsNotText) {
  Bytes w = words(300);
  std::fill(w.begin() + 10, w.begin() + 80, 'x');
  w.resize(2048, 0);
  EXPECT_NE(detect(w).identifier, kFmtTxt);
}

// Detection order: the first signature that matches and accepts decides.
TEST(DetectOrder, DecliningRecogniserLetsTheOrderGoOn) {
  // "PK" that is neither a local header nor an end record: the ZIP walk declines, text takes it.
  Bytes b = words(700);
  b[0] = 'P', b[1] = 'K';
  b.resize(4096, 0);
  const FormatResult r = detect(b);
  EXPECT_EQ(r.identifier, kFmtTxt);
}

TEST(Detect, NothingInZeros) { EXPECT_EQ(detect(Bytes(4096, 0)).identifier, kFmtNone); }

}  // namespace

namespace {

// Writes one small sample of every format into $KVX_SEED_DIR, the seeds of fuzz_formats:
//   KVX_SEED_DIR=tests/fuzz/seeds/fuzz_formats test_deepscan \
//       --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzSeeds'
TEST(Seeds, DISABLED_WriteFuzzSeeds) {
  const char* dir = std::getenv("KVX_SEED_DIR");
  if (dir == nullptr || !Samples::get().ok()) GTEST_SKIP();
  std::map<std::string, Bytes> seeds = {
      {"riff.avi", fmtbuild::riff("AVI ", 64)},
      {"dos.exe", fmtbuild::dosExe(2, 10)},
      {"mui.dll", fmtbuild::peImage(true, true)},
      {"word.doc", fmtbuild::compoundDocument(u"WordDocument")},
      {"a.rar", fmtbuild::rar("a.txt", Bytes(40, 'a'))},
      {"a.chm", fmtbuild::chm(0x100)},
      {"a.hlp", fmtbuild::hlp(0x40)},
      {"a.wmv", fmtbuild::asf(true, true)},
      {"a.swf", fmtbuild::swf(16)},
      {"a.mov", fmtbuild::mov(32)},
      {"a.txt", words(700)},
  };
  for (const char* n : {"pic.png", "anim.gif", "pic.bmp", "icon.ico", "doc.pdf", "plain.zip",
                        "doc.docx", "files.cab", "photo.jpg"})
    seeds[n] = sample(n);
  Bytes tar = sample("archive.tar");
  tar.resize(std::min<std::size_t>(tar.size(), 4096));
  seeds["cut.tar"] = tar;
  Bytes wav = sample("tone.wav");
  wav.resize(512);
  seeds["cut.wav"] = wav;
  for (const auto& [name, bytes] : seeds) kvxtest::writeFile(fs::path(dir) / name, bytes);
}

}  // namespace
