// Two more published FAT images, run end to end through kvx: a keyword-search volume with a
// deleted file, and a volume whose label entries own clusters (a JPEG hidden behind one of them).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

fs::path unpack(const kvxtest::TempDir& dir, const std::string& rel) {
  const fs::path src = kvxtest::sourceDir() / "tests/fixtures/corpus" / rel;
  const fs::path out = dir / src.stem().string();
  EXPECT_EQ(run("gzip -dc " + quote(src.string()) + " > " + quote(out.string())).exitCode, 0);
  return out;
}

kvxtest::CommandResult kvx(const std::string& args) {
  return run(quote(kvxtest::cliPath().string()) + " " + args + " 2>/dev/null");
}

TEST(FatCorpusKvx, KeywordImageRecoversEveryFileAsTheSleuthKitDoes) {
  kvxtest::TempDir dir("fat-kwsrch");
  const fs::path image = unpack(dir, "2-kwsrch-fat/fat-img-kw.dd.gz");
  ASSERT_EQ(kvxtest::md5File(image), "bac12239bd466fa6c86ceb0b0426da0a");
  const fs::path out = dir / "out";
  const auto r = kvx("recover " + quote(image.string()) + " --all --to " + quote(out.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("8 recovered, 0 failed"), std::string::npos) << r.out;
  // icat's checksums of the same files, from the image's published listing.
  const std::map<std::string, std::string> truth = {
      {"file1.dat", "a2481ef02d687bc07729e14833177983"},
      {"file2.dat", "40c595001424ee7b742fc1e2e79bd121"},
      {"file3.dat", "3b4865258334ba687fafb30610bbf299"},
      {"file4.dat", "d8a83057bbd6b20d2b833a8263e0a0b2"},
      {"_ILE5.DAT", "f37e45e0dae0681c39417e2bc21de0d5"},  // the deleted one
      {"file6.dat", "d474fb7b3f953df2747f6a3530aa91ce"},
      {"file7.dat", "5a01aac5447c8bf73c77f7df05ca5363"},
      {"second", "1427d0f75477cdf9d7122f53301b0900"},
  };
  for (const auto& [name, md5] : truth) EXPECT_EQ(kvxtest::md5File(out / name), md5) << name;
  EXPECT_EQ(kvxtest::md5File(image), "bac12239bd466fa6c86ceb0b0426da0a");
}

TEST(FatCorpusKvx, JpegBehindALabelEntryIsFoundByContent) {
  kvxtest::TempDir dir("fat-label");
  const fs::path image = unpack(dir, "9-fat-label/9-fat-label.dd.gz");
  ASSERT_EQ(kvxtest::md5File(image), "aa834dca822918de45792f4e115516b9");
  // Label entries are not files (the operating system skips them too), so their clusters are
  // free space to the deep scan, which finds the JPEG whole.
  const fs::path out = dir / "out";
  const auto r = kvx("recover " + quote(image.string()) + " --deep --pattern '*.jpg' --to " +
                     quote(out.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(out / "Files by content" / "jpg" / "file_103936.jpg"),
            "8aeca328aa6fbb7d2ec01f8c2f3e4bbd");
  // The deleted folder is listed.
  const auto listing = kvx("scan " + quote(image.string()) + " --json");
  EXPECT_NE(listing.out.find("\"name\":\"New Folder\""), std::string::npos);
  EXPECT_EQ(kvxtest::md5File(image), "aa834dca822918de45792f4e115516b9");
}

}  // namespace
