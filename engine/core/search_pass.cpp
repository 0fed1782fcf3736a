// One file-system pass over the current drive slot: recognition, the scanner of the recognised
// file system, the deep scan's recogniser hook and the progress arithmetic.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/le.h"
#include "core/log.h"
#include "core/search.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace {

bool recognize512(CachedDrive* drive, Undelete* u) {
  // Every kind but the raw one, in table order; the first that recognises the drive ends the walk.
  for (const FsDescriptor* fs : Fs_Table()) {
    if (fs == nullptr || fs->kind == kKindRaw || fs->recognize512 == nullptr) continue;
    if (fs->recognize512(u, drive)) {
      Undelete_Report(u, "%s", fs->recognizedReport);
      break;
    }
    Undelete_Log(u, "%s", fs->notRecognizedLog);
  }
  if (drive->fsCount == 0) {
    Undelete_Report(u, "\tUnrecognized file system, probably drive is unformatted.\n");
    Undelete_Log(u, "Undelete_RecognizeDrive: NTFS file system not recognized too.\n");
    u->error = kErrUnrecognized;
    Host_SetLastError(kErrUnrecognized);
    return Fs_OfKind(kKindRaw)->recognize512(u, drive);
  }
  Undelete_Log(u, "Undelete_RecognizeDrive: FAT or NTFS file system recognized.\n");
  return true;
}

bool recognize2048(CachedDrive* drive, Undelete* u) {
  // The boot-sector error stands only while nothing is recognised; a recognised disc keeps the
  // error the scan had before.
  const std::uint32_t before = u->error;
  u->error = kErrBootSector;
  Undelete_Log(u,
               "Undelete_RecognizeDrive: Unable to read boot sector or no boot sector signature.\n");
  const FsDescriptor* found = nullptr;
  for (const FsDescriptor* fs : Fs_Table()) {
    if (fs == nullptr || fs->recognize2048 == nullptr) continue;
    (void)fs->recognize2048(u, drive);
    if (drive->fsCount > 0) {
      found = fs;
      break;
    }
  }
  if (found == nullptr) {
    Undelete_Report(u, "\tUnrecognized file system.\n");
    Undelete_Log(u, "Undelete_RecognizeDrive: Neither CDFS nor UDF file system recognized.\n");
    u->error = kErrUnrecognized;
    return true;
  }
  u->error = before;
  Undelete_Report(u, "%s", found->recognizedReport);
  Undelete_Log(u, "Undelete_RecognizeDrive: CDFS or UDF file system recognized.\n");
  return true;
}

}  // namespace

bool Undelete_RecognizeDrive(CachedDrive* drive, Undelete* u) noexcept {
  if (drive == nullptr || u == nullptr) return false;
  if (drive->fsCount > 0) {
    const auto entry = Fs_SelectedEntry(drive);
    return drive->fsCount == 1 || (entry && entry->type == kFsNtfs);
  }
  u->stageName = "Recognizing file system";
  switch (drive->sectorSize) {
    case 512: return recognize512(drive, u);
    case 2048: return recognize2048(drive, u);
    default: return true;
  }
}

bool Undelete_Search(Undelete* u) noexcept {
  if (u == nullptr || u->driveTable == nullptr || u->driveIndex >= u->driveCount) return false;
  u->recognizeHook = Undelete_RecognizeFileSystem;
  u->passFirstFile = u->fileCount.load();
  CachedDrive* drive = u->driveTable[u->driveIndex].drive;
  u->drive = drive;
  Undelete_Log(u, "Undelete_Search: Drive description ok.\n");
  if (drive == nullptr) return false;  // an empty slot has nothing to search

  if (u->deepScanResume == 0 && u->fsIndex == 0 && !Undelete_RecognizeDrive(drive, u)) return false;

  const auto entry = Fs_SelectedEntry(drive);
  if (!entry) return false;
  Undelete_Log(u, "Undelete_Search: File system recognized.\n");
  if (const FolderRecord* root = Storage_Folder(u, u->rootFolder)) u->rootName = root->name.get();

  if (entry->fs == nullptr) return false;
  Undelete_Log(u, "%s", entry->typeInfo->searchLog);
  Undelete_Report(u, entry->typeInfo->searchReport, u->fsIndex + 1);
  const bool result = entry->fs->searchFiles != nullptr && entry->fs->searchFiles(u);
  if (entry->type != kFsUnknown && result) Undelete_Log(u, "Undelete_Search: Search successful.\n");
  if (!u->cancelEvent.isSet()) Undelete_Report(u, "\tScan complete.\n");
  return result;
}

bool Undelete_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept {
  if (u == nullptr) return false;
  bool result = false;
  for (const FsDescriptor* fs : Fs_Table()) {
    if (fs == nullptr || fs->recognizeFileSystem == nullptr) continue;
    try {
      result = fs->recognizeFileSystem(u, offset);
    } catch (...) {
      // A damaged structure must not end the scan: this position is simply not taken.
      Undelete_Log(u, "Exception occured in %s_RecognizeFileSystem, Offset = %" PRIx64, fs->name,
                   offset);
      Undelete_DumpSector(u, offset);
      result = false;
      break;
    }
    if (result) break;
  }
  if (u->drive != nullptr && u->drive->fsCount > 0) CachedDrive_SelectFileSystem(u->drive, 0);
  return result;
}

void Undelete_DumpSector(Undelete* u, std::uint64_t offset) noexcept {
  if (u == nullptr || u->drive == nullptr) return;
  std::vector<std::uint8_t> data;
  try {
    data.resize(4096);
  } catch (...) {
    return;
  }
  std::uint32_t got = 0;
  if (!CachedDrive_Read(u->drive, offset, 4096, data.data(), &got) || got != 4096) return;
  Undelete_Log(u, "Dumping sector at offset %" PRIX64 "\n", offset);
  char line[16 * 3 + 2];
  for (std::size_t row = 0; row < 256; ++row) {
    char* at = line;
    for (std::size_t i = 0; i < 16; ++i) at += std::snprintf(at, 4, "%.2x ", data[row * 16 + i]);
    Undelete_Log(u, "%s\n", line);
  }
}

bool Search_ComputePosition(const ScanProgressInput& in, std::uint32_t* position) noexcept {
  if (in.driveCount == 0 || position == nullptr) return false;
  std::uint64_t c = 0;
  if (in.fsIndex > 0) {
    // Further file systems found on the drive share 9000..10000.
    if (in.fsCount == 0) return false;
    c = (std::uint64_t{in.fsIndex} * 10000 + in.progress) / (std::uint64_t{in.fsCount} * 10) + 9000;
  } else if ((in.options & kOptDeepScan) != 0) {
    // The file-system scan takes 0..1000, the deep scan 1000..9000.
    if (in.deepScanDone != 0 && in.deepScanTotal != 0)
      c = static_cast<std::uint64_t>(static_cast<unsigned __int128>(in.deepScanDone) * 8000 /
                                     in.deepScanTotal) +
          1000;
    else
      c = in.progress / 10;
  } else {
    c = in.progress;
  }
  c = std::min<std::uint64_t>(c, 10000);
  const std::uint64_t pos = (c + std::uint64_t{in.driveIndex} * 10000) / in.driveCount;
  *position = static_cast<std::uint32_t>(std::min<std::uint64_t>(pos, 10000));
  return true;
}
