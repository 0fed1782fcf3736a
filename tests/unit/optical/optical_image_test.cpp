// Optical images end to end through kvx: multisession ISO 9660 images made with xorriso (files
// removed and replaced between sessions, Joliet and plain names, Rock Ridge present), UDF images
// from genisoimage and mkudffs edited where no tool goes (a deleted identifier, embedded data, a
// lost directory), damaged media, and the volume records the session file keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/cached_drive.h"
#include "host/host.h"
#include "optical/cdfs.h"
#include "optical/udf.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

struct Listed {
  std::uint64_t size = 0;
  bool deleted = false;
  std::int64_t offset = -1;  // where its data starts in the image; -1 for none
};
using Listing = std::map<std::string, Listed>;  // "Session 1/a.txt" (drive letter dropped)

std::string kvx() { return quote(kvxtest::cliPath().string()); }

/// kvx scan --json of @p image, as path -> (size, deleted).
Listing listing(const fs::path& image, const std::string& flags = "") {
  const auto r =
      run(kvx() + " scan " + quote(image.string()) + " --json --path-style windows " + flags +
          " 2>/dev/null | python3 -c 'import json,sys\n"
          "for f in json.load(sys.stdin)[\"files\"]:\n"
          "  p=f[\"path\"].split(\"\\\\\",1)[1].replace(\"\\\\\",\"/\")\n"
          "  print(\"%s\\t%d\\t%d\\t%d\" % (p, f[\"size\"], f[\"deleted\"],"
          " f.get(\"offset\", -1)))'");
  Listing out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line.substr(line.find('\t') + 1));
    Listed f;
    int deleted = 0;
    fields >> f.size >> deleted >> f.offset;
    f.deleted = deleted != 0;
    out[line.substr(0, line.find('\t'))] = f;
  }
  return out;
}

void writeText(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string randomBytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

bool sh(const std::string& command) { return run(command + " >/dev/null 2>&1").exitCode == 0; }

std::string builder() {
  return "python3 " + quote((kvxtest::sourceDir() / "tests/fixtures/optical_builder.py").string());
}

// ---------------------------------------------------------------------------------------------
// Multisession ISO 9660

class MultisessionIso : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kvxtest::haveTools({"xorriso", "isoinfo", "python3"})) return;
    s_dir = new kvxtest::TempDir("optical-ms");
    const fs::path src = *s_dir / "src";
    writeText(src / "s1/keep.txt", "kept in every session\n");
    writeText(src / "s1/gone.txt", "removed by the second session\n");
    writeText(src / "s1/Replaced Data.bin", randomBytes(150000, 1));
    writeText(src / "s1/Docs/Mixed Case Long Name.txt", "joliet keeps this name\n");
    writeText(src / "s1/Docs/old.bin", randomBytes(5000, 2));
    writeText(src / "s2/second.txt", "added by the second session\n");
    writeText(src / "s3/Replaced Data.bin", randomBytes(7000, 3));
    for (const bool joliet : {true, false}) {
      const fs::path img = *s_dir / (joliet ? "joliet.iso" : "plain.iso");
      const std::string x = "xorriso -dev " + quote(img.string()) + " -joliet " +
                            (joliet ? "on" : "off") + " -rockridge on ";
      ASSERT_TRUE(sh(x + "-map " + quote((src / "s1").string()) + " / -commit"));
      ASSERT_TRUE(sh(x + "-rm /gone.txt -- -map " + quote((src / "s2/second.txt").string()) +
                     " /second.txt -commit"));
      ASSERT_TRUE(sh(x + "-rm /Docs/old.bin -- -map " +
                     quote((src / "s3/Replaced Data.bin").string()) + " '/Replaced Data.bin' " +
                     "-commit"));
    }
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override {
    if (s_dir == nullptr) GTEST_SKIP() << "xorriso, isoinfo or python3 missing";
  }
  static fs::path path(const std::string& name) { return *s_dir / name; }
  static inline kvxtest::TempDir* s_dir = nullptr;
};

TEST_F(MultisessionIso, SessionsAreFoldersAndOnlyLostFilesAreDeleted) {
  const fs::path img = path("joliet.iso");
  const std::string before = kvxtest::md5File(img);
  const Listing l = listing(img);
  // What xorriso itself lists in each session (Rock Ridge names, which Joliet keeps too).
  for (int s = 1; s <= 3; ++s) {
    const auto x = run("xorriso -load session " + std::to_string(s) + " -indev " +
                       quote(img.string()) + " -find / -type f 2>/dev/null");
    std::istringstream in(x.out);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      const std::string name = line.substr(2, line.size() - 3);  // '/a/b' -> a/b
      EXPECT_TRUE(l.count("Session " + std::to_string(s) + "/" + name))
          << "session " << s << ": " << name;
      ++n;
    }
    EXPECT_GE(n, 3);
  }
  EXPECT_EQ(l.size(), 5u + 5u + 4u);
  // Removed or replaced later: deleted. Still listed by the last session (same data): existing.
  EXPECT_TRUE(l.at("Session 1/gone.txt").deleted);
  EXPECT_TRUE(l.at("Session 1/Replaced Data.bin").deleted);
  EXPECT_TRUE(l.at("Session 2/Replaced Data.bin").deleted);
  EXPECT_TRUE(l.at("Session 1/Docs/old.bin").deleted);
  EXPECT_TRUE(l.at("Session 2/Docs/old.bin").deleted);
  EXPECT_FALSE(l.at("Session 1/keep.txt").deleted);
  EXPECT_FALSE(l.at("Session 1/Docs/Mixed Case Long Name.txt").deleted);
  EXPECT_FALSE(l.at("Session 2/second.txt").deleted);
  for (const auto& [p, f] : l)
    if (p.rfind("Session 3/", 0) == 0) EXPECT_FALSE(f.deleted) << p;
  EXPECT_EQ(l.at("Session 1/Replaced Data.bin").size, 150000u);
  EXPECT_EQ(l.at("Session 3/Replaced Data.bin").size, 7000u);
  // Where each file lives: the block xorriso reports for it, in bytes.
  const auto lba = run("xorriso -load session 1 -indev " + quote(img.string()) +
                       " -find /keep.txt -exec report_lba -- 2>/dev/null"
                       " | awk -F, '/File data lba/ {print $2 + 0}'");
  ASSERT_FALSE(lba.out.empty());
  EXPECT_EQ(l.at("Session 1/keep.txt").offset, std::stoll(lba.out) * 2048);

  // Deleted files come back byte for byte from the session that had them.
  const fs::path out = *s_dir / "out";
  const auto r = run(kvx() + " recover " + quote(img.string()) + " --deleted --to " +
                     quote(out.string()) + " 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("5 recovered, 0 failed"), std::string::npos) << r.out;
  const fs::path src = *s_dir / "src";
  EXPECT_EQ(kvxtest::md5File(out / "Session 1/gone.txt"), kvxtest::md5File(src / "s1/gone.txt"));
  EXPECT_EQ(kvxtest::md5File(out / "Session 1/Replaced Data.bin"),
            kvxtest::md5File(src / "s1/Replaced Data.bin"));
  EXPECT_EQ(kvxtest::md5File(out / "Session 2/Docs/old.bin"),
            kvxtest::md5File(src / "s1/Docs/old.bin"));
  EXPECT_EQ(kvxtest::md5File(img), before);
}

TEST_F(MultisessionIso, PlainNamesAreThoseOfThePrimaryDescriptor) {
  const fs::path img = path("plain.iso");
  const Listing l = listing(img);
  // isoinfo lists the newest session's primary names ("NAME.EXT;1").
  const auto iso = run("isoinfo -f -i " + quote(img.string()));
  std::istringstream in(iso.out);
  std::string line;
  int files = 0;
  while (std::getline(in, line)) {
    const auto semi = line.rfind(';');
    if (semi == std::string::npos) continue;  // a directory
    std::string name = line.substr(1, semi - 1);
    if (!name.empty() && name.back() == '.') name.pop_back();
    EXPECT_TRUE(l.count("Session 3/" + name)) << name;
    ++files;
  }
  EXPECT_EQ(files, 4);
  EXPECT_EQ(l.size(), 14u);
  // Rock Ridge names are not used: no lower case in 8.3 primary names.
  EXPECT_EQ(l.count("Session 3/keep.txt"), 0u);
}

TEST_F(MultisessionIso, DamagedImagesEndWithWhatWasFound) {
  // Cut one block into the newest file's data: everything is still listed, that file alone fails
  // and what could be read of it is kept under a name that says so.
  const fs::path cut = *s_dir / "cut.iso";
  fs::copy_file(path("joliet.iso"), cut, fs::copy_options::overwrite_existing);
  const auto lba = run("xorriso -indev " + quote(cut.string()) +
                       " -find '/Replaced Data.bin' -exec report_lba 2>/dev/null | "
                       "sed -n 's/^File data lba: *0 *, *\\([0-9]*\\).*/\\1/p'");
  ASSERT_FALSE(lba.out.empty());
  fs::resize_file(cut, (std::stoull(lba.out) + 1) * 2048);
  const Listing l = listing(cut);
  EXPECT_EQ(l.size(), 14u);
  const fs::path out = *s_dir / "cut-out";
  const auto r =
      run(kvx() + " recover " + quote(cut.string()) + " --all --to " + quote(out.string()) + " 2>&1");
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.out.find("13 recovered, 1 failed"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(out / "Session 3/Replaced Data.bin"));
  EXPECT_EQ(fs::file_size(out / "Session 3/Replaced Data.bin.partial"), 7000u);
  EXPECT_EQ(kvxtest::md5File(out / "Session 1/Replaced Data.bin"),
            kvxtest::md5File(*s_dir / "src/s1/Replaced Data.bin"));

  // Every sub-directory of every root pointing back at its root: the walk still ends.
  const fs::path loop = *s_dir / "loop.iso";
  fs::copy_file(path("plain.iso"), loop, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sh(builder() + " iso-loop " + quote(loop.string())));
  const Listing looped = listing(loop);
  EXPECT_TRUE(looped.count("Session 3/KEEP.TXT"));
  EXPECT_LT(looped.size(), 100u);
}

TEST_F(MultisessionIso, VolumeRecordKeepsEverySession) {
  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  ASSERT_TRUE(CachedDrive_OpenDevice(drive, Host_OpenPath(path("joliet.iso").string(), false, true),
                                     kDriveTypeCdRom));
  ASSERT_TRUE(CDFS_RecognizeDrive(nullptr, drive));
  ASSERT_TRUE(CachedDrive_SelectFileSystem(drive, 0));
  void* block = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(CDFS_SaveVolumeInfo(drive, &block, &size));
  ASSERT_EQ(size, 2916u);
  CdfsVolumeInfo info;
  std::memcpy(&info, block, sizeof info);
  std::free(block);
  EXPECT_EQ(info.kind.get(), 1u);
  EXPECT_EQ(info.blockBytes.get(), 2048u);
  ASSERT_EQ(info.sessionCount.get(), 3u);
  // xorriso's layout on overwritable media: the first session at 32, a copy of the newest
  // descriptors at 16 that is not a session of its own.
  EXPECT_EQ(info.sessions[0].startBlock.get(), 32u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(info.sessions[i].descriptorType, 2) << i;  // Joliet
    EXPECT_GT(info.sessions[i].descriptorEnd.get(), info.sessions[i].startBlock.get() + 16);
  }
  char text[256] = {};
  EXPECT_TRUE(CDFS_DescribeVolume(drive, text, false));
  EXPECT_NE(std::strstr(text, ", CDFS, sector size: 2048"), nullptr) << text;
  CachedDrive_Destroy(drive);
}

// ---------------------------------------------------------------------------------------------
// UDF

class UdfImages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kvxtest::haveTools({"genisoimage", "mkudffs", "udfinfo", "python3"})) return;
    s_dir = new kvxtest::TempDir("optical-udf");
    const fs::path src = *s_dir / "src";
    writeText(src / "alive.txt", "an existing file\n");
    writeText(src / "deleted.bin", randomBytes(70000, 4));
    writeText(src / "tiny.txt", "small enough to live in its entry\n");
    writeText(src / "Projects/plan.txt", "nested\n");
    writeText(src / "Projects/data/values.bin", randomBytes(300000, 5));
    writeText(src / "lost/found-by-content.txt", "a directory nobody points at any more\n");
    const fs::path img = *s_dir / "base.udf";
    ASSERT_TRUE(sh("genisoimage -quiet -udf -V UDFTEST -o " + quote(img.string()) + " " +
                   quote(src.string())));
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override {
    if (s_dir == nullptr) GTEST_SKIP() << "genisoimage, mkudffs, udfinfo or python3 missing";
  }
  /// A copy of the base image.
  static fs::path copy(const std::string& name) {
    const fs::path img = *s_dir / name;
    fs::copy_file(*s_dir / "base.udf", img, fs::copy_options::overwrite_existing);
    return img;
  }
  static std::string udfinfoValue(const fs::path& img, const std::string& key) {
    const auto r =
        run("udfinfo " + quote(img.string()) + " 2>/dev/null | sed -n 's/^" + key + "=//p'");
    return r.out.substr(0, r.out.find('\n'));
  }
  static inline kvxtest::TempDir* s_dir = nullptr;
};

TEST_F(UdfImages, ListingMatchesUdfinfoAndFilesComeBackWhole) {
  const fs::path img = copy("plain.udf");
  const Listing l = listing(img);
  EXPECT_EQ(std::to_string(l.size()), udfinfoValue(img, "numfiles"));
  for (const auto& [p, f] : l) EXPECT_FALSE(f.deleted) << p;
  const fs::path out = *s_dir / "plain-out";
  ASSERT_EQ(run(kvx() + " recover " + quote(img.string()) + " --all --to " + quote(out.string()) +
                " 2>/dev/null")
                .exitCode,
            0);
  for (const char* f : {"alive.txt", "deleted.bin", "tiny.txt", "Projects/plan.txt",
                        "Projects/data/values.bin", "lost/found-by-content.txt"})
    EXPECT_EQ(kvxtest::md5File(out / f), kvxtest::md5File(*s_dir / "src" / f)) << f;
  // Each file's data starts at the offset listed for it.
  const auto image = kvxtest::readFile(img);
  for (const char* f : {"deleted.bin", "Projects/data/values.bin"}) {
    const auto original = kvxtest::readFile(*s_dir / "src" / f);
    const std::int64_t at = l.at(f).offset;
    ASSERT_GE(at, 0) << f;
    ASSERT_LE(static_cast<std::size_t>(at) + original.size(), image.size()) << f;
    EXPECT_TRUE(std::equal(original.begin(), original.end(), image.begin() + at)) << f;
  }
}

TEST_F(UdfImages, DeletedIdentifierAndEmbeddedData) {
  const fs::path img = *s_dir / "edited.udf";
  fs::copy_file(*s_dir / "base.udf", img, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sh(builder() + " udf-delete " + quote(img.string()) + " deleted.bin"));
  ASSERT_TRUE(sh(builder() + " udf-delete " + quote(img.string()) + " Projects"));
  ASSERT_TRUE(sh(builder() + " udf-embed " + quote(img.string()) + " tiny.txt"));
  const std::string before = kvxtest::md5File(img);
  const Listing l = listing(img);
  EXPECT_TRUE(l.at("deleted.bin").deleted);
  EXPECT_TRUE(l.at("Projects/plan.txt").deleted);  // below a deleted directory
  EXPECT_TRUE(l.at("Projects/data/values.bin").deleted);
  EXPECT_FALSE(l.at("alive.txt").deleted);
  EXPECT_FALSE(l.at("tiny.txt").deleted);
  EXPECT_EQ(l.at("tiny.txt").offset, -1) << "its data is inside its entry";
  const fs::path out = *s_dir / "edited-out";
  const auto r =
      run(kvx() + " recover " + quote(img.string()) + " --all --to " + quote(out.string()) + " 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  for (const char* f : {"deleted.bin", "tiny.txt", "Projects/data/values.bin"})
    EXPECT_EQ(kvxtest::md5File(out / f), kvxtest::md5File(*s_dir / "src" / f)) << f;
  EXPECT_EQ(kvxtest::md5File(img), before);
}

TEST_F(UdfImages, LostDirectoryIsFoundByTheDeepScan) {
  const fs::path img = *s_dir / "lost.udf";
  fs::copy_file(*s_dir / "base.udf", img, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sh(builder() + " udf-unlink " + quote(img.string()) + " lost"));
  EXPECT_EQ(listing(img).count("lost/found-by-content.txt"), 0u);
  const Listing l = listing(img, "--deep");
  ASSERT_TRUE(l.count("Unknown location/found-by-content.txt"));
  EXPECT_TRUE(l.at("Unknown location/found-by-content.txt").deleted);
  // Files the tree lists are not found again by content.
  for (const auto& [p, f] : l) EXPECT_EQ(p.find("Files by content"), std::string::npos) << p;
}

TEST_F(UdfImages, DirectoryLoopEnds) {
  const fs::path img = *s_dir / "loop.udf";
  fs::copy_file(*s_dir / "base.udf", img, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(sh(builder() + " udf-loop " + quote(img.string()) + " Projects"));
  const Listing l = listing(img);
  EXPECT_TRUE(l.count("alive.txt"));
  EXPECT_LT(l.size(), 20u);
}

TEST_F(UdfImages, MkudffsRevisionsBlockSizesAndVirtualPartitions) {
  // Block sizes the device does not read in, and write-once media whose blocks are found through
  // a virtual allocation table (mkudffs writes 2.50 and 2.60 only for those).
  struct Case {
    const char* media;
    const char* rev;
    int bs;
  };
  for (const Case c :
       {Case{"hd", "1.02", 512}, Case{"hd", "1.50", 4096}, Case{"hd", "2.01", 512},
        Case{"hd", "2.01", 2048}, Case{"hd", "2.01", 4096}, Case{"cdr", "1.50", 2048},
        Case{"dvdr", "2.50", 2048}, Case{"bdr", "2.60", 2048}}) {
    const fs::path img =
        *s_dir / (std::string(c.media) + c.rev + "-" + std::to_string(c.bs) + ".udf");
    ASSERT_TRUE(sh("truncate -s 8M " + quote(img.string()) + " && mkudffs --media-type=" + c.media +
                   " --udfrev=" + c.rev + " --blocksize=" + std::to_string(c.bs) + " --label=MK " +
                   quote(img.string())))
        << c.media << " " << c.rev;
    const auto r = run(kvx() + " scan " + quote(img.string()) + " --json 2>/dev/null");
    EXPECT_NE(r.out.find("UDF, Logical block size: " + std::to_string(c.bs)), std::string::npos)
        << c.media << " " << c.rev << " " << c.bs << ": " << r.out.substr(0, 300);
  }
  // A disk formatted with UDF (not optical media): recognised after FAT and NTFS.
  const fs::path disk = *s_dir / "disk.img";
  fs::copy_file(*s_dir / "hd2.01-512.udf", disk, fs::copy_options::overwrite_existing);
  const auto r = run(kvx() + " scan " + quote(disk.string()) + " --json 2>/dev/null");
  EXPECT_NE(r.out.find("UDF, Logical block size: 512"), std::string::npos) << r.out.substr(0, 300);
}

TEST_F(UdfImages, VolumeRecordIsFortyBytes) {
  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  ASSERT_TRUE(CachedDrive_OpenDevice(
      drive, Host_OpenPath((*s_dir / "base.udf").string(), false, true), kDriveTypeCdRom));
  drive->sectorSize = 2048;
  ASSERT_TRUE(UDF_RecognizeDrive(nullptr, drive));
  ASSERT_TRUE(CachedDrive_SelectFileSystem(drive, 0));
  void* block = nullptr;
  std::uint32_t size = 0;
  ASSERT_TRUE(UDF_SaveVolumeInfo(drive, &block, &size));
  ASSERT_EQ(size, 40u);
  UdfVolumeInfo info;
  std::memcpy(&info, block, sizeof info);
  EXPECT_EQ(info.kind.get(), 2u);
  EXPECT_EQ(info.blockBytes.get(), 2048u);
  EXPECT_GT(info.partitionStart.get(), 256u);  // behind the anchor
  EXPECT_NE(info.rootIcb.get(), 0u);
  // A restored session holds just the record: it is enough to describe and to recover.
  CachedDrive* restored = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&restored));
  ASSERT_TRUE(CachedDrive_OpenDevice(
      restored, Host_OpenPath((*s_dir / "base.udf").string(), false, true), kDriveTypeCdRom));
  ASSERT_TRUE(CachedDrive_AddFileSystem(restored, size, block));
  std::free(block);
  char text[256] = {};
  EXPECT_TRUE(UDF_DescribeVolume(restored, text, true));
  EXPECT_NE(std::strstr(text, ", UDF"), nullptr) << text;
  CachedDrive_Destroy(restored);
  CachedDrive_Destroy(drive);
}

}  // namespace
