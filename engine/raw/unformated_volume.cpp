// The "unknown" file-system entry of a volume: adding it, describing it, saving it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/size_text.h"
#include "raw/unformated.h"
#include "undelete/undelete.h"

namespace {
constexpr std::size_t kTextCapacity = 256;  // callers hand buffers of at least this size
}  // namespace

bool Unformated_RecognizeDrive(CachedDrive* drive) noexcept {
  if (drive == nullptr) return false;
  const std::uint32_t type = kFsUnknown;
  return CachedDrive_AddFileSystem(drive, sizeof type, &type);
}

bool Unformated_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (drive == nullptr || text == nullptr) return false;
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  std::size_t n = formatSizeText(size, text, kTextCapacity);
  if (n >= kTextCapacity) n = kTextCapacity - 1;
  if (shortForm) {
    std::snprintf(text + n, kTextCapacity - n, ", Unformatted");
  } else {
    std::snprintf(text + n, kTextCapacity - n, ", Unformated, Sector size: %d",
                  static_cast<int>(drive->sectorSize));
  }
  return true;
}

bool Unformated_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept {
  if (block == nullptr || size == nullptr) return false;
  std::uint32_t type = kFsUnknown;
  if (const auto entry = Fs_SelectedEntry(drive)) std::memcpy(&type, entry->bytes.data(), sizeof type);
  void* copy = std::malloc(sizeof type);
  if (copy == nullptr) return false;
  std::memcpy(copy, &type, sizeof type);
  *block = copy;
  *size = sizeof type;
  return true;
}
