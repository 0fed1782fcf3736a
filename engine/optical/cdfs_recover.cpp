// ISO 9660 recovery: a file is one extent (or several, for files recorded in pieces) read
// straight through.
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "optical/cdfs.h"
#include "optical/optical_output.h"

bool CDFS_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                      std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || target == nullptr) return false;
  OpticalOutput out(u, target, bytesDone);
  if (!out.opened()) {
    Undelete_Log(u, "CDFS_RecoverFile: Unable to create recover file.\n");
    return Optical_Fail(u, kErrCreateFile);
  }
  CachedDrive* drive = u->drive;
  const std::uint64_t volumeOffset = record->volumeOffset.get();
  if (drive != nullptr && drive->windowStart != volumeOffset)
    (void)CachedDrive_SetWindow(drive, volumeOffset, drive->windowEnd - drive->windowStart);
  if (bytesDone != nullptr) *bytesDone = 0;

  const std::uint64_t size = record->size.get();
  std::vector<CdfsExtent> extents;
  bool ok = true;
  try {
    if (drive == nullptr ||
        !CDFS_DecodeLocator(Optical_LocatorBytes(u, record->locator.get()), size, extents))
      ok = false;
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    Undelete_Log(u, "CDFS_RecoverFile: Error reading deleted file cluster.\n");
    (void)out.finish(false);
    return Optical_Fail(u, kErrReadSource);
  }
  Undelete_Log(
      u,
      "CDFS_RecoverFile: cluster chain end, continue reading clusters after last cluster read.\n");
  bool readFailed = false;
  for (const CdfsExtent& e : extents) {
    const CopyEnd end = Optical_CopyRange(u, out, std::uint64_t{e.block} * kCdfsBlock, e.length,
                                          kCdfsBlock, readFailed);
    if (end == CopyEnd::WriteError) {
      Undelete_Log(u, "CDFS_RecoverFile: Error writing recover file.\n");
      (void)out.finish(false);
      return Optical_Fail(u, kErrWriteFile);
    }
    if (end == CopyEnd::Cancelled) {
      (void)out.finish(false);
      return Optical_Fail(u, kErrUserAbort);
    }
  }
  if (readFailed) {
    Undelete_Log(u, "CDFS_RecoverFile: Error reading deleted file cluster.\n");
    (void)out.finish(false);
    return Optical_Fail(u, kErrReadSource);
  }
  if (!out.finish(true)) {
    Undelete_Log(u, "CDFS_RecoverFile: Error writing recover file.\n");
    return Optical_Fail(u, kErrWriteFile);
  }
  return true;
}
