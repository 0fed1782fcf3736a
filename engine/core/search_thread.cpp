// The search thread: visits the drive slots in order, runs the file-system passes on each, stamps
// the new file records with their slot, and on an interrupt offers to save the session.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/search.h"
#include "core/session.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "undelete/undelete.h"

namespace {

// Deep directory trees are walked recursively by the scanners; this is the stack they get.
constexpr std::size_t kSearchStackSize = 0x800000;

/// Counts of a drive's restart point: what a saved session keeps of the results.
struct RestartPoint {
  std::uint32_t files = 0, folders = 0, strings = 0;
};

RestartPoint currentCounts(const Undelete* u) {
  return {u->fileCount.load(), u->folderCount.load(), u->stringsUsed};
}

/// UTF-8 title to a UTF-16 root name of at most 256 units; bytes that are not UTF-8 are taken as
/// Latin-1, so that no title is lost.
std::u16string rootNameOf(const char* title) { return Text_Utf8ToUtf16(title, 256); }

void stampSlot(Undelete* u, std::uint32_t first) {
  const std::uint32_t end = u->fileCount.load();
  const auto slot = static_cast<std::uint16_t>(u->driveIndex.load() & 0xFFFu);
  for (std::uint32_t i = first; i < end; ++i) {
    FileRecord* r = Storage_File(u, i);
    if (r == nullptr) break;
    r->location.set(static_cast<std::uint16_t>((r->location.get() & 0xF000u) | slot));
  }
}

/// Runs the file systems the deep scan found on the slot's drive after the drive's own.
void furtherPasses(Undelete* u, CachedDrive* drive, std::uint32_t& stampFrom, RestartPoint& rp) {
  const std::uint32_t n = drive->fsCount;
  // The caller's thread reads the options for its progress display: written through atomic_ref.
  std::atomic_ref<std::uint32_t> options(u->options);
  const std::uint32_t savedOptions = options.load(std::memory_order_relaxed);
  options.store(savedOptions & ~kOptDeepScan, std::memory_order_relaxed);  // no second deep scan
  if (u->fsIndex == 0) u->fsIndex = 1;
  for (; u->fsIndex < n; u->fsIndex = static_cast<std::uint16_t>(u->fsIndex + 1)) {
    u->scanMarks[2] = u->scanMarks[3] = 0xFFFFFFFFu;
    stampSlot(u, stampFrom);
    stampFrom = u->fileCount.load();
    rp = currentCounts(u);
    u->fsCount = static_cast<std::uint16_t>(n);
    u->progress = 0;
    CachedDrive_SelectFileSystem(drive, u->fsIndex);
    (void)Undelete_Search(u);
  }
  options.store(savedOptions, std::memory_order_relaxed);
}

/// A source that a file system has mounted read-write can change while it is read: the listing
/// and the estimates may then not match what is recovered later. Scanning goes on; the user is
/// told.
void warnIfMountedWritable(const Undelete* u, const DriveSlot& slot) {
  std::string mount;
  try {
    if ((slot.driveSpec >> 24) == kSpecPartition)
      mount = Host_WritableMountOfDisk(slot.physicalDrive, slot.start, slot.length);
    else if ((slot.driveSpec >> 24) == kSpecLetter)
      mount = Host_WritableMountOfDrive(static_cast<char>('A' + (slot.driveSpec & 0xFFu)));
  } catch (...) {
    return;
  }
  if (!mount.empty())
    Undelete_Report(u,
                    "\tWarning: %s is mounted read-write on %s; its contents may change during "
                    "the scan.\n",
                    slot.title, mount.c_str());
}

std::uint32_t searchBody(Undelete* u) {
  u->pageSize &= ~kOutOfMemory;
  u->error = 0;
  std::uint32_t stampFrom = u->fileCount.load();
  std::uint32_t result = 0;
  if (u->driveTable != nullptr) {
    RestartPoint rp;
    bool interrupted = false;
    while (u->driveIndex < u->driveCount && !u->outOfMemory()) {
      DriveSlot& slot = u->driveTable[u->driveIndex];
      Undelete_Report(u, "Scanning drive %s\n", slot.title);
      warnIfMountedWritable(u, slot);
      rp = currentCounts(u);
      u->stageName = "";
      const std::u16string rootName = rootNameOf(slot.title);
      u->recognizeHook = Undelete_RecognizeFileSystem;

      bool haveRoot = true;
      if (u->deepScanResume == 0) {
        std::memset(u->scanScratch, 0xFF, sizeof u->scanScratch);
        std::memset(u->scanMarks, 0xFF, sizeof u->scanMarks);
        u->dupFirst = u->dupEnd = u->fileCount.load();
        std::uint32_t root = 0;
        haveRoot =
            Storage_AddFolder(u, rootName.c_str(), kNoParent, 0xFFFF, 0, false, false, &root);
        if (haveRoot) u->rootFolder = root;
      }
      if (haveRoot) {
        CachedDrive* drive = slot.drive;
        if (drive != nullptr && u->fsIndex < drive->fsCount)
          CachedDrive_SelectFileSystem(drive, u->fsIndex);
        bool searched = true;
        if (u->fsIndex == 0) {
          searched = Undelete_Search(u);
          if (u->deepScanResume != 0) rp = currentCounts(u);
        }
        if (searched && drive != nullptr && !u->cancelEvent.isSet() && !u->outOfMemory())
          furtherPasses(u, drive, stampFrom, rp);
      }
      stampSlot(u, stampFrom);
      stampFrom = u->fileCount.load();

      if (u->cancelEvent.isSet()) {
        interrupted = true;
        break;
      }
      if (slot.drive != nullptr) CachedDrive_FreeMap(slot.drive);
      u->driveIndex = static_cast<std::uint16_t>(u->driveIndex + 1);
      u->progress = 0;
      u->deepScanResume = 0;
      u->deepScanDone = 0;
      u->deepScanTotal = 0;
      u->fsIndex = 0;
      u->fsCount = 1;
    }

    std::atomic_ref<std::uint32_t> flags(u->partitionFlags);
    if (interrupted) {
      // A deep scan under way can be continued: its drive's results so far go into the session.
      if (u->deepScanResume != 0) rp = currentCounts(u);
      flags.fetch_and(~kDeleteSessionAtEnd);
      if ((u->deepScanResume != 0 || u->driveIndex > 0) && u->saveCallback != nullptr &&
          u->saveCallback(u->saveCallbackArg) != 0) {
        (void)Session_Save(u, rp.files, rp.folders, rp.strings);
      }
      u->cancelEvent.reset();
      u->totalCancelEvent.reset();
      u->error = kErrUserAbort;
    }
    Storage_SetReadOnly(u, true);
    if ((flags.load() & kDeleteSessionAtEnd) != 0) {
      std::remove(u->sessionPath.c_str());
      std::remove(Session_SourcesPath(u->sessionPath).c_str());
    }
    result = 1;
  }
  std::atomic_ref<std::uint32_t>(u->options).fetch_and(~kOptDeepScan, std::memory_order_relaxed);
  u->fsIndex = 0;
  u->progress = 0;
  u->deepScanDone = 0;
  u->deepScanTotal = 0;
  u->stageName = "";
  return result;
}

void runSearch(Undelete* u) noexcept {
  std::uint32_t result = 0;
  try {
    result = searchBody(u);
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    u->stageName = "";
  }
  u->searchExitCode = result;
}

void* searchEntry(void* arg) {
  runSearch(static_cast<Undelete*>(arg));
  return nullptr;
}

/// Body of the std::thread that the object keeps as its handle. std::thread cannot choose a stack
/// size, so the scan itself runs on an inner thread with the large stack; if that cannot be made
/// the scan runs here on the default stack.
void searchThreadMain(Undelete* u) noexcept {
  pthread_attr_t attr;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_t inner;
    if (pthread_attr_setstacksize(&attr, kSearchStackSize) == 0 &&
        pthread_create(&inner, &attr, searchEntry, u) == 0) {
      started = true;
      pthread_join(inner, nullptr);
    }
    pthread_attr_destroy(&attr);
  }
  if (!started) runSearch(u);
  u->searchRunning = false;
}

}  // namespace

bool Search_StartThread(Undelete* u) noexcept {
  if (u == nullptr || u->searchRunning.load()) return false;
  Search_JoinThread(u);
  u->searchExitCode = 0;
  u->searchRunning = true;
  try {
    u->searchThread = std::thread(searchThreadMain, u);
  } catch (...) {
    u->searchRunning = false;
    return false;
  }
  return true;
}

void Search_JoinThread(Undelete* u) noexcept {
  if (u == nullptr || !u->searchThread.joinable()) return;
  if (u->searchThread.get_id() == std::this_thread::get_id()) return;
  try {
    u->searchThread.join();
  } catch (...) {
  }
}
