// Content checks that decode: JPEG scans (baseline, progressive, restart intervals, grey) made by
// ImageMagick, and ZIP archives made by zip with deflated members. A whole file is valid; a file
// cut, followed by noise, or damaged inside its coded data breaks close to where the damage is.
#include <gtest/gtest.h>

#include <string>

#include "deepscan/deepscan.h"
#include "deepscan_test_util.h"

namespace {

using dstest::Bytes;

class ContentCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<kvxtest::TempDir>("content-check");
    s_ok = kvxtest::haveTools({"convert", "zip"}) &&
           dstest::sh(s_dir->path(),
                      "convert -seed 3 -size 320x240 plasma:fractal -quality 85 base.jpg && "
                      "convert base.jpg -interlace JPEG progressive.jpg && "
                      "convert base.jpg -define jpeg:restart-interval=2 restart.jpg && "
                      "convert base.jpg -sampling-factor 1x1 s444.jpg && "
                      "convert -seed 4 -size 123x77 plasma:fractal -colorspace Gray grey.jpg && "
                      "convert -seed 5 -size 333x211 plasma:fractal -sampling-factor 2x2 "
                      "-interlace JPEG odd.jpg && "
                      "convert -seed 6 -size 200x150 plasma:fractal a.bmp && "
                      "zip -q -X -9 a.zip a.bmp base.jpg");
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  void SetUp() override {
    if (!s_ok) GTEST_SKIP() << "ImageMagick or zip missing";
  }
  static Bytes file(const char* name) { return kvxtest::readFile(s_dir->path() / name); }
  static FormatCheck check(const Bytes& b) {
    FormatCheck c;
    EXPECT_TRUE(FileFormat_Validate(b, c));
    return c;
  }

  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline bool s_ok = false;
};

TEST_F(ContentCheckTest, JpegScansDecodeWholeAndBreakWhereTheDataStopsBeingTheImages) {
  for (const char* name :
       {"base.jpg", "progressive.jpg", "restart.jpg", "s444.jpg", "grey.jpg", "odd.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes whole = file(name);
    std::uint64_t end = 0;
    ASSERT_EQ(FileFormat_DecodeJpeg(whole, end), JpegDecode::Whole);
    EXPECT_EQ(end, whole.size());
    EXPECT_EQ(check(whole).verdict, FormatVerdict::Valid);

    // Cut at 60 %, then at 60 % followed by noise (a fragment that continues elsewhere): broken,
    // within a little of the cut and never past it by more than a few blocks.
    const std::size_t cut = whole.size() * 6 / 10;
    Bytes shortFile(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    FormatCheck c = check(shortFile);
    EXPECT_EQ(c.verdict, FormatVerdict::Broken);
    EXPECT_LE(c.good, cut);
    EXPECT_GT(c.good, cut / 2);
    Bytes noisy = shortFile;
    const Bytes tail = dstest::noise(whole.size() - cut, 11);
    noisy.insert(noisy.end(), tail.begin(), tail.end());
    ASSERT_EQ(noisy.size(), whole.size());
    c = check(noisy);
    EXPECT_EQ(c.verdict, FormatVerdict::Broken);
    EXPECT_LE(c.good, cut + 2048);
    EXPECT_GT(c.good, cut / 2);
  }
}

TEST_F(ContentCheckTest, JpegWithForeignDataInsideItsScanIsBroken) {
  // The same length, markers intact, but a stretch of coded data replaced (a cluster of another
  // file, or one never written): only decoding the scan sees it, within a few blocks.
  const Bytes whole = file("base.jpg");
  const std::size_t at = whole.size() / 2;
  Bytes b = whole;
  const Bytes other = dstest::noise(512, 5);
  std::copy(other.begin(), other.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  std::uint64_t end = 0;
  EXPECT_EQ(FileFormat_DecodeJpeg(b, end), JpegDecode::Broken);
  EXPECT_LE(end, at + 512 + 1024);
  EXPECT_GT(end, at / 2);
  EXPECT_EQ(check(b).verdict, FormatVerdict::Broken);
  b = whole;
  std::fill(b.begin() + static_cast<std::ptrdiff_t>(at),
            b.begin() + static_cast<std::ptrdiff_t>(at + 512), 0);
  EXPECT_EQ(FileFormat_DecodeJpeg(b, end), JpegDecode::Broken);
  EXPECT_LE(end, at + 512);
  EXPECT_GT(end, at / 2);
}

TEST_F(ContentCheckTest, JpegCodingsTheDecoderDoesNotTakeAreNotCalledBroken) {
  // An arithmetic-coded frame header (SOF9) in front of otherwise valid data.
  Bytes b = file("base.jpg");
  for (std::size_t i = 2; i + 1 < b.size(); ++i) {
    if (b[i] == 0xFF && b[i + 1] == 0xC0) {
      b[i + 1] = 0xC9;
      break;
    }
  }
  std::uint64_t end = 0;
  EXPECT_EQ(FileFormat_DecodeJpeg(b, end), JpegDecode::Unsupported);
}

TEST_F(ContentCheckTest, DeflatedZipMembersInflateToTheirCrc) {
  const Bytes whole = file("a.zip");
  ASSERT_EQ(whole[8], 8) << "first member deflated";
  EXPECT_EQ(check(whole).verdict, FormatVerdict::Valid);
  // One byte of the first member's compressed data changed: headers and directory still agree,
  // but the member no longer inflates to its CRC.
  Bytes bad = whole;
  const std::size_t data = 30u + bad[26] + (bad[27] << 8) + bad[28] + (bad[29] << 8);
  bad[data + 100] ^= 0x5A;
  const FormatCheck c = check(bad);
  EXPECT_EQ(c.verdict, FormatVerdict::Broken);
  EXPECT_EQ(c.good, data);
}

}  // namespace
