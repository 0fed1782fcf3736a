// Orphan FAT folders on images made with mkfs.fat and mtools: a folder tree is deleted and new
// files reuse part of its clusters, so some folders lose their own entry. Every deleted file that
// tsk_recover gets back whole must come back whole from `kvx recover --deleted` too (compared by
// content: the two name orphan paths differently). Random free space must not become folders.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

std::vector<std::uint8_t> content(std::uint64_t seed, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : out) {
    x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
    b = static_cast<std::uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

/// Contents of every regular file below @p dir.
std::multiset<std::vector<std::uint8_t>> contentsOf(const fs::path& dir) {
  std::multiset<std::vector<std::uint8_t>> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.insert(kvxtest::readFile(e.path()));
  return out;
}

struct ChurnCase {
  const char* name;
  const char* mkfs;  // mkfs.fat arguments before the image
  int kib;
};

class OrphanChurn : public ::testing::TestWithParam<ChurnCase> {};

// Folders grow while files are added between their clusters, so a folder's clusters are spread
// out; the whole tree is deleted and new files take the lowest free clusters, the deleted
// folders' first ones among them.
TEST_P(OrphanChurn, RecoversEveryIntactFileTheSleuthKitRecovers) {
  if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdeltree", "tsk_recover"})) GTEST_SKIP();
  const ChurnCase& c = GetParam();
  kvxtest::TempDir dir(std::string("orphan-") + c.name);
  const fs::path img = dir / "churn.img", src = dir / "src";
  fs::create_directories(src);
  std::set<std::vector<std::uint8_t>> originals;
  int serial = 0;
  auto make = [&](std::size_t size) {
    const fs::path p = src / ("f" + std::to_string(serial) + "_with_a_long_name.bin");
    auto bytes = content(static_cast<std::uint64_t>(++serial), size);
    kvxtest::writeFile(p, bytes);
    originals.insert(std::move(bytes));
    return " " + quote(p.string());
  };
  const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
  const std::string i = " -i " + quote(img.string()) + " ";
  std::string script = "set -e; mkfs.fat -C " + std::string(c.mkfs) + " -i 1234ABCD --invariant " +
                       quote(img.string()) + " " + std::to_string(c.kib) + " >/dev/null; ";
  script += mt + "mmd" + i + "::/keep ::/old ::/old/a ::/old/a/b ::/old/c; ";
  for (int round = 0; round < 6; ++round) {
    for (const char* d : {"::/old", "::/old/a", "::/old/a/b", "::/old/c", "::/keep"}) {
      script += mt + "mcopy" + i;
      for (int k = 0; k < 4; ++k) script += make(700 + static_cast<std::size_t>(serial % 7) * 1300);
      script += " " + std::string(d) + "/; ";
    }
  }
  script += mt + "mdeltree" + i + "::/old; ";
  script += mt + "mcopy" + i;
  for (int k = 0; k < 12; ++k) script += make(1500);
  script += " ::/; ";
  ASSERT_EQ(run(script).exitCode, 0);

  const fs::path tsk = dir / "tsk", kvx = dir / "kvx";
  ASSERT_EQ(run("tsk_recover " + quote(img.string()) + " " + quote(tsk.string()) + " >/dev/null")
                .exitCode,
            0);
  const std::string before = kvxtest::md5File(img);
  const auto r = run(quote(kvxtest::cliPath().string()) + " recover " + quote(img.string()) +
                     " --deleted --to " + quote(kvx.string()) + " 2>/dev/null");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), before);  // read-only

  std::size_t intact = 0;
  const auto ours = contentsOf(kvx);
  std::size_t missing = 0;
  for (const auto& bytes : contentsOf(tsk)) {
    if (originals.count(bytes) == 0) continue;  // damaged in TSK's copy too: not a whole file
    ++intact;
    if (ours.count(bytes) == 0) ++missing;
  }
  EXPECT_EQ(missing, 0u) << "of " << intact << " files tsk_recover recovers whole";
  EXPECT_GT(intact, 20u);
  // The scenario really has folders without an entry, and they are found.
  EXPECT_TRUE(fs::is_directory(kvx / "Unknown location")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Fat, OrphanChurn,
                         ::testing::Values(ChurnCase{"Fat16", "-F 16 -s 2", 32768},
                                           ChurnCase{"Fat32", "-F 32 -s 1", 65536}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OrphanRandom, RandomFreeSpaceMakesNoFolders) {
  if (!kvxtest::haveTools({"mkfs.fat", "mcopy"})) GTEST_SKIP();
  kvxtest::TempDir dir("orphan-random");
  const fs::path img = dir / "random.img";
  // mkfs.fat leaves the data area as it was: random bytes in every free cluster.
  kvxtest::writeFile(img, content(77, 48u << 20));
  kvxtest::writeFile(dir / "a.bin", content(78, 5000));
  ASSERT_EQ(run("mkfs.fat -F 32 -s 1 -i 1234ABCD --invariant " + quote(img.string()) +
                " >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " + quote(img.string()) + " " +
                quote((dir / "a.bin").string()) + " ::/a.bin")
                .exitCode,
            0);
  const auto r = run(quote(kvxtest::cliPath().string()) + " scan " + quote(img.string()) +
                     " --json 2>/dev/null");
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.find("Unknown location"), std::string::npos);
  EXPECT_NE(r.out.find("\"name\":\"a.bin\""), std::string::npos);
}

}  // namespace
