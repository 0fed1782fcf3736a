// The NTFS entry in the session file: its first 44 bytes are saved; loading rebuilds the entry.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

bool NTFS_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  if (block == nullptr || size == nullptr) return false;
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  void* copy = std::malloc(sizeof(NtfsVolumeInfo));
  if (copy == nullptr) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  std::memcpy(copy, &volume->info, sizeof(NtfsVolumeInfo));
  *block = copy;
  *size = sizeof(NtfsVolumeInfo);
  return true;
}

bool NTFS_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept {
  if (entry == nullptr || drive == nullptr || size < sizeof(NtfsVolumeInfo)) return false;
  NtfsVolume volume{};
  std::memcpy(&volume.info, entry, sizeof(NtfsVolumeInfo));
  // A saved entry with no cluster size could never be read: refuse it rather than divide by it.
  if (volume.info.type.get() != kFsNtfs || volume.info.clusterBytes.get() == 0 ||
      volume.info.recordBytes.get() == 0) {
    return false;
  }
  return CachedDrive_AddFileSystem(drive, sizeof volume, &volume);
}
