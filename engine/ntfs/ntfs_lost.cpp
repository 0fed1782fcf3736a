// Lost NTFS file systems: file records of an earlier MFT met one at a time by the deep scan. A
// record of $MFT gives the lost volume's cluster size and start and becomes a further file system
// of the drive (scanned after the deep scan); directory records become folders; other records
// become files with a state from how much of their data the used-sector map already claims. The
// finishing call resolves the folder tree.
#include "ntfs/ntfs_lost.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint32_t kMaxRecordBytes = 32768;
constexpr std::uint64_t kFolderMapReserve = 0x10000000;
constexpr std::size_t kMarkUnknown = 3;  // scanner mark: the "Unknown location" folder
constexpr std::uint64_t kCandidateClusters = 0x7FFFFFFFFFFFFFFFull;
constexpr std::uint16_t kNtfsLocation = static_cast<std::uint16_t>(kKindNtfs << 12);

bool isNtfsEntry(const CachedDrive* drive, std::uint32_t i) noexcept {
  if (i >= drive->fsCount || drive->fsTable[i] == nullptr) return false;
  if (drive->fsSizes[i] < sizeof(NtfsVolume)) return false;
  return loadLe<std::uint32_t>(static_cast<const std::uint8_t*>(drive->fsTable[i])) == kFsNtfs;
}

NtfsVolume* entryAt(CachedDrive* drive, std::uint32_t i) noexcept {
  return isNtfsEntry(drive, i) ? static_cast<NtfsVolume*>(drive->fsTable[i]) : nullptr;
}

std::uint32_t firstNtfsEntry(const CachedDrive* drive) noexcept {
  for (std::uint32_t i = 0; i < drive->fsCount && i < kMaxFileSystems; ++i)
    if (isNtfsEntry(drive, i)) return i;
  return kMaxFileSystems;
}

bool reserveFolderMap(NtfsVolume& volume) noexcept {
  std::uint64_t size = kFolderMapReserve;
  for (int attempt = 0; attempt < 3; ++attempt, size /= 2) {
    // Address space only: pages are committed when a folder's record number is written.
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      volume.folderMap = static_cast<std::uint32_t*>(p);
      volume.folderMapBytes = size;
      volume.pageSize = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
      return true;
    }
  }
  return false;
}

void releaseFolderMap(NtfsVolume& volume) noexcept {
  if (volume.folderMap != nullptr) munmap(volume.folderMap, volume.folderMapBytes);
  volume.folderMap = nullptr;
  volume.folderMapBytes = 0;
  volume.pageSize = 0;
}

bool appendEntry(CachedDrive* drive, const NtfsVolume& v, std::uint32_t* index) noexcept {
  if (!CachedDrive_AddFileSystem(drive, sizeof v, &v)) return false;
  *index = drive->fsCount - 1;
  return true;
}

void finish(Undelete* u) {
  CachedDrive* drive = u->drive;
  const std::uint32_t i = firstNtfsEntry(drive);
  NtfsVolume* volume = entryAt(drive, i);
  if (volume == nullptr) return;
  CachedDrive_SelectFileSystem(drive, i);
  u->scanMarks[kMarkUnknown] = 0xFFFFFFFFu;  // the lost tree gets its own
  NTFS_ParseFoldersNames(u, *volume, true);
  releaseFolderMap(*volume);
}

/// Counts a run list's clusters (sparse ones too) and finds its first real cluster. False when
/// the list reaches past the drive or the scan was cancelled.
bool walkRuns(const Undelete* u, std::span<const std::uint8_t> list, std::uint64_t sectors,
              std::uint64_t& count, std::uint64_t& firstCluster, bool& haveFirst) {
  RunCursor cursor;
  cursor.load(list);
  count = 0;
  haveFirst = false;
  std::uint64_t first = 0, n = 0;
  bool sparse = false;
  for (std::uint32_t step = 0; cursor.nextRun(&first, &n, &sparse); ++step) {
    if ((step & 127) == 0 && isCancelled(u)) return false;
    if (n >= sectors || n >= (1ull << 32) || (!sparse && first >= sectors)) break;
    if (!sparse && !haveFirst) {
      firstCluster = first;
      haveFirst = true;
    }
    count += n;
    if (count >= sectors) return false;
  }
  return !isCancelled(u);
}

/// Clusters of @p list (as placed by @p volume) that have a sector in the used-sector map.
void overlap(const Undelete* u, const CachedDrive* drive, std::span<const std::uint8_t> list,
             std::uint64_t clusterBytes, std::uint64_t volumeStart, std::uint64_t& overlapped,
             std::uint64_t& total) {
  overlapped = total = 0;
  const std::uint32_t S = drive->sectorSize;
  if (clusterBytes == 0 || S == 0) return;
  RunCursor cursor;
  cursor.load(list);
  std::uint64_t first = 0, n = 0;
  bool sparse = false;
  std::uint32_t step = 0;
  while (cursor.nextRun(&first, &n, &sparse)) {
    if (n >= (1ull << 32)) break;
    if (sparse) {
      total += n;
      continue;
    }
    for (std::uint64_t k = 0; k < n; ++k) {
      if ((++step & 127) == 0 && isCancelled(u)) return;
      ++total;
      const unsigned __int128 at =
          static_cast<unsigned __int128>(first + k) * clusterBytes + volumeStart;
      const unsigned __int128 s0 = at / S;
      const unsigned __int128 s1 = (at + clusterBytes - 1) / S;
      if (s0 >= drive->mapBits) {
        ++overlapped;  // outside the drive: gone
        continue;
      }
      for (auto s = s0; s <= s1; ++s) {
        if (CachedDrive_TestMapBit(drive, static_cast<std::uint64_t>(s))) {
          ++overlapped;
          break;
        }
      }
    }
  }
}

/// Sets every sector of the clusters of @p list in the used-sector map.
void markRuns(CachedDrive* drive, std::span<const std::uint8_t> list, std::uint64_t clusterBytes,
              std::uint64_t volumeStart) {
  const std::uint32_t S = drive->sectorSize;
  if (S == 0) return;
  RunCursor cursor;
  cursor.load(list);
  std::uint64_t first = 0, n = 0;
  bool sparse = false;
  while (cursor.nextRun(&first, &n, &sparse)) {
    if (sparse || n >= (1ull << 32)) continue;
    const unsigned __int128 at = static_cast<unsigned __int128>(first) * clusterBytes + volumeStart;
    const unsigned __int128 len = static_cast<unsigned __int128>(n) * clusterBytes;
    if (at / S >= drive->mapBits) continue;
    (void)CachedDrive_SetMapRange(drive, static_cast<std::uint64_t>(at / S),
                                  static_cast<std::uint64_t>((len + S - 1) / S));
  }
}

/// The table entry a lost file is listed with (appending @p candidate when none fits).
bool chooseEntry(Undelete* u, CachedDrive* drive, const NtfsVolume& candidate,
                 std::uint64_t clusters, std::uint64_t guess, std::uint32_t* index) {
  // A file of one cluster says little about the cluster size: it goes with the file before it.
  const std::uint32_t n = u->fileCount.load();
  if (clusters == 1 && n > u->passFirstFile) {
    const FileRecord* last = Storage_File(u, n - 1);
    if (last != nullptr && ((last->location.get() >> 12) & 7u) == kKindNtfs) {
      const NtfsVolume* v = entryAt(drive, last->fsIndex.get());
      if (v != nullptr && v->info.clusterBytes.get() >= guess) {
        *index = last->fsIndex.get();
        return true;
      }
    }
  }
  for (std::uint32_t i = 1; i < drive->fsCount && i < kMaxFileSystems; ++i) {
    const NtfsVolume* v = entryAt(drive, i);
    if (v == nullptr) continue;
    if (guess == 0 || (v->info.clusterBytes.get() == guess && v->info.volumeStart.get() == 0)) {
      *index = i;
      return true;
    }
  }
  return appendEntry(drive, candidate, index);
}

/// True when the record at @p offset parses and is $MFT.
bool holdsMft(CachedDrive* drive, std::uint64_t offset, std::uint32_t recordBytes) {
  std::vector<std::uint8_t> record(recordBytes);
  std::uint32_t got = 0;
  NtfsParsedRecord rec;
  return CachedDrive_Read(drive, offset, recordBytes, record.data(), &got) && got == recordBytes &&
         NTFS_ParseFileRecord(record, rec) == Parse::Ok && rec.name == u"$MFT";
}

/// First data cluster of the $MFTMirr record at @p offset, or all ones when there is none.
std::uint64_t mirrorClusterAfter(CachedDrive* drive, std::uint64_t offset,
                                 std::uint32_t recordBytes) {
  std::vector<std::uint8_t> record(recordBytes);
  std::uint32_t got = 0;
  NtfsParsedRecord rec;
  if (!CachedDrive_Read(drive, offset, recordBytes, record.data(), &got) || got != recordBytes ||
      NTFS_ParseFileRecord(record, rec) != Parse::Ok || rec.name != u"$MFTMirr" ||
      rec.runListLength == 0 || rec.dataLength == 0 || rec.data.size() < rec.dataLength) {
    return kNtfsUnknownCluster;
  }
  RunCursor cursor;
  cursor.load(std::span<const std::uint8_t>(rec.data.data(), rec.dataLength));
  std::uint64_t first = 0, n = 0;
  bool sparse = false;
  if (!cursor.nextRun(&first, &n, &sparse) || sparse) return kNtfsUnknownCluster;
  return first;
}

bool recognize(Undelete* u, std::uint64_t offset) {
  CachedDrive* drive = u->drive;
  const std::uint32_t S = drive->sectorSize;
  std::uint64_t driveBytes = 0;
  if (S < 512 || !CachedDrive_GetSize(drive, &driveBytes)) return false;
  std::vector<std::uint8_t> record(S);
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, offset, S, record.data(), &got) || got != S) return false;
  const std::uint32_t recordBytes = NTFS_LostRecordBytes(record, S);
  if (recordBytes == 0) return false;
  record.resize(recordBytes);
  if (recordBytes > S &&
      (!CachedDrive_Read(drive, offset + S, recordBytes - S, record.data() + S, &got) ||
       got != recordBytes - S))
    return false;

  NtfsVolume candidate{};
  candidate.info.type.set(kFsNtfs);
  candidate.info.clusterBytes.set(S);
  candidate.info.recordBytes.set(recordBytes);
  candidate.info.clusterCount.set(kCandidateClusters);
  candidate.info.mftCluster.set(kNtfsUnknownCluster);
  candidate.info.mirrorCluster.set(kNtfsUnknownCluster);
  candidate.info.volumeStart.set(0);

  NtfsParsedRecord rec;
  if (NTFS_ParseFileRecord(record, rec) != Parse::Ok) return false;
  // Nothing found here is a file of the live volume.
  rec.recordFlags = static_cast<std::uint16_t>(rec.recordFlags & ~kNtfsRecordInUse);

  if (rec.recordFlags & kNtfsRecordDirectory) {
    std::uint32_t i = firstNtfsEntry(drive);
    if (i == kMaxFileSystems && !appendEntry(drive, candidate, &i)) return false;
    NtfsVolume* volume = entryAt(drive, i);
    if (volume == nullptr) return false;
    if (volume->folderMap == nullptr && !reserveFolderMap(*volume)) return false;
    CachedDrive_SelectFileSystem(drive, i);
    NTFS_RegisterFolder(u, *volume, rec);
    return true;
  }

  const std::uint64_t sectors = driveBytes / S;
  std::uint64_t guess = 0, clusters = 0, firstCluster = 0;
  bool haveFirst = false;
  const bool runs = rec.runListLength != 0 && rec.dataLength != 0 && !rec.data.empty();
  const std::span<const std::uint8_t> list(rec.data.data(), runs ? rec.dataLength : 0);
  if (runs) {
    if (!walkRuns(u, list, sectors, clusters, firstCluster, haveFirst)) return false;
    guess = std::uint64_t{NTFS_GuessClusterSectors(clusters, rec.size, S)} * S;
    if (guess != 0) candidate.info.clusterBytes.set(static_cast<std::uint32_t>(guess));
  }

  const bool isMft = rec.name == u"$MFT";
  if (isMft) {
    // $MFT starts its own table: where it lies and its first cluster place the lost volume.
    if (haveFirst && guess != 0 && firstCluster <= offset / guess) {
      NtfsVolume v = candidate;
      v.info.clusterBytes.set(static_cast<std::uint32_t>(guess));
      v.info.clusterCount.set(driveBytes / guess);
      v.info.mftCluster.set(firstCluster);
      v.info.volumeStart.set((offset - firstCluster * guess) / S * S);
      // The copy in $MFTMirr looks the same; the $MFTMirr record after it tells where it lies.
      const std::uint64_t mirror = mirrorClusterAfter(drive, offset + recordBytes, recordBytes);
      if (mirror != kNtfsUnknownCluster && mirror != firstCluster && mirror <= offset / guess) {
        v.info.volumeStart.set((offset - mirror * guess) / S * S);
        // A volume whose own table is gone would only fail to scan.
        if (!holdsMft(drive, v.info.volumeStart.get() + firstCluster * guess, recordBytes))
          return true;
      }
      std::uint32_t i = 0;
      if (appendEntry(drive, v, &i)) markRuns(drive, list, guess, v.info.volumeStart.get());
    }
    return true;
  }

  std::uint32_t index = 0;
  if (!chooseEntry(u, drive, candidate, clusters, guess, &index)) return false;
  const NtfsVolume* home = entryAt(drive, index);
  if (home == nullptr) return false;
  std::uint64_t overlapped = 0, total = 0;
  // Counted where the file is read back from: the cluster size and start of its entry.
  if (runs)
    overlap(u, drive, list, home->info.clusterBytes.get(), home->info.volumeStart.get(), overlapped,
            total);

  FileRecord file{};
  file.size.set(rec.size);
  file.modified.set(FileTime_UtcToLocal(rec.modified));  // records list local time, as the scan does
  file.created.set(FileTime_UtcToLocal(rec.created));
  file.accessed.set(FileTime_UtcToLocal(rec.accessed));
  file.attributes = rec.attributes;
  file.status = static_cast<std::uint8_t>(NTFS_LostState(overlapped, total) << 1);
  file.rootName.set(u->rootName);
  file.volumeOffset.set(drive->windowStart);
  file.overwrittenBy.set(overlapped != 0 ? 0xFFFFFFFEu : 0xFFFFFFFFu);
  for (auto& slot : file.firstOverwritten) slot.set(~std::uint64_t{0});
  file.overwrittenClusters.set(overlapped);
  file.totalClusters.set(total);
  std::vector<char16_t> name(rec.name.begin(), rec.name.end());
  name.push_back(0);
  std::uint32_t nameRef = 0;
  if (!Storage_AddString(u, name.data(), &nameRef) || !NTFS_StoreFile(u, rec, file)) return false;
  file.name.set(nameRef);
  file.location.set(kNtfsLocation);
  file.fsIndex.set(index);
  file.folder.set(static_cast<std::uint32_t>(rec.parent));
  file.reserved.set(static_cast<std::uint32_t>(rec.parent >> 32));
  return Storage_AddFile(u, &file, true);
}

}  // namespace

std::uint32_t NTFS_LostRecordBytes(std::span<const std::uint8_t> sector,
                                   std::uint32_t sectorBytes) noexcept {
  ByteReader r(sector);
  const auto h = r.read<NtfsRecordHeader>();
  if (!h || std::memcmp(h->magic, "FILE", 4) != 0 || sectorBytes == 0) return 0;
  const std::uint32_t entries = h->usaCount.get();
  if (entries < 2) return 0;
  const std::uint64_t bytes = std::uint64_t{entries - 1} * sectorBytes;
  return bytes <= kMaxRecordBytes ? static_cast<std::uint32_t>(bytes) : 0;
}

std::uint32_t NTFS_GuessClusterSectors(std::uint64_t clusters, std::uint64_t dataBytes,
                                       std::uint32_t sectorBytes) noexcept {
  if (sectorBytes == 0 || clusters == 0) return 0;
  const std::uint64_t need = dataBytes / sectorBytes + (dataBytes % sectorBytes != 0);
  for (std::uint32_t p = 1; p <= 128; p *= 2) {
    const unsigned __int128 have = static_cast<unsigned __int128>(clusters) * p;
    if (have >= need) return p;
  }
  return 0;
}

std::uint32_t NTFS_LostState(std::uint64_t overlapped, std::uint64_t total) noexcept {
  if (overlapped == 0) return kStateExcellent;
  if (overlapped >= total) return kStateUnrecoverable;
  if (2 * overlapped < total) return kStateGood;
  return kStatePoor;
}

bool NTFS_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  if (offset == ~std::uint64_t{0}) {
    try {
      finish(u);
    } catch (...) {
      Undelete_Log(u,
                   "Exception occured in NTFS_RecognizeFileSystem, cleanup code, offset = %" PRIx64,
                   offset);
    }
    return false;
  }
  try {
    return recognize(u, offset);
  } catch (const std::bad_alloc&) {
  }
  return false;
}
