// Opening a volume for wiping: exclusive write access, recognition on a read view of the same
// descriptor (so the bitmap describes exactly what will be written), and the bitmap.
#include "core/wipe_target.h"

#include <new>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/search.h"
#include "core/undelete_object.h"
#include "core/wipe.h"

bool WipeTarget::close() noexcept {
  bool ok = true;
  if (drive != nullptr) {
    CachedDrive_Close(drive);
    CachedDrive_Destroy(drive);
    drive = nullptr;
  }
  if (volume) {
    ok = volume->dismount();
    volume.reset();
  }
  return ok;
}

bool Wipe_OpenTarget(Undelete* u, const DriveSlot& slot, bool rawAllowed,
                     WipeTarget& out) noexcept {
  try {
    out.close();
    const std::uint32_t kind = slot.driveSpec >> 24;
    if (kind == kSpecLetter) {
      out.volume = Host_OpenVolumeExclusive(static_cast<char>('A' + (slot.driveSpec & 0xFFu)));
    } else if (kind == kSpecPartition) {
      out.volume = Host_OpenPartitionExclusive(slot.physicalDrive, slot.start, slot.length);
    } else {
      Host_SetLastError(kErrOpenDrive);
    }
    if (!out.volume) return false;
    if (!CachedDrive_Create(&out.drive) ||
        !CachedDrive_OpenDevice(out.drive, out.volume->readView(), kHostDriveFixed)) {
      Host_SetLastError(kErrOpenDrive);
      return false;
    }
    HostVolumeBitmap bitmap;
    bool have = false;
    out.fs = nullptr;
    if (Undelete_RecognizeDrive(out.drive, u) && out.drive->fsCount != 0) {
      CachedDrive_SelectFileSystem(out.drive, 0);
      if (const auto entry = Fs_SelectedEntry(out.drive)) {
        out.type = entry->type;
        out.fs = entry->fs;
      }
    }
    if (out.fs != nullptr && out.fs->readVolumeBitmap != nullptr) {
      have = out.fs->readVolumeBitmap(out.drive, bitmap);
      if (!have) {
        Undelete_Log(u, "Wipe: Unable to read the volume bitmap.\n");
        if (Host_GetLastError() == kErrNone) Host_SetLastError(kErrReadFat);
        return false;
      }
    } else if (rawAllowed && out.type == kFsUnknown) {
      const std::uint32_t sector = out.drive->sectorSize != 0 ? out.drive->sectorSize : 512;
      bitmap.clusterBytes = sector;
      bitmap.clusterCount = out.volume->size() / sector;
      bitmap.bits.assign((bitmap.clusterCount + 7) / 8, 0);
      have = true;
    }
    if (!have) {
      Host_SetLastError(kErrUnrecognized);
      return false;
    }
    out.volume->setBitmap(std::move(bitmap));
    return true;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}
