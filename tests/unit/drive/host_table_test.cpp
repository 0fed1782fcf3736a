// The host layer: source and configuration syntax, the drive tables, opening sources by letter
// and number, read-only use of images, mounted sources, and the kvx drives/disks listing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "core/last_error.h"
#include "drive_test_util.h"
#include "host/host_internal.h"
#include "test_support.h"
#include "undelete/undelete.h"

using namespace drivetest;

namespace {

struct SourceCase {
  const char* name;
  const char* source;
  const char* path;
  std::uint64_t offset;
  std::optional<std::uint64_t> length;
};
class SourceSyntaxTest : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SourceSyntaxTest, SplitsWindow) {
  const auto& c = GetParam();
  const auto s = host::parseSource(c.source);
  EXPECT_EQ(s.path, c.path);
  EXPECT_EQ(s.offset, c.offset);
  EXPECT_EQ(s.length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Host, SourceSyntaxTest,
    ::testing::Values(
        SourceCase{"Plain", "/img/usb.img", "/img/usb.img", 0, std::nullopt},
        SourceCase{"Window", "/img/disk.img@1048576+4096", "/img/disk.img", 1048576, 4096},
        SourceCase{"HexWindow", "/img/disk.img@0x100000+0X200", "/img/disk.img", 0x100000, 0x200},
        SourceCase{"OffsetOnly", "/img/disk.img@512", "/img/disk.img", 512, std::nullopt},
        SourceCase{"LastAtCounts", "/a@b/disk.img@512+1", "/a@b/disk.img", 512, 1},
        SourceCase{"NotANumber", "/img/me@home.img", "/img/me@home.img", 0, std::nullopt},
        SourceCase{"EmptyLength", "/img/d.img@12+", "/img/d.img@12+", 0, std::nullopt},
        SourceCase{"Overflow", "/d.img@99999999999999999999", "/d.img@99999999999999999999", 0,
                   std::nullopt},
        SourceCase{"LeadingAt", "@5", "@5", 0, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostConfigTest, AssignmentListsAndIni) {
  const auto list = host::parseAssignmentList(" E=/a.img ; f = /dev/sdc1 ;;junk;G=;=x;H:=/h.iso");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].key, "E");
  EXPECT_EQ(list[0].value, "/a.img");
  EXPECT_EQ(list[1].key, "f");
  EXPECT_EQ(list[1].value, "/dev/sdc1");
  EXPECT_EQ(host::letterOfKey(list[1].key), 'F');
  EXPECT_EQ(host::letterOfKey(list[2].key), 'H');
  EXPECT_EQ(host::letterOfKey("EE"), 0);
  EXPECT_EQ(host::diskOfKey("127"), 127u);
  EXPECT_EQ(host::diskOfKey("128"), std::nullopt);
  EXPECT_EQ(host::diskOfKey("1a"), std::nullopt);

  const auto ini = host::parseIni(
      "# drives of the lab\r\n[drives]\r\nE = /img/a.img\r\n; "
      "off\r\n\r\n[disks]\r\n0=/img/d.img\r\nnot "
      "an assignment\r\n");
  ASSERT_EQ(ini.size(), 2u);
  EXPECT_EQ(ini[0].value, "/img/a.img");
  EXPECT_EQ(ini[1].key, "0");
}

TEST(HostConfigTest, TablesTakeLettersInOrderOfPrecedence) {
  HostDrive added;
  added.letter = 'G';
  added.source = added.path = "/added.img";
  added.origin = HostOrigin::Added;
  const std::vector<host::Discovered> found = {{"sda1", "/dev/sda1", false, false},
                                               {"sr0", "/dev/sr0", false, true},
                                               {"sdb1", "/dev/sdb1", true, false},
                                               {"sdb2", "/dev/sdb2", true, false}};
  const auto table =
      host::buildDriveTable({{"E", "/env.img"}, {"e", "/dup.img"}, {"1", "/x"}},
                            {{"E", "/ini.img"}, {"F", "/img/x.iso@2048"}}, {added}, found);
  ASSERT_EQ(table.size(), 7u);
  const std::string letters = [&] {
    std::string s;
    for (const auto& d : table) s += d.letter;
    return s;
  }();
  EXPECT_EQ(letters, "CDEFGHI");
  EXPECT_EQ(table[0].source, "/dev/sda1");
  EXPECT_EQ(table[0].type, kHostDriveFixed);
  EXPECT_EQ(table[1].type, kHostDriveCdRom);
  EXPECT_EQ(table[2].source, "/env.img");
  EXPECT_EQ(table[2].origin, HostOrigin::Environment);
  EXPECT_EQ(table[3].path, "/img/x.iso");
  EXPECT_EQ(table[3].offset, 2048u);
  EXPECT_EQ(table[3].type, kHostDriveCdRom);
  EXPECT_EQ(table[3].origin, HostOrigin::ConfigFile);
  EXPECT_EQ(table[4].origin, HostOrigin::Added);
  EXPECT_EQ(table[5].type, kHostDriveRemovable);

  const auto disks =
      host::buildDiskTable({{"1", "/d1.img"}}, {{"1", "/dup"}, {"3", "/d3.img"}}, {},
                           {{"sda", "/dev/sda"}, {"sdb", "/dev/sdb"}, {"sdc", "/dev/sdc"}});
  ASSERT_EQ(disks.size(), 5u);
  EXPECT_EQ(disks[0].path, "/dev/sda");
  EXPECT_EQ(disks[1].path, "/d1.img");
  EXPECT_EQ(disks[2].path, "/dev/sdb");
  EXPECT_EQ(disks[3].path, "/d3.img");
  EXPECT_EQ(disks[4].number, 4u);
}

/// Environment and configuration for one test, restored afterwards.
class HostEnvTest : public ::testing::Test {
 protected:
  kvxtest::TempDir dir{"drive-host"};
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    ::unsetenv("KVX_DRIVES");
    ::unsetenv("KVX_DISKS");
  }
  void TearDown() override {
    ::unsetenv("KVX_DRIVES");
    ::unsetenv("KVX_DISKS");
    Host_RefreshDrives();
  }
  std::string image(const std::string& name, std::size_t size) {
    const auto path = dir / name;
    kvxtest::writeFile(path, pattern(size));
    return path.string();
  }
};

TEST_F(HostEnvTest, EnvironmentAndIniDrivesOpenWithTheirWindows) {
  const std::string disk = image("disk.img", 1 << 20);
  const std::string usb = image("usb.img", 64 * 1024);
  std::filesystem::create_directories(dir / "rekovia");
  std::ofstream(dir / "rekovia" / "drives.ini")
      << "[drives]\nF=usb.img\nE=/ignored.img\n[disks]\n7=" << disk << "\n";
  ::setenv("KVX_DRIVES", ("E=" + disk + "@4096+8192").c_str(), 1);
  Host_RefreshDrives();

  const auto e = Host_FindDrive('e');
  ASSERT_TRUE(e);
  EXPECT_EQ(e->path, disk);
  EXPECT_EQ(e->offset, 4096u);
  const auto f = Host_FindDrive('F');
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path, (dir / "rekovia" / "usb.img").string());  // relative to the ini's folder

  const auto extent = Host_GetVolumeDiskExtent('E');
  ASSERT_TRUE(extent);
  EXPECT_EQ(extent->disk, 7u);
  EXPECT_EQ(extent->start, 4096u);
  EXPECT_EQ(extent->length, 8192u);
  EXPECT_FALSE(Host_GetVolumeDiskExtent('F'));
  EXPECT_EQ(Host_ResolveDrivePath("E:\\dir\\file"), "");  // not mounted

  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_Open(drive.get(), 'E', false));
  EXPECT_STREQ(drive->prefix, "E_");
  EXPECT_EQ(drive->sectorSize, 512u);
  std::uint64_t size = 0;
  ASSERT_TRUE(CachedDrive_GetSize(drive.get(), &size));
  EXPECT_EQ(size, 8192u);
  std::uint8_t b[2] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(CachedDrive_Read(drive.get(), 8190, 2, b, &got));
  EXPECT_EQ(b[1], patternByte(4096 + 8191));
  EXPECT_FALSE(CachedDrive_Read(drive.get(), 8191, 2, b, &got));

  ASSERT_TRUE(CachedDrive_OpenPhysical(false, drive.get(), 7));
  EXPECT_STREQ(drive->prefix, "7_");
  ASSERT_TRUE(CachedDrive_GetSize(drive.get(), &size));
  EXPECT_EQ(size, 1u << 20);
}

TEST_F(HostEnvTest, AddedDrivesKeepOrTakeLetters) {
  const std::string a = image("a.img", 8192);
  const std::string b = image("b.iso", 8192);
  ::setenv("KVX_DRIVES", ("C=" + a).c_str(), 1);
  Host_RefreshDrives();
  const char first = Host_AddDrive(b);
  ASSERT_NE(first, 0);
  EXPECT_NE(first, 'C');
  EXPECT_EQ(Host_AddDrive(b), first);  // the same source keeps its letter
  EXPECT_EQ(Host_GetDriveType(first), kHostDriveCdRom);
  EXPECT_EQ(Host_AddDrive(a, 'Y'), 'Y');
  EXPECT_EQ(Host_AddDrive((dir / "missing.img").string()), 0);
  EXPECT_EQ(Host_GetLastError(), kErrOpenDrive);
  Host_RefreshDrives();  // run-time additions survive a refresh
  EXPECT_TRUE(Host_FindDrive('Y'));

  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_Open(drive.get(), first, false));
  EXPECT_EQ(drive->driveType, kDriveTypeCdRom);
  EXPECT_EQ(drive->sectorSize, 2048u);
  EXPECT_EQ(drive->cacheCapacity, kCdCacheSize);
  std::uint8_t byte = 0;
  std::uint32_t got = 0;
  ASSERT_TRUE(CachedDrive_Read(drive.get(), 3001, 1, &byte, &got));
  EXPECT_EQ(byte, patternByte(3001));
}

TEST_F(HostEnvTest, MissingSourceFailsWithTraceAndError) {
  ::setenv("KVX_DRIVES", ("Q=" + (dir / "nothing.img").string()).c_str(), 1);
  Host_RefreshDrives();
  auto drive = makeDrive();
  drive->traceOn = 1;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(CachedDrive_Open(drive.get(), 'Q', false));
  EXPECT_EQ(
      ::testing::internal::GetCapturedStderr(),
      "CachedDrive_Open: Opening drive on NT family.\r\nCachedDrive_Open: Create file error.\r\n");
  EXPECT_EQ(Host_GetLastError(), kErrOpenDrive);
  EXPECT_NE(Host_LastErrorText().find("No such file"), std::string::npos);
  EXPECT_FALSE(CachedDrive_OpenPhysical(false, drive.get(), 127));
}

TEST_F(HostEnvTest, ImageReadThroughTheDriveStaysByteIdentical) {
  const auto path = dir / "scan.img";
  std::vector<std::uint8_t> bytes(3 << 20);
  std::mt19937 rng(7);
  for (auto& v : bytes) v = static_cast<std::uint8_t>(rng());
  kvxtest::writeFile(path, bytes);
  const std::string before = kvxtest::md5File(path);
  struct stat st0 {};
  ASSERT_EQ(::stat(path.c_str(), &st0), 0);
  ::setenv("KVX_DRIVES", ("K=" + path.string()).c_str(), 1);
  Host_RefreshDrives();
  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_Open(drive.get(), 'K', false));
  std::vector<std::uint8_t> out(4096);
  std::uint32_t got = 0;
  for (std::uint64_t off = 0; off + 4096 <= bytes.size(); off += 300000)
    ASSERT_TRUE(CachedDrive_Read(drive.get(), off, 4096, out.data(), &got));
  std::uint32_t written = 0;
  EXPECT_FALSE(CachedDrive_Write(0, out.data(), 512, &written, drive.get()));  // opened read-only
  ASSERT_TRUE(CachedDrive_Close(drive.get()));
  struct stat st1 {};
  ASSERT_EQ(::stat(path.c_str(), &st1), 0);
  EXPECT_EQ(kvxtest::md5File(path), before);
  EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
}

TEST_F(HostEnvTest, ExclusiveOpenOfAnImageLocksIt) {
  const std::string a = image("lock.img", 8192);
  auto first = Host_OpenPathWith(a, {false, false, true});
  ASSERT_TRUE(first);
  EXPECT_FALSE(Host_OpenPathWith(a, {false, false, true}));
  EXPECT_TRUE(Host_OpenPath(a, false, false));  // plain readers are not locked out
  first.reset();
  EXPECT_TRUE(Host_OpenPathWith(a, {false, false, true}));
}

TEST_F(HostEnvTest, MountedSourcesRefuseWritingAndResolveTheirLetter) {
  if (::geteuid() != 0 || !kvxtest::haveTools({"losetup", "mkfs.ext2", "mount", "umount"}))
    GTEST_SKIP() << "needs root, losetup and mkfs.ext2";
  const auto img = dir / "ext.img";
  const auto mnt = dir / "mnt";
  std::filesystem::create_directories(mnt);
  ASSERT_EQ(kvxtest::run("truncate -s 4M " + kvxtest::quote(img.string()) + " && mkfs.ext2 -q -F " +
                         kvxtest::quote(img.string()) + " >/dev/null 2>&1")
                .exitCode,
            0);
  auto loop = kvxtest::run("losetup -f --show " + kvxtest::quote(img.string()) + " 2>/dev/null");
  if (loop.exitCode != 0) GTEST_SKIP() << "no loop devices here";
  const std::string dev = loop.out.substr(0, loop.out.find('\n'));
  if (kvxtest::run("mount " + dev + " " + kvxtest::quote(mnt.string()) + " 2>/dev/null").exitCode !=
      0) {
    kvxtest::run("losetup -d " + dev);
    GTEST_SKIP() << "cannot mount ext2 here";
  }
  std::filesystem::create_directories(mnt / "out");
  ::setenv("KVX_DRIVES", ("M=" + img.string() + ";N=" + dev).c_str(), 1);
  Host_RefreshDrives();

  EXPECT_FALSE(Host_OpenPath(dev, true, false));
  EXPECT_EQ(Host_GetLastError(), kErrAccessDenied);
  EXPECT_FALSE(Host_OpenPath(img.string(), true, false));  // the image behind the mount, too
  EXPECT_EQ(Host_GetLastError(), kErrAccessDenied);
  EXPECT_TRUE(Host_OpenPath(dev, false, false));
  auto drive = makeDrive();
  EXPECT_FALSE(CachedDrive_Open(drive.get(), 'N', true));
  EXPECT_EQ(Host_GetLastError(), kErrAccessDenied);
  EXPECT_TRUE(CachedDrive_Open(drive.get(), 'N', false));

  // Both letters name the mounted bytes (the loop device may also have been found in sysfs under
  // a letter of its own, which comes after them); the user's image comes first.
  EXPECT_EQ(Host_LetterOfPath((mnt / "out").string()), 'M');
  const std::string letters = Host_LettersOfPath((mnt / "out").string());
  EXPECT_EQ(letters.substr(0, 2), "MN");
  EXPECT_EQ(Host_MountPoint('M'), mnt.string());
  EXPECT_EQ(Host_ResolveDrivePath("m:\\out\\a.txt"), (mnt / "out" / "a.txt").string());
  EXPECT_NE(Host_LetterOfPath(dir.path().string()), 'M');  // beside the image, not inside it

  ASSERT_TRUE(CachedDrive_Close(drive.get()));
  kvxtest::run("umount " + kvxtest::quote(mnt.string()));
  kvxtest::run("losetup -d " + dev);
  EXPECT_EQ(Host_MountPoint('M'), "");
}

TEST_F(HostEnvTest, CommandLineListsDrivesAndNamesUnusableSources) {
  const std::string a = image("ok.img", 3 << 20);
  const std::string missing = (dir / "gone.img").string();
  const std::string env = "KVX_DRIVES=" + kvxtest::quote("E=" + a + ";F=" + missing) +
                          " KVX_DISKS=" + kvxtest::quote("9=" + a) +
                          " XDG_CONFIG_HOME=" + kvxtest::quote(dir.path().string()) + " ";
  const std::string cli = kvxtest::quote(kvxtest::cliPath().string());
  auto r = kvxtest::run(env + cli + " drives 2>&1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("E:  " + a), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3.0 MiB"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(missing), std::string::npos);
  EXPECT_NE(r.out.find("unusable: No such file or directory"), std::string::npos) << r.out;

  r = kvxtest::run(env + cli + " disks --bytes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("9  " + a), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3145728"), std::string::npos) << r.out;
  EXPECT_EQ(kvxtest::run(env + cli + " drives --what 2>/dev/null").exitCode, 2);
}

}  // namespace
