// Interrupted scans saved as sessions and continued, through the engine's interface: a two-drive
// scan cancelled in the second drive, a deep scan cancelled half-way, and a session whose drive
// is gone. A continued scan must list what one uninterrupted scan lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/session.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "session_util.h"
#include "test_support.h"

namespace {

using sessiontest::listing;
using sessiontest::waitIdle;

/// Report lines of a scan, with a hook that runs on each (on the search thread).
struct Reports {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> onLine;
  static int collect(void* context, const char* line) {
    auto* r = static_cast<Reports*>(context);
    {
      std::lock_guard lock(r->mutex);
      r->lines.emplace_back(line);
    }
    if (r->onLine) r->onLine(line);
    return 0;
  }
  int count(const std::string& line) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
};

/// Save callback: counts the offers and answers yes.
int saveYes(void* arg) {
  ++*static_cast<std::atomic<int>*>(arg);
  return 1;
}

/// An engine object whose session file lives in the test's folder.
class Engine {
 public:
  explicit Engine(const std::filesystem::path& sessionFile) {
    Undelete_Create(&m_u);
    m_u->sessionPath = sessionFile.string();
    Undelete_SetVerbose(m_u, Reports::collect, &reports);
  }
  ~Engine() {
    if (Undelete_IsSearching(m_u, nullptr)) Undelete_TotalCancel(m_u);
    waitIdle(m_u);
    Undelete_Delete(m_u);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  Undelete* get() const { return m_u; }
  Undelete* operator->() const { return m_u; }
  Reports reports;

 private:
  Undelete* m_u = nullptr;
};

SessionImage parseSession(const std::filesystem::path& file, std::vector<std::uint8_t>& bytes) {
  bytes = kvxtest::readFile(file);
  SessionImage s;
  EXPECT_EQ(Session_Parse(bytes, s), Parse::Ok);
  return s;
}

std::uint32_t specOf(char letter) { return static_cast<std::uint32_t>(letter - 'A'); }

// --- Two drives, cancelled in the second ----------------------------------------------------

class TwoDriveSession : public ::testing::Test {
 protected:
  // The images are made and mapped once: the drive table has only 26 letters for the whole run.
  static void SetUpTestSuite() {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "mmd"})) return;
    s_images = std::make_unique<kvxtest::TempDir>("session-two-img");
    for (unsigned i = 0; i < 2; ++i) {
      const auto image = *s_images / ("fat" + std::to_string(i) + ".img");
      if (!sessiontest::makeFatImage(image, i + 1)) return;
      s_letters[i] = Host_AddDrive(image.string());
    }
  }
  static void TearDownTestSuite() { s_images.reset(); }
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "mmd"})) GTEST_SKIP() << "mtools needed";
    for (unsigned i = 0; i < 2; ++i) {
      m_letters[i] = s_letters[i];
      ASSERT_NE(m_letters[i], 0) << "image " << i << " could not be made or mapped";
      m_specs[i] = specOf(m_letters[i]);
    }
  }
  static inline std::unique_ptr<kvxtest::TempDir> s_images;
  static inline char s_letters[2] = {};
  /// Saves a session of the two drives cancelled as the second one's file-system pass starts.
  void saveInterrupted(Engine& e, std::atomic<int>& offers) {
    std::atomic<int> passes{0};
    e.reports.onLine = [&](const std::string& line) {
      // The FAT pass of the second drive begins: its directory walk meets the cancel at once.
      if (line.rfind("\tScanning file system 1, FAT12.", 0) == 0 && ++passes == 2)
        Undelete_Cancel(e.get());
    };
    ASSERT_EQ(Undelete_SearchMultiple(e.get(), m_specs, 2, 0, saveYes, nullptr, &offers), 1);
    ASSERT_TRUE(waitIdle(e.get()));
    e.reports.onLine = nullptr;
  }
  [[nodiscard]] std::filesystem::path sessionFile() const { return m_dir / "LastSession.Results"; }

  kvxtest::TempDir m_dir{"session-two"};
  char m_letters[2] = {};
  std::uint32_t m_specs[2] = {};
};

TEST_F(TwoDriveSession, StoresTheFirstDriveAndContinuesWithTheSecond) {
  // Reference: one uninterrupted scan of both drives.
  std::multiset<std::string> whole, firstOnly;
  {
    Engine ref(m_dir / "unused.Results");
    ASSERT_EQ(Undelete_SearchMultiple(ref.get(), m_specs, 2, 0, saveYes, nullptr, nullptr), 1);
    ASSERT_TRUE(waitIdle(ref.get()));
    whole = listing(ref.get());
    for (const auto& line : whole)
      if (line.rfind("0|", 0) == 0) firstOnly.insert(line);
    ASSERT_GT(firstOnly.size(), 0u);
    ASSERT_GT(whole.size(), firstOnly.size());
    EXPECT_FALSE(std::filesystem::exists(m_dir / "unused.Results")) << "nothing to save";
  }

  std::atomic<int> offers{0};
  {
    Engine e(sessionFile());
    saveInterrupted(e, offers);
    EXPECT_EQ(offers.load(), 1);
    std::uint32_t error = 0;
    Undelete_GetError(e.get(), &error);
    EXPECT_EQ(error, kErrUserAbort);
  }
  std::vector<std::uint8_t> bytes;
  const SessionImage s = parseSession(sessionFile(), bytes);
  EXPECT_EQ(s.drivesDone, 1);
  ASSERT_EQ(s.drives.size(), 2u);
  EXPECT_EQ(s.drives[0].kind, m_letters[0]);
  EXPECT_EQ(s.drives[1].kind, m_letters[1]);
  EXPECT_EQ(s.drives[0].length.get(), 1440u * 1024);
  EXPECT_EQ(s.deepScanResume, 0u);
  EXPECT_EQ(s.fileCount, firstOnly.size()) << "only the finished drive's results";

  Engine e(sessionFile());
  char text[2048];
  int all = -1;
  ASSERT_EQ(Undelete_GetSessionInfo(e.get(), text, sizeof text, &all, nullptr), 1);
  EXPECT_EQ(all, 1);
  EXPECT_NE(std::string(text).find("1 / 2 drives scanned#"), std::string::npos) << text;
  EXPECT_EQ(std::string(text).find("Sectors examined"), std::string::npos) << "no deep scan";

  ASSERT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &offers), 1);
  ASSERT_TRUE(waitIdle(e.get()));
  std::uint32_t code = 0;
  Undelete_IsSearching(e.get(), &code);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(listing(e.get()), whole);
  // Only the second drive was scanned again.
  EXPECT_EQ(e.reports.count(std::string("Scanning drive ") + m_letters[0] + ":\r\n"), 0);
  EXPECT_EQ(e.reports.count(std::string("Scanning drive ") + m_letters[1] + ":\r\n"), 1);
  EXPECT_FALSE(std::filesystem::exists(sessionFile())) << "a continued scan that ends removes it";
  EXPECT_EQ(offers.load(), 1) << "nothing interrupted the continued scan";
}

TEST_F(TwoDriveSession, ContinuedScanCancelledAgainKeepsTheFile) {
  std::atomic<int> offers{0};
  {
    Engine e(sessionFile());
    saveInterrupted(e, offers);
  }
  ASSERT_TRUE(std::filesystem::exists(sessionFile()));
  Engine e(sessionFile());
  e.reports.onLine = [&](const std::string& line) {
    if (line.rfind("Scanning drive", 0) == 0) Undelete_Cancel(e.get());
  };
  std::atomic<int> again{0};
  ASSERT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &again), 1);
  ASSERT_TRUE(waitIdle(e.get()));
  EXPECT_EQ(again.load(), 1);
  ASSERT_TRUE(std::filesystem::exists(sessionFile())) << "a cancelled continuation keeps it";
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(parseSession(sessionFile(), bytes).drivesDone, 1);
}

TEST_F(TwoDriveSession, DriveThatIsGoneIsNamedAndRefused) {
  std::atomic<int> offers{0};
  {
    Engine e(sessionFile());
    saveInterrupted(e, offers);
  }
  // The second drive's letter is one this machine's table does not have (as in a later run
  // where the image is no longer mapped).
  char gone = 0;
  for (char c = 'Z'; c > 'C' && gone == 0; --c)
    if (!Host_FindDrive(c)) gone = c;
  ASSERT_NE(gone, 0);
  auto bytes = kvxtest::readFile(sessionFile());
  constexpr std::size_t kSecondDriveKind = 14 + 273 + 17;
  ASSERT_EQ(bytes.at(kSecondDriveKind), m_letters[1]);
  bytes[kSecondDriveKind] = static_cast<std::uint8_t>(gone);
  kvxtest::writeFile(sessionFile(), bytes);

  Engine e(sessionFile());
  char text[2048];
  int all = -1;
  std::uint8_t map[4] = {};
  ASSERT_EQ(Undelete_GetSessionInfo(e.get(), text, sizeof text, &all, map), 1);
  EXPECT_EQ(all, 0);
  EXPECT_NE(std::string(text).find(std::string("\n  ") + gone + ": (not found), 1.4 MB"),
            std::string::npos)
      << text;
  EXPECT_NE(std::string(text).find(std::string("\n  ") + m_letters[0] + ":, 1.4 MB"),
            std::string::npos)
      << text;
  EXPECT_EQ(map[1], gone);
  EXPECT_EQ(map[2], 255);

  EXPECT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &offers), 0);
  EXPECT_EQ(Undelete_IsSearching(e.get(), nullptr), 0);
  std::uint32_t files = 7, error = 0;
  Undelete_GetFilesCount(e.get(), &files);
  EXPECT_EQ(files, 0u) << "a refused restore leaves no results";
  Undelete_GetError(e.get(), &error);
  EXPECT_NE(error, 0u);
  EXPECT_TRUE(std::filesystem::exists(sessionFile())) << "kept for when the drive is back";
}

TEST_F(TwoDriveSession, ALetterNowNamingAnotherVolumeIsRefused) {
  std::atomic<int> offers{0};
  {
    Engine e(sessionFile());
    saveInterrupted(e, offers);
  }
  // The letter is there but its volume is not the one scanned (another image mapped to it in a
  // later run): the stored results and used-sector map do not belong to it.
  auto bytes = kvxtest::readFile(sessionFile());
  constexpr std::size_t kSecondDriveLength = 14 + 273 + 8;
  ASSERT_EQ(bytes.at(kSecondDriveLength + 2), 0x16);  // 1440 KiB = 0x168000
  bytes[kSecondDriveLength + 2] = 0x20;
  kvxtest::writeFile(sessionFile(), bytes);

  Engine e(sessionFile());
  EXPECT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &offers), 0);
  EXPECT_EQ(Undelete_IsSearching(e.get(), nullptr), 0);
  std::uint32_t files = 7, error = 0;
  Undelete_GetFilesCount(e.get(), &files);
  EXPECT_EQ(files, 0u);
  Undelete_GetError(e.get(), &error);
  EXPECT_EQ(error, kErrOpenDrive);
  EXPECT_TRUE(std::filesystem::exists(sessionFile()));
}

int memoryNo(void*) { return 0; }

TEST_F(TwoDriveSession, RestoreLeavesNoLowMemoryQuestionOfAnEarlierScan) {
  std::atomic<int> offers{0};
  Engine e(sessionFile());
  // The earlier scan's callbacks share its argument, as the engine asks both with one.
  ASSERT_EQ(Undelete_SearchMultiple(e.get(), m_specs, 2, 0, saveYes, memoryNo, &offers), 1);
  ASSERT_TRUE(waitIdle(e.get()));
  {
    Engine first(sessionFile());
    saveInterrupted(first, offers);
  }
  std::atomic<int> again{0};  // the restore's own argument
  ASSERT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &again), 1);
  EXPECT_EQ(e->memoryCallback, nullptr);
  EXPECT_EQ(e->saveCallbackArg, &again);
  ASSERT_TRUE(waitIdle(e.get()));
}

// --- Deep scan cancelled half-way -----------------------------------------------------------

TEST(DeepScanSession, ResumedScanFindsWhatOneScanFinds) {
  kvxtest::TempDir dir("session-deep");
  // One image and letter for the whole run (the test may be repeated).
  static kvxtest::TempDir images("session-deep-img");
  static const char letter = [] {
    const auto image = images / "carve.img";
    return sessiontest::makeCarvingImage(images.path(), image, 64) ? Host_AddDrive(image.string())
                                                                   : '\0';
  }();
  if (letter == 0) GTEST_SKIP() << "imagemagick and zip needed";
  const std::uint32_t driveSpec = specOf(letter);
  const auto sessionFile = dir / "LastSession.Results";

  std::multiset<std::string> whole;
  {
    Engine ref(dir / "unused.Results");
    ASSERT_EQ(Undelete_SearchMultiple(ref.get(), &driveSpec, 1, kOptDeepScan, saveYes, nullptr, nullptr),
              1);
    ASSERT_TRUE(waitIdle(ref.get()));
    whole = listing(ref.get());
    ASSERT_GE(whole.size(), 20u) << "every placed file is found";
  }

  std::atomic<int> offers{0};
  std::uint64_t cancelledAt = 0, total = 0;
  {
    Engine e(sessionFile);
    ASSERT_EQ(Undelete_SearchMultiple(e.get(), &driveSpec, 1, kOptDeepScan, saveYes, nullptr, &offers),
              1);
    // Poll as a caller does; cancel once the deep scan is past half of its sectors.
    while (Undelete_IsSearching(e.get(), nullptr)) {
      std::uint32_t all = 0, position = 0;
      std::uint64_t done = 0, sectors = 0;
      if (Undelete_GetProgress(e.get(), &all, &position, &done, &sectors) && sectors != 0 &&
          done > sectors / 2) {
        Undelete_Cancel(e.get());
        cancelledAt = done;
        total = sectors;
        break;
      }
      std::this_thread::yield();
    }
    ASSERT_TRUE(waitIdle(e.get()));
    ASSERT_NE(cancelledAt, 0u) << "the scan ended before the poll saw half of it";
  }
  ASSERT_EQ(offers.load(), 1);
  std::vector<std::uint8_t> bytes;
  const SessionImage s = parseSession(sessionFile, bytes);
  EXPECT_EQ(s.drivesDone, 0);
  EXPECT_GE(s.deepScanResume, cancelledAt);
  EXPECT_LT(s.deepScanResume, total) << "cancelled before the end";
  EXPECT_GT(s.fileCount, 0u);
  EXPECT_LT(s.fileCount, whole.size());

  Engine e(sessionFile);
  char text[2048];
  ASSERT_EQ(Undelete_GetSessionInfo(e.get(), text, sizeof text, nullptr, nullptr), 1);
  EXPECT_TRUE(
      std::string(text).ends_with("#\n  Sectors examined: " + std::to_string(s.deepScanResume)))
      << text;
  EXPECT_NE(std::string(text).find("  Deep scan: Yes\n"), std::string::npos);

  ASSERT_EQ(Undelete_RestoreSession(e.get(), 0, saveYes, &offers), 1);
  // The continued deep scan counts its progress against the whole drive, from where it stopped.
  std::uint64_t firstDone = 0, seenTotal = 0;
  std::uint32_t lowestPosition = 10000;
  while (Undelete_IsSearching(e.get(), nullptr)) {
    std::uint32_t all = 0, position = 0;
    std::uint64_t done = 0, sectors = 0;
    if (Undelete_GetProgress(e.get(), &all, &position, &done, &sectors) && done != 0) {
      if (firstDone == 0) firstDone = done;
      seenTotal = std::max(seenTotal, sectors);
      lowestPosition = std::min(lowestPosition, position);
    }
    std::this_thread::yield();
  }
  ASSERT_NE(firstDone, 0u) << "no poll saw the continued deep scan";
  EXPECT_GE(firstDone, s.deepScanResume);
  EXPECT_EQ(seenTotal, total);
  EXPECT_GE(lowestPosition, 1000 + 8000 * s.deepScanResume / total);
  ASSERT_TRUE(waitIdle(e.get()));
  EXPECT_EQ(listing(e.get()), whole);
  EXPECT_FALSE(std::filesystem::exists(sessionFile));
}

}  // namespace
