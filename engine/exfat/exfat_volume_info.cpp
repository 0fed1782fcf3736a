// The exFAT volume record in the session file: the record followed by the table and bitmap
// copies, exactly as the drive's file-system table holds it.
#include <cstdlib>
#include <cstring>
#include <span>

#include "core/cached_drive.h"
#include "exfat/exfat.h"

bool EXFAT_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  if (block == nullptr || size == nullptr) return false;
  ExfatGeometry g;
  if (!EXFAT_GetGeometry(drive, g)) return false;
  const std::uint32_t total = drive->fsSizes[drive->fsCurrent];
  void* out = std::malloc(total);
  if (out == nullptr) return false;
  std::memcpy(out, drive->fsTable[drive->fsCurrent], total);
  *block = out;
  *size = total;
  return true;
}

bool EXFAT_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept {
  if (entry == nullptr || drive == nullptr || size < sizeof(ExfatVolumeInfo)) return false;
  ExfatVolumeInfo info;
  std::memcpy(&info, entry, sizeof info);
  // The file is untrusted: the copies must be there, whole, and the geometry usable.
  const std::span<const std::uint8_t> tail(static_cast<const std::uint8_t*>(entry) + sizeof info,
                                           size - sizeof info);
  ExfatGeometry g;
  if (!EXFAT_GeometryFrom(info, tail, g)) return false;
  if (std::uint64_t{info.fatBytes.get()} + info.bitmapBytes.get() != tail.size()) return false;
  if (!CachedDrive_AddFileSystem(drive, size, entry)) return false;
  drive->sectorSize = g.sectorSize;  // as recognition sets it
  return true;
}
