// A Windows XP NTFS volume with deleted files, a deleted alternate stream, deleted folders and a
// file whose parent folder's record was reused, checked against the image author's published
// names, sizes and MD5s (tests/fixtures/corpus/7-ntfs-undel/README.txt).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "ntfs_engine_util.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kImageMd5 = "e7dbb96759d9cd62b729463ebfe61dab";

class NtfsDftt7 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<kvxtest::TempDir>("ntfs-dftt7");
    s_image = (*s_dir / "7-ntfs-undel.dd").string();
    const fs::path packed = kvxtest::sourceDir() / "tests" / "fixtures" / "corpus" /
                            "7-ntfs-undel" / "7-ntfs-undel.dd.gz";
    kvxtest::run("gunzip -c " + kvxtest::quote(packed.string()) + " > " +
                 kvxtest::quote(s_image));
    s_scan = std::make_unique<ntfstest::ImageScan>(s_image);
    for (const auto& f : s_scan->files()) s_files[f.path] = f;
  }
  static void TearDownTestSuite() {
    s_scan.reset();
    s_files.clear();
    s_dir.reset();
  }

  /// Recovers @p f into a fresh folder under its own name; returns that path.
  static fs::path recover(const ntfstest::Listed& f) {
    const fs::path folder = *s_dir / ("out" + std::to_string(f.index));
    fs::create_directories(folder);
    const fs::path target = folder / f.name;
    if (!s_scan->recover(f.index, target.string())) return {};
    return target;
  }

  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline std::string s_image;
  static inline std::unique_ptr<ntfstest::ImageScan> s_scan;
  static inline std::map<std::string, ntfstest::Listed> s_files;
};

struct Published {
  const char* path;  // where the scanner lists it
  std::uint64_t record;
  std::uint64_t size;
  const char* md5;
};

class NtfsDftt7Deleted : public NtfsDftt7, public ::testing::WithParamInterface<Published> {};

TEST_P(NtfsDftt7Deleted, ListedWithItsSizeAndRecovered) {
  ASSERT_TRUE(s_scan->scanned());
  const auto& p = GetParam();
  const auto it = s_files.find(p.path);
  ASSERT_NE(it, s_files.end()) << p.path << " not listed";
  const auto& f = it->second;
  EXPECT_FALSE(f.existing);
  EXPECT_EQ(f.recordNumber, p.record);
  EXPECT_EQ(f.size, p.size);
  const fs::path target = recover(f);
  ASSERT_FALSE(target.empty()) << "recovery of " << p.path << " failed";
  EXPECT_EQ(fs::file_size(target), p.size);
  EXPECT_EQ(kvxtest::md5File(target), p.md5);
}

// sing2.dat lived in \dir3, whose record 37 now holds res1.dat: its parent reference leads
// nowhere valid, so it lands in a stand-in folder named after that record under
// "Unknown location".
INSTANTIATE_TEST_SUITE_P(
    Published, NtfsDftt7Deleted,
    ::testing::Values(
        Published{"res1.dat", 37, 101, "9036637712b491904cd0bfbdbe648453"},
        Published{"sing1.dat", 31, 780, "59b20779f69ff9f0ac5fcd2c38835a79"},
        Published{"mult1.dat", 32, 3801, "ffd27bd782bdce67750b6b9ee069d2ef"},
        Published{"frag1.dat", 29, 1584, "7a3bc5b763bef201202108f4ba128149"},
        Published{"frag2.dat", 30, 3873, "0e80ab84ef0087e60dfc67b88a1cf13e"},
        Published{"dir1/mult2.dat", 36, 1715, "59cf0e9cd107bc1e75afb7374f6e05bb"},
        Published{"dir1/dir2/frag3.dat", 35, 2027, "21121699487f3fbbdb9a4b3391b6d3e0"},
        Published{"Unknown location/Folder37/sing2.dat", 38, 1005,
                  "c229626f6a71b167ad7e50c4f2fccdb1"}),
    [](const auto& info) { return "Record" + std::to_string(info.param.record); });

TEST_F(NtfsDftt7, DeletedStreamIsListedAndRecoveredBesideItsFile) {
  ASSERT_TRUE(s_files.count("mult1.dat"));
  const auto& f = s_files["mult1.dat"];
  const auto streams = NTFS_ListStreams(s_scan->engine(), Storage_File(s_scan->engine(), f.index));
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].name, u"ADS");
  EXPECT_EQ(streams[0].size, 1234u);
  EXPECT_FALSE(streams[0].resident);
  const fs::path target = recover(f);
  ASSERT_FALSE(target.empty());
  const fs::path stream = target.parent_path() / "mult1.dat:ADS";
  ASSERT_TRUE(fs::exists(stream));
  EXPECT_EQ(kvxtest::md5File(stream), "ba1b9eedb1c091ddca253d35dde8f616");
}

TEST_F(NtfsDftt7, DeletedFoldersAndTheOrphanPlacement) {
  std::map<std::string, std::uint32_t> flags;
  for (std::uint32_t i = 0; i < s_scan->engine()->folderCount.load(); ++i)
    flags[s_scan->folderPath(i)] = Storage_Folder(s_scan->engine(), i)->flags.get();
  ASSERT_TRUE(flags.count("dir1/"));
  ASSERT_TRUE(flags.count("dir1/dir2/"));
  EXPECT_TRUE(flags["dir1/"] & kFolderDeleted);
  EXPECT_TRUE(flags["dir1/dir2/"] & kFolderDeleted);
  // The reused record is not taken for a folder: no "res1.dat/" and no "dir3/" under the root.
  EXPECT_FALSE(flags.count("res1.dat/"));
  EXPECT_FALSE(flags.count("dir3/"));
  EXPECT_TRUE(flags.count("Unknown location/Folder37/"));
}

TEST_F(NtfsDftt7, ScanAndRecoveryLeaveTheImageUnchanged) {
  ASSERT_TRUE(s_scan->scanned());
  for (const auto& [path, f] : s_files) {
    if (!f.existing) (void)recover(f);
  }
  EXPECT_EQ(kvxtest::md5File(s_image), kImageMd5);
}

}  // namespace
