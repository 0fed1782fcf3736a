// Every recoverer gives a recovered file the same times for the same record: a missing time (0)
// leaves the file's own, and a time before 1970 is kept, not cut to 1970. The record times are
// local wall-clock times, so a zone away from UTC shows whether each recoverer converts them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/fs_dispatch.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

using kvxtest::quote;
using kvxtest::run;

/// One image scanned by the module of @p kind, through its row of the file-system table.
class KindScan {
 public:
  KindScan(const std::string& image, std::uint32_t kind) : m_fs(Fs_OfKind(kind)) {
    Undelete_Create(&m_u);
    bool ok = m_fs != nullptr && Storage_Reserve(m_u) && CachedDrive_Create(&m_drive) &&
              CachedDrive_OpenDevice(m_drive, Host_OpenPath(image, false, false), kHostDriveFixed);
    if (!ok) return;
    m_u->drive = m_drive;
    std::memset(m_u->scanMarks, 0xFF, sizeof m_u->scanMarks);
    std::memset(m_u->scanScratch, 0xFF, sizeof m_u->scanScratch);
    ok = Storage_AddFolder(m_u, u"ROOT", kNoParent, 0xFFFF, 0, false, false, &m_u->rootFolder);
    if (!ok || !m_fs->recognize512(m_u, m_drive)) return;
    (void)CachedDrive_SelectFileSystem(m_drive, 0);
    m_u->passFirstFile = m_u->fileCount.load();
    m_scanned = m_fs->searchFiles(m_u);
  }
  ~KindScan() {
    Undelete_Done(m_u);
    if (m_drive) {
      CachedDrive_Close(m_drive);
      CachedDrive_Destroy(m_drive);
    }
    Undelete_Delete(m_u);
  }
  KindScan(const KindScan&) = delete;
  KindScan& operator=(const KindScan&) = delete;

  [[nodiscard]] bool scanned() const { return m_scanned; }
  /// The listed file called @p name; null when there is none.
  FileRecord* find(const std::u16string& name) const {
    for (std::uint32_t i = 0; i < m_u->fileCount.load(); ++i) {
      FileRecord* f = Storage_File(m_u, i);
      const auto* n = static_cast<const char16_t*>(Storage_At(m_u, f->name.get()));
      if (n != nullptr && name == n) return f;
    }
    return nullptr;
  }
  /// Recovers @p f with its times replaced by @p modified and @p accessed (and created = accessed).
  struct stat recover(FileRecord* f, std::uint64_t modified, std::uint64_t accessed,
                      const std::string& target) {
    f->modified.set(modified);
    f->accessed.set(accessed);
    f->created.set(accessed);
    if (m_fs->selectBeforeRecover) (void)CachedDrive_SelectFileSystem(m_drive, f->fsIndex.get());
    EXPECT_TRUE(m_fs->recoverFile(m_u, f, target.c_str(), &m_u->bytesDone)) << target;
    struct stat st {};
    EXPECT_EQ(::stat(target.c_str(), &st), 0) << target;
    return st;
  }

 private:
  const FsDescriptor* m_fs;
  Undelete* m_u = nullptr;
  CachedDrive* m_drive = nullptr;
  bool m_scanned = false;
};

class RecoveredTimes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 ||
        !kvxtest::haveTools({"mkfs.fat", "mcopy", "mkntfs", "ntfs-3g", "touch", "istat", "ifind"}))
      GTEST_SKIP() << "needs root, mkfs.fat, mtools, mkntfs, ntfs-3g and the Sleuth Kit";
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) m_oldTz = tz, m_hadTz = true;
    // Five hours west of UTC all year: a recoverer that skips the zone is five hours off.
    ::setenv("TZ", "XST5", 1);
    ::tzset();
  }
  void TearDown() override {
    if (m_hadTz)
      ::setenv("TZ", m_oldTz.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  kvxtest::TempDir m_dir{"recovered-times"};
  std::string m_oldTz;
  bool m_hadTz = false;
};

TEST_F(RecoveredTimes, FatAndNtfsAgreeOnMissingAndEarlyTimes) {
  const std::string fat = (m_dir / "fat.img").string(), ntfs = (m_dir / "ntfs.img").string();
  const std::string mnt = (m_dir / "mnt").string(), data = (m_dir / "data.bin").string();
  ASSERT_EQ(run("head -c 5000 /dev/urandom > " + quote(data) + " && mkfs.fat -C -F 16 -s 1 " +
                quote(fat) + " 8192 >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " + quote(fat) +
                " " + quote(data) + " ::/OLD.BIN")
                .exitCode,
            0);
  const auto made = run("truncate -s 16M " + quote(ntfs) + " && mkntfs -F -Q -q " + quote(ntfs) +
                        " >/dev/null 2>&1 && mkdir -p " + quote(mnt) + " && ntfs-3g " +
                        quote(ntfs) + " " + quote(mnt) + " && cp " + quote(data) + " " +
                        quote(mnt + "/OLD.BIN") + "; s=$?; umount " + quote(mnt) + "; exit $s");
  ASSERT_EQ(made.exitCode, 0) << made.out;

  KindScan fatScan(fat, kKindFat), ntfsScan(ntfs, kKindNtfs);
  ASSERT_TRUE(fatScan.scanned());
  ASSERT_TRUE(ntfsScan.scanned());
  FileRecord* onFat = fatScan.find(u"OLD.BIN");
  FileRecord* onNtfs = ntfsScan.find(u"OLD.BIN");
  ASSERT_NE(onFat, nullptr);
  ASSERT_NE(onNtfs, nullptr);

  const std::int64_t early = -302356800;  // 1960-06-01 12:00:00 UTC
  const std::uint64_t earlyLocal = FileTime_FromUnix(early - 5 * 3600);
  const std::uint64_t recent = FileTime_FromUnix(1700000000 - 5 * 3600, 123456700);

  for (const auto& [modified, accessed] :
       {std::pair{earlyLocal, recent}, std::pair{recent, std::uint64_t{0}}}) {
    const std::string tag = std::to_string(modified) + "-" + std::to_string(accessed);
    const std::string a = (m_dir / ("fat" + tag)).string(), b = (m_dir / ("ntfs" + tag)).string();
    const auto sa = fatScan.recover(onFat, modified, accessed, a);
    const auto sb = ntfsScan.recover(onNtfs, modified, accessed, b);
    const std::int64_t wantSeconds = modified == earlyLocal ? early : 1700000000;
    for (const auto& st : {sa, sb}) {
      EXPECT_EQ(st.st_mtim.tv_sec, wantSeconds) << tag;
      EXPECT_EQ(st.st_mtim.tv_nsec, modified == recent ? 123456700 : 0) << tag;
    }
    // A missing access time leaves the one the file got when it was written (a few seconds ago),
    // never 1970.
    if (accessed == 0) {
      EXPECT_GT(sa.st_atim.tv_sec, std::time(nullptr) - 3600) << tag;
      EXPECT_GT(sb.st_atim.tv_sec, std::time(nullptr) - 3600) << tag;
    } else {
      EXPECT_EQ(sa.st_atim.tv_sec, 1700000000);
      EXPECT_EQ(sb.st_atim.tv_sec, 1700000000);
    }
    EXPECT_EQ(kvxtest::md5File(a), kvxtest::md5File(data));
    EXPECT_EQ(kvxtest::md5File(b), kvxtest::md5File(data));
  }
}

}  // namespace
