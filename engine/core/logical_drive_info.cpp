// One-line summary of a drive letter: open it, recognise its file system, let the file system
// describe itself. The partition module owns this export; this definition is weak so that its
// full version replaces it once it is built in.
#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/le.h"
#include "core/log.h"
#include "core/search.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

__attribute__((weak)) int Undelete_GetLogicalDriveInfo(Undelete* u, char letter, int shortForm,
                                                        char* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  // A description is a query: the scan's error and stage stay as they were.
  const std::uint32_t error = u->error;
  const char* stage = u->stageName;
  CachedDrive* drive = nullptr;
  if (!CachedDrive_Create(&drive)) return 0;
  int result = 0;
  if (CachedDrive_Open(drive, letter, false)) {
    Undelete_Report(u, "\tGetting info about %c:.\n", letter);
    (void)Undelete_RecognizeDrive(drive, u);
    void* entry = nullptr;
    if (drive->fsCount > 0) {
      CachedDrive_SelectFileSystem(drive, 0);
      if (CachedDrive_GetFileSystem(drive, &entry) && entry != nullptr) {
        const std::uint32_t kind =
            Fs_KindOfType(loadLe<std::uint32_t>(static_cast<std::uint8_t*>(entry)));
        if (const FileSystemOps* ops = Fs_OpsOfKind(kind))
          result = ops->describeVolume(drive, out, shortForm != 0) ? 1 : 0;
      }
    }
  }
  CachedDrive_Close(drive);
  CachedDrive_Destroy(drive);
  u->error = error;
  u->stageName = stage;
  return result;
}
