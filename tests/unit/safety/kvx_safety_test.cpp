// kvx against hostile destinations, damaged sources and odd command lines, end to end on images
// made here with mkfs.fat + mtools and mkntfs + ntfs-3g: nothing is written outside the
// destination, nothing incomplete is reported or left as recovered, and every failure exits 1
// with a message that says why.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

std::string kvx() { return quote(kvxtest::cliPath().string()); }

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 97) & 0xFF);
  return v;
}

bool mtools(const std::string& args) {
  return run("MTOOLS_SKIP_CHECK=1 " + args + " >/dev/null 2>&1").exitCode == 0;
}

std::set<std::string> filesBelow(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory() || e.is_symlink()) out.insert(e.path().lexically_relative(dir).string());
  return out;
}

// A FAT16 volume whose deleted files sit in two folders and include a 255-character long name.
class KvxHostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "mmd", "md5sum"})) return;
    s_dir = std::make_unique<kvxtest::TempDir>("kvx-hostile");
    s_img = *s_dir / "fat.img";
    const std::string img = quote(s_img.string());
    if (run("mkfs.fat -C -F 16 -i 1234ABCD -n HOSTILE --invariant " + img + " 16384 >/dev/null")
            .exitCode != 0)
      return;
    if (!mtools("mmd -i " + img + " ::/DIR") || !mtools("mmd -i " + img + " ::/SUB")) return;
    const std::string longName = std::string(251, 'L') + ".txt";
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"DIR/GONE.TXT", 5000}, {"SUB/ALSO.TXT", 3000}, {"KEEP.TXT", 2000}, {longName, 1234}};
    unsigned seed = 1;
    for (const auto& [name, size] : files) {
      const fs::path local = *s_dir / ("f" + std::to_string(seed));
      kvxtest::writeFile(local, pattern(size, seed++));
      s_md5.insert(kvxtest::md5File(local));
      if (!mtools("mcopy -i " + img + " " + quote(local.string()) + " " + quote("::/" + name)))
        return;
    }
    for (const char* gone : {"DIR/GONE.TXT", "SUB/ALSO.TXT"})
      if (!mtools("mdel -i " + img + " " + quote(std::string("::/") + gone))) return;
    if (!mtools("mdel -i " + img + " " + quote("::/" + longName))) return;
    s_ok = true;
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  void SetUp() override {
    if (!s_ok) GTEST_SKIP() << "mkfs.fat and mtools are needed";
  }

  static inline std::unique_ptr<kvxtest::TempDir> s_dir;
  static inline fs::path s_img;
  static inline std::set<std::string> s_md5;  // of every file written to the image
  static inline bool s_ok = false;
};

TEST_F(KvxHostile, PlantedLinksAndNamesNeverLeadOutsideTheDestination) {
  kvxtest::TempDir dir("kvx-dest");
  const fs::path dest = dir / "dest", elsewhere = dir / "elsewhere";
  fs::create_directories(dest);
  fs::create_directories(elsewhere);
  kvxtest::writeFile(elsewhere / "victim", {'k', 'e', 'e', 'p'});
  fs::create_symlink(elsewhere, dest / "DIR");                  // a folder replaced by a link
  kvxtest::writeFile(dest / "SUB", {'f'});                      // a folder name held by a file
  fs::create_symlink(elsewhere / "victim", dest / "KEEP.TXT");  // a file name held by a link
  const std::string longName = std::string(251, 'L') + ".txt";
  fs::create_symlink(elsewhere / "victim", dest / longName);    // the longest name held by a link
  const std::string md5Before = kvxtest::md5File(s_img);

  // Twice into the same non-empty folder with --overwrite (deleted short names lose their first
  // letter, as on disk): a link is never written through nor replaced, so a name it holds gets a
  // numbered copy, and the long name's numbered copy is cut to fit, not searched forever; a
  // regular file of an earlier run is replaced, not piled up. timeout stops a run that hangs
  // instead of the whole suite.
  for (int pass = 1; pass <= 2; ++pass) {
    const auto r = run("timeout 60 " + kvx() + " recover " + quote(s_img.string()) +
                       " --all --overwrite --to " + quote(dest.string()));
    ASSERT_EQ(r.exitCode, 0) << "pass " << pass << ": " << r.out;
    EXPECT_NE(r.out.find("4 recovered, 0 failed"), std::string::npos) << r.out;
    if (pass == 1) {
      EXPECT_NE(r.out.find("-> " + dest.string() + "/DIR (2)/_ONE.TXT"), std::string::npos)
          << "the output names where the file really went: " << r.out;
    }
  }
  EXPECT_EQ(kvxtest::readFile(elsewhere / "victim"),
            (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(filesBelow(elsewhere), (std::set<std::string>{"victim"}));
  const auto got = filesBelow(dest);
  for (const char* f : {"DIR", "SUB", "KEEP.TXT", "KEEP (2).TXT", "KEEP (3).TXT",
                        "DIR (2)/_ONE.TXT", "SUB (2)/_LSO.TXT"})
    EXPECT_EQ(got.count(f), 1u) << f;
  EXPECT_EQ(got.count("DIR (2)/_ONE (2).TXT"), 0u) << "--overwrite replaces, it does not pile up";
  EXPECT_EQ(got.count(std::string(247, 'L') + " (2).txt"), 1u);
  EXPECT_EQ(got.count(std::string(247, 'L') + " (3).txt"), 1u);
  EXPECT_EQ(got.size(), 10u);
  for (const auto& f : got) {
    if (f == "DIR" || f == "SUB" || f == "KEEP.TXT" || f == longName) continue;
    EXPECT_EQ(s_md5.count(kvxtest::md5File(dest / f)), 1u) << f << " is not byte-identical";
  }
  EXPECT_EQ(kvxtest::md5File(s_img), md5Before) << "recovery must not write to the image";
}

TEST_F(KvxHostile, FilesThatDoNotFitLeaveNothingBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  kvxtest::TempDir dir("kvx-full");
  const fs::path small = dir / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k") != 0) GTEST_SKIP() << "no tmpfs";
  const auto r = run(kvx() + " recover " + quote(s_img.string()) + " --to " +
                     quote((small / "out").string()) + " 2>&1");
  std::set<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(small / "out"))
    if (e.is_regular_file()) left.insert(kvxtest::md5File(e.path()));
  std::size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(small / "out"))
    count += e.is_regular_file();
  ::umount(small.c_str());
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("Unable to write to file."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("failed"), std::string::npos) << r.out;
  // Whatever is there is whole: no empty or cut file under a final name.
  for (const auto& m : left) EXPECT_EQ(s_md5.count(m), 1u) << "an incomplete file was left";
  EXPECT_EQ(left.size(), count);
}

TEST_F(KvxHostile, UnusableSourcesAndCommandLinesFailWithTheirReason) {
  kvxtest::TempDir dir("kvx-exit");
  // A volume nobody recognises (sectors per cluster 0): scan and recover fail.
  auto bytes = kvxtest::readFile(s_img);
  bytes[13] = 0;
  const fs::path bad = dir / "bad.img";
  kvxtest::writeFile(bad, bytes);
  auto r = run(kvx() + " scan " + quote(bad.string()) + " 2>&1");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("Failed to recognize file system."), std::string::npos) << r.out;
  r = run(kvx() + " recover " + quote(bad.string()) + " --to " + quote((dir / "o").string()) +
          " 2>&1");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("Failed to recognize file system."), std::string::npos) << r.out;

  // Sources that are no drive: the host layer's reason is in the message.
  r = run(kvx() + " scan " + quote(dir.path().string()) + " 2>&1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("cannot be used as a drive: " + dir.path().string() + ": "),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("(error 0x"), std::string::npos) << r.out;

  // An unreadable image: the message names it.
  const fs::path locked = dir / "locked.img";
  kvxtest::writeFile(locked, {0});
  ::chmod(locked.c_str(), 0);
  if (::geteuid() == 0 && kvxtest::haveTools({"setpriv"})) {
    r = run("setpriv --reuid=65534 --regid=65534 --clear-groups " + kvx() + " scan " +
            quote(locked.string()) + " 2>&1");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(locked.string()), std::string::npos) << r.out;
  }

  // recover --json says why in a document when the source fails, as scan does.
  r = run(kvx() + " recover /nonexistent.img --to " + quote((dir / "o").string()) +
          " --json 2>/dev/null");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\"error\":{\"code\""), std::string::npos) << r.out;

  // The destination is checked before the scan: a folder that cannot be made fails at once.
  kvxtest::writeFile(dir / "file", {'x'});
  r = run(kvx() + " recover " + quote(s_img.string()) + " --to " +
          quote((dir / "file" / "sub").string()) + " 2>&1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("cannot use"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Scanning"), std::string::npos) << "scanned before checking: " << r.out;

  // Contradicting or repeated options are usage errors.
  EXPECT_EQ(
      run(kvx() + " scan " + quote(s_img.string()) + " --save --no-save 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx() + " session resume --no-save --save 2>/dev/null").exitCode, 2);
  EXPECT_EQ(
      run(kvx() + " recover " + quote(s_img.string()) + " --to a --to b 2>/dev/null").exitCode, 2);

  // A FIFO under the session's name is not opened: info answers at once.
  const fs::path cwd = dir / "cwd";
  fs::create_directories(cwd);
  ASSERT_EQ(::mkfifo((cwd / "LastSession.Results").c_str(), 0600), 0);
  r = run("cd " + quote(cwd.string()) + " && timeout 20 " + kvx() + " session info 2>&1");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find("not a complete session file"), std::string::npos) << r.out;
}

// NTFS: data a run list describes is recovered whole or not at all.
TEST(KvxNtfsCompleteness, ShortSourcesFailAndClusterZeroIsData) {
  if (!kvxtest::haveTools({"mkntfs", "ntfs-3g", "ntfscp", "umount", "python3"}))
    GTEST_SKIP() << "mkntfs and ntfs-3g are needed";
  kvxtest::TempDir dir("kvx-ntfs-short");
  const fs::path img = dir / "ntfs.img", mnt = dir / "mnt";
  fs::create_directories(mnt);
  ASSERT_EQ(run("truncate -s 16M " + quote(img.string()) + " && mkntfs -F -Q -q -s 512 -c 4096 " +
                quote(img.string()) + " >/dev/null 2>&1")
                .exitCode,
            0);
  if (run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string()) + " 2>/dev/null").exitCode !=
      0)
    GTEST_SKIP() << "cannot mount with ntfs-3g here";
  kvxtest::writeFile(mnt / "big.bin", pattern(3000000, 9));
  run("sync; rm " + quote((mnt / "big.bin").string()));
  run("umount " + quote(mnt.string()));

  // $Boot's one run starts at cluster 0: it comes back as the volume's first 8 KiB.
  const fs::path whole = dir / "whole";
  auto r = run(kvx() + " recover " + quote(img.string()) + " --all --to " + quote(whole.string()) +
               " --pattern '$Boot'");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  auto boot = kvxtest::readFile(whole / "$Boot");
  auto head = kvxtest::readFile(img);
  head.resize(8192);
  EXPECT_EQ(boot, head);

  // Cut to 12 MiB: the deleted file's runs reach past the end, so it cannot be followed.
  auto bytes = kvxtest::readFile(img);
  bytes.resize(12u << 20);
  const fs::path cut = dir / "cut.img";
  kvxtest::writeFile(cut, bytes);
  r = run(kvx() + " scan " + quote(cut.string()) + " --tsv 2>/dev/null");
  EXPECT_NE(r.out.find("\tUnrecoverable\t0\t0\t"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\tExcellent\t0\t0\t"), std::string::npos) << r.out;

  // Cut to 8 MiB: what lies past the cut fails; every file reported recovered is whole.
  bytes.resize(8u << 20);
  kvxtest::writeFile(cut, bytes);
  const fs::path json = dir / "r.json";
  r = run(kvx() + " recover " + quote(cut.string()) + " --all --to " + quote((dir / "short").string()) +
          " --json > " + quote(json.string()) + " 2>/dev/null");
  EXPECT_EQ(r.exitCode, 1);
  const auto listing = run(kvx() + " scan " + quote(cut.string()) + " --json 2>/dev/null");
  kvxtest::writeFile(dir / "scan.json",
                     std::vector<std::uint8_t>(listing.out.begin(), listing.out.end()));
  const auto check =
      run("python3 -c 'import json,sys,os\n"
          "s={f[\"path\"]: f[\"size\"] for f in json.load(open(sys.argv[2]))[\"files\"]}\n"
          "d=json.load(open(sys.argv[1]))\n"
          "assert d[\"failed\"] > 0 and d[\"recovered\"] > 0, d\n"
          "for f in d[\"files\"]:\n"
          "  if f[\"recovered\"]:\n"
          "    assert os.path.getsize(f[\"target\"]) == s[f[\"path\"]], f\n"
          "print(\"ok\")' " +
          quote(json.string()) + " " + quote((dir / "scan.json").string()));
  EXPECT_EQ(check.out, "ok\n") << check.out;
}

}  // namespace
