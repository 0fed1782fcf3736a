// Session results file: save, checked parse, description, loading the results, restore refusal.
#include "core/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/cached_drive.h"
#include "core_engine.h"
#include "fat/fat.h"
#include "host/host.h"
#include "test_support.h"

namespace {

using coretest::fileRecord;
using coretest::SmallEngine;
using coretest::stringAt;

struct Reports {
  std::vector<std::string> lines;
  static int collect(void* context, const char* line) {
    static_cast<Reports*>(context)->lines.emplace_back(line);
    return 0;
  }
  [[nodiscard]] bool has(const std::string& line) const {
    for (const auto& l : lines)
      if (l == line) return true;
    return false;
  }
};

/// An interrupted two-drive scan: E: finished, a partition under a deep scan. Results: 2 folders,
/// 3 files and the strings they name, plus one file, folder and string past the restart point.
struct Scan {
  std::uint32_t files = 0, folders = 0, strings = 0;  // restart point
};

Scan fillInterruptedScan(Undelete* u) {
  u->driveTable = new DriveSlot[2]();
  u->driveCount = 2;
  DriveSlot& e = u->driveTable[0];
  e.driveSpec = 4;
  e.letter = 'E';
  std::strcpy(e.title, "E:");
  DriveSlot& p = u->driveTable[1];
  p.driveSpec = 1u << 24 | 3;
  p.start = 0x100000;
  p.length = 0x100000;
  p.physicalDrive = 1;
  p.letter = 'F';
  std::strcpy(p.title, "Disk 1 partition 2");
  // The search by content under way needs the partition's used-sector map to go on.
  EXPECT_TRUE(CachedDrive_Create(&p.drive));
  EXPECT_TRUE(CachedDrive_InitMap(p.drive, 16384, nullptr, 0));
  u->driveIndex = 1;
  u->options = kOptDeepScan | kOptTestExtension;
  u->deepScanResume = 12345;

  std::uint32_t root = 0, sub = 0, name = 0, note = 0, locator = 0;
  EXPECT_TRUE(Storage_AddFolder(u, u"E:", kNoParent, 0xFFFF, 0, false, false, &root));
  EXPECT_TRUE(Storage_AddFolder(u, u"docs", root, 7, kAttrHidden, true, true, &sub));
  EXPECT_TRUE(Storage_AddString(u, u"a.txt", &name));
  EXPECT_TRUE(Storage_AddString(u, u"overwritten", &note));
  const std::uint8_t block[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(Storage_AddBlob(u, block, sizeof block, &locator));
  for (int i = 0; i < 3; ++i) {
    FileRecord r = fileRecord(i == 0);
    r.folder.set(sub);
    r.name.set(name);
    r.note.set(i == 1 ? note : 0);
    r.locator.set(locator);
    r.size.set(1000u + static_cast<unsigned>(i));
    u->scanKey = 50 + static_cast<unsigned>(i % 2);
    EXPECT_TRUE(Storage_AddFile(u, &r, i == 2));
  }
  // Record 0 was replaced by record 2 (same key): the mark must survive a round trip.
  u->dupFirst = 0;
  u->dupEnd = 1;
  u->scanKey = 50;
  FileRecord twin = fileRecord();
  twin.name.set(name);
  EXPECT_TRUE(Storage_AddFile(u, &twin, false));
  u->rootFolder = root;
  for (int i = 0; i < 4; ++i) u->scanMarks[i] = 0x11111111u * static_cast<unsigned>(i + 1);
  std::memset(u->scanScratch, 0xA5, sizeof u->scanScratch);
  u->passFirstFile = 1;
  const Scan at{u->fileCount, u->folderCount, u->stringsUsed};
  // Beyond the restart point: not in the file.
  EXPECT_TRUE(Storage_AddFolder(u, u"late", root, 0, 0, false, false, nullptr));
  FileRecord late = fileRecord();
  EXPECT_TRUE(Storage_AddFile(u, &late, false));
  return at;
}

class SessionFile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_u->sessionPath = (m_dir / "LastSession.Results").string();
    Undelete_SetVerbose(m_u.get(), Reports::collect, &m_reports);
  }
  [[nodiscard]] std::vector<std::uint8_t> saved() const {
    return kvxtest::readFile(m_u->sessionPath);
  }

  kvxtest::TempDir m_dir{"session"};
  SmallEngine m_u;
  Reports m_reports;
};

TEST_F(SessionFile, SaveWritesTheRestartPointAndParsesBack) {
  const Scan at = fillInterruptedScan(m_u.get());
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  EXPECT_TRUE(m_reports.has("Saving session.\r\n"));
  EXPECT_TRUE(m_reports.has("\tSaving session complete\r\n"));
  EXPECT_FALSE(std::filesystem::exists(m_u->sessionPath + ".partial"));

  const auto bytes = saved();
  ASSERT_GE(bytes.size(), 14u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "SR1.03");
  SessionImage s;
  ASSERT_EQ(Session_Parse(bytes, s), Parse::Ok);
  EXPECT_EQ(s.options, kOptDeepScan | kOptTestExtension);
  EXPECT_EQ(s.drivesDone, 1);
  ASSERT_EQ(s.drives.size(), 2u);
  EXPECT_EQ(s.drives[0].kind, 'E');
  EXPECT_EQ(s.drives[1].kind, kSessionPartition | 'F');
  EXPECT_EQ(s.drives[1].start.get(), 0x100000u);
  EXPECT_EQ(s.drives[1].length.get(), 0x100000u);
  EXPECT_EQ(s.drives[1].disk, 1);
  EXPECT_STREQ(s.drives[1].title, "Disk 1 partition 2");
  EXPECT_EQ(s.deepScanResume, 12345u);
  EXPECT_EQ(s.scanner.rootFolder.get(), 0u);
  EXPECT_EQ(s.scanner.scanMarks[3].get(), 0x44444444u);
  EXPECT_EQ(s.scanner.scanScratch[167], 0xA5);
  EXPECT_EQ(s.scanner.dupEnd.get(), 1u);
  EXPECT_EQ(s.scanner.passFirstFile.get(), 1u);
  EXPECT_EQ(s.fileCount, at.files);
  EXPECT_EQ(s.folderCount, at.folders);
  EXPECT_EQ(s.stringUnits, at.strings);
  EXPECT_EQ(0, std::memcmp(s.files.data(), m_u->files, s.files.size()));
}

TEST_F(SessionFile, ResultsLoadBackByteForByte) {
  const Scan at = fillInterruptedScan(m_u.get());
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  const auto bytes = saved();
  SessionImage s;
  ASSERT_EQ(Session_Parse(bytes, s), Parse::Ok);

  SmallEngine v;
  ASSERT_TRUE(Session_LoadResults(v.get(), s));
  EXPECT_EQ(v->fileCount, at.files);
  EXPECT_EQ(v->folderCount, at.folders);
  EXPECT_EQ(v->stringsUsed, at.strings);
  EXPECT_EQ(v->deletedCount, 3u);  // records 1, 2 and the twin
  EXPECT_EQ(0, std::memcmp(v->files, m_u->files, std::size_t{at.files} * sizeof(FileRecord)));
  EXPECT_EQ(0,
            std::memcmp(v->folders, m_u->folders, std::size_t{at.folders} * sizeof(FolderRecord)));
  const FileRecord* f0 = Storage_File(v.get(), 0);
  EXPECT_EQ(f0->marks.get() & 1, 1);  // replaced stays replaced
  EXPECT_EQ(f0->note.get(), 0u);      // a null note stays null
  EXPECT_EQ(stringAt(v.get(), Storage_File(v.get(), 1)->note.get()), u"overwritten");
  EXPECT_EQ(stringAt(v.get(), Storage_Folder(v.get(), 1)->name.get()), u"docs");
  EXPECT_EQ(v->rootFolder, 0u);
  EXPECT_EQ(v->dupEnd, 1u);
  EXPECT_EQ(v->scanMarks[1], 0x22222222u);
}

TEST_F(SessionFile, WithoutADeepScanTheScannerStateIsLeftOut) {
  Scan at = fillInterruptedScan(m_u.get());
  m_u->deepScanResume = 0;
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  SessionImage s;
  const auto bytes = saved();
  ASSERT_EQ(Session_Parse(bytes, s), Parse::Ok);
  EXPECT_EQ(s.deepScanResume, 0u);
  // Counts past what the storage holds are cut to it.
  ASSERT_TRUE(Session_Save(m_u.get(), 1000, 1000, 1000000));
  const auto all = saved();
  ASSERT_EQ(Session_Parse(all, s), Parse::Ok);
  EXPECT_EQ(s.fileCount, m_u->fileCount);
  EXPECT_EQ(s.stringUnits, m_u->stringsUsed);
}

TEST_F(SessionFile, DescriptionNamesDrivesOptionsAndProgress) {
  const Scan at = fillInterruptedScan(m_u.get());
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  const auto bytes = saved();
  SessionImage s;
  ASSERT_EQ(Session_Parse(bytes, s), Parse::Ok);

  SessionDriveLookup lookup;
  lookup.letterExists = [](char, void*) noexcept { return false; };
  lookup.findPartition = [](const SessionDrive& d, std::uint8_t* index, void*) noexcept {
    *index = 7;
    return d.disk == 1;
  };
  char text[1024];
  int all = -1;
  std::uint8_t map[8] = {};
  Session_Describe(s, lookup, text, sizeof text, &all, map);
  EXPECT_STREQ(text,
               "Options in effect:\n  Deep scan: Yes\n  Test extension: Yes\n"
               "  Test all files: No\n  Rename extension: No\n\n1 / 2 drives scanned#"
               "\n  E: (not found), 0 B\n  Disk 1 partition 2, 1.0 MB#\n  Sectors examined: 12345");
  EXPECT_EQ(all, 0);
  EXPECT_EQ(map[0], 'E');
  EXPECT_EQ(map[1], 7);
  EXPECT_EQ(map[2], 255);

  lookup.letterExists = [](char letter, void*) noexcept { return letter == 'E'; };
  lookup.findPartition = nullptr;
  char small[12];
  Session_Describe(s, lookup, small, sizeof small, &all, map);
  EXPECT_STREQ(small, "Options in ");  // cut to the buffer
  EXPECT_EQ(all, 1);
  EXPECT_EQ(map[0], 'E');
  EXPECT_EQ(map[1], 255);  // the partition matched nothing
}

TEST_F(SessionFile, EveryTruncationAndTrailingByteIsRefused) {
  const Scan at = fillInterruptedScan(m_u.get());
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  auto bytes = saved();
  SessionImage s;
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const Parse p = Session_Parse(std::span(bytes.data(), n), s);
    ASSERT_EQ(p, n < 6 ? Parse::NotThis : Parse::Corrupt) << n;
  }
  bytes.push_back(0);
  EXPECT_EQ(Session_Parse(bytes, s), Parse::Corrupt);
}

// Offsets in a session saved by fillInterruptedScan.
constexpr std::size_t kDriveCount = 10, kDrivesDone = 12, kDrives = 14;
constexpr std::size_t kResume = kDrives + 2 * 273;
constexpr std::size_t kFirstMap = kResume + 8;  // drive 0: map count 0, fs count 0

struct Mutation {
  const char* name;
  std::ptrdiff_t offset;  // from the start, or from the end when negative
  std::vector<std::uint8_t> bytes;
  Parse expected;
};
class SessionMutation : public ::testing::TestWithParam<Mutation> {};

TEST_P(SessionMutation, OneFieldChanged) {
  SmallEngine u;
  const Scan at = fillInterruptedScan(u.get());
  kvxtest::TempDir dir("session_mut");
  u->sessionPath = (dir / "s").string();
  ASSERT_TRUE(Session_Save(u.get(), at.files, at.folders, at.strings));
  auto bytes = kvxtest::readFile(u->sessionPath);
  const Mutation& m = GetParam();
  const std::size_t at0 = m.offset >= 0 ? static_cast<std::size_t>(m.offset)
                                        : bytes.size() - static_cast<std::size_t>(-m.offset);
  std::copy(m.bytes.begin(), m.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at0));
  SessionImage s;
  EXPECT_EQ(Session_Parse(bytes, s), m.expected);
}

// Folder records are the last 2 x 20 bytes; file records the 4 x 127 before them and their count.
constexpr std::ptrdiff_t kLastFolderName = -20;
constexpr std::ptrdiff_t kFirstFileNote = -(2 * 20 + 4 + 4 * 127) + 56;
constexpr std::ptrdiff_t kFileCount = -(2 * 20 + 4 + 4 * 127 + 4);

INSTANTIATE_TEST_SUITE_P(
    Session, SessionMutation,
    ::testing::Values(
        Mutation{"Pristine", 0, {}, Parse::Ok},
        Mutation{"ForeignMagic", 0, {'S', 'R', '1', '.', '0', '2'}, Parse::NotThis},
        Mutation{"NoDrives", kDriveCount, {0, 0}, Parse::Corrupt},
        Mutation{"TooManyDrives", kDriveCount, {0x00, 0x01}, Parse::Corrupt},
        Mutation{"MoreDoneThanDrives", kDrivesDone, {3, 0}, Parse::Corrupt},
        Mutation{"DeepScanAfterTheLastDrive", kDrivesDone, {2, 0}, Parse::Corrupt},
        Mutation{"HugeMap", kFirstMap, {0xFF, 0xFF, 0xFF, 0xFF}, Parse::Corrupt},
        Mutation{"TooManyFileSystems", kFirstMap + 4, {0, 1, 0, 0}, Parse::Corrupt},
        Mutation{"NoteOutsideStrings", kFirstFileNote, {0x00, 0x10, 0x00, 0x80}, Parse::Corrupt},
        Mutation{"NoteWithoutRefBit", kFirstFileNote, {0x02, 0, 0, 0}, Parse::Corrupt},
        Mutation{"FolderNameOutside", kLastFolderName, {0xFF, 0xFF, 0xFF, 0xFF}, Parse::Corrupt},
        Mutation{"FileCountPastTheEnd", kFileCount, {5, 0, 0, 0}, Parse::Corrupt},
        Mutation{"FileCountShort", kFileCount, {3, 0, 0, 0}, Parse::Corrupt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionParse, FileSystemEntriesAreCheckedBySize) {
  // One drive letter, no deep scan, one file-system entry, empty results.
  const auto build = [](std::uint32_t type, std::uint32_t size) {
    std::vector<std::uint8_t> b{'S', 'R', '1', '.', '0', '3', 0, 0, 0, 0, 1, 0, 0, 0};
    SessionDrive d{};
    d.kind = 'E';
    const auto* dp = reinterpret_cast<const std::uint8_t*>(&d);
    b.insert(b.end(), dp, dp + sizeof d);
    b.insert(b.end(), 8, 0);                      // deepScanResume
    b.insert(b.end(), {0, 0, 0, 0, 1, 0, 0, 0});  // no map, one entry
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    std::vector<std::uint8_t> entry(size, 0);
    for (int i = 0; i < 4 && i < static_cast<int>(size); ++i)
      entry[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(type >> (8 * i));
    b.insert(b.end(), entry.begin(), entry.end());
    b.insert(b.end(), 12, 0);  // no strings, files or folders
    return b;
  };
  SessionImage s;
  EXPECT_EQ(Session_Parse(build(0, 4), s), Parse::Ok);
  EXPECT_EQ(Session_Parse(build(0, 3), s), Parse::Corrupt);
  EXPECT_EQ(Session_Parse(build(1, 2916), s), Parse::Ok);
  EXPECT_EQ(Session_Parse(build(1, 2915), s), Parse::Corrupt);
  EXPECT_EQ(Session_Parse(build(2, 39), s), Parse::Corrupt);
  EXPECT_EQ(Session_Parse(build(3, 44), s), Parse::Ok);
  // No engine writes another type: such an entry would be dropped and its files left without one.
  EXPECT_EQ(Session_Parse(build(99, 4), s), Parse::Corrupt);
}

// Whole-file checks that a one-field mutation table cannot express: references that are in range
// yet misaligned or unterminated, and a search by content that cannot go on where it says.
TEST(SessionParse, TextsAndTheResumePositionMustFitTheStoredResults) {
  SmallEngine u;
  const Scan at = fillInterruptedScan(u.get());
  kvxtest::TempDir dir("session_fit");
  u->sessionPath = (dir / "s").string();
  ASSERT_TRUE(Session_Save(u.get(), at.files, at.folders, at.strings));
  const auto pristine = kvxtest::readFile(u->sessionPath);
  const std::size_t file0 = pristine.size() - (2 * 20 + 4 + 4 * 127);
  const auto field = [&](std::size_t offset) {
    std::uint32_t v = 0;
    std::memcpy(&v, pristine.data() + offset, 4);
    return v;
  };
  const auto with = [&](std::size_t offset, const void* value, std::size_t n) {
    auto b = pristine;
    std::memcpy(b.data() + offset, value, n);
    SessionImage s;
    return Session_Parse(b, s);
  };
  SessionImage s;
  ASSERT_EQ(Session_Parse(pristine, s), Parse::Ok);
  const std::uint32_t name = field(file0 + 48), locator = field(file0 + 123);
  const std::uint32_t odd = name + 1, blob = locator;
  EXPECT_EQ(with(file0 + 48, &odd, 4), Parse::Corrupt) << "a UTF-16 text at an odd offset";
  EXPECT_EQ(with(file0 + 48, &blob, 4), Parse::Corrupt) << "a text with no NUL before the end";
  EXPECT_EQ(with(file0 + 52, &blob, 4), Parse::Corrupt) << "the root name likewise";
  const std::uint32_t lastUnit = (at.strings - 1) * 2 | 0x80000000u;
  EXPECT_EQ(with(file0 + 123, &lastUnit, 4), Parse::Corrupt) << "a block shorter than 4 bytes";

  const std::uint64_t one = 1, pastMap = 16385;
  EXPECT_EQ(with(kResume, &one, 8), Parse::Ok) << "nothing listed at or past sector 1";
  const std::uint64_t far = 1u << 20;  // a find at 1 MiB, before a resume position of 1
  auto b = pristine;
  std::memcpy(b.data() + kResume, &one, 8);
  std::memcpy(b.data() + file0 + 109, &far, 8);
  EXPECT_EQ(Session_Parse(b, s), Parse::Corrupt) << "it would be listed twice";
  EXPECT_EQ(with(kResume, &pastMap, 8), Parse::Corrupt) << "past the used-sector map";
  const std::uint32_t noDeepScan = kOptTestExtension;
  EXPECT_EQ(with(6, &noDeepScan, 4), Parse::Corrupt) << "a resume position without a deep scan";
}

TEST(SessionSave, NeverWritesThroughAPlantedLink) {
  SmallEngine u;
  const Scan at = fillInterruptedScan(u.get());
  kvxtest::TempDir dir("session_link");
  kvxtest::writeFile(dir / "victim", {'v'});
  u->sessionPath = (dir / "LastSession.Results").string();
  for (const char* planted : {"LastSession.Results", "LastSession.Results.partial"})
    std::filesystem::create_symlink(dir / "victim", dir / planted);
  ASSERT_TRUE(Session_Save(u.get(), at.files, at.folders, at.strings));
  EXPECT_EQ(kvxtest::readFile(dir / "victim"), (std::vector<std::uint8_t>{'v'}));
  EXPECT_FALSE(std::filesystem::is_symlink(u->sessionPath));
  SessionImage s;
  const auto bytes = kvxtest::readFile(u->sessionPath);
  EXPECT_EQ(Session_Parse(bytes, s), Parse::Ok);
}

// --- Exports ------------------------------------------------------------------------------------

TEST_F(SessionFile, GetSessionInfoNeedsAWholeSession) {
  char text[64] = "unchanged";
  int all = -1;
  EXPECT_EQ(Undelete_GetSessionInfo(m_u.get(), text, sizeof text, &all, nullptr), 0);
  EXPECT_EQ(all, 0);
  kvxtest::writeFile(m_u->sessionPath, {'S', 'R', '1', '.', '0', '3', 1});
  EXPECT_EQ(Undelete_GetSessionInfo(m_u.get(), text, sizeof text, &all, nullptr), 0);

  const Scan at = fillInterruptedScan(m_u.get());
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  std::uint8_t map[4];
  char full[1024];
  EXPECT_EQ(Undelete_GetSessionInfo(m_u.get(), full, sizeof full, nullptr, map), 1);
  EXPECT_EQ(std::string(full).rfind("Options in effect:\n", 0), 0u);
  EXPECT_EQ(map[0], 'E');
}

TEST_F(SessionFile, FailedSaveKeepsTheEarlierSession) {
  kvxtest::writeFile(m_u->sessionPath, {'o', 'l', 'd'});
  const Scan at = fillInterruptedScan(m_u.get());
  // A drive whose file-system entry has no save operation makes the save fail.
  CachedDrive* drive = nullptr;
  ASSERT_TRUE(CachedDrive_Create(&drive));
  m_u->driveTable[0].drive = drive;
  const std::uint32_t unknownType = 42;
  ASSERT_TRUE(CachedDrive_AddFileSystem(drive, sizeof unknownType, &unknownType));
  m_u->traceOn = 0;
  EXPECT_FALSE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  EXPECT_TRUE(m_reports.has("\tErrors saving session, partial file deleted.\r\n"));
  EXPECT_TRUE(m_reports.has("\tSaving session complete\r\n"));
  EXPECT_EQ(saved(), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_FALSE(std::filesystem::exists(m_u->sessionPath + ".partial"));

  m_u->sessionPath = (m_dir / "missing" / "LastSession.Results").string();
  EXPECT_FALSE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  EXPECT_TRUE(m_reports.has("\tFailed to open/create save file.\r\n"));
}

TEST_F(SessionFile, RestoreRefusesABadFileAndLeavesNoResults) {
  EXPECT_EQ(Undelete_RestoreSession(m_u.get(), 0, nullptr, nullptr), 0);
  EXPECT_TRUE(m_reports.has("\tFailed to open session file.\r\n"));
  FileRecord r = fileRecord();
  ASSERT_TRUE(Storage_AddFile(m_u.get(), &r, false));
  kvxtest::writeFile(m_u->sessionPath, std::vector<std::uint8_t>(300, 'x'));
  EXPECT_EQ(Undelete_RestoreSession(m_u.get(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(m_u->fileCount, 0u);
  EXPECT_EQ(m_u->files, nullptr);
  EXPECT_EQ(m_u->driveTable, nullptr);
}

TEST_F(SessionFile, RestoreOfAFinishedSessionLoadsItAndDeletesTheFile) {
  // A session whose drives are all done: the continued scan ends at once and removes the file.
  kvxtest::TempDir images("session_img");
  const auto image = images / "q.img";
  kvxtest::writeFile(image, std::vector<std::uint8_t>(1 << 20, 0));
  const char letter = Host_AddDrive(image.string(), 0);
  ASSERT_NE(letter, 0);
  Scan at = fillInterruptedScan(m_u.get());
  m_u->driveTable[0].letter = static_cast<std::uint16_t>(letter);
  m_u->driveTable[1].driveSpec = 0xFF000000u;  // an empty slot
  m_u->driveTable[1].letter = 0;
  m_u->driveIndex = 2;
  m_u->deepScanResume = 0;
  ASSERT_TRUE(Session_Save(m_u.get(), at.files, at.folders, at.strings));
  ASSERT_EQ(Undelete_Done(m_u.get()), 1);

  ASSERT_EQ(Undelete_RestoreSession(m_u.get(), 0, nullptr, nullptr), 1);
  EXPECT_TRUE(m_reports.has("\tSession restored.\r\n"));
  std::uint32_t exitCode = 0;
  for (int i = 0; i < 500 && Undelete_IsSearching(m_u.get(), &exitCode); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Undelete_IsSearching(m_u.get(), &exitCode), 0);
  EXPECT_EQ(m_u->fileCount, at.files);
  EXPECT_EQ(m_u->folderCount, at.folders);
  ASSERT_NE(m_u->driveTable, nullptr);
  EXPECT_NE(m_u->driveTable[0].drive, nullptr);
  EXPECT_STREQ(m_u->driveTable[0].title, (std::string(1, letter) + ":").c_str());
  EXPECT_EQ(m_u->driveTable[1].drive, nullptr);
  EXPECT_FALSE(std::filesystem::exists(m_u->sessionPath));
}

}  // namespace

namespace {

// A FAT drive's file-system entry and used-sector map go through the file and come back on the
// re-opened drive.
TEST_F(SessionFile, FatDriveStateSurvivesARoundTrip) {
  if (!kvxtest::haveTools({"mkfs.fat"})) GTEST_SKIP() << "mkfs.fat missing";
  kvxtest::TempDir images("session_fat");
  const auto image = images / "fat.img";
  ASSERT_EQ(kvxtest::run("mkfs.fat -C -F 16 -i 1234ABCD --invariant " +
                         kvxtest::quote(image.string()) + " 16384 >/dev/null")
                .exitCode,
            0);
  const char letter = Host_AddDrive(image.string(), 0);
  ASSERT_NE(letter, 0);

  m_u->driveTable = new DriveSlot[1]();
  m_u->driveCount = 1;
  DriveSlot& slot = m_u->driveTable[0];
  slot.driveSpec = static_cast<std::uint32_t>(letter - 'A');
  slot.letter = static_cast<std::uint16_t>(letter);
  ASSERT_TRUE(CachedDrive_Create(&slot.drive));
  ASSERT_TRUE(CachedDrive_Open(slot.drive, letter, false));
  ASSERT_TRUE(FAT_RecognizeDrive(m_u.get(), slot.drive));
  ASSERT_EQ(slot.drive->fsCount, 1u);
  ASSERT_TRUE(CachedDrive_InitMap(slot.drive, 16384, nullptr, 0));
  ASSERT_TRUE(CachedDrive_SetMapRange(slot.drive, 100, 9));
  const std::vector<std::uint8_t> entry(
      static_cast<const std::uint8_t*>(slot.drive->fsTable[0]),
      static_cast<const std::uint8_t*>(slot.drive->fsTable[0]) + slot.drive->fsSizes[0]);
  m_u->driveIndex = 1;  // finished: the continued scan ends at once
  ASSERT_TRUE(Session_Save(m_u.get(), 0, 0, 0));
  ASSERT_EQ(Undelete_Done(m_u.get()), 1);

  ASSERT_EQ(Undelete_RestoreSession(m_u.get(), 0, nullptr, nullptr), 1);
  for (int i = 0; i < 500 && Undelete_IsSearching(m_u.get(), nullptr); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(Undelete_IsSearching(m_u.get(), nullptr), 0);
  CachedDrive* back = m_u->driveTable[0].drive;
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->fsCount, 1u);
  le32 type;
  std::memcpy(&type, back->fsTable[0], sizeof type);
  EXPECT_EQ(type.get(), static_cast<std::uint32_t>(kFsFat16));
  ASSERT_EQ(back->fsSizes[0], entry.size());
  // The table copy after the record comes back as it was.
  EXPECT_EQ(0, std::memcmp(static_cast<const std::uint8_t*>(back->fsTable[0]) + 44,
                           entry.data() + 44, entry.size() - 44));
  EXPECT_TRUE(CachedDrive_TestMapBit(back, 100));
  EXPECT_TRUE(CachedDrive_TestMapBit(back, 108));
  EXPECT_FALSE(CachedDrive_TestMapBit(back, 109));
}

}  // namespace
