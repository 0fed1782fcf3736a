// FAT wiping: the allocation bitmap of the volume controls (a cluster is free only when every
// table copy says so), one deleted file's clusters through the scratch file, every free cluster,
// and the directory entries of deleted files.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/le.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "fat/fat.h"
#include "host/host_volume_control.h"

namespace {

constexpr std::uint32_t kRunBytes = 0x200000;  // free-space runs are written 2 MiB at a time

/// Entry @p c of one raw table; none when it lies outside the table.
std::optional<std::uint32_t> tableValue(std::uint32_t kind, std::span<const std::uint8_t> table,
                                        std::uint64_t c) noexcept {
  if (kind == kFsFat12) {
    const std::uint64_t at = c + c / 2;
    if (at + 1 >= table.size()) return std::nullopt;
    const std::uint32_t pair = loadLe<std::uint16_t>(table.data() + at);
    return (c & 1) != 0 ? pair >> 4 : pair & 0xFFFu;
  }
  if (kind == kFsFat16) {
    if (c * 2 + 1 >= table.size()) return std::nullopt;
    return loadLe<std::uint16_t>(table.data() + c * 2);
  }
  if (c * 4 + 3 >= table.size()) return std::nullopt;
  return loadLe<std::uint32_t>(table.data() + c * 4) & 0x0FFFFFFFu;
}

/// Byte offset of data cluster 2 within the volume.
std::uint64_t dataStart(const FatGeometry& g) noexcept {
  return FAT_ClusterSector(g, 2) * g.sectorSize;
}

/// Data clusters the volume really holds: no more than the table describes, the limit allows and
/// the volume's bytes hold (the limit may count the FAT12/16 root area as clusters).
std::uint64_t dataClusters(const FatGeometry& g, std::uint64_t volumeBytes) noexcept {
  const std::uint64_t start = dataStart(g);
  if (g.clusterBytes == 0 || start >= volumeBytes || g.clusterLimit < 2) return 0;
  std::uint64_t n = (volumeBytes - start) / g.clusterBytes;
  n = std::min<std::uint64_t>(n, g.clusterLimit - 2u);
  const std::uint64_t entries = g.kind == kFsFat12   ? std::uint64_t{g.fatBytes} * 2 / 3
                                : g.kind == kFsFat16 ? g.fatBytes / 2
                                                     : g.fatBytes / 4;
  return entries > 2 ? std::min(n, entries - 2) : 0;
}

bool cancelled(const Undelete* u) noexcept { return u->cancelEvent.isSet(); }

/// Wipe progress of the free-space phase: the second half when entries were wiped first.
void setFreeProgress(Undelete* u, std::uint64_t bytes) noexcept {
  if (u->wipeTotal == 0) return;
  const bool twoPhases = (u->wipeFlags & 1u) != 0;
  const std::uint64_t span = twoPhases ? 5000 : 10000;
  std::uint64_t p = std::min<std::uint64_t>(bytes, u->wipeTotal) * span / u->wipeTotal;
  if (twoPhases) p += 5000;
  u->wipeProgress.store(static_cast<std::uint32_t>(p), std::memory_order_relaxed);
}

}  // namespace

bool FAT_ReadVolumeBitmap(CachedDrive* drive, HostVolumeBitmap& out) noexcept {
  FatGeometry g;
  if (drive == nullptr || !FAT_GetGeometry(drive, g) || g.sectorSize == 0) return false;
  std::uint64_t volumeBytes = 0;
  CachedDrive_GetSize(drive, &volumeBytes);
  try {
    // Every table copy is read from the volume: the kept copy may be older than the disk.
    std::vector<std::vector<std::uint8_t>> tables;
    for (std::uint32_t i = 0; i < std::max<std::uint32_t>(g.fatCount, 1) && i < 4; ++i) {
      std::vector<std::uint8_t> t(g.fatBytes);
      const std::uint64_t at =
          (std::uint64_t{g.reservedSectors} + std::uint64_t{i} * g.sectorsPerFat) * g.sectorSize;
      std::uint32_t got = 0;
      if (!CachedDrive_Read(drive, at, g.fatBytes, t.data(), &got) || got != g.fatBytes)
        return false;
      tables.push_back(std::move(t));
    }
    out = HostVolumeBitmap{};
    out.clusterBytes = g.clusterBytes;
    out.firstClusterOffset = dataStart(g);
    out.clusterCount = dataClusters(g, volumeBytes);
    out.bits.assign((out.clusterCount + 7) / 8, 0);
    for (std::uint64_t lcn = 0; lcn < out.clusterCount; ++lcn) {
      for (const auto& t : tables) {
        const auto v = tableValue(g.kind, t, lcn + 2);
        if (!v || *v != 0) {
          out.setUsed(lcn);
          break;
        }
      }
    }
    return out.clusterCount != 0;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}

bool FAT_WipeFreeSpace(Undelete* u, HostVolume* volume, std::uint32_t clusterCount,
                       std::uint64_t bytesBefore) noexcept {
  if (u == nullptr || volume == nullptr || !volume->isOpen() || !volume->hasBitmap()) return false;
  std::uint8_t boot[512];
  if (!volume->read(0, boot, sizeof boot)) return false;
  FatBoot b;
  if (FAT_ParseBootSector(boot, b) != Parse::Ok) {
    Undelete_Log(u, "FAT_WipeFreeSpace: Not found FAT signature in the bootsector.\n");
    return false;
  }
  Undelete_Log(u, "FAT_WipeFreeSpace: Found bootsector signature for FAT%d.\n",
               b.kind == kFsFat12   ? 12
               : b.kind == kFsFat16 ? 16
                                    : 32);
  FatVolumeInfo info;
  if (FAT_MakeVolumeInfo(b, volume->size(), info) != FatGeometryCheck::Ok) return false;
  if (info.clusterBytes.get() == 0 || info.clusterBytes.get() > 0x20000) return false;

  const HostVolumeBitmap& bitmap = volume->bitmap();
  const std::uint64_t clusters = std::min<std::uint64_t>(bitmap.clusterCount, clusterCount);
  const std::uint32_t cb = bitmap.clusterBytes;
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  if (cb == 0 || cb > kRunBytes) return false;
  // Runs of up to 2 MiB; a small volume needs no more than it has.
  const std::uint64_t runMax =
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(kRunBytes / cb, clusters));
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(runMax * cb);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  bool ok = true;
  std::uint64_t c = 0;
  while (c < clusters && !cancelled(u)) {
    if (bitmap.used(c)) {
      ++c;
      continue;
    }
    std::uint64_t n = 1;
    while (n < runMax && c + n < clusters && !bitmap.used(c + n)) ++n;
    if (!Wipe_WriteRun(method, passes, static_cast<std::uint32_t>(n * cb),
                       bitmap.firstClusterOffset + c * cb, buffer.data(), *volume))
      ok = false;
    c += n;
    setFreeProgress(u, bytesBefore + c * cb);
    if (!ok) break;  // a failing device fails every later run too
  }
  return ok;
}

// --- entries of deleted files -------------------------------------------------------------------

namespace {

/// A deleted entry that names nothing: the entry a short-lived hidden filler file leaves behind.
void fillerEntry(std::uint8_t* entry, std::uint32_t counter) noexcept {
  char name[12];
  std::snprintf(name, sizeof name, "$$%06u$$$", counter % 1000000u);
  std::memset(entry, 0, 32);
  std::memcpy(entry, name, 11);
  entry[0] = 0xE5;
  entry[11] = kFatAttrHidden | kFatAttrArchive;
}

struct EntryWiper {
  Undelete* u = nullptr;
  HostVolume* volume = nullptr;
  FatGeometry g;
  std::uint32_t counter = 0;
  std::uint64_t wiped = 0;
  std::unordered_set<std::uint32_t> seen;
  bool ok = true;
  // Detach mode: only the deleted entry of this first cluster and size loses its cluster.
  std::uint32_t detachCluster = 0;
  std::uint32_t detachSize = 0;
  bool detached = false;

  /// Byte ranges of one directory: the FAT12/16 root area, or a cluster chain.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> extentsOf(std::uint32_t cluster) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> out;
    if (cluster == 0) {
      out.emplace_back(FAT_RootSector(g) * g.sectorSize, g.rootEntries * 32u);
      return out;
    }
    std::uint32_t c = cluster;
    for (std::uint32_t steps = 0; c >= 2 && c < g.clusterLimit && steps < g.clusterLimit; ++steps) {
      if (!seen.insert(c).second) break;  // a loop, or a cluster of another directory
      out.emplace_back(FAT_ClusterSector(g, c) * g.sectorSize, g.clusterBytes);
      std::uint32_t next = 0;
      if (!FAT_TableEntry(g, c, next) || FAT_EndOfChainValue(g.kind, next)) break;
      c = next;
    }
    return out;
  }

  void directory(std::uint32_t cluster, std::uint32_t depth) {
    if (depth > kFatMaxDepth || cancelled(u) || !ok) return;
    const auto extents = extentsOf(cluster);
    std::vector<std::uint32_t> children;
    bool ended = false;
    for (const auto& [offset, length] : extents) {
      std::vector<std::uint8_t> bytes(length);
      if (!volume->read(offset, bytes.data(), length)) {
        ok = false;
        return;
      }
      bool changed = false;
      for (std::uint32_t at = 0; at + 32 <= length; at += 32) {
        std::uint8_t* e = bytes.data() + at;
        if (detachCluster != 0) {
          if (e[0] == 0x00) break;
          std::uint32_t c = loadLe<std::uint16_t>(e + 26);
          if (g.isFat32()) c |= std::uint32_t{loadLe<std::uint16_t>(e + 20)} << 16;
          if (e[0] == 0xE5 && e[11] != kFatAttrLongName && c == detachCluster &&
              loadLe<std::uint32_t>(e + 28) == detachSize) {
            storeLe<std::uint16_t>(e + 20, 0);
            storeLe<std::uint16_t>(e + 26, 0);
            changed = detached = true;
            break;
          }
        }
        if (detachCluster != 0 && e[0] != 0xE5) {
          // fall through to the sub-directory search below
        } else if (detachCluster != 0) {
          continue;
        } else if (ended) {
          // Past the end marker: nothing a driver reads, but old names may linger.
          if (std::any_of(e, e + 32, [](std::uint8_t x) { return x != 0; })) {
            std::memset(e, 0, 32);
            changed = true;
          }
          continue;
        } else if (e[0] == 0x00) {
          ended = true;
          if (std::any_of(e, e + 32, [](std::uint8_t x) { return x != 0; })) {
            std::memset(e, 0, 32);
            changed = true;
          }
          continue;
        } else if (e[0] == 0xE5) {
          std::uint8_t filler[32];
          fillerEntry(filler, counter++);
          if (std::memcmp(filler, e, 32) != 0) {
            std::memcpy(e, filler, 32);
            changed = true;
            ++wiped;
          }
          continue;
        }
        const std::uint8_t attr = e[11];
        if (attr == kFatAttrLongName || (attr & kFatAttrVolume) != 0) continue;
        if ((attr & kFatAttrDirectory) == 0 || FAT_IsDotEntry(e, false) || FAT_IsDotEntry(e, true))
          continue;
        std::uint32_t child = loadLe<std::uint16_t>(e + 26);
        if (g.isFat32()) child |= std::uint32_t{loadLe<std::uint16_t>(e + 20)} << 16;
        if (child >= 2 && child < g.clusterLimit) children.push_back(child);
      }
      if (changed && !volume->writeRaw(offset, bytes.data(), length)) {
        ok = false;
        return;
      }
      if (detached) return;
    }
    for (const std::uint32_t child : children) {
      if (detached) return;
      directory(child, depth + 1);
    }
  }
};

}  // namespace

bool FAT_WipeFile(Undelete* u, HostVolume* volume, HostScratchFile* scratch, FileRecord* record,
                  std::uint32_t clusterBytes, std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || volume == nullptr || scratch == nullptr || record == nullptr ||
      clusterBytes == 0 || !volume->isOpen())
    return false;
  const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, record->locator.get(), 4));
  if (loc == nullptr) return true;
  const std::uint32_t first = loadLe<std::uint32_t>(loc);
  if (first == 0xFFFFFFFFu || first < 2) return true;  // a deep-scan find, or no data cluster
  const std::uint64_t size = record->size.get();
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(scratch->size());
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  // The clusters are consecutive from the first (the recoverer's assumption too); a size of n
  // bytes covers ceil(n / clusterBytes) of them, the last partly used one included.
  const std::uint64_t clusters = (size + clusterBytes - 1) / clusterBytes;
  bool ok = Wipe_OverwriteClusters(u, *volume, *scratch, first - 2u, clusters, buffer);
  if (bytesDone != nullptr) bytesDone->store(ok ? size : 0, std::memory_order_relaxed);
  // The deleted entry still names the overwritten clusters; without its cluster no scanner or
  // recoverer takes them for the file's content any more (its name stays for the entry wipe).
  FatGeometry g;
  if (ok && !cancelled(u) && FAT_GetGeometry(u->drive, g)) {
    try {
      EntryWiper w;
      w.u = u;
      w.volume = volume;
      w.g = g;
      w.detachCluster = first;
      w.detachSize = static_cast<std::uint32_t>(size);
      w.directory(g.isFat32() ? g.rootCluster : 0, 0);
      ok = w.ok;
    } catch (const std::bad_alloc&) {
      Host_SetLastError(kErrMemory);
      ok = false;
    }
  }
  if (u->drive != nullptr) u->drive->cacheStart = ~std::uint64_t{0};
  return ok;
}

bool FAT_WipeEntries(Undelete* u, HostVolume* volume) noexcept {
  if (u == nullptr) return true;
  // The cancel event is not reset here: a cancel given while the wipe started must hold.
  u->stageName = "Wiping file entries";
  u->deepScanTotal = 0;
  FatGeometry g;
  if (!FAT_GetGeometry(u->drive, g)) return true;
  if (volume == nullptr || !volume->isOpen()) {
    // A mounted volume's entries belong to its driver; its directories cannot be rewritten here.
    Undelete_Log(u, "FAT_WipeEntries: The volume is mounted; entries are left alone.\n");
    return true;
  }
  try {
    EntryWiper w;
    w.u = u;
    w.volume = volume;
    w.g = g;
    w.directory(g.isFat32() ? g.rootCluster : 0, 0);
    if (w.ok) Undelete_Log(u, "FAT_WipeEntries: Wipe successful.\n");
    if ((u->wipeFlags & 1u) != 0) u->wipeProgress.store(5000, std::memory_order_relaxed);
    if (u->drive != nullptr) u->drive->cacheStart = ~std::uint64_t{0};
    return w.ok;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}
