// Published samples through the lost-folder and lost-volume paths: bare $MFT files from the
// dfir_ntfs project laid into an otherwise empty image (a lost MFT as the deep scan meets one),
// and its FAT images with deleted folders, whose deleted files must be listed as fls lists them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
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

std::string kvxJson(const fs::path& image, bool deep) {
  return run(quote(kvxtest::cliPath().string()) + " scan " + quote(image.string()) +
             (deep ? " --deep" : "") + " --json --path-style windows 2>/dev/null")
      .out;
}

/// An 8 MiB image holding @p mft at 1 MiB and nothing else.
fs::path lostMft(const kvxtest::TempDir& dir, const std::string& name) {
  const fs::path img = dir / (name + ".img");
  EXPECT_EQ(run("truncate -s 8M " + quote(img.string()) +
                " && dd if=" + quote(corpus("dfir_ntfs/" + name).string()) +
                " of=" + quote(img.string()) + " bs=1M seek=1 conv=notrunc status=none")
                .exitCode,
            0);
  return img;
}

TEST(LostMft, DeletedRecordKeepsItsFullPath) {
  kvxtest::TempDir dir("lost-mft-deleted");
  const std::string json = kvxJson(lostMft(dir, "deleted.mft"), true);
  EXPECT_NE(json.find(R"(\\1\\2\\3\\4\\file.txt","name":"file.txt")"), std::string::npos) << json;
}

TEST(LostMft, CompressedAndSparseFilesKeepTheirSizes) {
  kvxtest::TempDir dir("lost-mft-cs");
  const std::string json = kvxJson(lostMft(dir, "compressed_sparse.mft"), true);
  EXPECT_NE(json.find(R"("name":"compressed.txt","folder":)"), std::string::npos);
  EXPECT_TRUE(
      std::regex_search(json, std::regex(R"("name":"compressed.txt","folder":\d+,"size":22308,)")));
  EXPECT_TRUE(
      std::regex_search(json, std::regex(R"("name":"sparse","folder":\d+,"size":1048582,)")));
}

TEST(LostMft, OrphanSampleListsWhatItsPublishedListingHolds) {
  kvxtest::TempDir dir("lost-mft-orphan");
  const std::string json = kvxJson(lostMft(dir, "orphan.mft"), true);
  // Every user entry of the published listing (system files aside), by its path.
  const std::string fls = run("cat " + quote(corpus("dfir_ntfs/orphan.fls").string())).out;
  std::size_t checked = 0;
  static const std::regex line(R"(^(r/r|d/d) [0-9-]+:\t([^\t$][^\t]*)\t)");
  std::istringstream in(fls);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    std::string path = m[2];
    for (std::size_t at = 0; (at = path.find('/', at)) != std::string::npos; at += 2)
      path.replace(at, 1, "\\\\");
    EXPECT_NE(json.find("\\\\" + path + "\""), std::string::npos) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 5u);
}

/// Names of the deleted files fls lists (orphans included), with how often each occurs.
std::map<std::string, int> flsDeleted(const fs::path& image) {
  std::map<std::string, int> out;
  const std::string text = run("fls -r -d -p " + quote(image.string())).out;
  static const std::regex line(R"(^[-r]/r \* \d+(?:\(realloc\))?:\t(.*)$)");
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    const std::string path = m[1];
    ++out[path.substr(path.rfind('/') + 1)];
  }
  return out;
}

std::map<std::string, int> kvxDeleted(const std::string& json) {
  std::map<std::string, int> out;
  static const std::regex file(R"re("name":"([^"]*)","folder":\d+,"size":\d+,"deleted":true)re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), file); it != std::sregex_iterator();
       ++it)
    ++out[(*it)[1]];
  return out;
}

class DeletedFolders : public ::testing::TestWithParam<const char*> {};
TEST_P(DeletedFolders, EveryDeletedFileFlsListsIsListed) {
  if (!kvxtest::haveTools({"fls"})) GTEST_SKIP();
  kvxtest::TempDir dir("lost-fat-corpus");
  const fs::path img = dir / "fat.raw";
  ASSERT_EQ(run("gzip -dc " + quote(corpus(std::string("dfir_ntfs-fat/") + GetParam()).string()) +
                " > " + quote(img.string()))
                .exitCode,
            0);
  const auto theirs = flsDeleted(img);
  const auto ours = kvxDeleted(kvxJson(img, false));
  ASSERT_FALSE(theirs.empty());
  for (const auto& [name, count] : theirs) {
    const auto it = ours.find(name);
    EXPECT_GE(it == ours.end() ? 0 : it->second, count) << name;
  }
}
INSTANTIATE_TEST_SUITE_P(Dfir, DeletedFolders,
                         ::testing::Values("fat_deleted_dir.raw.gz", "fat_deleted_dir_2.raw.gz"));

}  // namespace
