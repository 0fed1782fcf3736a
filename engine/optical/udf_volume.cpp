// The UDF volume: its one-line description and its record in the session file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "optical/udf.h"

bool UDF_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (text == nullptr) return false;
  UdfContext ctx;
  try {
    if (!UDF_GetContext(drive, ctx)) return false;
  } catch (...) {
    return false;
  }
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  const std::size_t n = formatSizeText(size, text, kCapacity);
  if (shortForm)
    std::snprintf(text + n, kCapacity - n, ", UDF");
  else
    std::snprintf(text + n, kCapacity - n, ", UDF, Logical block size: %d",
                  static_cast<int>(ctx.info.blockBytes.get()));
  return true;
}

bool UDF_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  if (block == nullptr || size == nullptr) return false;
  void* entry = nullptr;
  if (!CachedDrive_GetFileSystem(drive, &entry) || entry == nullptr ||
      drive->fsSizes[drive->fsCurrent] < sizeof(UdfVolumeInfo))
    return false;
  UdfVolumeInfo info;
  std::memcpy(&info, entry, sizeof info);
  if (info.kind.get() != kFsUdf) return false;
  void* out = std::malloc(sizeof info);
  if (out == nullptr) return false;
  std::memcpy(out, &info, sizeof info);
  *block = out;
  *size = sizeof info;
  return true;
}
