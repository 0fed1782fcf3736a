// One-line description of a FAT volume: its size text, then the kind and, in the long form, the
// cluster size and the number of tables.
#include <cstdio>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "fat/fat.h"

bool FAT_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (text == nullptr) return false;
  FatGeometry g;
  if (!FAT_GetGeometry(drive, g)) return false;
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  const std::size_t n = formatSizeText(size, text, kCapacity);
  const char* kind = g.kind == kFsFat12 ? "FAT12" : g.kind == kFsFat16 ? "FAT16" : "FAT32";
  if (shortForm) {
    std::snprintf(text + n, kCapacity - n, ", %s", kind);
  } else {
    std::snprintf(text + n, kCapacity - n, ", %s, Cluster size: %d, FATs count: %d", kind,
                  static_cast<int>(g.clusterBytes), static_cast<int>(g.fatCount));
  }
  return true;
}
