// The FAT volume record in the session file: the 44-byte record followed by the table copy,
// exactly as the drive's file-system table holds it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "fat/fat.h"

bool FAT_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  if (block == nullptr || size == nullptr) return false;
  FatGeometry g;
  const auto entry = Fs_SelectedEntry(drive);
  if (!entry || !FAT_GetGeometry(drive, g)) return false;
  // FAT_GetGeometry has checked that the entry holds the record and its table copy.
  const std::uint32_t total = static_cast<std::uint32_t>(sizeof(FatVolumeInfo)) + g.fatBytes;
  void* out = std::malloc(total);
  if (out == nullptr) return false;
  std::memcpy(out, entry->bytes.data(), total);
  FatVolumeInfo info;
  std::memcpy(&info, out, sizeof info);
  info.fatCopy.set(0);  // an address means nothing in a file
  std::memcpy(out, &info, sizeof info);
  *block = out;
  *size = total;
  return true;
}

bool FAT_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept {
  if (entry == nullptr || drive == nullptr || size < sizeof(FatVolumeInfo)) return false;
  FatVolumeInfo info;
  std::memcpy(&info, entry, sizeof info);
  const std::uint32_t kind = info.kind.get();
  if (kind < kFsFat12 || kind > kFsFat32) return false;
  // The file is untrusted: the table must be there and the geometry usable.
  if (info.fatBytes.get() > size - sizeof(FatVolumeInfo)) return false;
  const std::uint32_t sectorSize =
      info.clusterBytes.get() / std::max(1u, info.sectorsPerCluster.get());
  if (sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 && sectorSize != 4096)
    return false;
  FatGeometry g;
  const auto* table = static_cast<const std::uint8_t*>(entry) + sizeof info;
  if (!FAT_GeometryFrom(info, table, sectorSize, g)) return false;
  const std::uint32_t total = static_cast<std::uint32_t>(sizeof info) + info.fatBytes.get();
  if (!CachedDrive_AddFileSystem(drive, total, entry)) return false;
  drive->sectorSize = sectorSize;  // the geometry's sector size, as recognition sets it
  return true;
}
