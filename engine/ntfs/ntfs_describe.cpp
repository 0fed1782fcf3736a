// One-line description of an NTFS volume: its size text, then the file system.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "core/storage.h"
#include "core/undelete_object.h"
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
  const auto* info = Storage_Get<NtfsFileInfo>(u, record->locator.get());
  if (info == nullptr || info->recordNumber.get() == kNtfsNoRecord) return out;
  std::uint32_t ref = info->streams.get();
  for (int guard = 0; ref != 0 && guard < 4096; ++guard) {
    const auto* s = Storage_Get<NtfsStream>(u, ref);
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

int Undelete_GetFileStream(Undelete* u, std::uint32_t index, std::uint32_t stream,
                           const char16_t** name, std::uint64_t* size) noexcept {
  if (u == nullptr || u->files == nullptr || index >= u->fileCount.load()) return 0;
  const FileRecord* record = Storage_File(u, index);
  if (record == nullptr || ((record->location.get() >> 12) & 7) != kKindNtfs) return 0;
  const auto* info = Storage_Get<NtfsFileInfo>(u, record->locator.get());
  if (info == nullptr || info->recordNumber.get() == kNtfsNoRecord) return 0;
  std::uint32_t ref = info->streams.get();
  // The chain is bounded as in NTFS_ListStreams: a damaged session must not loop here.
  for (std::uint32_t i = 0; ref != 0 && i < 4096; ++i) {
    const auto* s = Storage_Get<NtfsStream>(u, ref);
    if (s == nullptr) return 0;
    if (i == stream) {
      static constexpr char16_t kNoName[] = u"";
      const auto* text = static_cast<const char16_t*>(Storage_At(u, s->name.get()));
      if (name != nullptr) *name = text != nullptr ? text : kNoName;
      if (size != nullptr) *size = s->size.get();
      return 1;
    }
    ref = s->next.get();
  }
  return 0;
}
