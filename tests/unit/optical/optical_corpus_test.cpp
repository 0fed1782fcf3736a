// Published optical images (tests/fixtures/corpus: libcdio, util-linux blkid, isolyzer, DFTT 14)
// through kvx, against what their authors published about them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

fs::path corpus(const std::string& rel) {
  return kvxtest::sourceDir() / "tests/fixtures/corpus" / rel;
}

kvxtest::CommandResult kvx(const std::string& args) {
  return run(quote(kvxtest::cliPath().string()) + " " + args + " 2>&1");
}

/// Recovers everything of @p image below a fresh folder; the image must stay as it was.
fs::path recoverAll(const kvxtest::TempDir& dir, const fs::path& image) {
  const std::string before = kvxtest::md5File(image);
  const fs::path out = dir / image.stem().string();
  const auto r = kvx("recover " + quote(image.string()) + " --all --to " + quote(out.string()));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(image), before);
  return out;
}

std::string text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(OpticalCorpus, LibcdioJolietListingAndMultiExtentFiles) {
  kvxtest::TempDir dir("optical-libcdio");
  // iso-info's published listing: four files with these sizes.
  const auto l = kvx("scan " + quote(corpus("libcdio/joliet.iso").string()));
  for (const char* line : {" 17992 Excellent ", " Session 1/libcdio/COPYING\n", " 2156 Excellent ",
                           " Session 1/libcdio/README.libcdio\n", " 74 Excellent ",
                           " Session 1/libcdio/test/isofs-m1.cue\n"})
    EXPECT_NE(l.out.find(line), std::string::npos) << line << "\n" << l.out;
  EXPECT_NE(l.out.find("4 files (0 deleted)"), std::string::npos) << l.out;

  // A 54,305-byte file in seven extents, plain and Joliet; the padded image's session starts at
  // block 32 behind a copy of its descriptors at 16.
  for (const char* image : {"multi_extent_8k_joliet.iso", "multi_extent_8k_emul_toc_padded.iso"}) {
    const fs::path out = recoverAll(dir, corpus(std::string("libcdio/") + image));
    const fs::path file =
        out / "Session 1" /
        (std::string(image).find("joliet") != std::string::npos ? "multi_extent_file"
                                                                : "MULTI_EXTENT_FILE");
    EXPECT_EQ(kvxtest::md5File(file), "ee016c30365a290b32cc9c4401f1459d") << image;
  }
}

TEST(OpticalCorpus, UdfWithUnicodeNamesAndUdfBridges) {
  kvxtest::TempDir dir("optical-udf-corpus");
  const fs::path udf102 = recoverAll(dir, corpus("libcdio/udf102.iso"));
  EXPECT_EQ(fs::file_size(udf102 / "F\u00e9\u0436\u0398vrier"), 10u);
  // Bridge discs are read through UDF, which the engine tries first.
  const fs::path bridge = recoverAll(dir, corpus("libcdio/test-udf1.iso"));
  EXPECT_EQ(kvxtest::md5File(bridge / "COPYING"), "d32239bcb673463ab874e80d47fae504");
  EXPECT_EQ(kvxtest::md5File(bridge / "README"), "771f71ee99242e60428c0ae3a7ff5bbc");
  const fs::path imgburn = recoverAll(dir, corpus("isolyzer/is9660_udf_imgburn.iso"));
  EXPECT_EQ(kvxtest::md5File(imgburn / "nimbie.jpg"), "57e2a081e4556a0845b08f191f52fcaa");
  EXPECT_EQ(kvxtest::md5File(imgburn / "readme.txt"), "a83a79658e54781e2d68c835c5c29bdd");
}

TEST(OpticalCorpus, BlkidUdfFromManyAuthoringToolsAndGenisoimageSessions) {
  kvxtest::TempDir dir("optical-blkid");
  int images = 0;
  for (const auto& e : fs::directory_iterator(corpus("util-linux-blkid"))) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() != ".xz") continue;
    // The engine reads .udf and .iso images as optical media.
    const fs::path img = dir / (e.path().stem().stem().string() + ".udf");
    ASSERT_EQ(run("xz -dc " + quote(e.path().string()) + " > " + quote(img.string())).exitCode, 0);
    const auto r = kvx("scan " + quote(img.string()) + " --json");
    ++images;
    if (name.rfind("iso-multi", 0) == 0) {
      // Three genisoimage sessions of 174 blocks, no files: one folder each.
      const auto t = kvx("scan " + quote(img.string()));
      EXPECT_NE(t.out.find("0 files (0 deleted), 4 folders"), std::string::npos) << t.out;
      continue;
    }
    EXPECT_NE(r.out.find("UDF, Logical block size: "), std::string::npos) << name << ": " << r.out;
    if (name.rfind("udf-bdr-2.60-nero", 0) == 0)  // a virtual partition holding one file
      EXPECT_NE(r.out.find("\"name\":\"test.txt\""), std::string::npos) << r.out;
  }
  EXPECT_EQ(images, 22);
}

TEST(OpticalCorpus, DfttHierarchiesAndEndianness) {
  kvxtest::TempDir dir("optical-dftt");
  // The little-endian half of the both-endian extent field is the one read.
  const fs::path endian = recoverAll(dir, corpus("14-iso9660-1/iso-endian.iso"));
  EXPECT_EQ(text(endian / "Session 1" / "File1.txt"), "This tool shows little endian.\n");
  // The primary and the Joliet hierarchy name different files: both are listed.
  const auto r = kvx("scan " + quote(corpus("14-iso9660-1/iso-dirtree1.iso").string()));
  EXPECT_NE(r.out.find("FILE1.TXT"), std::string::npos) << r.out;  // primary names are upper case
  EXPECT_NE(r.out.find("File2.txt"), std::string::npos) << r.out;
}

TEST(OpticalCorpus, TruncatedImagesEndCleanly) {
  // Cut after the descriptors (files beyond the end), and inside the primary descriptor.
  const auto cut = kvx("scan " + quote(corpus("isolyzer/iso9660_trunc.iso").string()));
  EXPECT_EQ(cut.exitCode, 0) << cut.out;
  const auto nopvd = kvx("scan " + quote(corpus("isolyzer/iso9660_nopvd.iso").string()));
  EXPECT_NE(nopvd.out.find("Failed to recognize file system"), std::string::npos) << nopvd.out;
}

}  // namespace
