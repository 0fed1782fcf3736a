// FAT format recovery: the deep scan offers every sector that starts like a sub-directory ("."
// entry). The geometry of the file system that held it is guessed from where the sector lies and
// which cluster the "." entry names, registered as a further file system of the drive, and the
// tree is searched from the highest directory the ".." entries lead to. Finds are listed under
// "Before format" / "FAT%.5d".
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "core/le.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat/fat_lost.h"

namespace {

constexpr std::size_t kMarkBeforeFormat = 0;  // scanner marks: "Before format" folder
constexpr std::size_t kMarkFormatFs = 1;      // the "FAT%.5d" folder
constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;
constexpr std::size_t kMaxStack = 256;
constexpr std::uint64_t kBestRestStart = 128;

struct KindLimits {
  std::uint32_t kind;
  std::uint64_t bits;
  std::uint64_t limit;
};
constexpr KindLimits kKinds[] = {
    {kFsFat12, 12, 4085}, {kFsFat16, 16, 0xFFF5}, {kFsFat32, 32, 0x0FFFFFF5}};

std::uint32_t dotCluster(const std::uint8_t* entry) noexcept {
  return std::uint32_t{loadLe<std::uint16_t>(entry + 20)} << 16 | loadLe<std::uint16_t>(entry + 26);
}

/// Number N of a folder named "FAT%.5d", or 0.
std::uint32_t formatFolderNumber(const Undelete* u, std::uint32_t folder) noexcept {
  const FolderRecord* f = Storage_Folder(u, folder);
  const auto* name =
      f != nullptr ? static_cast<const char16_t*>(Storage_At(u, f->name.get())) : nullptr;
  if (name == nullptr || name[0] != u'F' || name[1] != u'A' || name[2] != u'T') return 0;
  std::uint32_t n = 0;
  for (const char16_t* p = name + 3; *p >= u'0' && *p <= u'9' && n < 100000; ++p)
    n = n * 10 + static_cast<std::uint32_t>(*p - u'0');
  return n;
}

bool addFolder(Undelete* u, const char* name, std::uint32_t parent, std::uint32_t* index) {
  char16_t wide[40];
  std::size_t n = 0;
  for (; name[n] != 0 && n + 1 < std::size(wide); ++n) wide[n] = static_cast<char16_t>(name[n]);
  wide[n] = 0;
  return Storage_AddFolder(u, wide, parent, 0xFFFF, 0, true, false, index);
}

/// First sector of directory @p cluster of the selected (guessed) file system; 0 is the root.
std::uint64_t directorySector(const CachedDrive* drive, std::uint32_t cluster) noexcept {
  return cluster != 0 ? FAT_ClusterToSector(drive, cluster) : FAT_RootDirSector(drive);
}

/// Index of a table entry with the same layout as @p info, or of a newly added one; false when
/// the table is full.
bool registerGeometry(CachedDrive* drive, const FatVolumeInfo& info, std::uint32_t* index) {
  for (std::uint32_t i = 0; i < drive->fsCount && i < kMaxFileSystems; ++i) {
    if (drive->fsSizes[i] < sizeof(FatVolumeInfo) || drive->fsTable[i] == nullptr) continue;
    FatVolumeInfo e;
    std::memcpy(&e, drive->fsTable[i], sizeof e);
    if (e.kind.get() == info.kind.get() && e.clusterBytes.get() == info.clusterBytes.get() &&
        e.sectorsPerFat.get() == info.sectorsPerFat.get() &&
        e.fatCount.get() == info.fatCount.get() &&
        e.reservedSectors.get() == info.reservedSectors.get()) {
      *index = i;
      return true;
    }
  }
  if (!CachedDrive_AddFileSystem(drive, sizeof info, &info)) return false;
  *index = drive->fsCount - 1;
  return true;
}

/// States of the files listed from @p first on through the selected guessed geometry. Without a
/// table their data is taken as the run from the first cluster on, as recovery reads it; a
/// cluster with any sector the used-sector map holds (the live file system, directories) is
/// overwritten.
void estimateLostFiles(Undelete* u, std::uint32_t first) {
  FatGeometry g;
  if (!FAT_GetGeometry(u->drive, g)) return;
  const std::uint32_t end = u->fileCount.load();
  for (std::uint32_t i = first; i < end && !u->totalCancelEvent.isSet(); ++i) {
    FileRecord* r = Storage_File(u, i);
    if (r == nullptr || ((r->location.get() >> 12) & 7u) != kKindFat ||
        r->fsIndex.get() != u->drive->fsCurrent)
      continue;
    const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, r->locator.get(), 4));
    const std::uint32_t start = loc != nullptr ? loadLe<std::uint32_t>(loc) : 0;
    const std::uint64_t total = (r->size.get() + g.clusterBytes - 1) / g.clusterBytes;
    std::uint64_t over = 0;
    std::uint64_t firstOver[3] = {~0ull, ~0ull, ~0ull};
    for (std::uint64_t k = 0; k < total; ++k) {
      const std::uint64_t c = std::uint64_t{start} + k;
      bool hit = start < 2 || c >= g.clusterLimit;
      const std::uint64_t sector = hit ? 0 : FAT_ClusterSector(g, c);
      for (std::uint32_t j = 0; !hit && j < g.sectorsPerCluster; ++j)
        hit = CachedDrive_TestMapBit(u->drive, sector + j);
      if (!hit) continue;
      if (over < 3) firstOver[over] = k;
      ++over;
    }
    std::uint8_t state = kStateExcellent;
    if (over >= total && total != 0)
      state = kStateUnrecoverable;
    else if (over != 0)
      state = 2 * over < total ? kStateGood : kStatePoor;
    r->overwrittenBy.set(over != 0 ? 0xFFFFFFFEu : 0xFFFFFFFFu);  // -2: another file system
    for (int k = 0; k < 3; ++k) r->firstOverwritten[k].set(firstOver[k]);
    r->overwrittenClusters.set(over);
    r->totalClusters.set(total);
    r->status = static_cast<std::uint8_t>((r->status & 0xC1) | (state << 1));
  }
}

bool recognize(Undelete* u, std::uint64_t offset) {
  CachedDrive* drive = u->drive;
  const std::uint32_t S = drive->sectorSize;
  std::uint64_t V = 0;
  if (S == 0 || !CachedDrive_GetSize(drive, &V) || V == 0) return false;
  std::vector<std::uint8_t> sector(S);
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, offset, S, sector.data(), &got) || got != S || S < 64) return false;
  // Every sub-directory starts with "." and "..": a sector with "." alone is not one.
  if (!FAT_IsDotEntry(sector.data(), false) || !FAT_IsDotEntry(sector.data() + 32, true))
    return false;
  const auto s = static_cast<std::uint32_t>(offset / S);
  const std::uint32_t c = dotCluster(sector.data());
  FatVolumeInfo info{};
  if (!FAT_GuessFormatGeometry(S, V, s, c, info)) return false;

  std::uint32_t index = 0;
  if (!registerGeometry(drive, info, &index)) return true;  // table full: taken, not searched
  CachedDrive_SelectFileSystem(drive, index);

  const std::uint32_t firstFile = u->fileCount.load();
  // Up through ".." to the highest directory not searched yet.
  std::vector<std::uint32_t> stack;
  std::uint32_t cluster = c;
  const std::uint32_t progress = u->progress;
  while (!isCancelled(u)) {
    stack.push_back(cluster);
    const bool top = cluster == 0 || !FAT_IsDotEntry(sector.data() + 32, true);
    if (top || stack.size() >= kMaxStack) {
      if (FAT_MakeFormatFolders(u)) {
        const std::uint32_t highest = stack.back();
        stack.pop_back();
        (void)FAT_Search(u, highest, 65536, u->scanMarks[kMarkFormatFs], true, progress, 0);
      }
      break;
    }
    const std::uint32_t parent = dotCluster(sector.data() + 32);
    if (parent == cluster) break;
    const std::uint64_t parentSector = directorySector(drive, parent);
    if (CachedDrive_TestMapBit(drive, parentSector)) break;
    if (!CachedDrive_Read(drive, parentSector * S, S, sector.data(), &got) || got != S) break;
    cluster = parent;
  }
  // What the search from the top did not reach gets a folder of its own.
  while (!stack.empty() && !isCancelled(u)) {
    const std::uint32_t dir = stack.back();
    stack.pop_back();
    const std::uint64_t first = directorySector(drive, dir);
    if (CachedDrive_TestMapBit(drive, first)) continue;
    if (!FAT_MakeFormatFolders(u)) break;
    char name[40];
    std::snprintf(name, sizeof name, "Folder%llu", static_cast<unsigned long long>(first));
    std::uint32_t folder = 0;
    if (!addFolder(u, name, u->scanMarks[kMarkFormatFs], &folder)) break;
    (void)FAT_Search(u, dir, 65536, folder, true, progress, 0);
  }
  estimateLostFiles(u, firstFile);
  u->progress = progress;
  if (drive->fsCount > 0) CachedDrive_SelectFileSystem(drive, 0);
  return true;
}

}  // namespace

bool FAT_GuessGeometry(std::uint64_t sectorBytes, std::uint64_t volumeBytes, std::uint32_t kind,
                       std::uint64_t clusterBytes, std::uint64_t* fatSectors) noexcept {
  if (sectorBytes == 0 || volumeBytes == 0 || fatSectors == nullptr) return false;
  const KindLimits* k = nullptr;
  for (const auto& e : kKinds)
    if (e.kind == kind) k = &e;
  if (k == nullptr) return false;
  // Entries that fit: the volume shared between clusters and their table entries.
  const auto bv = checkedMul<std::uint64_t>(k->bits, volumeBytes);
  if (!bv) return false;
  std::uint64_t x = *bv / sectorBytes;
  x /= 8;
  x /= clusterBytes + (2 * k->bits) / 8;
  const auto scaled = checkedMul<std::uint64_t>(x, 8 * sectorBytes);
  if (!scaled) return false;
  const std::uint64_t n = *scaled / k->bits;
  if (n + 1 >= k->limit) return false;
  const std::uint64_t tableBytes = k->bits * (n + 1) / 8;
  *fatSectors = (tableBytes + sectorBytes - 1) / sectorBytes * 2;
  return true;
}

bool FAT_GuessFormatGeometry(std::uint32_t sectorBytes, std::uint64_t volumeBytes,
                             std::uint32_t sector, std::uint32_t cluster,
                             FatVolumeInfo& out) noexcept {
  // A sub-directory never starts in cluster 0 or 1.
  if (sectorBytes == 0 || cluster < 2) return false;
  std::uint64_t bestRest = kBestRestStart;
  bool found = false;
  for (std::uint32_t k = 0;; ++k) {
    const std::uint64_t C = std::uint64_t{sectorBytes} << k;
    if (C >= 32769) break;
    std::uint32_t kind = 0;
    std::uint64_t F = 0;
    for (const auto& e : kKinds) {
      if (FAT_GuessGeometry(sectorBytes, volumeBytes, e.kind, C, &F)) {
        kind = e.kind;
        break;
      }
    }
    if (kind == 0) continue;
    const std::uint64_t back = std::uint64_t{cluster - 2} << k;
    if (back > sector) continue;
    const std::uint64_t dataStart = sector - back;
    if (dataStart <= F) continue;
    const std::uint64_t rest = dataStart - F;
    // FAT12/16 keep their root area in front of the data; a boot sector comes before that.
    const std::uint64_t rootSectors = kind == kFsFat32 ? 0 : 16384 / sectorBytes;
    if (rest <= rootSectors) continue;
    if (rest >= bestRest) continue;
    if (dataStart * sectorBytes >= volumeBytes || F / 2 > 0xFFFFFFFFull) continue;
    bestRest = rest;
    found = true;
    FatVolumeInfo v{};
    v.kind.set(kind);
    v.clusterBytes.set(static_cast<std::uint32_t>(C));
    v.sectorsPerCluster.set(static_cast<std::uint32_t>(C / sectorBytes));
    v.reservedSectors.set(static_cast<std::uint32_t>(rest - rootSectors));
    v.fatCount.set(2);
    v.sectorsPerFat.set(static_cast<std::uint32_t>(F / 2));
    v.rootEntries.set(kind == kFsFat32 ? 0 : 512);
    v.fatBytes.set(0);
    v.rootCluster.set(kind == kFsFat32 ? 2 : 0);
    const std::uint64_t limit = (volumeBytes - dataStart * sectorBytes) / C;
    v.clusterLimit.set(static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 0xFFFFFFFFu)));
    v.fatCopy.set(0);
    out = v;
  }
  return found;
}

bool FAT_MakeFormatFolders(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  const std::uint64_t savedKey = u->scanKey;
  u->scanKey = kNoScanKey;  // these folders come from no structure on the disk
  bool ok = true;
  try {
    if (u->scanMarks[kMarkBeforeFormat] == kNoFolder) {
      std::uint32_t idx = 0;
      ok = addFolder(u, "Before format", u->rootFolder, &idx);
      if (ok) u->scanMarks[kMarkBeforeFormat] = idx;
    }
    // One "FAT%.5d" folder per lost file system, so that two of them never share a folder.
    const std::uint32_t number = u->drive->fsCurrent + 1;
    if (ok && u->scanMarks[kMarkFormatFs] != kNoFolder &&
        formatFolderNumber(u, u->scanMarks[kMarkFormatFs]) != number) {
      // Back to a file system met before: its folder sits under "Before format".
      u->scanMarks[kMarkFormatFs] = kNoFolder;
      const std::uint32_t end = u->folderCount.load();
      for (std::uint32_t i = u->scanMarks[kMarkBeforeFormat] + 1; i < end; ++i) {
        const FolderRecord* f = Storage_Folder(u, i);
        if (f != nullptr && f->parent.get() == u->scanMarks[kMarkBeforeFormat] &&
            formatFolderNumber(u, i) == number) {
          u->scanMarks[kMarkFormatFs] = i;
          break;
        }
      }
    }
    if (ok && u->scanMarks[kMarkFormatFs] == kNoFolder) {
      char name[16];
      std::snprintf(name, sizeof name, "FAT%.5u", number);
      std::uint32_t idx = 0;
      ok = addFolder(u, name, u->scanMarks[kMarkBeforeFormat], &idx);
      if (ok) u->scanMarks[kMarkFormatFs] = idx;
    }
  } catch (...) {
    ok = false;
  }
  u->scanKey = savedKey;
  return ok;
}

bool FAT_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept {
  if (u == nullptr || u->drive == nullptr || offset == ~std::uint64_t{0}) return false;
  try {
    return recognize(u, offset);
  } catch (const std::bad_alloc&) {
    if (u->drive->fsCount > 0) CachedDrive_SelectFileSystem(u->drive, 0);
  }
  return false;
}
