// One-line summary of a drive letter: open it, recognise its file system, let the file system
// describe itself. The partition module owns this export: when it is built in, it takes this
// definition over (delete this file then; a second definition does not link).
#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/le.h"
#include "core/log.h"
#include "core/search.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

int Undelete_GetLogicalDriveInfo(Undelete* u, char letter, int shortForm,
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
    if (drive->fsCount > 0) {
      CachedDrive_SelectFileSystem(drive, 0);
      const auto entry = Fs_SelectedEntry(drive);
      if (entry && entry->fs != nullptr && entry->fs->describeVolume != nullptr)
        result = entry->fs->describeVolume(drive, out, shortForm != 0) ? 1 : 0;
    }
  }
  CachedDrive_Close(drive);
  CachedDrive_Destroy(drive);
  u->error = error;
  u->stageName = stage;
  return result;
}
