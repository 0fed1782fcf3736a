// Result storage: commit on demand, exhaustion, read-only regions, duplicate marking, references
// and folder paths.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core_engine.h"

namespace {

using coretest::fileRecord;
using coretest::SmallEngine;
using coretest::stringAt;

TEST(StorageCommit, FilesFillUpToOnePageBeforeTheReserve) {
  SmallEngine u(8);
  ASSERT_TRUE(u.reserved());
  const std::uint32_t reserve = u->filesReserve;
  const std::uint32_t fits = (reserve - u.page()) / sizeof(FileRecord);
  for (std::uint32_t i = 0; i < fits; ++i) {
    FileRecord r = fileRecord(i % 2 == 0);
    r.size.set(i);
    ASSERT_TRUE(Storage_AddFile(u.get(), &r, false)) << i;
  }
  EXPECT_FALSE(u->outOfMemory());
  EXPECT_EQ(Undelete_TooManyFiles(u.get()), 1);

  FileRecord extra = fileRecord();
  EXPECT_FALSE(Storage_AddFile(u.get(), &extra, false));
  EXPECT_TRUE(u->outOfMemory());
  EXPECT_EQ(u->fileCount, fits);
  EXPECT_EQ(u->deletedCount, fits / 2);
  // Every record written before the failure is intact, the last one included.
  for (std::uint32_t i : {0u, fits / 2, fits - 1}) {
    ASSERT_NE(Storage_File(u.get(), i), nullptr);
    EXPECT_EQ(Storage_File(u.get(), i)->size.get(), i);
  }
  EXPECT_EQ(Storage_File(u.get(), fits), nullptr);
}

TEST(StorageCommit, StringsStopAtTheReserveAndUndoNothing) {
  SmallEngine u(64, 3);
  const std::u16string text(100, u'x');
  std::uint32_t ref = 0, last = 0, added = 0;
  while (Storage_AddString(u.get(), text.c_str(), &ref)) {
    last = ref;
    ++added;
  }
  EXPECT_EQ(ref, 0u);  // a failed append gives no reference
  EXPECT_TRUE(u->outOfMemory());
  EXPECT_EQ(u->stringsUsed, added * 101);
  EXPECT_LE(std::uint64_t{u->stringsUsed} * 2 + u.page(), u->stringsReserve);
  EXPECT_EQ(stringAt(u.get(), last), text);
}

TEST(StorageCommit, ReserveSizesArePagesAndPagesAreOpenedOnlyAsNeeded) {
  SmallEngine u(1024);
  EXPECT_EQ(u->filesCommitted, 0u);
  FileRecord r = fileRecord();
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  EXPECT_GT(u->filesCommitted, 0u);
  EXPECT_LT(u->filesCommitted, u->filesReserve);
  EXPECT_EQ(u->filesCommitted % u.page(), 0u);
}

TEST(StorageCommit, ReadOnlyRegionsRefuseAppendsWithoutFaulting) {
  SmallEngine u;
  std::uint32_t ref = 0;
  ASSERT_TRUE(Storage_AddString(u.get(), u"kept", &ref));
  FileRecord r = fileRecord();
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  Storage_SetReadOnly(u.get(), true);
  EXPECT_FALSE(Storage_AddFile(u.get(), &r, false));
  EXPECT_FALSE(Storage_AddString(u.get(), u"lost", nullptr));
  EXPECT_FALSE(Storage_AddFolder(u.get(), u"lost", kNoParent, 0, 0, false, false, nullptr));
  EXPECT_FALSE(u->outOfMemory());  // not an exhausted region
  EXPECT_EQ(stringAt(u.get(), ref), u"kept");
  Storage_SetReadOnly(u.get(), false);
  EXPECT_TRUE(Storage_AddFile(u.get(), &r, false));
  EXPECT_EQ(u->fileCount, 2u);
}

TEST(StorageCommit, AppendsWithoutRegionsFail) {
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  FileRecord r = fileRecord();
  EXPECT_FALSE(Storage_AddFile(u, &r, false));
  EXPECT_FALSE(Storage_AddString(u, u"x", nullptr));
  EXPECT_EQ(Storage_File(u, 0), nullptr);
  Undelete_Delete(u);
}

// A reservation that the address-space limit refuses is halved once and the halved size kept.
TEST(StorageReserve, HalvesAReserveThatCannotBeHad) {
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    Undelete* u = nullptr;
    if (Undelete_Create(&u) != 1) _exit(10);
    rlimit lim{};
    getrlimit(RLIMIT_AS, &lim);
    // Leave room for ~1.5 GiB more; the default files reserve plus a 2 GiB-ish strings reserve
    // cannot both be had, but half of the strings reserve can.
    FILE* f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f == nullptr || fscanf(f, "%lu", &pages) != 1) _exit(11);
    fclose(f);
    const rlim_t now = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    lim.rlim_cur = now + (std::uint64_t{3} << 29);
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(12);
    u->filesReserve = 1u << 20;
    u->foldersReserve = 1u << 20;
    u->stringsReserve = 0x7FFF0000u;  // ~2 GiB: refused; ~1 GiB: granted
    const bool ok = Storage_Reserve(u);
    _exit(ok && u->stringsReserve == 0x3FFF8000u ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- Adding records -----------------------------------------------------------------------------

TEST(StorageAdd, FileCopyIsStampedAndMarksCleared) {
  SmallEngine u;
  u->scanKey = 77;
  FileRecord r = fileRecord(true);
  r.marks.set(0xFFFF);
  r.location.set(0x7123);
  r.scanKey.set(5);
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, true));
  const FileRecord* stored = Storage_File(u.get(), 0);
  EXPECT_EQ(stored->marks.get(), 0xFFFE);
  EXPECT_EQ(stored->location.get(), 0xF123);
  EXPECT_EQ(stored->scanKey.get(), 77u);
  EXPECT_EQ(u->deletedCount, 0u);

  r.location.set(0xF123);
  r.status = 0x06;  // deleted, state 3
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  EXPECT_EQ(Storage_File(u.get(), 1)->location.get(), 0x7123);
  EXPECT_EQ(u->deletedCount, 1u);
}

TEST(StorageAdd, FolderFlagsAndIndex) {
  SmallEngine u;
  u->scanKey = 9;
  std::uint32_t a = 99, b = 99;
  ASSERT_TRUE(Storage_AddFolder(u.get(), u"root", kNoParent, 0xFFFF, 0, false, false, &a));
  ASSERT_TRUE(
      Storage_AddFolder(u.get(), u"sub", a, 0x1234, kAttrHidden | kAttrSystem, true, true, &b));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 1u);
  const FolderRecord* f = Storage_Folder(u.get(), 1);
  EXPECT_EQ(f->flags.get(), 0x1234u | 0x0Cu << 16 | kFolderDeleted | kFolderScannerFlag);
  EXPECT_EQ(f->parent.get(), 0u);
  EXPECT_EQ(f->scanKey.get(), 9u);
  EXPECT_EQ(stringAt(u.get(), f->name.get()), u"sub");
}

TEST(StorageAdd, BlobsTakeWholeUnitsAndPadWithZero) {
  SmallEngine u;
  const std::uint8_t bytes[3] = {1, 2, 3};
  std::uint32_t r1 = 0, r2 = 0;
  ASSERT_TRUE(Storage_AddBlob(u.get(), bytes, 3, &r1));
  ASSERT_TRUE(Storage_AddBlob(u.get(), bytes, 1, &r2));
  EXPECT_EQ(r1, 0x80000000u);
  EXPECT_EQ(r2, 0x80000004u);
  EXPECT_EQ(u->stringsUsed, 3u);
  const auto* p = static_cast<const std::uint8_t*>(Storage_At(u.get(), r1));
  EXPECT_EQ(p[3], 0);
  EXPECT_EQ(p[5], 0);
}

// --- Duplicate marking ---------------------------------------------------------------------------

struct DupCase {
  const char* name;
  std::vector<std::uint64_t> earlier;  // keys of the records added first (scanKey as stamped)
  std::uint32_t dupFirst, dupEnd;
  std::uint64_t newKey;
  std::vector<std::uint16_t> expectedMarks;  // marks bit 0 of every record afterwards
};

class DuplicateMarking : public ::testing::TestWithParam<DupCase> {};

TEST_P(DuplicateMarking, MarksTheFirstEarlierRecordWithTheKey) {
  const DupCase& c = GetParam();
  SmallEngine u;
  FileRecord r = fileRecord();
  for (std::uint64_t key : c.earlier) {
    u->scanKey = key;
    ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  }
  u->dupFirst = c.dupFirst;
  u->dupEnd = c.dupEnd;
  u->scanKey = c.newKey;
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  std::vector<std::uint16_t> marks;
  for (std::uint32_t i = 0; i < u->fileCount; ++i)
    marks.push_back(static_cast<std::uint16_t>(Storage_File(u.get(), i)->marks.get() & 1));
  EXPECT_EQ(marks, c.expectedMarks);
}

constexpr std::uint64_t kNone = ~std::uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Storage, DuplicateMarking,
    ::testing::Values(DupCase{"SameKeyInRange", {5, 6}, 0, 2, 6, {0, 1, 0}},
                      DupCase{"FirstOfTwoMatches", {6, 6}, 0, 2, 6, {1, 0, 0}},
                      DupCase{"KeyOutsideRange", {6, 5}, 1, 2, 6, {0, 0, 0}},
                      DupCase{"EmptyRange", {6}, 1, 1, 6, {0, 0}},
                      DupCase{"NoKeyNoSearch", {kNone, kNone}, 0, 2, kNone, {0, 0, 0}},
                      DupCase{"RangePastTheEndNeverMarksTheNewRecord", {1}, 0, 100, 6, {0, 0}},
                      DupCase{"RangePastTheEndStillFindsEarlier", {6}, 0, 100, 6, {1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// The index that makes marking fast must follow range changes and records added inside the range.
TEST(DuplicateMarkingIndex, FollowsRangeChangesAndGrowingRanges) {
  SmallEngine u(512);
  FileRecord r = fileRecord();
  for (std::uint64_t key = 0; key < 100; ++key) {
    u->scanKey = key;
    ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));
  }
  u->dupFirst = 0;
  u->dupEnd = 50;
  u->scanKey = 10;
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));  // record 100
  EXPECT_EQ(Storage_File(u.get(), 10)->marks.get() & 1, 1);
  u->scanKey = 60;
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));  // outside [0, 50)
  EXPECT_EQ(Storage_File(u.get(), 60)->marks.get() & 1, 0);

  u->dupFirst = 50;                                  // new range: the index is rebuilt
  u->dupEnd = 1000;                                  // and grows with the records added inside it
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));  // key 60 again: marks record 60
  EXPECT_EQ(Storage_File(u.get(), 60)->marks.get() & 1, 1);
  u->scanKey = 500;
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));  // record 103, key 500: nothing earlier
  EXPECT_EQ(Storage_File(u.get(), 103)->marks.get() & 1, 0);
  ASSERT_TRUE(Storage_AddFile(u.get(), &r, false));  // record 104 marks record 103
  EXPECT_EQ(Storage_File(u.get(), 103)->marks.get() & 1, 1);
  EXPECT_EQ(Storage_File(u.get(), 104)->marks.get() & 1, 0);
}

// --- References and paths ------------------------------------------------------------------------

struct RefCase {
  const char* name;
  std::uint32_t ref;
  bool valid;
};
class StringReferences : public ::testing::TestWithParam<RefCase> {};

TEST_P(StringReferences, OnlyTheUsedStorageIsReachable) {
  SmallEngine u;
  ASSERT_TRUE(Storage_AddString(u.get(), u"abc", nullptr));  // 8 bytes used
  const void* out = reinterpret_cast<const void*>(1);
  EXPECT_EQ(Undelete_GetString(u.get(), GetParam().ref, &out), GetParam().valid ? 1 : 0);
  if (GetParam().valid) {
    EXPECT_EQ(out, Storage_At(u.get(), GetParam().ref));
    EXPECT_EQ(Storage_RefOf(u.get(), out), GetParam().ref);
  } else {
    EXPECT_EQ(out, reinterpret_cast<const void*>(1));  // left unchanged
  }
}

INSTANTIATE_TEST_SUITE_P(Storage, StringReferences,
                         ::testing::Values(RefCase{"Null", 0, false},
                                           RefCase{"First", 0x80000000u, true},
                                           RefCase{"LastUnit", 0x80000006u, true},
                                           RefCase{"PastUsed", 0x80000008u, false},
                                           RefCase{"NoRefBit", 0x00000002u, false},
                                           RefCase{"FarOut", 0xFFFFFFFFu, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StringReferences, NullOutAndMissingStorage) {
  SmallEngine u;
  ASSERT_TRUE(Storage_AddString(u.get(), u"abc", nullptr));
  EXPECT_EQ(Undelete_GetString(u.get(), 0x80000000u, nullptr), 0);
  EXPECT_EQ(Undelete_GetString(nullptr, 0x80000000u, nullptr), 0);
  const void* out = nullptr;
  EXPECT_EQ(Undelete_GetString(nullptr, 0x80000000u, &out), 0);
  int local = 0;
  EXPECT_EQ(Storage_RefOf(u.get(), &local), 0u);
}

// A saved session's references are untrusted: a typed block must lie whole inside the used storage,
// or a record pointing at the last unit would be read past it.
TEST(StringReferences, BlocksLieWholeInsideTheUsedStorage) {
  SmallEngine u;
  ASSERT_TRUE(Storage_AddString(u.get(), u"abc", nullptr));  // 8 bytes used
  EXPECT_NE(Storage_Block(u.get(), 0x80000000u, 8), nullptr);
  EXPECT_EQ(Storage_Block(u.get(), 0x80000000u, 9), nullptr);
  EXPECT_NE(Storage_Block(u.get(), 0x80000006u, 2), nullptr);
  EXPECT_EQ(Storage_Block(u.get(), 0x80000006u, 4), nullptr);
  EXPECT_EQ(Storage_Get<std::uint64_t>(u.get(), 0x80000002u), nullptr);
  EXPECT_NE(Storage_Get<std::uint32_t>(u.get(), 0x80000004u), nullptr);
  EXPECT_EQ(Storage_Block(u.get(), 0x80000008u, 0), nullptr);
}

class FolderPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Storage_AddFolder(m_u.get(), u"C:", kNoParent, 0xFFFF, 0, false, false, nullptr));
    ASSERT_TRUE(Storage_AddFolder(m_u.get(), u"dir", 0, 0, 0, false, false, nullptr));
    ASSERT_TRUE(Storage_AddFolder(m_u.get(), u"sub", 1, 0, 0, false, false, nullptr));
  }
  SmallEngine m_u;
};

TEST_F(FolderPath, RootFirstEachNameFollowedByASeparator) {
  char16_t out[64];
  ASSERT_TRUE(Storage_FolderPath(m_u.get(), 2, out, 64));
  EXPECT_EQ(std::u16string(out), u"C:\\dir\\sub\\");
  ASSERT_TRUE(Storage_FolderPath(m_u.get(), 0, out, 64));
  EXPECT_EQ(std::u16string(out), u"C:\\");
}

TEST_F(FolderPath, CapacityCountsTheTerminator) {
  char16_t out[64];
  EXPECT_TRUE(Storage_FolderPath(m_u.get(), 2, out, 12));  // 11 units + NUL
  EXPECT_FALSE(Storage_FolderPath(m_u.get(), 2, out, 11));
  EXPECT_FALSE(Storage_FolderPath(m_u.get(), 3, out, 64));  // no such folder
}

TEST_F(FolderPath, LoopsAndBrokenLinksFail) {
  char16_t out[64];
  Storage_Folder(m_u.get(), 0)->parent.set(2);  // 0 -> 2 -> 1 -> 0
  EXPECT_FALSE(Storage_FolderPath(m_u.get(), 2, out, 64));
  Storage_Folder(m_u.get(), 0)->parent.set(7);  // out of range
  EXPECT_FALSE(Storage_FolderPath(m_u.get(), 2, out, 64));
  Storage_Folder(m_u.get(), 0)->parent.set(kNoParent);
  Storage_Folder(m_u.get(), 1)->name.set(0);  // a folder without a name still has its separator
  ASSERT_TRUE(Storage_FolderPath(m_u.get(), 2, out, 64));
  EXPECT_EQ(std::u16string(out), u"C:\\\\sub\\");
}

}  // namespace
