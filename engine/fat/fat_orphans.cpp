// Orphan FAT folders: a deleted directory whose own entry is gone (its parent was deleted and
// reused) can still sit whole in free clusters. After the tree search, the first bytes of every
// free cluster the tree did not reach are read in large sequential pieces; clusters that start
// with matching "." and ".." entries are searched like any directory and listed under
// "Unknown location", named by their parent's entry when that survives.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat/fat_lost.h"

namespace {

constexpr std::uint32_t kReadPiece = 4u << 20;     // above the drive cache: read straight through
constexpr std::uint32_t kHeadBytes = 64;           // "." and ".."
constexpr std::uint32_t kParentBytes = 2048 * 32;  // how much of a parent is searched for a name
constexpr std::size_t kMarkUnknown = 3;            // scanner mark: the "Unknown location" folder
constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxWalk = 256;

struct Orphan {
  std::uint32_t cluster = 0;
  std::uint32_t parent = 0;
  std::uint32_t depth = 0;  // orphans above it, so that tops are searched first
  bool headless = false;    // a later cluster of a directory whose first one is gone
};

bool stopRequested(const Undelete* u) noexcept {
  return u->cancelEvent.isSet() || u->totalCancelEvent.isSet() || u->outOfMemory();
}

bool datePlausible(const FatDirEntry& e) noexcept {
  const std::uint16_t date = e.writeDate.get(), time = e.writeTime.get();
  return (date == 0 && time == 0) || FAT_DosToFileTime(date, time, 0) != 0;
}

bool dotEntry(const FatDirEntry& e, bool dotDot) noexcept {
  std::uint8_t name[11];
  std::memcpy(name, e.name, 8);
  std::memcpy(name + 8, e.ext, 3);
  if (!FAT_IsDotEntry(name, dotDot)) return false;
  const std::uint8_t a = e.attributes;
  if ((a & kFatAttrDirectory) == 0 || (a & 0xC0) != 0 || a == kFatAttrLongName) return false;
  return e.size.get() == 0 && datePlausible(e);
}

bool shortNameByte(std::uint8_t c) noexcept {
  // What short names may hold, upper case only: lower case letters mark text, not entries.
  if (c < 0x20 || (c >= 'a' && c <= 'z')) return false;
  return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

bool longPartPlausible(const std::uint8_t* slot) noexcept {
  FatLfnEntry e;
  std::memcpy(&e, slot, sizeof e);
  if (e.attributes != kFatAttrLongName || e.type != 0 || e.clusterLow.get() != 0) return false;
  const std::uint8_t seq = e.sequence;
  if (seq != 0xE5 && ((seq & 0xA0) != 0 || (seq & 0x1F) == 0 || (seq & 0x1F) > 20)) return false;
  auto good = [](const le16& unit) {
    const std::uint16_t c = unit.get();
    return c == 0 || c == 0xFFFF || c >= 0x20;
  };
  return std::all_of(std::begin(e.chars1), std::end(e.chars1), good) &&
         std::all_of(std::begin(e.chars2), std::end(e.chars2), good) &&
         std::all_of(std::begin(e.chars3), std::end(e.chars3), good);
}

/// One short entry in the middle of a directory.
bool shortEntryPlausible(const std::uint8_t* slot, bool fat32, std::uint32_t clusterLimit,
                         std::uint64_t volumeBytes) noexcept {
  FatDirEntry e;
  std::memcpy(&e, slot, sizeof e);
  if (e.name[0] != 0xE5 && e.name[0] != 0x05 && !shortNameByte(e.name[0])) return false;
  if (e.name[0] == ' ') return false;
  for (int i = 1; i < 8; ++i)
    if (!shortNameByte(e.name[i])) return false;
  for (const std::uint8_t c : e.ext)
    if (!shortNameByte(c)) return false;
  const std::uint8_t a = e.attributes;
  if ((a & (0xC0 | kFatAttrVolume)) != 0 || (e.reserved & ~0x18) != 0) return false;
  if (e.createdTenths > 199) return false;
  if (FAT_DosToFileTime(e.writeDate.get(), e.writeTime.get(), 0) == 0) return false;
  if (e.createdDate.get() != 0 &&
      FAT_DosToFileTime(e.createdDate.get(), e.createdTime.get(), e.createdTenths) == 0)
    return false;
  const std::uint32_t cluster =
      (fat32 ? std::uint32_t{e.clusterHigh.get()} << 16 : 0u) | e.clusterLow.get();
  const std::uint32_t size = e.size.get();
  if (cluster == 1 || cluster >= clusterLimit || size >= volumeBytes) return false;
  return (a & kFatAttrDirectory) != 0 ? size == 0 && cluster != 0 : size == 0 || cluster != 0;
}

/// Free in the table (or outside it) and not yet read by a directory search.
bool unreached(const CachedDrive* drive, const FatGeometry& g, std::uint32_t cluster) noexcept {
  std::uint32_t next = 0;
  if (FAT_TableEntry(g, cluster, next)) return false;
  return !CachedDrive_TestMapBit(drive, FAT_ClusterSector(g, cluster));
}

/// The name the parent directory at @p parent gives sub-directory @p child, if it still holds
/// the entry. Reads the parent's chain while it is allocated, then straight on, up to 64 KiB.
bool nameInParent(CachedDrive* drive, const FatGeometry& g, std::uint32_t parent,
                  std::uint32_t child, FatName& out) {
  const std::uint32_t cb = g.clusterBytes;
  std::vector<std::uint8_t> piece;
  FatName collected;
  FatItem item;
  auto scan = [&](std::uint64_t sector, std::uint32_t bytes) {
    piece.resize(bytes);
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, sector * g.sectorSize, bytes, piece.data(), &got) || got != bytes)
      return false;
    for (std::uint32_t at = 0; at + 32 <= bytes; at += 32) {
      FAT_ClassifyEntry(piece.data() + at, g.isFat32(), g.clusterLimit, collected, item);
      if (item.slot == FatSlot::Directory && item.cluster == child) {
        out = item.name;
        return true;
      }
    }
    return false;
  };
  std::uint32_t cluster = parent;
  if (parent == 0) {
    if (!g.isFat32()) {
      const auto bytes = std::min<std::uint32_t>(kParentBytes, g.rootEntries * 32);
      return bytes != 0 && scan(FAT_RootSector(g), bytes);
    }
    cluster = g.rootCluster;
  }
  for (std::uint32_t done = 0; done < kParentBytes && cluster >= 2 && cluster < g.clusterLimit;
       done += cb) {
    if (scan(FAT_ClusterSector(g, cluster), cb)) return true;
    std::uint32_t next = 0;
    if (FAT_TableEntry(g, cluster, next)) {
      if (FAT_EndOfChainValue(g.kind, next)) break;
      cluster = next;
    } else {
      ++cluster;  // a freed chain: directories are mostly written in one piece
    }
  }
  return false;
}

/// Reads the heads of the unreached free clusters and keeps those that start a directory.
std::vector<Orphan> findOrphans(Undelete* u, CachedDrive* drive, const FatGeometry& g,
                                std::uint64_t volumeBytes) {
  std::vector<Orphan> found;
  const std::uint32_t cb = g.clusterBytes;
  const std::uint32_t perRead = std::max<std::uint32_t>(1, kReadPiece / cb);
  std::vector<std::uint8_t> buffer(std::size_t{perRead} * cb);
  std::uint32_t sinceCheck = 0;
  for (std::uint32_t c = 2; c < g.clusterLimit;) {
    if (++sinceCheck >= 128) {
      sinceCheck = 0;
      if (stopRequested(u)) break;
    }
    if (!unreached(drive, g, c)) {
      ++c;
      continue;
    }
    // A run of unreached clusters, read in one piece: a handful of used clusters in between is
    // read along rather than splitting the read.
    std::uint32_t end = c + 1, lastWanted = c;
    while (end < g.clusterLimit && end - c < perRead && end - lastWanted <= 8) {
      if (unreached(drive, g, end)) lastWanted = end;
      ++end;
    }
    end = lastWanted + 1;
    const std::uint64_t offset = FAT_ClusterSector(g, c) * g.sectorSize;
    if (offset >= volumeBytes) break;
    const std::uint64_t fit = (volumeBytes - offset) / cb;
    if (fit == 0) break;
    if (end - c > fit) end = c + static_cast<std::uint32_t>(fit);
    const std::uint32_t bytes = (end - c) * cb;
    std::uint32_t got = 0;
    if (CachedDrive_Read(drive, offset, bytes, buffer.data(), &got) && got == bytes) {
      for (std::uint32_t k = c; k < end; ++k) {
        if (!unreached(drive, g, k)) continue;
        std::uint32_t parent = 0;
        const std::span<const std::uint8_t> head(buffer.data() + std::size_t{k - c} * cb,
                                                 std::min(cb, kHeadBytes));
        if (FAT_CheckDirectoryHead(head, g.isFat32(), k, g.clusterLimit, parent) == Parse::Ok) {
          found.push_back({k, parent, 0, false});
        } else if (FAT_CheckDirectoryBody({buffer.data() + std::size_t{k - c} * cb, cb},
                                          g.isFat32(), g.clusterLimit, volumeBytes) == Parse::Ok) {
          found.push_back({k, 0, 0, true});
        }
      }
    }
    sinceCheck += end - c;
    c = end;
  }
  return found;
}

bool searchOrphans(Undelete* u) {
  CachedDrive* drive = u->drive;
  FatGeometry g;
  // Without a table (a guessed file system) every cluster would look free: nothing to tell
  // orphans from the tree, and the deep scan offers those directories anyway.
  if (!FAT_GetGeometry(drive, g) || g.fatBytes == 0 || drive->map == nullptr) return false;
  std::uint64_t volumeBytes = 0;
  if (!CachedDrive_GetSize(drive, &volumeBytes) || volumeBytes == 0) return false;

  std::vector<Orphan> orphans = findOrphans(u, drive, g, volumeBytes);
  if (orphans.empty()) return true;
  Undelete_Log(u, "FAT_SearchOrphans: %u directories outside the tree.\n",
               static_cast<unsigned>(orphans.size()));

  // Search the topmost first: a lower orphan whose entry survives in its parent is then reached
  // from there and keeps its place in the tree.
  std::unordered_map<std::uint32_t, std::size_t> byCluster;
  for (std::size_t i = 0; i < orphans.size(); ++i)
    if (!orphans[i].headless) byCluster.emplace(orphans[i].cluster, i);
  for (auto& o : orphans) {
    if (o.headless) {
      // After every whole directory: their searches read on into such clusters and keep their
      // entries in place.
      o.depth = kMaxWalk + 1;
      continue;
    }
    std::uint32_t at = o.parent;
    for (std::uint32_t steps = 0; steps < kMaxWalk; ++steps) {
      const auto it = byCluster.find(at);
      if (it == byCluster.end()) break;
      ++o.depth;
      at = orphans[it->second].parent;
    }
  }
  std::stable_sort(orphans.begin(), orphans.end(),
                   [](const Orphan& a, const Orphan& b) { return a.depth < b.depth; });

  for (const Orphan& o : orphans) {
    if (stopRequested(u)) break;
    if (CachedDrive_TestMapBit(drive, FAT_ClusterSector(g, o.cluster))) continue;  // reached
    if (u->scanMarks[kMarkUnknown] == kNoFolder) {
      std::uint32_t idx = 0;
      if (!Storage_AddFolder(u, u"Unknown location", u->rootFolder, 0xFFFF, 0, false, false, &idx))
        return false;
      u->scanMarks[kMarkUnknown] = idx;
    }
    FatName name;
    if (o.headless || !nameInParent(drive, g, o.parent, o.cluster, name)) {
      char text[32];
      std::snprintf(text, sizeof text, "Folder%u", static_cast<unsigned>(o.cluster));
      name.length = 0;
      for (const char* p = text; *p != 0; ++p)
        name.chars[name.length++] = static_cast<char16_t>(*p);
      name.chars[name.length] = 0;
    }
    std::uint32_t folder = 0;
    if (!Storage_AddFolder(u, name.chars, u->scanMarks[kMarkUnknown], 0, 0, true, false, &folder))
      return false;
    // The folder is out of the tree: everything in it is deleted, whatever its entries say.
    if (o.headless)
      (void)FAT_Search(u, o.cluster, g.clusterBytes / 32, folder, true, u->progress, 0, 1, true);
    else
      (void)FAT_Search(u, o.cluster, 65536, folder, true, u->progress, 0, 1);
  }
  return true;
}

}  // namespace

Parse FAT_CheckDirectoryHead(std::span<const std::uint8_t> head, bool fat32, std::uint32_t cluster,
                             std::uint32_t clusterLimit, std::uint32_t& parent) noexcept {
  ByteReader r(head);
  const auto dot = r.read<FatDirEntry>();
  const auto dotDot = r.read<FatDirEntry>();
  if (!dot || !dotDot || !dotEntry(*dot, false) || !dotEntry(*dotDot, true)) return Parse::NotThis;
  auto clusterOf = [fat32](const FatDirEntry& e) {
    return (fat32 ? std::uint32_t{e.clusterHigh.get()} << 16 : 0u) | e.clusterLow.get();
  };
  if (cluster < 2 || clusterOf(*dot) != cluster) return Parse::NotThis;
  const std::uint32_t up = clusterOf(*dotDot);
  if (up == 1 || up == cluster || up >= clusterLimit) return Parse::NotThis;
  parent = up;
  return Parse::Ok;
}

Parse FAT_CheckDirectoryBody(std::span<const std::uint8_t> cluster, bool fat32,
                             std::uint32_t clusterLimit, std::uint64_t volumeBytes) noexcept {
  if (cluster.size() < 32 || cluster[0] == 0) return Parse::NotThis;
  bool shortEntry = false, ended = false;
  for (std::size_t at = 0; at + 32 <= cluster.size(); at += 32) {
    const std::uint8_t* slot = cluster.data() + at;
    if (ended || slot[0] == 0) {
      // A directory is zero after its end marker.
      ended = true;
      if (std::any_of(slot, slot + 32, [](std::uint8_t b) { return b != 0; }))
        return Parse::NotThis;
      continue;
    }
    if (slot[11] == kFatAttrLongName) {
      if (!longPartPlausible(slot)) return Parse::NotThis;
    } else if (!shortEntryPlausible(slot, fat32, clusterLimit, volumeBytes)) {
      return Parse::NotThis;
    } else {
      shortEntry = true;
    }
  }
  return shortEntry ? Parse::Ok : Parse::NotThis;
}

bool FAT_SearchOrphans(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  try {
    return searchOrphans(u);
  } catch (const std::bad_alloc&) {
    Undelete_Log(u, "FAT_SearchOrphans: Unable to allocate memory.\n");
    Host_SetLastError(kErrMemory);
  }
  return false;
}
