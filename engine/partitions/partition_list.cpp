// The partition list of the physical drives: detection from each disk's layout, the test and
// description of every area, drive letters from the volumes' disk extents, and the merge of a
// lost-partition scan's findings.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/log.h"
#include "core/search.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "partitions/partitions.h"

namespace {

constexpr std::uint64_t kTrackBytes = 0x7E00;  // 63 sectors of 512 bytes
constexpr std::uint32_t kMaxDisks = 128;

void copyText(char* out, std::size_t size, const char* text) {
  std::snprintf(out, size, "%s", text);
}

PartitionRecord* addRecord(Undelete* u) {
  if (u->partitionCount >= kMaxPartitions) return nullptr;
  PartitionRecord* r = &u->partitions[u->partitionCount++];
  *r = PartitionRecord{};
  return r;
}

void addUnallocated(Undelete* u, std::uint32_t drive, std::uint64_t from, std::uint64_t to) {
  if (to <= from) return;
  PartitionRecord* r = addRecord(u);
  if (r == nullptr) return;
  r->start.set(from);
  r->length.set(to - from);
  r->drive = static_cast<std::uint8_t>(drive);
  r->number = kUnallocatedArea;
}

/// Free space [from, to), split at the end of the extended partition when that lies inside.
void addGap(Undelete* u, std::uint32_t drive, std::uint64_t from, std::uint64_t to,
            std::uint64_t extEnd) {
  if (from < extEnd && extEnd < to) {
    addUnallocated(u, drive, from, extEnd);
    addUnallocated(u, drive, extEnd, to);
  } else {
    addUnallocated(u, drive, from, to);
  }
}

std::uint8_t guessFileSystem(std::uint8_t type) {
  switch (type) {
    case 0x01:
      return kFsFat12;
    case 0x04:
      return kFsFat16;
    case 0x0B:
      return kFsFat32;
    default:
      return kFsUnknown;
  }
}

/// Reads one disk's layout into the list. False when the disk adds nothing.
bool detectDrive(Undelete* u, std::uint32_t n) {
  CachedDrive* d = nullptr;
  if (!CachedDrive_Create(&d)) return false;
  std::vector<LayoutEntry> layout;
  std::uint64_t size = 0;
  const bool opened = CachedDrive_OpenPhysical(false, d, n);
  if (opened) (void)CachedDrive_GetSize(d, &size);
  const bool read = opened && size != 0 && Partition_ReadLayout(d, size, layout);
  CachedDrive_Close(d);
  CachedDrive_Destroy(d);
  if (!read) return false;

  const std::uint32_t firstRecord = u->partitionCount;
  std::uint64_t prevEnd = 0, extEnd = 0;
  for (const LayoutEntry& e : layout) {
    if (e.start == 0 && e.length == 0) continue;
    if (e.start > prevEnd + kTrackBytes) addGap(u, n, prevEnd, e.start, extEnd);
    if (Mbr_IsExtendedType(e.type)) {
      extEnd = e.start + e.length;
    } else if (e.type != 0) {
      if (PartitionRecord* r = addRecord(u)) {
        r->start.set(e.start);
        const std::uint64_t end = std::min(e.start + e.length, size);
        r->length.set(end > e.start ? end - e.start : 0);
        r->drive = static_cast<std::uint8_t>(n);
        r->number = static_cast<std::uint8_t>(std::min<std::uint32_t>(e.number, 253));
        r->type = e.type;
        r->recognized = e.recognized;
        r->fileSystem = guessFileSystem(e.type);
      }
    }
    prevEnd = e.start + e.length;
  }
  if (size > prevEnd) addGap(u, n, prevEnd, size, extEnd);
  Partition_AssignDriveLetters(u);
  for (std::uint32_t i = firstRecord; i < u->partitionCount; ++i) {
    (void)Partition_Test(u, u->partitions[i]);
    Partition_Describe(u->partitions[i]);
  }
  return true;
}

}  // namespace

bool Partition_Test(Undelete* u, PartitionRecord& r) {
  if (r.start.get() == 0 && r.length.get() == 0) return false;
  CachedDrive* d = nullptr;
  if (!CachedDrive_Create(&d)) return false;
  bool result = true;
  if (CachedDrive_OpenPhysical(false, d, r.drive) &&
      CachedDrive_SetWindow(d, r.start.get(), r.length.get())) {
    Undelete_Report(u, "\tTesting partition on physical drive %d, offset: 0x%llx.\n", r.drive,
                    static_cast<unsigned long long>(r.start.get()));
    // A test is a query: the engine's error and stage stay as a scan left them.
    const std::uint32_t error = u->error;
    const char* stage = u->stageName;
    (void)Undelete_RecognizeDrive(d, u);
    if (d->fsCount == 0) {
      result = false;
    } else {
      CachedDrive_SelectFileSystem(d, 0);
      if (const auto entry = Fs_SelectedEntry(d)) {
        if (entry->fs == nullptr || entry->fs->describeVolume == nullptr) {
          r.fileSystem = static_cast<std::uint8_t>(entry->type);  // no summary for this type
        } else {
          char info[256] = {};
          result = entry->fs->describeVolume(d, info, false);
          if (result) {
            copyText(r.info, sizeof r.info, info);
            r.fileSystem = static_cast<std::uint8_t>(entry->type);
          }
        }
      }
    }
    u->error = error;
    u->stageName = stage;
  }
  CachedDrive_Close(d);
  CachedDrive_Destroy(d);
  return result;
}

void Partition_Describe(PartitionRecord& r) {
  char text[sizeof r.description];
  if (r.letter != 0)
    std::snprintf(text, sizeof text, "Drive %d, Partition %d, %c:", r.drive, r.number, r.letter);
  else if (r.number == kUnallocatedArea)
    std::snprintf(text, sizeof text, "Drive %d, unallocated", r.drive);
  else
    std::snprintf(text, sizeof text, "Drive %d, Partition %d, Unmounted", r.drive, r.number);
  const std::size_t n = std::strlen(text);
  if (r.info[0] != 0)
    std::snprintf(text + n, sizeof text - n, ", %.*s", static_cast<int>(sizeof r.info), r.info);
  copyText(r.description, sizeof r.description, text);
}

bool Partition_AssignDriveLetters(Undelete* u) {
  bool any = false;
  for (const HostDrive& drive : Host_ListDrives()) {
    if (drive.letter < 'C' || drive.letter > 'Z') continue;
    if (drive.type != kHostDriveRemovable && drive.type != kHostDriveFixed) continue;
    const auto extent = Host_GetVolumeDiskExtent(drive.letter);
    if (!extent) continue;
    any = true;
    for (std::uint32_t i = 0; i < u->partitionCount; ++i) {
      PartitionRecord& r = u->partitions[i];
      if (r.drive == extent->disk && r.start.get() == extent->start) {
        r.letter = drive.letter;
        Partition_Describe(r);
      }
    }
  }
  return any;
}

bool Partition_MergeFound(Undelete* u, std::uint32_t n, std::uint64_t diskSize) {
  if (u->partitionCount < kMaxPartitions - 1) {
    for (const FoundPartition& f : u->foundPartitions) {
      if (f.type == 0) break;
      if (f.type == 0x05 || f.type == 0x0F) continue;
      int highest = -1;
      PartitionRecord* same = nullptr;
      bool listed = false;
      for (std::uint32_t i = 0; i < u->partitionCount; ++i) {
        PartitionRecord& r = u->partitions[i];
        if (r.drive != n) continue;
        if (r.number != kUnallocatedArea) highest = std::max<int>(highest, r.number);
        if (r.start.get() == f.start.get()) {
          if (r.length.get() == f.length.get())
            listed = true;
          else if (same == nullptr)
            same = &r;
        }
      }
      if (listed) continue;
      PartitionRecord candidate{};
      candidate.start = f.start;
      candidate.length = f.length;
      candidate.drive = static_cast<std::uint8_t>(n);
      candidate.type = f.type;
      candidate.number =
          same != nullptr ? same->number : static_cast<std::uint8_t>(std::min(highest + 1, 253));
      if (!Partition_Test(u, candidate)) continue;
      Partition_Describe(candidate);
      if (same != nullptr) {
        *same = candidate;
      } else if (PartitionRecord* r = addRecord(u)) {
        *r = candidate;
      }
    }
    // Free space after the last partition of the drive.
    std::uint64_t maxEnd = 0;
    for (std::uint32_t i = 0; i < u->partitionCount; ++i) {
      const PartitionRecord& r = u->partitions[i];
      if (r.drive == n && r.type != 0xEE) maxEnd = std::max(maxEnd, r.start.get() + r.length.get());
    }
    if (diskSize > maxEnd + 0x10000) {
      const std::uint64_t from = (maxEnd / kTrackBytes + 1) * kTrackBytes;
      if (from < diskSize) {
        addUnallocated(u, n, from, diskSize);
        PartitionRecord& r = u->partitions[u->partitionCount - 1];
        if (r.start.get() == from && r.drive == n) {
          (void)Partition_Test(u, r);
          Partition_Describe(r);
        }
      }
    }
  }
  Partition_AssignDriveLetters(u);
  return true;
}

int Undelete_PhysicalDrivePresent(int drive) noexcept {
  if (drive < 0) return 0;
  try {
    return Host_OpenDisk(static_cast<std::uint32_t>(drive), false) != nullptr ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_DetectPhysicalDrivesPartitions(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  try {
    u->partitionCount = 0;
    bool any = false;
    for (const HostDisk& disk : Host_ListDisks())
      if (disk.number < kMaxDisks) any = detectDrive(u, disk.number) || any;
    return any ? 1 : 0;
  } catch (...) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_GetPartitionCount(Undelete* u, int* count) noexcept {
  if (u == nullptr || count == nullptr) return 0;
  *count = static_cast<int>(u->partitionCount);
  return 1;
}

int Undelete_GetPartition(Undelete* u, unsigned index, PartitionRecord* out) noexcept {
  if (u == nullptr || out == nullptr || index >= u->partitionCount) return 0;
  *out = u->partitions[index];
  return 1;
}

int Undelete_GetGlobalPartitionIndex(Undelete* u, unsigned found, int* listIndex) noexcept {
  if (u == nullptr || listIndex == nullptr || found >= kMaxFoundPartitions) return 0;
  const FoundPartition& f = u->foundPartitions[found];
  if (f.type == 0) return 0;
  const std::uint32_t drive = u->partitionFlags & kStateDriveMask;
  for (std::uint32_t i = 0; i < u->partitionCount; ++i) {
    const PartitionRecord& r = u->partitions[i];
    if (r.drive == drive && r.start.get() == f.start.get() && r.length.get() == f.length.get()) {
      *listIndex = static_cast<int>(i);
      return 1;
    }
  }
  return 0;
}
