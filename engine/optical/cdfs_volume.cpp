// The CDFS volume: its one-line description and its record in the session file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "optical/cdfs.h"

bool CDFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  CdfsVolumeInfo info;
  if (text == nullptr || !CDFS_GetVolumeInfo(drive, info)) return false;
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  const std::size_t n = formatSizeText(size, text, kCapacity);
  if (shortForm)
    std::snprintf(text + n, kCapacity - n, ", CDFS");
  else
    std::snprintf(text + n, kCapacity - n, ", CDFS, sector size: %d",
                  static_cast<int>(info.blockBytes.get()));
  return true;
}

bool CDFS_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  CdfsVolumeInfo info;
  if (block == nullptr || size == nullptr || !CDFS_GetVolumeInfo(drive, info)) return false;
  void* out = std::malloc(sizeof info);
  if (out == nullptr) return false;
  std::memcpy(out, &info, sizeof info);
  *block = out;
  *size = sizeof info;
  return true;
}
