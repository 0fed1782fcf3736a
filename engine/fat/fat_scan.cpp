// FAT directory search: walks the tree from the root, deleted directories included, and lists
// every plausible entry as a file or folder record. Then estimates states and, with the deep-scan
// option, hands the unclaimed sectors to the content scan.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "fat/fat.h"

namespace {

/// One sub-directory entry met while reading a directory.
struct FoundDirectory {
  std::uint64_t created = 0;  // creation time of the entry (0 on FAT12)
  bool deleted = false;       // the entry or a directory above it is deleted
  bool processed = false;     // searched in the first pass
  std::uint32_t cluster = 0;
  std::uint32_t folder = 0;
};

constexpr std::uint32_t kFreedChainRun = 2048 * 32;  // bytes read straight on after a freed cluster

/// A directory left for after the whole live tree: deleted ones, and live ones whose "." entry
/// does not match. Searching them only once every live directory has been read keeps a live
/// directory that now uses a deleted one's clusters under its own path, instead of under the
/// deleted one as deleted.
struct DeferredDirectory {
  std::uint32_t cluster = 0;
  std::uint32_t folder = 0;
  bool deleted = false;
  std::uint32_t progress = 0;
  std::uint32_t span = 0;
  std::uint32_t depth = 0;
};
thread_local std::vector<DeferredDirectory>* t_deferred = nullptr;

bool stopRequested(const Undelete* u) noexcept {
  return u->cancelEvent.isSet() || u->totalCancelEvent.isSet() || u->outOfMemory();
}

/// Builds and stores the record of one file entry.
void addFile(Undelete* u, const FatGeometry& g, const std::uint8_t* entry, FatItem& item,
             std::uint32_t parentFolder, bool parentDeleted, std::uint64_t volumeBytes) {
  if (volumeBytes == 0 || item.size >= volumeBytes) return;
  FileRecord r{};
  r.folder.set(parentFolder);
  r.size.set(item.size);
  r.volumeOffset.set(u->drive->windowStart);
  FAT_ReadEntryTimes(&r, entry, u);
  r.rootName.set(u->rootName);
  r.overwrittenBy.set(0xFFFFFFFFu);
  r.totalClusters.set((std::uint64_t{item.size} + g.clusterBytes - 1) / g.clusterBytes);
  const bool existing = !item.deleted && !parentDeleted;
  r.status = static_cast<std::uint8_t>((existing ? kStatusExisting : 0) | (kStatePoor << 1));
  r.attributes = FAT_MapAttributes(item.attributes);
  r.location.set(static_cast<std::uint16_t>(kKindFat << 12));
  r.fsIndex.set(u->drive->fsCurrent);

  // The name may grow by an extension in the content check.
  char16_t name[kFatNameMax + 16];
  std::memcpy(name, item.name.chars, (item.name.length + 1) * sizeof(char16_t));
  if ((u->options & kOptTestExtension) != 0 && (!existing || (u->options & kOptTestAll) != 0)) {
    FAT_CheckRealType(u, &r, (u->options & kOptRenameExtension) != 0, item.cluster, name,
                      std::size(name));
  }
  std::uint32_t nameRef = 0, locatorRef = 0;
  std::uint8_t locator[4];
  storeLe<std::uint32_t>(locator, item.cluster);
  if (!Storage_AddString(u, name, &nameRef)) return;
  if (!Storage_AddBlob(u, locator, sizeof locator, &locatorRef)) return;
  r.name.set(nameRef);
  r.locator.set(locatorRef);
  (void)Storage_AddFile(u, &r, false);
}

}  // namespace

void FAT_ReadEntryTimes(FileRecord* record, const std::uint8_t* entry, const Undelete* u) noexcept {
  FatGeometry g;
  const std::uint32_t kind = u != nullptr && FAT_GetGeometry(u->drive, g) ? g.kind : kFsFat12;
  const FatTimes t = FAT_EntryTimes(entry, kind);
  record->modified.set(t.modified);
  record->created.set(t.created);
  record->accessed.set(t.accessed);
}

bool FAT_Search(Undelete* u, std::uint32_t cluster, std::uint32_t maxEntries,
                std::uint32_t parentFolder, bool parentDeleted, std::uint32_t progressBase,
                std::uint32_t progressSpan, std::uint32_t depth) noexcept {
  CachedDrive* drive = u->drive;
  FatGeometry g;
  if (!FAT_GetGeometry(drive, g)) return false;
  // The used-sector map is what stops loops and shared sectors; without it nothing is searched.
  if (drive->map == nullptr || depth > kFatMaxDepth) return false;

  // The outermost call owns the list of directories left for later.
  std::vector<DeferredDirectory> deferred;
  const bool owner = t_deferred == nullptr;
  if (owner) t_deferred = &deferred;
  struct Release {
    bool owner;
    ~Release() {
      if (owner) t_deferred = nullptr;
    }
  } release{owner};

  std::vector<FoundDirectory> found;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(g.sectorSize);
  } catch (const std::bad_alloc&) {
    Undelete_Log(u, "FAT_Search: Unable to allocate memory read buffer.\n");
    Host_SetLastError(kErrMemory);
    return false;
  }
  std::uint64_t volumeBytes = 0;
  if (!CachedDrive_GetSize(drive, &volumeBytes)) volumeBytes = 0;

  const std::uint64_t totalBytes = std::uint64_t{maxEntries} * 32;
  std::uint64_t examined = 0;
  std::uint32_t current = cluster;
  bool rootArea = false;  // reading the fixed root area of FAT12/16
  bool rootAreaDone = false;
  const bool isRoot = cluster == 0;
  std::uint64_t runLeft = 0;  // bytes left in the current run
  std::uint64_t sector = 0;
  std::uint32_t position = 0;  // entries seen in this directory
  std::uint64_t counted = 0;   // entries examined, "." and ".." not counted
  FatName collected;
  FatItem item;
  bool ended = false;

  while (!ended && examined < totalBytes && !stopRequested(u)) {
    if (runLeft == 0) {
      if (rootAreaDone) break;
      if (current != 0 && FAT_EndOfChainValue(g.kind, current)) break;
      if (current == 0) {
        sector = FAT_RootSector(g);
        if (g.isFat32()) {
          current = g.rootCluster;
          runLeft = g.clusterBytes;
        } else {
          rootArea = true;
          // The fixed root area ends the directory; it is never longer than 64 KiB of entries.
          runLeft = std::min<std::uint64_t>(65536, std::uint64_t{g.rootEntries} * 32);
          runLeft = (runLeft + g.sectorSize - 1) / g.sectorSize * g.sectorSize;
          if (runLeft == 0) break;
        }
      } else {
        sector = FAT_ClusterSector(g, current);
        runLeft = g.clusterBytes;
      }
      if (rootArea) {
        rootAreaDone = true;
      } else {
        std::uint32_t next = 0;
        if (current >= 2 && FAT_TableEntry(g, current, next)) {
          current = next;
        } else {
          // A freed chain: read on in one run and go on after it, never over the same sectors.
          const std::uint32_t run = std::max(kFreedChainRun, g.clusterBytes);
          runLeft = run;
          const std::uint64_t after = std::uint64_t{current} + run / g.clusterBytes;
          current = after >= g.clusterLimit ? 0x0FFFFFFFu : static_cast<std::uint32_t>(after);
        }
      }
    }

    if (CachedDrive_TestMapBit(drive, sector)) {
      Undelete_Log(u, "FAT_Search: Directory sector is already used by some structure.\n");
      return false;
    }
    (void)CachedDrive_SetMapBit(drive, sector);
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(g.sectorSize, totalBytes - examined));
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, sector * g.sectorSize, piece, buffer.data(), &got) ||
        got != piece) {
      Undelete_Log(u, "FAT_Search: CachedDrive_Read error.\n");
      break;
    }
    for (std::uint32_t at = 0; at + 32 <= piece; at += 32) {
      const std::uint8_t* entry = buffer.data() + at;
      u->scanKey = sector * g.sectorSize + 32 * counted;
      if (entry[0] == 0) {
        ended = true;
        break;
      }
      if (!isRoot && position < 2) {
        // A directory begins with "." and ".."; anything else is not a directory.
        if (!FAT_IsDotEntry(entry, position == 1)) {
          ended = true;
          break;
        }
        ++position;
        continue;
      }
      ++position;
      FAT_ClassifyEntry(entry, g.isFat32(), g.clusterLimit, collected, item);
      ++counted;
      switch (item.slot) {
        case FatSlot::Directory: {
          const bool deleted = item.deleted || parentDeleted;
          std::uint32_t folder = 0;
          if (!Storage_AddFolder(u, item.name.chars, parentFolder, 0,
                                 FAT_MapAttributes(item.attributes), deleted, false, &folder)) {
            break;
          }
          if (item.cluster < 2) break;  // no data cluster: nothing to search
          FoundDirectory d;
          d.created = FAT_EntryTimes(entry, g.kind).created;
          d.deleted = deleted;
          d.cluster = item.cluster;
          d.folder = folder;
          try {
            found.push_back(d);
          } catch (const std::bad_alloc&) {
            Undelete_Log(u, "FAT_Search: Unable to allocate memory directories array.\n");
            Host_SetLastError(kErrMemory);
          }
          break;
        }
        case FatSlot::File:
          try {
            addFile(u, g, entry, item, parentFolder, parentDeleted, volumeBytes);
          } catch (const std::bad_alloc&) {
            Host_SetLastError(kErrMemory);
          }
          break;
        default:
          break;
      }
    }
    u->scanKey = kNoScanKey;
    examined += piece;
    runLeft -= std::min<std::uint64_t>(runLeft, g.sectorSize);
    ++sector;
  }
  u->scanKey = kNoScanKey;

  Undelete_Log(u, "FAT_Search: processing found directories.\n");
  const auto n = static_cast<std::uint32_t>(found.size());
  std::uint32_t k = 0;
  auto progressNow = [&]() {
    const std::uint32_t p =
        progressBase + static_cast<std::uint32_t>((std::uint64_t{k} * progressSpan + n / 2) / n);
    u->progress = p;
    return p;
  };
  for (auto& d : found) {
    if (u->outOfMemory() || isCancelled(u)) break;
    if (d.deleted) continue;
    const std::uint32_t p = progressNow();
    d.processed = true;
    std::uint32_t got = 0;
    // A live directory whose "." entry was not written with it is left for the second pass.
    if (CachedDrive_Read(drive, FAT_ClusterSector(g, d.cluster) * g.sectorSize, g.sectorSize,
                         buffer.data(), &got) &&
        got == g.sectorSize) {
      d.processed = FAT_EntryTimes(buffer.data(), g.kind).created == d.created;
    }
    if (d.processed) {
      (void)FAT_Search(u, d.cluster, 65536, d.folder, false, p, progressSpan / n, depth + 1);
      ++k;
    }
  }
  for (auto& d : found) {
    if (u->outOfMemory() || isCancelled(u)) break;
    if (d.processed) continue;
    const std::uint32_t p = progressNow();
    if (t_deferred != nullptr) {
      try {
        t_deferred->push_back({d.cluster, d.folder, d.deleted, p, progressSpan / n, depth + 1});
        ++k;
        continue;
      } catch (const std::bad_alloc&) {
      }
    }
    (void)FAT_Search(u, d.cluster, 65536, d.folder, d.deleted, p, progressSpan / n, depth + 1);
    ++k;
  }
  if (owner) {
    // The top call: now the directories that were left aside, and those they lead to.
    // Live ones first (their "." entry did not match), then deleted ones.
    std::size_t nextLive = 0, nextDeleted = 0;
    while (!u->outOfMemory() && !isCancelled(u)) {
      while (nextLive < deferred.size() && deferred[nextLive].deleted) ++nextLive;
      while (nextDeleted < deferred.size() && !deferred[nextDeleted].deleted) ++nextDeleted;
      std::size_t pick;
      if (nextLive < deferred.size()) {
        pick = nextLive++;
      } else if (nextDeleted < deferred.size()) {
        pick = nextDeleted++;
      } else {
        break;
      }
      const DeferredDirectory d = deferred[pick];
      u->progress = d.progress;
      (void)FAT_Search(u, d.cluster, 65536, d.folder, d.deleted, d.progress, d.span, d.depth);
    }
    t_deferred = nullptr;
  }
  u->progress = progressBase + progressSpan;
  Undelete_Log(u, "FAT_Search: Return to upper recursion level.\n");
  return u->files != nullptr;
}

bool FAT_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr) return false;
  CachedDrive* drive = u->drive;
  FatGeometry g;
  std::uint64_t volumeBytes = 0;
  if (FAT_GetGeometry(drive, g) && CachedDrive_GetSize(drive, &volumeBytes) &&
      CachedDrive_InitMap(drive, volumeBytes / g.sectorSize, nullptr, 0)) {
    const bool deep = (u->options & kOptDeepScan) != 0;
    if (drive->fsCurrent == 0) {
      // Boot sector, reserved sectors and the tables are structure, not content.
      (void)CachedDrive_SetMapRange(
          drive, 0, g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat);
    }
    if (!(deep && u->deepScanResume != 0)) {
      u->stageName = "Scanning folders";
      u->deepScanTotal = 0;
      const std::uint32_t maxEntries = g.isFat32() ? 65536u : g.rootEntries;
      if (FAT_Search(u, 0, maxEntries, u->rootFolder, false, 0, deep ? 1000u : 10000u)) {
        Undelete_Log(u, "FAT_SearchFiles: Search successful.\n");
      }
    }
    u->stageName = "Estimating files state";
    Undelete_Log(u, "\tEstimating files state.\n");
    (void)FAT_GetDamage(u);
    if (!u->outOfMemory() && !isCancelled(u) && deep) {
      Undelete_Log(u, "\tPerforming DeepScan.\n");
      std::uint64_t bits = 0;
      (void)CachedDrive_GetMapBits(&bits, drive);
      u->deepScanTotal = bits;
      (void)FileFormat_ScanHole(u, 1000, 9500);
    }
  }
  return u->files != nullptr;
}
