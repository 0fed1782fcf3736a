// One-line description of an NTFS volume: its size text, then the file system.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "core/storage.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

bool NTFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (text == nullptr) return false;
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  const std::size_t n = formatSizeText(size, text, kCapacity);
  if (shortForm) {
    std::snprintf(text + n, kCapacity - n, ", NTFS");
  } else {
    std::snprintf(text + n, kCapacity - n, ", NTFS, Cluster size: %d",
                  static_cast<int>(volume->info.clusterBytes.get()));
  }
  return true;
}

std::vector<NtfsStreamEntry> NTFS_ListStreams(const Undelete* u, const FileRecord* record) {
  std::vector<NtfsStreamEntry> out;
  if (u == nullptr || record == nullptr || ((record->location.get() >> 12) & 7) != kKindNtfs) {
    return out;
  }
  const auto* info = static_cast<const NtfsFileInfo*>(Storage_At(u, record->locator.get()));
  if (info == nullptr || info->recordNumber.get() == kNtfsNoRecord) return out;
  std::uint32_t ref = info->streams.get();
  for (int guard = 0; ref != 0 && guard < 4096; ++guard) {
    const auto* s = static_cast<const NtfsStream*>(Storage_At(u, ref));
    if (s == nullptr) break;
    NtfsStreamEntry e;
    if (const auto* name = static_cast<const char16_t*>(Storage_At(u, s->name.get())))
      e.name = name;
    e.size = s->size.get();
    e.resident = s->runListLength.get() == 0;
    out.push_back(std::move(e));
    ref = s->next.get();
  }
  return out;
}
