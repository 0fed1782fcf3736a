// The MFT scan: every file record the MFT still holds becomes a listed file or folder; then the
// folder tree is resolved through the folder map and every file gets a recoverability state.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cached_drive.h"
#include "core/extent_reader.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint64_t kFolderMapReserve = 0x10000000;
constexpr std::uint64_t kRealTypeBytes = 51200;
constexpr std::uint16_t kLocationNtfs = static_cast<std::uint16_t>(kKindNtfs << 12);
constexpr std::uint16_t kLocationUnresolved = 0x8000;
constexpr std::uint8_t kStateNotEstimated = 6;
constexpr std::uint64_t kRecordMask = 0xFFFFFFFFFFFFull;  // record number part of a reference

// Per-drive folder indexes kept in the engine's scanner marks (all ones = not made yet). The
// search thread resets all four per drive and the second pair before every further pass.
constexpr std::size_t kMarkBeforeFormat = 0;
constexpr std::size_t kMarkPassRoot = 2;
constexpr std::size_t kMarkUnknown = 3;
constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;

std::u16string widen(const char* s) { return Text_Latin1ToUtf16(s); }

bool reserveFolderMap(NtfsVolume& volume) noexcept {
  std::uint64_t size = kFolderMapReserve;
  for (int attempt = 0; attempt < 3; ++attempt, size /= 2) {
    // Address space only: Linux commits a page when it is first written, so only the pages of
    // record numbers that are folders cost memory.
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

std::uint32_t mapGet(const NtfsVolume& v, std::uint64_t record) noexcept {
  if (v.folderMap == nullptr || record >= v.folderMapBytes / 4) return 0;
  return v.folderMap[record];
}

bool mapSet(NtfsVolume& v, std::uint64_t record, std::uint32_t value) noexcept {
  if (v.folderMap == nullptr || record >= v.folderMapBytes / 4) return false;
  v.folderMap[record] = value;
  return true;
}

void setProgress(Undelete* u, std::uint64_t value) noexcept {
  u->progress.store(static_cast<std::uint32_t>(value), std::memory_order_relaxed);
}

bool addFolder(Undelete* u, const char* name, std::uint32_t parent, std::uint32_t* index) {
  const std::u16string wide = widen(name);
  return Storage_AddFolder(u, wide.c_str(), parent, 0xFFFF, 0, false, false, index);
}

/// The folder this file system's tree hangs from (made on first use when the drive holds more
/// than one file system).
std::uint32_t passRoot(Undelete* u, CachedDrive* drive) {
  if (drive->fsCount <= 1) return u->rootFolder;
  if (u->scanMarks[kMarkPassRoot] != kNoFolder) return u->scanMarks[kMarkPassRoot];
  if (u->scanMarks[kMarkBeforeFormat] == kNoFolder) {
    std::uint32_t idx = 0;
    if (!addFolder(u, "Before format", u->rootFolder, &idx)) return u->rootFolder;
    u->scanMarks[kMarkBeforeFormat] = idx;
  }
  char name[32];
  std::snprintf(name, sizeof name, "NTFS%.4d", static_cast<int>(drive->fsCurrent + 1));
  std::uint32_t idx = 0;
  if (!addFolder(u, name, u->scanMarks[kMarkBeforeFormat], &idx)) return u->rootFolder;
  u->scanMarks[kMarkPassRoot] = idx;
  return idx;
}

/// Folder index for parent record @p r.
std::uint32_t resolveParent(Undelete* u, NtfsVolume& volume, std::uint32_t root, std::uint64_t r,
                            std::unordered_map<std::uint64_t, std::uint32_t>& outside) {
  if (r == 5) return root;
  const std::uint32_t entry = mapGet(volume, r);
  if (entry & kNtfsFolderMapped) return entry & ~kNtfsFolderMapped;
  if (const auto it = outside.find(r); it != outside.end()) return it->second;
  if (u->scanMarks[kMarkUnknown] == kNoFolder) {
    std::uint32_t idx = 0;
    if (!addFolder(u, "Unknown location", root, &idx)) return root;
    u->scanMarks[kMarkUnknown] = idx;
  }
  char name[32];
  std::snprintf(name, sizeof name, "Folder%d", static_cast<int>(r));
  std::uint32_t idx = 0;
  if (!addFolder(u, name, u->scanMarks[kMarkUnknown], &idx)) return u->scanMarks[kMarkUnknown];
  if (!mapSet(volume, r, idx | kNtfsFolderMapped)) outside.emplace(r, idx);
  return idx;
}

/// Content check of a listed file's first clusters against its extension.
void checkRealType(Undelete* u, CachedDrive* drive, const NtfsVolume& volume,
                   const NtfsParsedRecord& rec, FileRecord& file, char16_t* name,
                   std::size_t capacity) {
  if (rec.size == 0 || rec.runListLength == 0 || rec.data.empty()) return;
  if (rec.dataFlags & kNtfsDataEncrypted) return;
  // Compressed clusters hold LZNT1 data, not the file's bytes: their content says nothing.
  if (rec.dataFlags & kNtfsDataCompressed) return;
  const std::uint64_t cb = volume.info.clusterBytes.get();
  RunCursor cursor;
  cursor.load(rec.data, volume.info.clusterCount.get());
  std::uint64_t first = 0, count = 0;
  bool sparse = false;
  if (!cursor.nextRun(&first, &count, &sparse) || sparse) return;
  ExtentReader* reader = nullptr;
  if (!ExtentReader_Create(&reader)) return;
  const std::uint64_t start = volume.info.volumeStart.get();
  bool ok = ExtentReader_Init(&u->cancelEvent, &u->totalCancelEvent, drive, reader,
                              static_cast<std::uint32_t>(cb < 4096 ? 4096 : cb), first * cb + start,
                              count * cb);
  std::uint64_t covered = 0;
  while (ok) {
    ok = ExtentList_Append(reader, first * cb + start, count * cb);
    covered += count * cb;
    if (!ok || covered >= kRealTypeBytes) break;
    if (!cursor.nextRun(&first, &count, &sparse) || sparse) break;
  }
  if (ok && ExtentReader_Rewind(reader)) {
    std::uint32_t id = 0, completeness = 0;
    std::uint64_t length = 0;
    const char* note = nullptr;
    if (FileFormat_Detect(reader, &id, &completeness, &length, &note) && id != 0) {
      FileFormat_CheckExtension(&file, id, (u->options & kOptRenameExtension) != 0, u, name,
                                capacity);
    }
  }
  ExtentReader_Destroy(reader);
}

/// Unnamed data that an attribute list spreads over extension records, gathered during the scan
/// and joined into the base file's run list afterwards.
struct SpreadData {
  std::vector<NtfsParsedRecord::Extent> extents;
  std::uint64_t size = 0;
  std::uint32_t flags = 0;
  bool haveFirst = false;
  std::vector<std::uint8_t> resident;  // resident unnamed data found in an extension record
  std::u16string name;                 // a name found in an extension record
  std::uint64_t parent = 0, created = 0, modified = 0, accessed = 0;
};
constexpr std::size_t kMaxJoinedRunList = 16u << 20;

void collectExtents(const NtfsParsedRecord& rec, SpreadData& spread) {
  if (rec.hasFileName && !rec.name.empty() && spread.name.empty()) {
    spread.name = rec.name;
    spread.parent = rec.parent;
    spread.created = rec.created;
    spread.modified = rec.modified;
    spread.accessed = rec.accessed;
  }
  if (rec.runListLength == 0 && rec.dataLength != 0 && rec.data.size() >= rec.dataLength &&
      (rec.baseRecord & 0xFFFFFFFFFFFFull) != 0) {
    spread.resident.assign(rec.data.begin(), rec.data.begin() + rec.dataLength);
  }
  if (rec.runListLength != 0 && rec.dataLength != 0 && !spread.haveFirst) {
    spread.extents.push_back({0, rec.dataHighestVcn, rec.data});
    spread.size = rec.size;
    spread.flags = rec.dataFlags;
    spread.haveFirst = true;
  }
  for (const auto& e : rec.laterExtents) spread.extents.push_back(e);
}

/// Gives file @p index the joined run list of its spread data.
void attachSpreadData(Undelete* u, std::uint32_t index, SpreadData& spread) {
  if (!spread.resident.empty() && !spread.haveFirst) {
    FileRecord* file = Storage_File(u, index);
    const auto* old =
        file ? Storage_Get<NtfsFileInfo>(u, file->locator.get()) : nullptr;
    if (old == nullptr || old->dataLength.get() != 0 || old->runListLength.get() != 0) return;
    NtfsFileInfo info = *old;
    std::uint32_t dataRef = 0, infoRef = 0;
    const auto length = static_cast<std::uint32_t>(spread.resident.size());
    if (!Storage_AddBlob(u, spread.resident.data(), length, &dataRef)) return;
    info.dataLength.set(length);
    info.data.set(dataRef);
    if (!Storage_AddBlob(u, &info, sizeof info, &infoRef)) return;
    file = Storage_File(u, index);
    file->locator.set(infoRef);
    file->size.set(length);
    return;
  }
  if (!spread.haveFirst) return;
  std::sort(spread.extents.begin(), spread.extents.end(),
            [](const auto& a, const auto& b) { return a.lowestVcn < b.lowestVcn; });
  std::vector<std::uint8_t> joined;
  if (!NTFS_JoinRunLists(spread.extents, joined) || joined.size() > kMaxJoinedRunList) return;
  FileRecord* file = Storage_File(u, index);
  if (file == nullptr) return;
  const auto* old = Storage_Get<NtfsFileInfo>(u, file->locator.get());
  if (old == nullptr) return;
  // The base record's own extent alone: the file already has what it needs.
  if (spread.extents.size() == 1 && old->runListLength.get() != 0) return;
  NtfsFileInfo info = *old;
  std::uint32_t dataRef = 0, infoRef = 0;
  if (!Storage_AddBlob(u, joined.data(), static_cast<std::uint32_t>(joined.size()), &dataRef))
    return;
  info.dataFlags.set(spread.flags);
  info.dataLength.set(static_cast<std::uint32_t>(joined.size()));
  info.runListLength.set(static_cast<std::uint32_t>(joined.size()));
  info.data.set(dataRef);
  if (!Storage_AddBlob(u, &info, sizeof info, &infoRef)) return;
  file = Storage_File(u, index);
  file->locator.set(infoRef);
  file->size.set(spread.size);
  if (spread.flags & kNtfsDataCompressed) file->attributes |= kAttrCompressed;
  if (spread.flags & kNtfsDataEncrypted) file->attributes |= kAttrEncrypted;
}

}  // namespace

void NTFS_RegisterFolder(Undelete* u, NtfsVolume& volume, const NtfsParsedRecord& rec) noexcept {
  if (rec.recordNumber == 5) return;
  std::u16string name = rec.name;  // NUL-terminated copy for the storage
  const bool deleted = (rec.recordFlags & kNtfsRecordInUse) == 0 || u->drive->fsCurrent > 0;
  std::uint32_t idx = 0;
  if (!Storage_AddFolder(u, name.c_str(), static_cast<std::uint32_t>(rec.parent),
                         static_cast<std::uint16_t>(rec.parent >> 32), rec.attributes, deleted,
                         true, &idx)) {
    return;
  }
  mapSet(volume, rec.recordNumber, idx | kNtfsFolderMapped);
}

bool NTFS_StoreFile(Undelete* u, const NtfsParsedRecord& rec, FileRecord& file) noexcept {
  // Streams are stored last to first so that each node can point at the one after it.
  std::uint32_t head = 0;
  for (std::size_t j = rec.streamCount; j-- > 0;) {
    const NtfsParsedStream& s = rec.streams[j];
    NtfsStream node{};
    std::uint32_t ref = 0;
    if (!Storage_AddString(u, s.name.c_str(), &ref)) return false;
    node.name.set(ref);
    if (!s.data.empty()) {
      if (!Storage_AddBlob(u, s.data.data(), static_cast<std::uint32_t>(s.data.size()), &ref))
        return false;
      node.data.set(ref);
    }
    node.size.set(s.size);
    node.runListLength.set(static_cast<std::uint16_t>(s.runListLength));
    node.dataFlags.set(static_cast<std::uint16_t>(s.dataFlags));
    node.next.set(head);
    if (!Storage_AddBlob(u, &node, sizeof node, &ref)) return false;
    head = ref;
  }
  NtfsFileInfo info{};
  info.recordNumber.set(rec.recordNumber);
  info.baseRecord.set(rec.baseRecord);
  info.parent.set(rec.parent);
  info.dataFlags.set(rec.dataFlags);
  info.dataLength.set(rec.dataLength);
  info.runListLength.set(rec.runListLength);
  if (rec.dataLength != 0 && rec.data.size() >= rec.dataLength) {
    std::uint32_t ref = 0;
    if (!Storage_AddBlob(u, rec.data.data(), rec.dataLength, &ref)) return false;
    info.data.set(ref);
  }
  info.streams.set(head);
  info.recordFlags.set(rec.recordFlags);
  std::uint32_t ref = 0;
  if (!Storage_AddBlob(u, &info, sizeof info, &ref)) return false;
  file.locator.set(ref);
  file.location.set(kLocationNtfs);
  return true;
}

void NTFS_ParseFoldersNames(Undelete* u, NtfsVolume& volume, bool finishing) noexcept {
  CachedDrive* drive = u->drive;
  try {
    const std::uint32_t root = passRoot(u, drive);
    std::unordered_map<std::uint64_t, std::uint32_t> outside;
    const std::uint32_t folderEnd = u->folderCount.load();
    for (std::uint32_t i = u->rootFolder + 1; i < folderEnd && !isCancelled(u); ++i) {
      FolderRecord* f = Storage_Folder(u, i);
      if (f == nullptr || (f->flags.get() & kFolderScannerFlag) == 0) continue;
      std::uint32_t parent = resolveParent(u, volume, root, f->parent.get(), outside);
      // A damaged record naming itself as parent would make a loop: treat its parent as unknown.
      if (parent == i) parent = resolveParent(u, volume, root, 0xFFFFFFFFFFFFull, outside);
      f = Storage_Folder(u, i);
      f->parent.set(parent);
      f->flags.set(f->flags.get() & ~(kFolderScannerFlag | 0xFFFFu));
    }
    const std::uint32_t first = u->passFirstFile, end = u->fileCount.load();
    const std::uint64_t n = end > first ? end - first : 1;
    const std::uint64_t scale = ((u->options & kOptDeepScan) && !finishing) ? 1000 : 10000;
    const std::uint64_t base = scale * (finishing ? 95 : 85) / 100;
    for (std::uint32_t i = first; i < end && !isCancelled(u); ++i) {
      FileRecord* file = Storage_File(u, i);
      if (file == nullptr) break;
      const std::uint16_t location = file->location.get();
      if (location & kLocationUnresolved) {
        const std::uint64_t r = file->folder.get();
        file->folder.set(resolveParent(u, volume, root, r, outside));
        file = Storage_File(u, i);
        file->reserved.set(0);
        file->location.set(static_cast<std::uint16_t>(location & ~kLocationUnresolved));
      }
      setProgress(u, base + ((i - first) * scale * 5) / (n * 100));
    }
  } catch (...) {
    Host_SetLastError(kErrMemory);
  }
}

bool NTFS_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  if (volume->info.mftCluster.get() == kNtfsUnknownCluster &&
      volume->info.mirrorCluster.get() == kNtfsUnknownCluster) {
    return true;
  }
  const bool deep = (u->options & kOptDeepScan) != 0;
  const std::uint32_t cb = volume->info.clusterBytes.get();
  const std::uint32_t rb = volume->info.recordBytes.get();
  if (cb == 0 || rb == 0 || drive->sectorSize == 0) return false;
  bool anyRecord = false;
  if (deep && u->deepScanResume != 0) {
    anyRecord = true;
  } else {
    if (deep && !CachedDrive_InitMap(
                    drive, volume->info.clusterCount.get() * cb / drive->sectorSize, nullptr, 0)) {
      Host_SetLastError(kErrMemory);  // the deep scan below finds no map and lists nothing
    }
    NtfsParsedRecord mft;
    if (!NTFS_ReadMftDescription(drive, *volume, mft)) {
      Undelete_Report(u, "\tMFT description error.\n");
      Undelete_Log(u, "NTFS_SearchFiles: Unable to obtain MFT description.\n");
      u->error = kErrMftDescription;
      return false;
    }
    // A damaged $MFT size cannot make the volume hold more records than fit in it.
    const std::uint64_t volumeBytes = volume->info.clusterCount.get() * cb;
    const std::uint64_t recordCount = std::min(mft.size / rb, volumeBytes / rb);
    NtfsRecordReader reader;
    std::vector<std::uint8_t> record;
    NtfsParsedRecord rec;
    try {
      reader.cursor.load(std::span(mft.data.data(), mft.dataLength),
                         volume->info.clusterCount.get());
      record.resize(rb);
    } catch (...) {
      Undelete_Report(u, "\tNot enough memory for MFT description.\n");
      Undelete_Log(u, "NTFS_SearchFiles: Unable to allocate memory file record.\n");
      u->error = kErrMemory;
      return false;
    }
    Undelete_Report(u, "\tMFT description ok.\n");
    if (!reserveFolderMap(*volume)) {
      Undelete_Report(u, "\tUnable to allocate memory for folders info.\n");
      Undelete_Log(u, "NTFS_SearchFiles: Unable to allocate memory folder info.\n");
      u->error = kErrMemory;
      return false;
    }
    Undelete_Report(u, "\tStarting MFT scan.\n");
    u->stageName = "Scanning MFT";
    const std::uint64_t scale = deep ? 1000 : 10000;
    const std::uint64_t n = recordCount == 0 ? 1 : recordCount;
    std::vector<char16_t> nameBuffer;
    std::unordered_map<std::uint64_t, SpreadData> spread;  // by base record number
    std::vector<std::pair<std::uint64_t, std::uint32_t>> spreadFiles;
    // Lists one parsed record; false when the storage is full and the scan must stop.
    auto take = [&](NtfsParsedRecord& rec, std::uint64_t i) -> bool {
      bool existing = (rec.recordFlags & kNtfsRecordInUse) != 0 && i < recordCount;
      if (drive->fsCurrent > 0) existing = false;
      if (rec.recordFlags & kNtfsRecordDirectory) {
        if (!existing)
          rec.recordFlags = static_cast<std::uint16_t>(rec.recordFlags & ~kNtfsRecordInUse);
        NTFS_RegisterFolder(u, *volume, rec);
        return true;
      }
      FileRecord file{};
      file.size.set(rec.size);
      file.modified.set(FileTime_UtcToLocal(rec.modified));  // the listing shows local time
      file.created.set(FileTime_UtcToLocal(rec.created));
      file.accessed.set(FileTime_UtcToLocal(rec.accessed));
      file.attributes = rec.attributes;
      file.status =
          static_cast<std::uint8_t>((existing ? kStatusExisting : 0) | (kStateNotEstimated << 1));
      file.rootName.set(u->rootName);
      file.volumeOffset.set(drive->windowStart);  // the recoverer points the window back here
      file.fsIndex.set(drive->fsCurrent);
      file.overwrittenBy.set(0xFFFFFFFFu);
      for (auto& slot : file.firstOverwritten) slot.set(~std::uint64_t{0});
      try {
        nameBuffer.assign(rec.name.begin(), rec.name.end());
        nameBuffer.resize(rec.name.size() + 16, 0);  // room for a corrected extension
        if ((u->options & kOptTestExtension) && (!existing || (u->options & kOptTestAll))) {
          checkRealType(u, drive, *volume, rec, file, nameBuffer.data(), nameBuffer.size());
        }
      } catch (...) {
        u->pageSize |= kOutOfMemory;
        return false;
      }
      std::uint32_t nameRef = 0;
      if (!Storage_AddString(u, nameBuffer.data(), &nameRef) || !NTFS_StoreFile(u, rec, file)) {
        u->pageSize |= kOutOfMemory;  // the strings storage is full: nothing more can be listed
        return false;
      }
      file.name.set(nameRef);
      file.fsIndex.set(drive->fsCurrent);
      file.folder.set(static_cast<std::uint32_t>(rec.parent));
      file.reserved.set(static_cast<std::uint32_t>(rec.parent >> 32));
      if (!Storage_AddFile(u, &file, true)) {
        u->pageSize |= kOutOfMemory;
        return false;
      }
      if (rec.attributeList && existing) {
        try {
          collectExtents(rec, spread[rec.recordNumber]);
          spreadFiles.emplace_back(rec.recordNumber, u->fileCount.load() - 1);
        } catch (...) {
        }
      }
      if (u->memoryCallback != nullptr &&
          std::uint64_t{u->stringsUsed} * 4 >= std::uint64_t{u->stringsReserve}) {
        if (u->memoryCallback(u->saveCallbackArg) != 0) {
          u->pageSize |= kOutOfMemory;
        } else {
          u->memoryCallback = nullptr;
        }
      }
      return true;
    };
    // Base records whose names all sit in extension records, listed once those are read.
    std::vector<std::pair<NtfsParsedRecord, std::uint64_t>> nameless;
    std::vector<std::uint64_t> namelessKeys;
    for (std::uint64_t i = 0; !isCancelled(u) && !u->outOfMemory(); ++i) {
      std::uint64_t at = 0;
      const bool read = NTFS_ReadFileRecord(drive, *volume, reader, record, &at);
      const Parse parsed = read ? NTFS_ParseFileRecord(record, rec) : Parse::NotThis;
      const bool inUse = (rec.recordFlags & kNtfsRecordInUse) != 0;
      if (parsed != Parse::NotThis && (rec.baseRecord & kRecordMask) != 0) {
        // An extension record: its names and data belong to the base record's file (listing it
        // would show a second, empty copy of that file).
        if (parsed == Parse::Ok) anyRecord = true;
        if (inUse) collectExtents(rec, spread[rec.baseRecord & kRecordMask]);
        continue;
      }
      if (parsed == Parse::Corrupt && rec.attributeList && inUse && i != 5 && i != 8) {
        if (rec.recordNumber == 0) rec.recordNumber = i;
        nameless.emplace_back(rec, i);
        namelessKeys.push_back(at);
        continue;
      }
      if (parsed != Parse::Ok) {
        if (i >= recordCount) break;
        if (!read && reader.offset >= volumeBytes) break;  // nothing readable follows
        continue;
      }
      anyRecord = true;
      if (rec.recordNumber == 0) rec.recordNumber = i;
      u->scanKey = at;
      const std::uint64_t done = (i + 1 < n ? i + 1 : n);
      setProgress(u, (done * scale + n / 2) / n * 85 / 100);
      if (i == 5 || i == 8 || rec.name.empty()) continue;
      if (!take(rec, i)) break;
    }
    for (std::size_t k = 0; k < nameless.size() && !u->outOfMemory(); ++k) {
      auto& [base, i] = nameless[k];
      const auto it = spread.find(base.recordNumber);
      if (it == spread.end() || it->second.name.empty()) continue;
      base.name = it->second.name;
      base.parent = it->second.parent;
      if (!base.hasStandardInformation) {  // the base record's own times come first
        base.created = it->second.created;
        base.modified = it->second.modified;
        base.accessed = it->second.accessed;
      }
      base.hasFileName = true;
      u->scanKey = namelessKeys[k];
      if (!take(base, i)) break;
    }
    for (const auto& [recordNumber, index] : spreadFiles) {
      try {
        attachSpreadData(u, index, spread[recordNumber]);
      } catch (...) {
      }
    }
    spread.clear();
    u->scanKey = kNoScanKey;  // later folders ("Unknown location") come from no record
    Undelete_Report(u, "\tParsing folders name.\n");
    u->stageName = "Parsing folders' names";
    NTFS_ParseFoldersNames(u, *volume, false);
    Undelete_Report(u, "\tEstimating files state.\n");
    u->stageName = "Estimating files state";
    Undelete_Log(u, "NTFS_SearchFiles: Estimating files recoverability.\n");
    NTFS_EstimateFilesState(u, *volume);
  }
  Undelete_Log(u, "Releasing Folder Info Pointer.");
  releaseFolderMap(*volume);
  if (deep && !isCancelled(u)) {
    std::uint64_t bits = 0;
    CachedDrive_GetMapBits(&bits, drive);
    u->deepScanTotal = bits;
    Undelete_Report(u, "\tPerforming deep scan.\n");
    (void)FileFormat_ScanHole(u, 1000, 9500);
  }
  return anyRecord;
}
