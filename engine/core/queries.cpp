// Result queries: counts, file and folder records, state names, drive descriptions and the check
// that a destination is not on the drive a file came from.
#include <cstdio>
#include <cstring>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/le.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace {

constexpr const char* kStateNames[] = {"Unrecoverable", "Bad", "Poor", "Good", "Excellent", "Existing"};

// Size of the name buffer Undelete_GetDriveInfo writes (callers give at least this much).
constexpr std::size_t kDriveNameSize = 256;

void describePartitionSlot(Undelete* u, const DriveSlot& slot, char* name, char* details) {
  const auto hi = [](std::uint64_t v) { return static_cast<unsigned>(v >> 32); };
  const auto lo = [](std::uint64_t v) { return static_cast<unsigned>(v & 0xFFFFFFFFu); };
  Undelete_Report(u, "\tGetting info about physical drive %d, offset: 0x%.8x%.8x.\n",
                  slot.physicalDrive, hi(slot.start), lo(slot.start));
  int n = std::snprintf(name, kDriveNameSize, "Physical drive %d, Offset: 0x%.8x%.8x, Length: 0x%.8x%.8x",
                        slot.physicalDrive, hi(slot.start), lo(slot.start), hi(slot.length),
                        lo(slot.length));
  if (slot.letter != 0 && n > 0 && static_cast<std::size_t>(n) < kDriveNameSize)
    std::snprintf(name + n, kDriveNameSize - static_cast<std::size_t>(n), " (%c:)",
                  static_cast<char>(slot.letter));
  CachedDrive* drive = slot.drive;
  if (drive == nullptr || drive->fsCount == 0) return;
  CachedDrive_SelectFileSystem(drive, 0);
  const auto entry = Fs_SelectedEntry(drive);
  if (entry && entry->fs != nullptr && entry->fs->describeVolume != nullptr)
    (void)entry->fs->describeVolume(drive, details, false);
}

}  // namespace

int Undelete_GetFilesCount(Undelete* u, std::uint32_t* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->fileCount.load();
  return 1;
}

int Undelete_GetDeletedCount(Undelete* u, std::uint32_t* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->deletedCount.load();
  return 1;
}

int Undelete_GetFolderCount(Undelete* u, std::uint32_t* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->folderCount.load();
  return 1;
}

int Undelete_GetFileInfo(Undelete* u, std::uint32_t index, const FileRecord** out) noexcept {
  if (u == nullptr || out == nullptr || u->files == nullptr || index >= u->fileCount.load()) return 0;
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr) return 0;
  *out = r;
  return 1;
}

int Undelete_GetFolderInfo(Undelete* u, std::uint32_t index, const FolderRecord** out) noexcept {
  if (u == nullptr || out == nullptr || u->folders == nullptr || index >= u->folderCount.load())
    return 0;
  const FolderRecord* r = Storage_Folder(u, index);
  if (r == nullptr) return 0;
  *out = r;
  return 1;
}

int Undelete_GetFileState(std::uint32_t state, const char** out) noexcept {
  if (out == nullptr || state > kStateExisting) return 0;
  *out = kStateNames[state];
  return 1;
}

int Undelete_GetBytesProcessed(Undelete* u, std::uint64_t* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->bytesDone.load();
  return 1;
}

int Undelete_MayBeRecoveredTo(Undelete* u, std::uint32_t index, std::uint32_t letter) noexcept {
  if (u == nullptr || index >= u->fileCount.load()) return 0;
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr) return 0;
  const std::uint32_t slot = r->location.get() & 0xFFFu;
  // Without a slot the file's source is unknown: no destination can be vouched for.
  if (u->driveTable == nullptr || slot >= u->driveCount) return 0;
  const std::uint16_t source = u->driveTable[slot].letter;
  // A slot without a letter (a partition with none) is no letter's drive: every destination is
  // allowed, also one whose letter is unknown (0).
  if (source == 0) return 1;
  return (letter & 0xFFu) != (source & 0xFFu) ? 1 : 0;
}

int Undelete_GetDriveInfo(Undelete* u, std::uint32_t slot, char* name, char* details) noexcept {
  if (u == nullptr || name == nullptr || details == nullptr || u->driveTable == nullptr ||
      slot >= u->driveCount)
    return 0;
  const DriveSlot& s = u->driveTable[slot];
  switch (s.driveSpec >> 24) {
    case kSpecLetter: {
      const char letter = static_cast<char>('A' + (s.driveSpec & 0xFFu));
      std::snprintf(name, kDriveNameSize, "%c:", letter);
      details[0] = '\0';
      (void)Undelete_GetLogicalDriveInfo(u, letter, 0, details);
      break;
    }
    case kSpecPartition:
      details[0] = '\0';
      describePartitionSlot(u, s, name, details);
      break;
    default:
      break;
  }
  return 1;
}
