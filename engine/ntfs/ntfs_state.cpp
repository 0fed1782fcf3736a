// Recoverability of the files an MFT scan listed: the clusters of existing files are marked
// used, then every deleted file is judged by how many of its clusters are marked.
#include <cstdint>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint64_t kLongestRun = (std::uint64_t{1} << 40) - 1;

/// Used clusters, kept in the drive's used-sector map when the scan made one (the deep scan reads
/// it afterwards), else in a cluster bitmap of our own: without it every deleted file would look
/// untouched.
class UsedClusters {
 public:
  UsedClusters(CachedDrive* drive, const NtfsVolume& volume)
      : m_drive(drive), m_clusters(volume.info.clusterCount.get()) {
    const std::uint32_t cb = volume.info.clusterBytes.get();
    m_sectorsPerCluster = drive->sectorSize ? (cb + drive->sectorSize - 1) / drive->sectorSize : 1;
    if (m_sectorsPerCluster == 0) m_sectorsPerCluster = 1;
    m_start = drive->sectorSize ? volume.info.volumeStart.get() / drive->sectorSize : 0;
    if (drive->map == nullptr) m_own.assign((m_clusters + 63) / 64, 0);
  }
  [[nodiscard]] std::uint64_t clusters() const noexcept { return m_clusters; }
  void mark(std::uint64_t first, std::uint64_t count) noexcept {
    if (first >= m_clusters) return;
    if (count > m_clusters - first) count = m_clusters - first;
    if (m_drive->map != nullptr) {
      CachedDrive_SetMapRange(m_drive, m_start + first * m_sectorsPerCluster,
                              count * m_sectorsPerCluster);
      return;
    }
    for (std::uint64_t c = first; c < first + count; ++c)
      m_own[c / 64] |= std::uint64_t{1} << (c % 64);
  }
  [[nodiscard]] bool used(std::uint64_t c) const noexcept {
    if (c >= m_clusters) return false;
    if (m_drive->map != nullptr)
      return CachedDrive_TestMapBit(m_drive, m_start + c * m_sectorsPerCluster);
    return (m_own[c / 64] >> (c % 64)) & 1u;
  }

 private:
  CachedDrive* m_drive;
  std::uint64_t m_clusters;
  std::uint64_t m_sectorsPerCluster = 1;
  std::uint64_t m_start = 0;
  std::vector<std::uint64_t> m_own;
};

bool totalCancelled(const Undelete* u) noexcept { return u->totalCancelEvent.isSet(); }

const NtfsFileInfo* infoOf(const Undelete* u, const FileRecord* f) noexcept {
  if (((f->location.get() >> 12) & 7) != kKindNtfs) return nullptr;
  return Storage_Get<NtfsFileInfo>(u, f->locator.get());
}

/// Marks every cluster of a run list used. A file cannot hold more clusters than the volume:
/// a list that claims more is damaged, and walking it would only cost time.
void markRunList(UsedClusters& used, const void* list, std::uint32_t length) {
  if (list == nullptr || length == 0) return;
  RunCursor cursor;
  cursor.load(std::span(static_cast<const std::uint8_t*>(list), length), used.clusters());
  std::uint64_t first = 0, count = 0, total = 0;
  bool sparse = false;
  while (cursor.nextRun(&first, &count, &sparse)) {
    if (count >= kLongestRun) break;
    if (sparse) continue;
    total += count;
    if (total > used.clusters()) break;
    used.mark(first, count);
  }
}

void setState(FileRecord* f, std::uint8_t state) noexcept {
  f->status = static_cast<std::uint8_t>((f->status & 0xC1u) | (state << 1));
}

}  // namespace

void NTFS_EstimateFilesState(Undelete* u, const NtfsVolume& volume) noexcept {
  CachedDrive* drive = u->drive;
  try {
    UsedClusters used(drive, volume);
    const std::uint32_t first = u->passFirstFile, end = u->fileCount.load();
    const std::uint64_t n = end > first ? end - first : 1;
    for (std::uint32_t i = first; i < end && !totalCancelled(u); ++i) {
      const FileRecord* f = Storage_File(u, i);
      if (f == nullptr) break;
      if ((f->status & kStatusExisting) == 0) continue;
      const NtfsFileInfo* info = infoOf(u, f);
      if (info == nullptr || info->recordNumber.get() == kNtfsNoRecord) continue;
      if (info->runListLength.get() != 0) {
        markRunList(used, Storage_Block(u, info->data.get(), info->dataLength.get()),
                    info->dataLength.get());
      }
      // Non-resident named streams hold clusters too.
      std::uint32_t ref = info->streams.get();
      for (int guard = 0; ref != 0 && guard < 4096; ++guard) {
        const auto* s = Storage_Get<NtfsStream>(u, ref);
        if (s == nullptr) break;
        if (s->runListLength.get() != 0) {
          markRunList(used, Storage_Block(u, s->data.get(), s->runListLength.get()),
                      s->runListLength.get());
        }
        ref = s->next.get();
      }
      u->progress.store(static_cast<std::uint32_t>(9000 + (i - first) * 1000 / n),
                        std::memory_order_relaxed);
    }
    for (std::uint32_t i = first; i < end && !totalCancelled(u); ++i) {
      FileRecord* f = Storage_File(u, i);
      if (f == nullptr) break;
      const NtfsFileInfo* info = infoOf(u, f);
      if (info == nullptr) continue;
      f->overwrittenBy.set(0xFFFFFFFFu);
      for (auto& slot : f->firstOverwritten) slot.set(~std::uint64_t{0});
      const std::uint8_t previous = static_cast<std::uint8_t>((f->status >> 1) & 0x1F);
      if (f->status & kStatusExisting) {
        setState(f, kStateExisting);
        continue;
      }
      if (previous == kStateBad) continue;  // the content check already judged it
      if (f->size.get() == 0 || (info->dataFlags.get() & kNtfsDataEncrypted)) {
        setState(f, kStateUnrecoverable);
        continue;
      }
      if (info->runListLength.get() == 0) {
        setState(f, kStateExcellent);
        continue;
      }
      const auto* list = static_cast<const std::uint8_t*>(
          Storage_Block(u, info->data.get(), info->dataLength.get()));
      if (list == nullptr || info->dataLength.get() == 0) {
        setState(f, 6);
        continue;
      }
      RunCursor cursor;
      cursor.load(std::span(list, info->dataLength.get()), used.clusters());
      std::uint64_t index = 0, overwritten = 0, first = 0, count = 0, walked = 0;
      bool sparse = false, tooLong = false;
      int slot = 0;
      while (cursor.nextRun(&first, &count, &sparse)) {
        if (sparse) {
          index += count;
          continue;
        }
        walked += count;
        if (count >= kLongestRun || walked > used.clusters()) {  // more than the volume holds
          tooLong = true;
          break;
        }
        for (std::uint64_t c = 0; c < count; ++c, ++index) {
          if (!used.used(first + c)) continue;
          ++overwritten;
          f->overwrittenBy.set(0xFFFFFFFEu);
          if (slot < 3) f->firstOverwritten[slot++].set(index);
        }
      }
      f->overwrittenClusters.set(overwritten);
      f->totalClusters.set(index);
      // A list that cannot be followed (a run past the volume, a damaged pair) or that covers
      // less than the file's size cannot give the file back, however untouched its clusters.
      const std::uint64_t cb = volume.info.clusterBytes.get();
      const std::uint64_t needed = cb != 0 ? f->size.get() / cb + (f->size.get() % cb != 0) : 0;
      if (tooLong || cursor.corrupt() || index < needed) {
        setState(f, kStateUnrecoverable);
        continue;
      }
      setState(f, overwritten == 0       ? kStateExcellent
                  : overwritten >= index ? kStateUnrecoverable
                                         : kStatePoor);
    }
  } catch (...) {
    // No memory for the cluster bitmap: the files keep the state "not estimated".
  }
}
