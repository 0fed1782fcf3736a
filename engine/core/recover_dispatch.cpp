// Recovery dispatch: hands one found file to the recoverer of the file system that found it.
#include <new>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace {

bool invalid(Undelete* u, const char* why) {
  Undelete_Log(u, "%s", why);
  u->error = kErrInvalidParameter;
  return false;
}

bool recoverFile(Undelete* u, std::uint32_t index, const char* target) {
  Undelete_Log(u, "Undelete_RecoverFile: Recovering file %d.\n", static_cast<int>(index));
  // A cancel of the previous operation must not stop this one.
  u->cancelEvent.reset();
  u->totalCancelEvent.reset();

  const FileRecord* stored =
      (u->files != nullptr && index < u->fileCount.load()) ? Storage_File(u, index) : nullptr;
  if (stored == nullptr)
    return invalid(u, "Undelete_RecoverFile: Files or strings or both are NULL.\n");
  if (target == nullptr) {
    u->error = kErrNullPointer;
    return false;
  }
  // The record names its slot and file system; a record from a damaged session file must not
  // send the recoverer to a slot or table entry that does not exist.
  const std::uint16_t location = stored->location.get();
  const std::uint32_t slot = location & 0xFFFu;
  const std::uint32_t kind = (location >> 12) & 7u;
  if (u->driveTable == nullptr || slot >= u->driveCount || u->driveTable[slot].drive == nullptr)
    return invalid(u, "Undelete_RecoverFile: File's drive is not open.\n");
  const FsDescriptor* fs = Fs_OfKind(kind);
  if (fs == nullptr)
    return invalid(u, "Undelete_RecoverFile: Unknown file system of the file.\n");
  CachedDrive* drive = u->driveTable[slot].drive;
  if (fs->selectBeforeRecover) {
    const std::uint32_t fs = stored->fsIndex.get();
    if (fs >= drive->fsCount)
      return invalid(u, "Undelete_RecoverFile: File's file system is not on its drive.\n");
    CachedDrive_SelectFileSystem(drive, fs);
  }
  u->drive = drive;
  u->bytesDone = 0;

  // The lists are read-only after a scan: the recoverer gets its own copy of the record.
  FileRecord record = *stored;
  Undelete_Log(u, "%s", fs->recoverLog);
  u->error = kErrNone;
  Host_SetLastError(kErrNone);
  const bool ok = fs->recoverFile != nullptr && fs->recoverFile(u, &record, target, &u->bytesDone);
  if (!ok && u->error == kErrNone) u->error = Host_GetLastError();
  u->bytesDone = 0;
  return ok;
}

}  // namespace

int Undelete_RecoverFile(Undelete* u, std::uint32_t index, const char* target) noexcept {
  if (u == nullptr) return 0;
  try {
    return recoverFile(u, index, target) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    u->bytesDone = 0;
    u->error = kErrMemory;
    return 0;
  }
}
