// Scan exports: starting a scan over a list of drives, polling it and cancelling it.
#include <atomic>
#include <cstdio>
#include <new>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/partition_slot.h"
#include "core/search.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace {

/// Creates the slot's drive and opens it read-only. The drive stays in the slot even when the
/// open fails, so that Undelete_Done releases it with the rest of the table.
bool openLetterSlot(Undelete* u, DriveSlot& slot) {
  if ((slot.driveSpec & 0xFFFFFFu) > 25) {  // no letter beyond Z: nothing to open
    Host_SetLastError(kErrOpenDrive);
    u->error = kErrOpenDrive;
    Undelete_Log(u, "Undelete_SearchMultiple: Unable to open drive %c\\.\n", '?');
    return false;
  }
  const char letter = static_cast<char>('A' + (slot.driveSpec & 0xFFu));
  std::snprintf(slot.title, sizeof slot.title, "%c:", letter);
  slot.letter = static_cast<std::uint16_t>(static_cast<unsigned char>(letter));
  if (!CachedDrive_Create(&slot.drive) || !CachedDrive_Open(slot.drive, letter, false)) {
    u->error = Host_GetLastError();
    Undelete_Log(u, "Undelete_SearchMultiple: Unable to open drive %c\\.\n", letter);
    return false;
  }
  return true;
}

bool openPartitionSlot(Undelete* u, DriveSlot& slot) {
  PartitionSlotInfo info;
  if (!Search_GetPartitionSlot(u, slot.driveSpec & 0xFFFFFFu, &info)) {
    // No such entry in the partition list: nothing to open.
    Host_SetLastError(kErrOpenDrive);
    u->error = kErrOpenDrive;
    Undelete_Log(u, "Undelete_SearchMultiple: Unable to properly open drive %s.\n", slot.title);
    return false;
  }
  slot.physicalDrive = info.disk;
  slot.start = info.start;
  slot.length = info.length;
  std::snprintf(slot.title, sizeof slot.title, "%s", info.description);
  if (info.letter != 0) slot.letter = static_cast<std::uint16_t>(static_cast<unsigned char>(info.letter));
  if (!CachedDrive_Create(&slot.drive) || !CachedDrive_OpenPhysical(false, slot.drive, info.disk) ||
      !CachedDrive_SetWindow(slot.drive, info.start, info.length)) {
    u->error = Host_GetLastError();
    Undelete_Log(u, "Undelete_SearchMultiple: Unable to properly open drive %s.\n", slot.title);
    return false;
  }
  return true;
}

int searchMultiple(Undelete* u, const std::uint32_t* driveSpecs, std::uint16_t count,
                   std::uint32_t options, UndeleteQueryCallback saveCallback,
                   UndeleteQueryCallback memoryCallback, void* callbackArg) {
  if (u->searchRunning.load()) return 0;
  Search_JoinThread(u);  // an ended thread: forget it
  u->progress = 0;
  if (driveSpecs == nullptr || count == 0) return 0;

  Undelete_Done(u);
  u->driveTable = new (std::nothrow) DriveSlot[count]();
  if (u->driveTable == nullptr) return 0;
  u->driveCount = count;
  u->driveIndex = 0;
  u->fsIndex = 0;
  u->fsCount = 1;

  for (std::uint16_t i = 0; i < count; ++i) {
    DriveSlot& slot = u->driveTable[i];
    slot.driveSpec = driveSpecs[i];
    switch (slot.driveSpec >> 24) {
      case kSpecLetter:
        if (!openLetterSlot(u, slot)) return 0;
        break;
      case kSpecPartition:
        if (!openPartitionSlot(u, slot)) return 0;
        break;
      default:
        break;  // no drive: the slot is scanned as empty
    }
  }

  u->options = options;
  u->saveCallback = saveCallback;
  u->memoryCallback = memoryCallback;
  u->saveCallbackArg = callbackArg;
  u->driveIndex = 0;

  if (!Storage_Reserve(u)) {
    Undelete_Log(u, "Undelete_SearchMultiple: Files list or strings storage is NOT allocated.\n");
    Undelete_Done(u);
    u->error = kErrMemory;
    return 0;
  }

  std::atomic_ref<std::uint32_t>(u->partitionFlags).fetch_and(~kDeleteSessionAtEnd);
  u->deepScanResume = 0;
  return Search_StartThread(u) ? 1 : 0;
}

}  // namespace

int Undelete_SearchMultiple(Undelete* u, const std::uint32_t* driveSpecs, std::uint16_t count,
                            std::uint32_t options, UndeleteQueryCallback saveCallback,
                            UndeleteQueryCallback memoryCallback, void* callbackArg) noexcept {
  if (u == nullptr) return 0;
  try {
    return searchMultiple(u, driveSpecs, count, options, saveCallback, memoryCallback, callbackArg);
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_IsSearching(Undelete* u, std::uint32_t* exitCode) noexcept {
  if (u == nullptr) return 0;
  if (u->searchRunning.load()) return 1;
  if (exitCode != nullptr && u->searchThread.joinable()) *exitCode = u->searchExitCode.load();
  return 0;
}

int Undelete_GetScanStage(Undelete* u, const char** out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->stageName.load();
  return 1;
}

int Undelete_GetProgress(Undelete* u, std::uint32_t* total, std::uint32_t* position,
                         std::uint64_t* deepDone, std::uint64_t* deepTotal) noexcept {
  if (u == nullptr) return 0;
  ScanProgressInput in;
  in.progress = u->progress.load(std::memory_order_relaxed);
  in.deepScanDone = u->deepScanDone.load(std::memory_order_relaxed);
  in.deepScanTotal = u->deepScanTotal.load(std::memory_order_relaxed);
  in.options = std::atomic_ref<std::uint32_t>(u->options).load(std::memory_order_relaxed);
  in.driveIndex = u->driveIndex.load(std::memory_order_relaxed);
  in.driveCount = u->driveCount;
  in.fsIndex = u->fsIndex.load(std::memory_order_relaxed);
  in.fsCount = u->fsCount.load(std::memory_order_relaxed);
  std::uint32_t pos = 0;
  if (!Search_ComputePosition(in, &pos)) return 0;
  if (total != nullptr) *total = 10000;
  if (position != nullptr) *position = pos;
  if (deepDone != nullptr) *deepDone = in.deepScanDone;
  if (deepTotal != nullptr) *deepTotal = in.deepScanTotal;
  return 1;
}

int Undelete_ResetProgress(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  u->progress = 0;
  return 1;
}

int Undelete_Cancel(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  if (!u->cancelEvent.isSet()) {
    Undelete_Report(u, "\tCancelled.\n");
    u->cancelEvent.set();
    std::atomic_ref<std::uint32_t>(u->partitionFlags).fetch_and(~kDeleteSessionAtEnd);
  }
  Undelete_Log(u, "Undelete_Cancel: Cancel event set.\n");
  return 1;
}

int Undelete_TotalCancel(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  Undelete_Report(u, "\tScan totally cancelled.\n");
  u->cancelEvent.set();
  u->totalCancelEvent.set();
  std::atomic_ref<std::uint32_t>(u->partitionFlags).fetch_and(~kDeleteSessionAtEnd);
  Undelete_Log(u, "Undelete_Cancel: Total cancel event set.\n");
  return 1;
}

int Undelete_IsCancelled(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  return u->cancelEvent.isSet() ? 1 : 0;
}
