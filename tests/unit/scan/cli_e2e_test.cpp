// kvx scan and kvx recover end to end on a FAT image made with mkfs.fat and mtools: the JSON
// listing parses and shows the deleted files, recovered Excellent files equal the originals, and
// the image is not changed by either command.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/fs_dispatch.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

using kvxtest::quote;
using kvxtest::run;

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 97) & 0xFF);
  return v;
}

TEST(KvxUsage, ExitCodes) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  EXPECT_EQ(run(kvx + " scan 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan a b 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan --bogus x 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " recover x.img 2>/dev/null").exitCode, 2) << "no --to";
  EXPECT_EQ(run(kvx + " recover x.img --to /tmp --state great 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan /nonexistent/image.img 2>/dev/null").exitCode, 1);
}

TEST(KvxUsage, FailedScanStillWritesJson) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto r = run(kvx + " scan /nonexistent/image.img --json 2>/dev/null");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\"error\":{\"code\""), std::string::npos) << r.out;
}

class KvxFatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "mmd", "python3", "md5sum"}))
      GTEST_SKIP() << "mkfs.fat, mtools and python3 are needed";
    if (Fs_OfKind(kKindFat) == nullptr) GTEST_SKIP() << "the FAT scanner is not in this build";
    img = dir / "fat.img";
    const auto src = dir / "src";
    std::filesystem::create_directories(src);
    struct Item {
      const char* name;
      std::size_t size;
      bool remove;
    };
    const Item items[] = {{"KEEP.TXT", 3000, false},
                          {"GONE1.BIN", 5000, true},
                          {"DIR/GONE2.TXT", 1500, true},
                          {"Long file name.dat", 2500, true}};
    ASSERT_EQ(run("mkfs.fat -C -F 12 -i 1234ABCD -n KVXTEST --invariant " + quote(img.string()) +
                  " 1440 >/dev/null")
                  .exitCode,
              0);
    ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mmd -i " + quote(img.string()) + " ::/DIR").exitCode, 0);
    // Everything is copied before anything is deleted, so no deleted file's clusters or entries
    // are reused: every deleted file stays Excellent.
    unsigned seed = 1;
    for (const auto& item : items) {
      const auto local = src / ("f" + std::to_string(seed));
      kvxtest::writeFile(local, pattern(item.size, seed++));
      ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mcopy -i " + quote(img.string()) + " " +
                    quote(local.string()) + " " + quote(std::string("::/") + item.name))
                    .exitCode,
                0);
      if (item.remove) removed.insert(kvxtest::md5File(local));
    }
    for (const auto& item : items)
      if (item.remove)
        ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mdel -i " + quote(img.string()) + " " +
                      quote(std::string("::/") + item.name))
                      .exitCode,
                  0);
    md5Before = kvxtest::md5File(img);
  }

  kvxtest::TempDir dir{"kvx-e2e"};
  std::filesystem::path img;
  std::set<std::string> removed;  // md5 of every deleted original
  std::string md5Before;
};

TEST_F(KvxFatImage, ScanJsonListsDeletedFiles) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto json = dir / "scan.json";
  ASSERT_EQ(run(kvx + " scan " + quote(img.string()) + " --json > " + quote(json.string())).exitCode, 0);
  // python3 is the independent parser: one line per file, "deleted size state path".
  const auto r = run("python3 -c 'import json,sys\n"
                     "d=json.load(open(sys.argv[1]))\n"
                     "assert d[\"error\"][\"code\"]==0, d[\"error\"]\n"
                     "assert len(d[\"drives\"])==1\n"
                     "for f in d[\"files\"]:\n"
                     "  print(int(f[\"deleted\"]), f[\"size\"], f[\"stateName\"], f[\"path\"])' " +
                     quote(json.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  int deleted = 0, existing = 0;
  bool keep = false;
  while (std::getline(lines, line)) {
    if (line[0] == '1') ++deleted;
    else ++existing;
    if (line == "0 3000 Existing KEEP.TXT") keep = true;  // native path: relative, no letter
  }
  EXPECT_EQ(deleted, 3) << r.out;
  EXPECT_TRUE(keep) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), md5Before) << "scanning must not write to the image";
}

TEST_F(KvxFatImage, RecoverExcellentFilesByteIdentical) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto out = dir / "out";
  const auto r = run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
                     " --deleted --state excellent");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("3 recovered, 0 failed"), std::string::npos) << r.out;
  std::set<std::string> got;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out))
    if (e.is_regular_file()) got.insert(kvxtest::md5File(e.path()));
  EXPECT_EQ(got, removed);
  EXPECT_TRUE(std::filesystem::is_directory(out / "DIR")) << "folders below the root are kept";
  EXPECT_EQ(kvxtest::md5File(img), md5Before) << "recovery must not write to the image";

  // A second run into the same folder is refused (nothing piled up beside the first files) unless
  // --skip-existing or --overwrite says what to do; neither makes "name (2)" copies.
  const auto recoverAgain = [&](const std::string& flags) {
    return run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
               " --pattern '*.bin' " + flags + " 2>&1").out;
  };
  const std::string refused = recoverAgain("");
  EXPECT_NE(refused.find("--overwrite"), std::string::npos) << refused;
  EXPECT_NE(refused.find("--skip-existing"), std::string::npos) << refused;
  EXPECT_NE(recoverAgain("--skip-existing").find("0 recovered, 0 failed, 1 skipped"),
            std::string::npos);
  EXPECT_EQ(run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
                " --pattern '*.bin' --overwrite >/dev/null").exitCode, 0);
  // --json: one document, each file with its target; the summary goes to stderr.
  const auto json = dir / "recover.json";
  ASSERT_EQ(run(kvx + " recover " + quote(img.string()) + " --to " + quote((dir / "out2").string()) +
                " --pattern '*.DAT' --json > " + quote(json.string()))
                .exitCode,
            0);
  const auto parsed = run("python3 -c 'import json,sys,os\n"
                          "d=json.load(open(sys.argv[1]))\n"
                          "assert d[\"recovered\"]==1 and d[\"failed\"]==0, d\n"
                          "f=d[\"files\"][0]\n"
                          "assert f[\"recovered\"] and f[\"error\"] is None, f\n"
                          "print(os.path.basename(f[\"target\"]), os.path.getsize(f[\"target\"]))' " +
                          quote(json.string()));
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out;
  EXPECT_EQ(parsed.out, "Long file name.dat 2500\n");

  int numbered = 0;
  for (const auto& e : std::filesystem::directory_iterator(out))
    numbered += e.path().filename().string().find(" (2)") != std::string::npos;
  EXPECT_EQ(numbered, 0);
  std::set<std::string> again;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out))
    if (e.is_regular_file()) again.insert(kvxtest::md5File(e.path()));
  EXPECT_EQ(again, removed) << "the overwritten file is whole again";
}

}  // namespace

namespace {

// A destination inside a mount of the scanned image is refused before anything is written.
TEST(KvxRecoverDestination, RefusedOnTheScannedImage) {
  if (!kvxtest::haveTools({"mkntfs", "ntfs-3g", "umount"})) GTEST_SKIP() << "mkntfs and ntfs-3g needed";
  kvxtest::TempDir dir("kvx-refuse");
  const auto img = dir / "ntfs.img";
  const auto mnt = dir / "mnt";
  std::filesystem::create_directories(mnt);
  ASSERT_EQ(run("truncate -s 16M " + quote(img.string()) + " && mkntfs -F -Q -q -s 512 -c 4096 " +
                quote(img.string()) + " >/dev/null 2>&1")
                .exitCode,
            0);
  if (run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string()) + " 2>/dev/null").exitCode != 0)
    GTEST_SKIP() << "cannot mount with ntfs-3g here";
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto r = run(kvx + " recover " + quote(img.string()) + " --to " +
                     quote((mnt / "new" / "sub").string()) + " 2>&1");
  const bool created = std::filesystem::exists(mnt / "new");
  run("umount " + quote(mnt.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("refusing to write"), std::string::npos) << r.out;
  EXPECT_FALSE(created) << "nothing may be created on the source";
}

}  // namespace
