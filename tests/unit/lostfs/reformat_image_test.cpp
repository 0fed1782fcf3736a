// Reformatted volumes made with the real tools: a populated FAT32 or NTFS volume formatted again
// (same or other cluster size, FAT over NTFS, NTFS over FAT), some of it then overwritten by a
// new file. The earlier files must be listed with their names, folders and sizes, recovered byte
// for byte where their clusters survive, and never called Excellent where they do not.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

std::vector<std::uint8_t> content(std::uint64_t seed, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
  for (auto& b : out) {
    x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
    b = static_cast<std::uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

// The earlier volume's files: path below its root and size.
const std::vector<std::pair<std::string, std::size_t>> kOld = {
    {"docs/report.bin", 4000},  {"docs/budget.bin", 15000}, {"docs/sub/notes.bin", 6000},
    {"pics/a.bin", 70000},      {"pics/b.bin", 8000},       {"top.bin", 9000},
    {"pics/large.bin", 300000},
};

struct Scenario {
  const char* name;
  const char* before;  // makes and fills the earlier volume from $SRC into $IMG
  const char* after;   // formats it again and writes a little to the new volume
  const char* under;   // where the earlier tree is listed
  std::size_t minWhole;
  bool rootKept;  // the earlier root folder survives: its files and folder names are listed
  bool overwrites = false;  // the new volume's file lands on earlier files
};

// $IMG, $SRC and $MNT are set by the test; mtools and ntfs-3g write the files.
constexpr const char* kFatFill =
    "mkfs.fat -C -F 32 -s 1 -i 1234ABCD --invariant $IMG 131072 >/dev/null && "
    "mmd -i $IMG ::/docs ::/docs/sub ::/pics && "
    "mcopy -i $IMG $SRC/docs/report.bin $SRC/docs/budget.bin ::/docs/ && "
    "mcopy -i $IMG $SRC/docs/sub/notes.bin ::/docs/sub/ && "
    "mcopy -i $IMG $SRC/pics/a.bin $SRC/pics/b.bin $SRC/pics/large.bin ::/pics/ && "
    "mcopy -i $IMG $SRC/top.bin ::/";
constexpr const char* kNtfsFill =
    "truncate -s 64M $IMG && mkntfs -F -Q -q -s 512 -c 4096 $IMG 2>/dev/null && "
    "ntfs-3g $IMG $MNT && trap 'umount $MNT 2>/dev/null || true' EXIT && "
    "for i in $(seq 1 150); do echo $i > $MNT/pad$i; done && "  // later records past a new FAT
    "cp -r $SRC/docs $SRC/pics $SRC/top.bin $MNT/ && umount $MNT";

const Scenario kScenarios[] = {
    {"FatSameClusterSize", kFatFill, "mkfs.fat -F 32 -s 1 -i 5678ABCD --invariant $IMG >/dev/null",
     "Unknown location", 6, false},
    {"FatOtherClusterSize", kFatFill,
     "mkfs.fat -F 32 -s 2 -i 5678ABCD --invariant $IMG >/dev/null && head -c 200000 /dev/zero | "
     "tr '\\0' 'N' > $SRC/new.bin && mcopy -i $IMG $SRC/new.bin ::/new.bin",
     "Before format/FAT", 7, true},
    {"NtfsQuickFormat", kNtfsFill,
     "mkntfs -F -Q -q -s 512 -c 4096 $IMG 2>/dev/null && head -c 200000 /dev/zero | tr '\\0' 'N' "
     "> $SRC/new.bin && ntfs-3g $IMG $MNT && cp $SRC/new.bin $MNT/ && umount $MNT",
     "Before format/NTFS", 5, true, true},
    {"FatOverNtfs", kNtfsFill, "mkfs.fat -F 16 -s 8 -i 5678ABCD --invariant $IMG >/dev/null",
     "Before format/NTFS", 7, true},
    {"NtfsOverFat", kFatFill, "mkntfs -F -Q -q -s 512 -c 4096 $IMG 2>/dev/null",
     "Before format/FAT", 7, true},
};

struct Listed {
  std::string path;
  std::uint64_t size = 0;
  int state = -1;
};

/// Deleted files of `kvx scan --json`, by name.
std::multimap<std::string, Listed> deletedFiles(const std::string& json) {
  std::multimap<std::string, Listed> out;
  static const std::regex file(
      R"re(\{"index":\d+,"path":"([^"]*)","name":"([^"]*)","folder":\d+,"size":(\d+),"deleted":true,"state":(\d+))re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), file); it != std::sregex_iterator();
       ++it) {
    Listed l;
    l.path = (*it)[1];
    l.size = std::stoull((*it)[3]);
    l.state = std::stoi((*it)[4]);
    out.emplace((*it)[2], l);
  }
  return out;
}

/// "D:\\a\\b" (as JSON escapes it, with --path-style windows) or "a/b" to "a/b".
std::string relative(std::string p) {
  std::string r;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '\\') {
      if (i + 1 < p.size() && p[i + 1] == '\\') ++i;
      r += '/';
    } else {
      r += p[i];
    }
  }
  if (r.size() < 2 || r[1] != ':') return r;  // already native
  const auto slash = r.find('/');
  return slash == std::string::npos ? r : r.substr(slash + 1);
}

class Reformat : public ::testing::TestWithParam<Scenario> {};

TEST_P(Reformat, EarlierFilesAreListedAndRecoveredHonestly) {
  if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mkntfs", "ntfs-3g"})) GTEST_SKIP();
  const Scenario& sc = GetParam();
  kvxtest::TempDir dir(std::string("reformat-") + sc.name);
  const fs::path img = dir / "vol.img", src = dir / "src", mnt = dir / "mnt";
  fs::create_directories(mnt);
  std::map<std::string, std::vector<std::uint8_t>> originals;
  std::uint64_t seed = 1;
  for (const auto& [path, size] : kOld) {
    fs::create_directories((src / path).parent_path());
    originals[fs::path(path).filename().string()] = content(seed++, size);
    kvxtest::writeFile(src / path, originals[fs::path(path).filename().string()]);
  }
  const std::string env = "set -e; export MTOOLS_SKIP_CHECK=1 IMG=" + quote(img.string()) +
                          " SRC=" + quote(src.string()) + " MNT=" + quote(mnt.string()) + "; ";
  ASSERT_EQ(run("bash -c " + quote(env + sc.before)).exitCode, 0);
  ASSERT_EQ(run("bash -c " + quote(env + sc.after)).exitCode, 0);

  const std::string kvx = quote(kvxtest::cliPath().string());
  const std::string before = kvxtest::md5File(img);
  const auto listing = run(kvx + " scan " + quote(img.string()) + " --deep --json 2>/dev/null");
  const auto files = deletedFiles(listing.out);
  const fs::path out = dir / "out";
  const auto r = run(kvx + " recover " + quote(img.string()) + " --deep --deleted --to " +
                     quote(out.string()) + " 2>/dev/null");
  EXPECT_EQ(kvxtest::md5File(img), before);  // read-only

  // All finds of one lost FAT file system share one table entry and one folder.
  std::size_t fatFolders = 0;
  for (std::size_t at = 0; (at = listing.out.find(R"("name":"FAT0)", at)) != std::string::npos;
       ++at)
    ++fatFolders;
  EXPECT_LE(fatFolders, 1u);

  std::size_t whole = 0, damaged = 0;
  for (const auto& [path, size] : kOld) {
    const std::string name = fs::path(path).filename().string();
    // The new root is written where the earlier one was: its entries are gone, and the folders
    // they named are listed by number.
    if (!sc.rootKept && path.find('/') == std::string::npos) continue;
    const auto range = files.equal_range(name);
    ASSERT_NE(range.first, range.second) << name << " is not listed\n"
                                         << listing.out.substr(0, 4000);
    bool found = false;
    for (auto it = range.first; it != range.second; ++it) {
      const Listed& l = it->second;
      const std::string rel = relative(l.path);
      if (rel.find(sc.under) == std::string::npos) continue;
      found = true;
      EXPECT_EQ(l.size, size) << l.path;
      // The folders keep their names below the top one.
      const std::string folder = fs::path(path).parent_path().filename().string();
      if (folder == "sub")
        EXPECT_NE(rel.find(sc.rootKept ? "docs/sub/notes.bin" : "/sub/notes.bin"),
                  std::string::npos)
            << rel;
      const auto got = kvxtest::readFile(out / rel);
      const bool same = got == originals[name];
      whole += same ? 1 : 0;
      damaged += same ? 0 : 1;
      if (l.state == 4) EXPECT_TRUE(same) << l.path << " is called Excellent but differs";
    }
    EXPECT_TRUE(found) << name << " is not under " << sc.under;
  }
  EXPECT_GE(whole, sc.minWhole) << r.out;
  if (sc.overwrites) EXPECT_GE(damaged, 1u);  // and none of those was called Excellent
}

INSTANTIATE_TEST_SUITE_P(Volumes, Reformat, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
