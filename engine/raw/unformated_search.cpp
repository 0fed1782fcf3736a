// The scan of a volume on which no file system was recognised: the deep scan over all of it.
#include "core/cached_drive.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "raw/unformated.h"

bool Unformated_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  Undelete_Log(u, "\tPerforming DeepScan.\n");
  if (u->deepScanResume == 0) {
    std::uint64_t size = 0;
    if (!CachedDrive_GetSize(drive, &size)) size = 0;
    if (drive->sectorSize == 0 || size == 0) return false;
    const std::uint64_t sectors = size / drive->sectorSize;
    if (sectors == 0 || !CachedDrive_InitMap(drive, sectors, nullptr, 0)) return false;
    u->deepScanTotal = sectors;
  } else {
    // A continued session: the map came back with it, and progress counts against all of it.
    std::uint64_t bits = 0;
    if (CachedDrive_GetMapBits(&bits, drive)) u->deepScanTotal = bits;
  }
  // The deep-scan option is not consulted: here the deep scan is the only scan there is.
  return FileFormat_ScanHole(u, 0, 9500);
}
