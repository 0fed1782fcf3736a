// Volume-level wipes, each on a thread of its own: whole drives (every byte gets the pattern) and
// free space. Free space uses the fast method on a volume nobody has mounted (exclusive access:
// FAT tables or NTFS bitmap, runs written directly) and the slow one on a mounted volume (a
// temporary file on the mount point grows until the file system is full, then goes away).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/partition_slot.h"
#include "core/search.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "core/wipe_target.h"
#include "host/host.h"
#include "host/host_output.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint32_t kSlowChunkMax = 0x100000;

bool cancelled(const Undelete* u) noexcept { return u->cancelEvent.isSet(); }

/// Builds the drive table. @p write: opened for writing (whole-drive wipe; refused while
/// mounted). The free-space wipe only reads through these drives: it writes through a volume it
/// opens exclusively, or through the mount.
bool openTable(Undelete* u, const std::uint32_t* specs, std::uint16_t count, bool write,
               const char* who) {
  u->driveTable = new (std::nothrow) DriveSlot[count]();
  if (u->driveTable == nullptr) return false;
  u->driveCount = count;
  u->driveIndex = 0;
  u->fsIndex = 0;
  u->wipeTotal = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    DriveSlot& slot = u->driveTable[i];
    slot.driveSpec = specs[i];
    const std::uint32_t kind = slot.driveSpec >> 24;
    if (kind == kSpecLetter) {
      const std::uint32_t n = slot.driveSpec & 0xFFFFFFu;
      const char letter = n <= 25 ? static_cast<char>('A' + n) : '?';
      std::snprintf(slot.title, sizeof slot.title, "%c:", letter);
      slot.letter = static_cast<std::uint16_t>(static_cast<unsigned char>(letter));
      if (n > 25 || !CachedDrive_Create(&slot.drive) ||
          !CachedDrive_Open(slot.drive, letter, write)) {
        u->error = n > 25 ? kErrOpenDrive : Host_GetLastError();
        Undelete_Log(u, "%s: Unable to open drive %c\\.\n", who, letter);
        return false;
      }
    } else if (kind == kSpecPartition) {
      PartitionSlotInfo info;
      if (!Search_GetPartitionSlot(u, slot.driveSpec & 0xFFFFFFu, &info)) {
        u->error = kErrOpenDrive;
        Undelete_Log(u, "%s: Unable to properly open drive %s.\n", who, slot.title);
        return false;
      }
      slot.physicalDrive = info.disk;
      slot.start = info.start;
      slot.length = info.length;
      std::snprintf(slot.title, sizeof slot.title, "%s", info.description);
      if (info.letter != 0)
        slot.letter = static_cast<std::uint16_t>(static_cast<unsigned char>(info.letter));
      if (!CachedDrive_Create(&slot.drive) ||
          !CachedDrive_OpenPhysical(write, slot.drive, info.disk) ||
          !CachedDrive_SetWindow(slot.drive, info.start, info.length)) {
        u->error = Host_GetLastError();
        Undelete_Log(u, "%s: Unable to properly open drive %s.\n", who, slot.title);
        return false;
      }
    } else {
      continue;
    }
    std::uint64_t size = 0;
    CachedDrive_GetSize(slot.drive, &size);
    u->wipeTotal += size;
  }
  return true;
}

/// Common start: refuse while a thread runs, forget the ended one, drop the last results.
bool prepare(Undelete* u, const std::uint32_t* specs, std::uint16_t count) {
  if (u->searchRunning.load() || u->wipeRunning.load()) return false;
  if (u->wipeThread.joinable()) u->wipeThread.join();
  if (specs == nullptr || count == 0) return false;
  Undelete_Done(u);
  u->error = kErrNone;
  u->wipeProgress = 0;
  u->bytesDone = 0;
  return true;
}

template <class Body>
bool startThread(Undelete* u, Body body) {
  u->wipeRunning = true;
  try {
    u->wipeThread = std::thread([u, body] {
      body(u);
      u->wipeRunning = false;
    });
  } catch (...) {
    u->wipeRunning = false;
    return false;
  }
  return true;
}

/// Records the first failure of a wipe thread for Undelete_GetError.
void failWith(Undelete* u, std::uint32_t code) noexcept {
  if (u->error == kErrNone) u->error = code != kErrNone ? code : kErrWriteFile;
}

// --- whole drives -------------------------------------------------------------------------------

void driveWipeThread(Undelete* u) {
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  std::vector<std::uint8_t> buffer(kWipeChunk);
  std::uint64_t finished = 0;
  for (std::uint16_t i = 0; i < u->driveCount && !cancelled(u); ++i) {
    u->driveIndex = i;
    CachedDrive* drive = u->driveTable[i].drive;
    if (drive == nullptr) continue;
    std::uint64_t size = 0;
    CachedDrive_GetSize(drive, &size);
    Undelete_Report(u, "Wiping drive %s\n", u->driveTable[i].title);
    bool ok = true;
    std::uint64_t at = 0;
    while (at < size && !cancelled(u) && ok) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - at, kWipeChunk));
      for (std::uint32_t p = 0; p < passes && !cancelled(u) && ok; ++p) {
        Wipe_FillPattern(p, method, buffer.data(), n);
        std::uint32_t written = 0;
        ok = CachedDrive_Write(at, buffer.data(), n, &written, drive) && written == n;
      }
      at += n;
      u->bytesDone = finished + at;
      if (u->wipeTotal != 0)
        u->wipeProgress = static_cast<std::uint32_t>((finished + at) * 10000 / u->wipeTotal);
    }
    // Dismounting is closing: the drive is flushed and let go.
    if (drive->device && !drive->device->flush()) ok = false;
    CachedDrive_Close(drive);
    if (!ok) {
      failWith(u, Host_GetLastError());
      Undelete_Report(u, "\tWrite failed after %llu bytes.\n", static_cast<unsigned long long>(at));
      break;
    }
    finished += size;
  }
  u->wipeProgress = 0;
}

// --- free space ---------------------------------------------------------------------------------

void setSlowProgress(Undelete* u, std::uint64_t bytes) noexcept {
  if (u->wipeTotal == 0) return;
  const bool halves = (u->wipeFlags & 1u) != 0;
  std::uint64_t p = std::min(bytes, u->wipeTotal) * (halves ? 5000 : 10000) / u->wipeTotal;
  if (halves) p += 5000;
  u->wipeProgress = static_cast<std::uint32_t>(p);
}

/// Slow method: a temporary file on the mount point takes every free cluster the file system
/// gives it, with each pass written over the same bytes, then it is deleted.
bool slowWipe(Undelete* u, char letter, std::uint64_t driveSize, std::uint64_t before) {
  const std::string root = Host_ResolveDrivePath(std::string(1, letter) + ":\\");
  const int dir = root.empty() ? -1 : ::open(root.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    Undelete_Report(u, "\tThe volume is neither free for exclusive access nor mounted.\n");
    Host_SetLastError(kErrAccessDenied);
    return false;
  }
  char name[16];
  for (int i = 0; i < 8; ++i) name[i] = static_cast<char>('0' + Wipe_RandomByte() % 10);
  std::memcpy(name + 8, ".tmp", 5);
  Undelete_Report(u, "Exclusive access denied, using slow wipe method.");
  const int fd = Wipe_CreateTemporary(dir, name);
  if (fd < 0) {
    ::close(dir);
    Host_SetLastError(kErrCreateFile);
    return false;
  }
  const std::uint32_t chunk = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(std::min<std::uint64_t>(driveSize / 10, kSlowChunkMax), 4096));
  std::vector<std::uint8_t> buffer(chunk);
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  bool ok = true;
  std::uint64_t filled = 0;  // bytes the file took in the first pass: the free space
  for (std::uint32_t p = 0; p < passes && ok && !cancelled(u); ++p) {
    std::uint64_t at = 0;
    if (::lseek(fd, 0, SEEK_SET) != 0) ok = false;
    while (ok && !cancelled(u) && (p == 0 || at < filled)) {
      std::uint32_t n = chunk;
      if (p != 0) n = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, filled - at));
      Wipe_FillPattern(p, method, buffer.data(), n);
      const ssize_t w = ::write(fd, buffer.data(), n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (p == 0 && (errno == ENOSPC || errno == EFBIG || w == 0)) break;  // full: done
        ok = false;
        break;
      }
      at += static_cast<std::uint64_t>(w);
      if (p == 0) filled = at;
      setSlowProgress(u, before + at / passes + filled * p / passes);
    }
    // A pass counts once it is on the disk.
    if (ok && ::fdatasync(fd) != 0) ok = false;
  }
  if (!ok) Host_SetLastError(kErrWriteFile);
  ::close(fd);
  ::unlinkat(dir, name, 0);
  ::fsync(dir);
  ::close(dir);
  Undelete_Report(u, "\tWiped %llu bytes of free space.\n",
                  static_cast<unsigned long long>(filled));
  return ok;
}

bool addRoot(Undelete* u, const DriveSlot& slot) {
  std::u16string root;
  for (const char* p = slot.title; *p != 0; ++p)
    root += static_cast<char16_t>(static_cast<unsigned char>(*p));
  std::uint32_t index = 0;
  if (!Storage_AddFolder(u, root.c_str(), kNoParent, 0xFFFF, 0, false, false, &index)) return false;
  u->rootFolder = index;
  return true;
}

bool wipeEntries(Undelete* u, const DriveSlot& slot, const FsDescriptor* fs, HostVolume* volume) {
  if ((u->wipeFlags & 1u) == 0 || fs == nullptr || fs->wipeEntries == nullptr) return true;
  if (!addRoot(u, slot)) return true;
  return fs->wipeEntries(u, volume);
}

/// One slot of the free-space wipe; false on a failure (the error is recorded).
bool wipeSlotFreeSpace(Undelete* u, DriveSlot& slot, std::uint64_t before) {
  std::uint64_t size = 0;
  CachedDrive_GetSize(slot.drive, &size);
  u->wipeLetter = static_cast<std::uint8_t>(slot.letter);
  WipeTarget target;
  if (Wipe_OpenTarget(u, slot, false, target)) {
    u->drive = target.drive;
    bool ok = wipeEntries(u, slot, target.fs, target.volume.get());
    Undelete_Report(u, "Obtained exclusive access, using fast wipe method.");
    if (ok && !cancelled(u)) {
      ok = target.fs != nullptr && target.fs->wipeFreeSpace != nullptr &&
           target.fs->wipeFreeSpace(u, target.volume.get(), before);
    }
    u->drive = slot.drive;
    if (!target.close()) ok = false;  // the flush is part of the wipe
    if (slot.drive != nullptr) slot.drive->cacheStart = ~std::uint64_t{0};
    return ok;
  }
  const std::uint32_t why = Host_GetLastError();
  if (why != kErrAccessDenied && why != kErrOpenDrive) return false;  // unrecognised, unreadable
  // Held by someone else: mounted. Work through the mount point.
  if (slot.letter == 0) return false;
  u->drive = slot.drive;
  if (!Undelete_RecognizeDrive(slot.drive, u) || slot.drive->fsCount == 0) return false;
  CachedDrive_SelectFileSystem(slot.drive, 0);
  const auto entry = Fs_SelectedEntry(slot.drive);
  bool ok = wipeEntries(u, slot, entry ? entry->fs : nullptr, nullptr);
  if (!cancelled(u)) ok = slowWipe(u, static_cast<char>(slot.letter), size, before) && ok;
  return ok;
}

void freeSpaceThread(Undelete* u) {
  if (u->driveTable == nullptr) return;
  Undelete_Report(u, "Free space wipe started.");
  // System restore points do not exist here: nothing to remove.
  std::uint64_t finished = 0;
  for (std::uint16_t i = 0; i < u->driveCount; ++i) {
    u->driveIndex = i;
    DriveSlot& slot = u->driveTable[i];
    if (slot.drive == nullptr) continue;
    std::uint64_t size = 0;
    CachedDrive_GetSize(slot.drive, &size);
    Undelete_Report(u, "Wiping free space of drive %s\n", slot.title);
    Host_SetLastError(kErrNone);
    if (!wipeSlotFreeSpace(u, slot, finished)) {
      failWith(u, Host_GetLastError());
      Undelete_Report(u, "\tFree space wipe of drive %s failed.\n", slot.title);
    }
    CachedDrive_Close(slot.drive);
    finished += size;
    if (cancelled(u)) break;
    u->progress = 0;
    u->fsIndex = 0;
  }
  Undelete_Report(u, cancelled(u) ? "Free space wipe aborted." : "Free space wipe complete.");
  u->wipeProgress = 0;
}

}  // namespace

int Undelete_WipeMultiple(Undelete* u, const std::uint32_t* driveSpecs,
                          std::uint16_t count) noexcept {
  if (u == nullptr) return 0;
  try {
    if (!prepare(u, driveSpecs, count)) return 0;
    if (!openTable(u, driveSpecs, count, true, "Undelete_WipeMultiple")) return 0;
    u->cancelEvent.reset();
    return startThread(u,
                       [](Undelete* w) {
                         try {
                           driveWipeThread(w);
                         } catch (const std::bad_alloc&) {
                           failWith(w, kErrMemory);
                         }
                       })
               ? 1
               : 0;
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_WipeFreeSpace(Undelete* u, const std::uint32_t* driveSpecs, std::uint16_t count,
                           std::uint32_t wipeEntries, std::uint32_t removeRestorePoint) noexcept {
  if (u == nullptr) return 0;
  try {
    if (!prepare(u, driveSpecs, count)) return 0;
    if (!openTable(u, driveSpecs, count, false, "Undelete_SearchMultiple")) return 0;
    u->wipeFlags = (u->wipeFlags & ~3u) | (wipeEntries & 1u) | ((removeRestorePoint & 1u) << 1);
    if (!Storage_Reserve(u)) {
      Undelete_Log(u, "Undelete_SearchMultiple: Files list or strings storage is NOT allocated.\n");
      Undelete_Done(u);
      u->error = kErrMemory;
      return 0;
    }
    u->cancelEvent.reset();
    return startThread(u,
                       [](Undelete* w) {
                         try {
                           freeSpaceThread(w);
                         } catch (const std::bad_alloc&) {
                           failWith(w, kErrMemory);
                         }
                       })
               ? 1
               : 0;
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    return 0;
  }
}
