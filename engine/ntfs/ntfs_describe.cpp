// One-line description of an NTFS volume: its size text, then the file system.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "undelete/undelete.h"
#include "ntfs/ntfs.h"

namespace {

/// The engine's size text ("%d B", "%d.%d KB" ... "%d.%d TB"); nothing for 1 PiB and more.
int sizeText(char* out, std::size_t capacity, std::uint64_t bytes) noexcept {
  if (bytes < 1024) return std::snprintf(out, capacity, "%d B", static_cast<int>(bytes));
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  for (unsigned i = 0; i < 4; ++i) {
    const unsigned shift = 10 * (i + 1);
    if (bytes < (std::uint64_t{1} << (shift + 10))) {
      const std::uint64_t t = (bytes * 10 + (std::uint64_t{1} << (shift - 1))) >> shift;
      return std::snprintf(out, capacity, "%d.%d %s", static_cast<int>(t / 10),
                           static_cast<int>(t % 10), kUnits[i]);
    }
  }
  if (capacity > 0) out[0] = 0;
  return 0;
}

}  // namespace

bool NTFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (text == nullptr) return false;
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  int n = sizeText(text, kCapacity, size);
  if (n < 0) n = 0;
  if (shortForm) {
    std::snprintf(text + n, kCapacity - static_cast<std::size_t>(n), ", NTFS");
  } else {
    std::snprintf(text + n, kCapacity - static_cast<std::size_t>(n), ", NTFS, Cluster size: %d",
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
    if (const auto* name = static_cast<const char16_t*>(Storage_At(u, s->name.get()))) e.name = name;
    e.size = s->size.get();
    e.resident = s->runListLength.get() == 0;
    out.push_back(std::move(e));
    ref = s->next.get();
  }
  return out;
}
