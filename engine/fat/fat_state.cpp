// FAT state estimation: which clusters of each listed file other files now claim. A deleted file's
// chain is freed, so its clusters are its first cluster and the contiguous run after it, the same
// assumption the recoverer makes.
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"

namespace {

constexpr std::uint32_t kNoOwner = 0xFFFFFFFFu;

struct FileView {
  std::uint32_t index = 0;
  std::uint64_t size = 0;
  std::uint32_t first = 0;
  bool existing = false;
  std::uint64_t latest = 0;  // later of modified and created
};

bool viewOf(const Undelete* u, std::uint32_t index, FileView& v) noexcept {
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr) return false;
  if (((r->location.get() >> 12) & 7u) != kKindFat) return false;
  v.index = index;
  v.size = r->size.get() & 0xFFFFFFFFull;
  v.existing = (r->status & kStatusExisting) != 0;
  const std::uint64_t m = r->modified.get(), c = r->created.get();
  v.latest = m > c ? m : c;
  v.first = 0;
  const auto* loc = static_cast<const std::uint8_t*>(Storage_At(u, r->locator.get()));
  if (loc != nullptr) v.first = loadLe<std::uint32_t>(loc);
  return true;
}

/// Visits the clusters of one file: along its chain, then straight on while bytes remain.
/// @visit returns false to stop the walk. @cancelEvery: poll total cancel every 128 clusters.
template <class Visit>
bool walkClusters(const Undelete* u, const FatGeometry& g, const FileView& f, bool pollCancel,
                  Visit&& visit) {
  std::uint64_t left = f.size;
  std::uint32_t c = f.first;
  std::uint32_t last = 0;
  std::uint64_t step = 0;
  bool haveLast = false;
  while (c >= 2 && c < g.clusterLimit) {
    if (pollCancel && (step++ & 127) == 0 && u->totalCancelEvent.isSet()) return false;
    if (!visit(c)) return false;
    last = c;
    haveLast = true;
    left = left > g.clusterBytes ? left - g.clusterBytes : 0;
    std::uint32_t next = 0;
    if (!FAT_TableEntry(g, c, next)) {
      Undelete_Log(u, "FAT_GetDamage: Next cluster not found.\n");
      break;
    }
    if (left == 0) break;
    c = next;
  }
  if (!haveLast) return true;
  while (left > 0) {
    if (pollCancel && (step++ & 127) == 0 && u->totalCancelEvent.isSet()) return false;
    const std::uint64_t n = std::uint64_t{last} + 1;
    if (n >= g.clusterLimit) {
      Undelete_Log(u, "FAT_GetDamage: Cluster no is out of range.\n");
      break;
    }
    last = static_cast<std::uint32_t>(n);
    if (!visit(last)) return false;
    left = left > g.clusterBytes ? left - g.clusterBytes : 0;
  }
  return true;
}

}  // namespace

bool FAT_GetDamage(Undelete* u) noexcept {
  FatGeometry g;
  if (u == nullptr || !FAT_GetGeometry(u->drive, g)) return !(u != nullptr && isCancelled(u));
  CachedDrive* drive = u->drive;
  const std::uint32_t first = u->passFirstFile;
  const std::uint32_t end = u->fileCount;
  const std::uint32_t count = end > first ? end - first : 0;
  std::vector<std::uint32_t> owner;
  std::vector<FileView> views;
  try {
    owner.assign(g.clusterLimit, kNoOwner);
    views.reserve(count);
  } catch (const std::bad_alloc&) {
    return !isCancelled(u);
  }
  for (std::uint32_t i = first; i < end; ++i) {
    FileView v;
    if (viewOf(u, i, v)) views.push_back(v);
  }
  const std::uint32_t scale = (u->options & kOptDeepScan) != 0 ? 1000u : 10000u;
  const auto beats = [&](const FileView& a, std::uint32_t ownerIndex) {
    const FileRecord* o = Storage_File(u, ownerIndex);
    const bool oExisting = (o->status & kStatusExisting) != 0;
    if (a.existing != oExisting) return a.existing;
    const std::uint64_t m = o->modified.get(), c = o->created.get();
    return a.latest > (m > c ? m : c);
  };

  // Pass 1: who owns each cluster; existing files mark their sectors as taken.
  for (std::size_t i = 0; i < views.size(); ++i) {
    if (u->totalCancelEvent.isSet()) break;
    u->progress = static_cast<std::uint32_t>(
        (std::uint64_t{i} * scale * 10) / (std::uint64_t{views.size()} * 100) + scale * 90 / 100);
    const FileView& f = views[i];
    if (f.size == 0) continue;
    if (!walkClusters(u, g, f, true, [&](std::uint32_t c) {
          if (f.existing) {
            (void)CachedDrive_SetMapRange(drive, FAT_ClusterSector(g, c), g.sectorsPerCluster);
          }
          std::uint32_t& o = owner[c];
          if (o == kNoOwner || (o != f.index && beats(f, o))) o = f.index;
          return true;
        })) {
      break;
    }
  }

  // Pass 2: count each file's clusters and those another file owns, then set the state.
  for (const FileView& f : views) {
    if (u->totalCancelEvent.isSet()) break;
    FileRecord* r = Storage_File(u, f.index);
    std::uint64_t total = 0, overwritten = 0;
    std::uint32_t by = kNoOwner;
    std::uint64_t firstOver[3] = {~0ull, ~0ull, ~0ull};
    if (f.size != 0) {
      (void)walkClusters(u, g, f, false, [&](std::uint32_t c) {
        const std::uint32_t o = owner[c];
        if (o != kNoOwner && o != f.index) {
          if (overwritten < 3) firstOver[overwritten] = total;
          if (overwritten == 0) by = o;
          ++overwritten;
        }
        ++total;
        return true;
      });
    }
    r->overwrittenBy.set(by);
    for (int k = 0; k < 3; ++k) r->firstOverwritten[k].set(firstOver[k]);
    r->overwrittenClusters.set(overwritten);
    r->totalClusters.set(total);
    const std::uint8_t oldState = static_cast<std::uint8_t>((r->status >> 1) & 0x1F);
    std::uint8_t state;
    if (f.existing) {
      state = kStateExisting;
    } else if (f.size != 0 && total == 0) {
      state = kStateUnrecoverable;  // no data cluster at all (first cluster 0, 1 or out of range)
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
