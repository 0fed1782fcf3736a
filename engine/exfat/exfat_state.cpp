// exFAT state estimation: which clusters of each listed file are now taken. The allocation bitmap
// says which clusters are in use; among the listed files a live one owns a cluster before a
// deleted one, and of two deleted files the later one. A deleted file's clusters are walked as
// the recoverer reads them: contiguous with the no-FAT-chain flag, else the chain while it lasts
// and then straight on.
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"

namespace {

constexpr std::uint32_t kNoOwner = 0xFFFFFFFFu;

struct FileView {
  std::uint32_t index = 0;
  std::uint64_t size = 0;
  std::uint32_t first = 0;
  bool noFatChain = false;
  bool existing = false;
  std::uint64_t latest = 0;  // later of modified and created
};

bool viewOf(const Undelete* u, std::uint32_t index, std::uint32_t fsIndex, FileView& v) noexcept {
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr || ((r->location.get() >> 12) & 7u) != kKindExfat) return false;
  if (r->fsIndex.get() != fsIndex) return false;
  const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, r->locator.get(), sizeof(ExfatLocator)));
  if (loc == nullptr) return false;
  ExfatLocator locator;
  std::memcpy(&locator, loc, sizeof locator);
  v.index = index;
  v.size = r->size.get();
  v.first = locator.firstCluster.get();
  v.noFatChain = (locator.flags.get() & kExfatFlagNoFatChain) != 0;
  v.existing = (r->status & kStatusExisting) != 0;
  const std::uint64_t m = r->modified.get(), c = r->created.get();
  v.latest = m > c ? m : c;
  return true;
}

/// Collects consecutive clusters into one used-sector map range.
class MapRuns {
 public:
  MapRuns(CachedDrive* drive, const ExfatGeometry& g) : m_drive(drive), m_g(g) {}
  ~MapRuns() { flush(); }
  void add(std::uint32_t c) {
    if (m_count != 0 && c == m_first + m_count) {
      ++m_count;
      return;
    }
    flush();
    m_first = c;
    m_count = 1;
  }
  void flush() {
    if (m_count == 0) return;
    (void)CachedDrive_SetMapRange(m_drive, EXFAT_ClusterSector(m_g, m_first),
                                  std::uint64_t{m_count} * m_g.sectorsPerCluster);
    m_count = 0;
  }

 private:
  CachedDrive* m_drive;
  const ExfatGeometry& m_g;
  std::uint32_t m_first = 0;
  std::uint64_t m_count = 0;
};

}  // namespace

bool EXFAT_GetDamage(Undelete* u) noexcept {
  ExfatGeometry g;
  if (u == nullptr || !EXFAT_GetGeometry(u->drive, g)) return !(u != nullptr && isCancelled(u));
  CachedDrive* drive = u->drive;
  const std::uint32_t first = u->passFirstFile;
  const std::uint32_t end = u->fileCount;
  std::vector<std::uint32_t> owner;
  std::vector<FileView> views;
  try {
    owner.assign(g.clusterCount, kNoOwner);
    views.reserve(end > first ? end - first : 0);
    for (std::uint32_t i = first; i < end; ++i) {
      FileView v;
      if (viewOf(u, i, drive->fsCurrent, v)) views.push_back(v);
    }
  } catch (const std::bad_alloc&) {
    return !isCancelled(u);
  }
  const std::uint32_t scale = (u->options & kOptDeepScan) != 0 ? 1000u : 10000u;
  const auto beats = [&](const FileView& a, std::uint32_t ownerIndex) {
    const FileRecord* o = Storage_File(u, ownerIndex);
    const bool oExisting = (o->status & kStatusExisting) != 0;
    if (a.existing != oExisting) return a.existing;
    const std::uint64_t m = o->modified.get(), c = o->created.get();
    return a.latest > (m > c ? m : c);
  };

  // Pass 1: who owns each cluster; live files mark their sectors as taken.
  bool cancelled = false;
  for (std::size_t i = 0; i < views.size() && !cancelled; ++i) {
    if (u->totalCancelEvent.isSet()) break;
    u->progress = static_cast<std::uint32_t>(
        (std::uint64_t{i} * scale * 10) / (std::uint64_t{views.size()} * 100) + scale * 90 / 100);
    const FileView& f = views[i];
    ExfatClusterWalk walk(g, f.first, f.noFatChain, f.size);
    MapRuns runs(drive, g);
    std::uint32_t c = 0;
    for (std::uint64_t step = 0; walk.next(c); ++step) {
      if ((step & 127) == 127 && u->totalCancelEvent.isSet()) {
        cancelled = true;
        break;
      }
      if (f.existing) runs.add(c);
      std::uint32_t& o = owner[c - 2];
      if (o == kNoOwner || (o != f.index && beats(f, o))) o = f.index;
    }
    if (walk.outOfRange()) Undelete_Log(u, "EXFAT_GetDamage: Cluster no is out of range.\n");
  }

  // Every cluster the bitmap shows in use is taken: the deep scan looks only at free ones.
  if (g.bitmap != nullptr) {
    MapRuns runs(drive, g);
    for (std::uint32_t k = 0; k < g.clusterCount && k / 8 < g.bitmapBytes; ++k) {
      if ((k & 7) == 0 && g.bitmap[k / 8] == 0) {
        k += 7;  // a free byte: eight free clusters
        continue;
      }
      if (EXFAT_ClusterInUse(g, k + 2)) runs.add(k + 2);
    }
  }

  // Pass 2: count each file's clusters and those taken by others, then set the state.
  for (const FileView& f : views) {
    if (u->totalCancelEvent.isSet()) break;
    FileRecord* r = Storage_File(u, f.index);
    std::uint64_t total = 0, overwritten = 0;
    std::uint32_t by = kNoOwner;
    std::uint64_t firstOver[3] = {~0ull, ~0ull, ~0ull};
    ExfatClusterWalk walk(g, f.first, f.noFatChain, f.size);
    std::uint32_t c = 0;
    while (walk.next(c)) {
      const std::uint32_t o = owner[c - 2];
      const bool otherOwner = o != kNoOwner && o != f.index;
      // In use but claimed by no listed live file: a directory, or a file the walk never met.
      const bool taken = otherOwner || (!f.existing && EXFAT_ClusterInUse(g, c));
      if (taken) {
        if (overwritten < 3) firstOver[overwritten] = total;
        if (overwritten == 0 && otherOwner) by = o;
        ++overwritten;
      }
      ++total;
    }
    r->overwrittenBy.set(by);
    for (int k = 0; k < 3; ++k) r->firstOverwritten[k].set(firstOver[k]);
    r->overwrittenClusters.set(overwritten);
    r->totalClusters.set(total);
    const auto oldState = static_cast<std::uint8_t>((r->status >> 1) & 0x1F);
    std::uint8_t state;
    if (f.existing) {
      state = kStateExisting;
    } else if (f.size != 0 && total == 0) {
      state = kStateUnrecoverable;  // no data cluster at all
    } else if (overwritten == 0) {
      state = kStateExcellent;
    } else if (overwritten >= total) {
      state = kStateUnrecoverable;
    } else {
      state = kStatePoor;
    }
    if (oldState == kStateBad) state = kStateBad;
    r->status = static_cast<std::uint8_t>((r->status & 0xC1) | (state << 1));
  }
  return !isCancelled(u);
}
