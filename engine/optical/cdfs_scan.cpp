// ISO 9660 search: every session's tree under its own "Session %d" folder. Nothing is deleted in
// place on optical media; what is lost are the files of earlier sessions that the last session
// no longer lists, and those are the deleted files here.
#include <algorithm>
#include <cstdio>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "optical/cdfs.h"

namespace {

constexpr std::uint32_t kCheckBytes = 51200;
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

/// What the last session is compared by: the data's place and length, and the path.
struct Listed {
  std::uint32_t index;  // file record
  std::uint32_t session;
  std::uint64_t dataKey;  // first block << 32 | size; 0 for an empty file
  std::uint64_t pathKey;
};

struct Walk {
  Undelete* u;
  CachedDrive* drive;
  std::uint32_t session;  // 0-based
  bool last;
  bool joliet;
  std::uint64_t volumeBlocks;  // blocks the device holds
  std::vector<Listed>* listed;
  std::unordered_set<std::uint64_t> seen;  // directory extents of this session
  // Walking a further hierarchy of the session: only files it alone lists are added, and their
  // folders are made when the first such file needs them.
  const std::unordered_set<std::uint64_t>* known = nullptr;
};

constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;

/// A folder of the walk, made on first use when a further hierarchy is walked.
struct Folder {
  std::uint32_t index = kNoFolder;
  Folder* parent = nullptr;
  std::u16string name;
};

bool ensureFolder(Undelete* u, Folder& f) {
  if (f.index != kNoFolder) return true;
  if (f.parent == nullptr || !ensureFolder(u, *f.parent)) return false;
  return Storage_AddFolder(u, f.name.c_str(), f.parent->index, 0, 0, false, false, &f.index);
}

std::uint64_t hashName(std::uint64_t h, const std::u16string& name) noexcept {
  h = (h ^ 0x2F) * kFnvPrime;  // separator
  for (const char16_t c : name) h = (h ^ c) * kFnvPrime;
  return h;
}

bool stopRequested(const Undelete* u) noexcept { return isCancelled(u) || u->outOfMemory(); }

void markBlocks(CachedDrive* drive, std::uint64_t block, std::uint64_t bytes) {
  if (drive->map == nullptr || bytes == 0) return;
  (void)CachedDrive_SetMapRange(drive, block, (bytes + kCdfsBlock - 1) / kCdfsBlock);
}

/// Format detection on the file's first 50 KiB, then the extension check (may rename @p name).
void checkRealType(Undelete* u, FileRecord& r, std::uint32_t block, char16_t* name,
                   std::size_t capacity, bool rename) {
  const std::uint64_t size = r.size.get();
  if (size == 0) return;
  const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kCheckBytes));
  const std::uint32_t readBytes = (want + kCdfsBlock - 1) / kCdfsBlock * kCdfsBlock;
  std::vector<std::uint8_t> data(readBytes);
  std::uint32_t got = 0;
  if (!CachedDrive_Read(u->drive, std::uint64_t{block} * kCdfsBlock, readBytes, data.data(),
                        &got) ||
      got == 0)
    return;
  FormatResult result;
  if (!FileFormat_DetectBytes(std::span<const std::uint8_t>(data.data(), std::min(got, want)),
                              result))
    return;
  (void)FileFormat_CheckExtension(&r, result.identifier, rename, u, name, capacity);
}

void addFile(Walk& w, Folder& folder, std::u16string name, const CdfsEntry& last,
             const std::vector<CdfsExtent>& extents, std::uint64_t size, std::uint64_t pathKey) {
  Undelete* u = w.u;
  const std::uint64_t dataKey = size == 0 ? 0 : (std::uint64_t{extents.front().block} << 32) ^ size;
  if (w.known != nullptr && w.known->count(dataKey != 0 ? dataKey : pathKey) != 0) return;
  if (!ensureFolder(u, folder)) return;
  FileRecord r{};
  r.folder.set(folder.index);
  r.size.set(size);
  r.volumeOffset.set(w.drive->windowStart);
  const std::uint64_t t = CDFS_RecordingTime(last.recorded);
  const std::uint64_t local = t != 0 ? Optical_UtcToLocal(t) : 0;
  r.modified.set(local);
  r.created.set(local);
  r.rootName.set(u->rootName);
  r.overwrittenBy.set(0xFFFFFFFFu);
  for (auto& f : r.firstOverwritten) f.set(~std::uint64_t{0});
  r.totalClusters.set((size + kCdfsBlock - 1) / kCdfsBlock);
  r.status = static_cast<std::uint8_t>((kStateExcellent << 1) | (w.last ? kStatusExisting : 0));
  r.location.set(static_cast<std::uint16_t>(kKindCdfs << 12));
  r.fsIndex.set(w.drive->fsCurrent);

  std::u16string buffer = std::move(name);
  const std::size_t length = buffer.size();
  buffer.resize(length + 16);  // room for an extension the content check may append
  buffer[length] = u'\0';
  if ((u->options & kOptTestExtension) != 0 && (!w.last || (u->options & kOptTestAll) != 0))
    checkRealType(u, r, extents.front().block, buffer.data(), buffer.size(),
                  (u->options & kOptRenameExtension) != 0);
  const std::vector<std::uint8_t> locator =
      CDFS_EncodeLocator(extents, static_cast<std::uint32_t>(size));
  std::uint32_t nameRef = 0, locatorRef = 0;
  if (!Storage_AddString(u, buffer.c_str(), &nameRef)) return;
  if (!Storage_AddBlob(u, locator.data(), static_cast<std::uint32_t>(locator.size()), &locatorRef))
    return;
  r.name.set(nameRef);
  r.locator.set(locatorRef);
  const std::uint32_t index = u->fileCount.load();
  if (!Storage_AddFile(u, &r, false)) return;
  w.listed->push_back({index, w.session, dataKey, pathKey});
  for (const CdfsExtent& e : extents) markBlocks(w.drive, e.block, e.length);
}

struct SubDirectory {
  Folder folder;
  std::uint32_t extent;
  std::uint32_t length;
  std::uint64_t pathKey;
};

void readDirectory(Walk& w, Folder& parentFolder, std::uint32_t extent, std::uint32_t length,
                   std::uint64_t pathKey, std::uint32_t progressBase, std::uint32_t progressSpan,
                   std::uint32_t depth) {
  Undelete* u = w.u;
  // A directory met twice (a loop of extents, or two records sharing one) is read once.
  if (depth > kCdfsMaxDepth || !w.seen.insert(extent).second) return;
  if (extent >= w.volumeBlocks) return;
  const std::uint64_t blocks = std::min<std::uint64_t>(
      (std::uint64_t{length} + kCdfsBlock - 1) / kCdfsBlock, w.volumeBlocks - extent);
  markBlocks(w.drive, extent, blocks * kCdfsBlock);

  std::vector<SubDirectory> found;
  std::vector<std::uint8_t> block(kCdfsBlock);
  std::vector<CdfsExtent> pending;  // pieces of a file recorded in several extents
  std::uint64_t pendingSize = 0;
  std::uint32_t position = 0;
  for (std::uint64_t b = 0; b < blocks && !stopRequested(u); ++b) {
    std::uint32_t got = 0;
    if (!CachedDrive_Read(w.drive, (extent + b) * kCdfsBlock, kCdfsBlock, block.data(), &got) ||
        got != kCdfsBlock) {
      Undelete_Log(u, "CDFS_ReadDirectory: Unable to read directory block.\n");
      break;  // an unreadable block ends the directory
    }
    std::size_t at = 0;
    while (at < kCdfsBlock && !stopRequested(u)) {
      CdfsEntry e;
      const Parse p = CDFS_ParseDirRecord(block, at, w.joliet, e);
      if (p != Parse::Ok) break;  // padding or a damaged record: on to the next block
      at += e.recordLength;
      const std::uint32_t pos = position++;
      if (e.dot || (pos < 2 && (e.flags & kCdfsFlagDirectory) != 0 && e.name.empty())) continue;
      if ((e.flags & kCdfsFlagDirectory) != 0) {
        pending.clear();
        pendingSize = 0;
        Folder folder{kNoFolder, &parentFolder, e.name};
        if (w.known == nullptr && !ensureFolder(u, folder)) continue;
        found.push_back({std::move(folder), e.extent, e.dataLength, hashName(pathKey, e.name)});
        continue;
      }
      if (pending.size() < kCdfsMaxExtents) pending.push_back({e.extent, e.dataLength});
      pendingSize += e.dataLength;
      if ((e.flags & kCdfsFlagMultiExtent) != 0) continue;  // more pieces follow
      addFile(w, parentFolder, e.name, e, pending, pendingSize, hashName(pathKey, e.name));
      pending.clear();
      pendingSize = 0;
    }
  }

  const auto n = static_cast<std::uint32_t>(found.size());
  for (std::uint32_t k = 0; k < n && !stopRequested(u); ++k) {
    const std::uint32_t p =
        progressBase + static_cast<std::uint32_t>(std::uint64_t{k} * progressSpan / n);
    u->progress = p;
    readDirectory(w, found[k].folder, found[k].extent, found[k].length, found[k].pathKey, p,
                  progressSpan / n, depth + 1);
    u->progress =
        progressBase + static_cast<std::uint32_t>(std::uint64_t{k + 1} * progressSpan / n);
  }
}

/// The session's other hierarchies (a primary tree next to the Joliet one, or several
/// supplementary ones) normally name the same files; what only they name is listed as well.
void otherHierarchies(Walk& w, Folder& root, const CdfsSession& s,
                      const std::vector<Listed>& listed) {
  std::unordered_set<std::uint64_t> known;
  for (const Listed& l : listed)
    if (l.session == w.session) known.insert(l.dataKey != 0 ? l.dataKey : l.pathKey);
  std::vector<std::uint8_t> block(kCdfsBlock);
  const std::uint64_t first = std::uint64_t{s.startBlock.get()} + kCdfsDescriptorStart;
  for (std::uint64_t at = first; at < s.descriptorEnd.get() && at < first + 64; ++at) {
    std::uint32_t got = 0;
    if (!CachedDrive_Read(w.drive, at * kCdfsBlock, kCdfsBlock, block.data(), &got) ||
        got != kCdfsBlock)
      return;
    CdfsDescriptor d;
    if (CDFS_ParseDescriptor(block, d) != Parse::Ok || d.type == 255) return;
    if ((d.type != 1 && !d.joliet) || d.rootExtent == s.rootExtent.get()) continue;
    Walk other{w.u, w.drive, w.session, w.last, d.joliet, w.volumeBlocks, w.listed, {}, &known};
    readDirectory(other, root, d.rootExtent, d.rootLength, kFnvOffset, w.u->progress, 0, 0);
  }
}

/// Earlier sessions' files whose data or path the last session still lists exist; only the
/// others (removed, or replaced by other data) stay deleted.
void markSurvivors(Undelete* u, const std::vector<Listed>& listed, std::uint32_t lastSession) {
  std::unordered_set<std::uint64_t> data, paths;
  for (const Listed& l : listed) {
    if (l.session != lastSession) continue;
    if (l.dataKey != 0) data.insert(l.dataKey);
    paths.insert(l.pathKey);
  }
  for (const Listed& l : listed) {
    if (l.session == lastSession) continue;
    const bool kept = l.dataKey != 0 ? data.count(l.dataKey) != 0 : paths.count(l.pathKey) != 0;
    if (!kept) continue;
    FileRecord* r = Storage_File(u, l.index);
    if (r == nullptr || (r->status & kStatusExisting) != 0) continue;
    r->status = static_cast<std::uint8_t>(r->status | kStatusExisting);
    u->deletedCount.fetch_sub(1, std::memory_order_relaxed);
  }
}

}  // namespace

bool CDFS_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  CdfsVolumeInfo info;
  if (!CDFS_GetVolumeInfo(drive, info)) return false;
  u->scanKey = kNoScanKey;
  Undelete_Log(u, "CDFS_SearchFiles: Searching files on CDFS volume.\n");
  drive->sectorSize = kCdfsBlock;
  // A record from a session file is untrusted like any other.
  const std::uint32_t sessions = std::min(info.sessionCount.get(), kCdfsMaxSessions);
  std::uint64_t deviceBytes = 0;
  if (!CachedDrive_GetSize(drive, &deviceBytes)) deviceBytes = 0;
  const std::uint64_t volumeBlocks = deviceBytes / kCdfsBlock;
  const bool deep = (u->options & kOptDeepScan) != 0;
  // One map for the whole disc: every session's structures and files are marked in it, so that
  // the content search looks only at blocks no session lists.
  if (deep && !CachedDrive_InitMap(drive, volumeBlocks, nullptr, 0)) return false;

  std::uint32_t lastWithTree = 0;
  for (std::uint32_t i = 0; i < sessions; ++i)
    if (info.sessions[i].descriptorType != 0) lastWithTree = i;

  bool found = false;
  try {
    if (!(deep && u->deepScanResume != 0)) {
      std::vector<Listed> listed;
      const std::uint32_t total = deep ? 1000 : 10000;
      for (std::uint32_t i = 0; i < sessions && !stopRequested(u); ++i) {
        const CdfsSession& s = info.sessions[i];
        if (s.descriptorType == 0) continue;
        char name[32];
        std::snprintf(name, sizeof name, "Session %u", i + 1);
        std::u16string wide(name, name + std::char_traits<char>::length(name));
        std::uint32_t folder = 0;
        if (!Storage_AddFolder(u, wide.c_str(), u->rootFolder, 0, 0, i < lastWithTree, false,
                               &folder))
          break;
        u->stageName = "Scanning folders";
        // The system area and descriptor set of the session are structure, not content.
        if (drive->map != nullptr)
          (void)CachedDrive_SetMapRange(drive, s.startBlock.get(),
                                        std::uint64_t{s.descriptorEnd.get()} - s.startBlock.get());
        Walk w{u, drive, i, i == lastWithTree, s.descriptorType == 2, volumeBlocks, &listed, {}};
        const std::uint32_t base = static_cast<std::uint32_t>(std::uint64_t{i} * total / sessions);
        const std::uint32_t span = total / sessions;
        Folder root{folder, nullptr, {}};
        readDirectory(w, root, s.rootExtent.get(), s.rootLength.get(), kFnvOffset, base, span, 0);
        otherHierarchies(w, root, s, listed);
        u->progress = base + span;
        Undelete_Log(u, "\tSession %d scan complete.\n", static_cast<int>(i + 1));
      }
      markSurvivors(u, listed, lastWithTree);
    }
    found = u->fileCount.load() != 0;
    if (deep && !stopRequested(u)) {
      Undelete_Log(u, "\tPerforming DeepScan and FormatRecovery.\n");
      std::uint64_t bits = 0;
      (void)CachedDrive_GetMapBits(&bits, drive);
      u->deepScanTotal = bits;
      (void)FileFormat_ScanHole(u, 1000, 10000);
    }
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
  }
  u->scanKey = kNoScanKey;
  return found;
}
