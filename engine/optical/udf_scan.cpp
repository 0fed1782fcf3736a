// UDF search: the directory tree from the root's entry, deleted identifiers included, and the
// lookup of directories whose entries the deep scan finds.
#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "optical/udf.h"

namespace {

constexpr std::uint32_t kCheckBytes = 51200;
constexpr std::uint64_t kMaxDirectoryBytes = 64ull << 20;  // identifiers of one directory
constexpr std::uint32_t kMaxContinuations = 4096;
constexpr std::size_t kMarkUnknown = 3;  // scanMarks slot of "Unknown location", as NTFS keeps it
constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;

struct Walker {
  Undelete* u;
  CachedDrive* drive;
  UdfContext ctx;
  std::unordered_set<std::uint64_t> seen;  // directory entries already read
};

bool stopRequested(const Undelete* u) noexcept { return isCancelled(u) || u->outOfMemory(); }

bool readBytes(CachedDrive* drive, std::uint64_t offset, std::uint32_t n, std::uint8_t* out) {
  std::uint32_t got = 0;
  return CachedDrive_Read(drive, offset, n, out, &got) && got == n;
}

/// Sets the sectors of @p bytes at physical partition block @p block in the used-sector map.
void markExtent(Walker& w, std::uint32_t block, std::uint64_t bytes) {
  CachedDrive* d = w.drive;
  if (d->map == nullptr || bytes == 0 || d->sectorSize == 0) return;
  const std::uint64_t start = w.ctx.offsetOf(block);
  const std::uint64_t first = start / d->sectorSize;
  const std::uint64_t end = (start + bytes + d->sectorSize - 1) / d->sectorSize;
  (void)CachedDrive_SetMapRange(d, first, end - first);
}

/// Reads the entry at (@p partition, @p block): @p buffer keeps its bytes (embedded data points
/// into it) and @p extents gets its data's extents as physical partition blocks, continuations
/// followed.
bool readEntry(Walker& w, std::uint16_t partition, std::uint32_t block,
               std::vector<std::uint8_t>& buffer, UdfEntry& e, std::vector<UdfExtent>& extents) {
  const std::uint32_t bb = w.ctx.info.blockBytes.get();
  std::uint32_t phys = 0;
  if (!w.ctx.physical(partition, block, phys)) return false;
  buffer.resize(bb);
  markExtent(w, phys, bb);
  if (!readBytes(w.drive, w.ctx.offsetOf(phys), bb, buffer.data())) return false;
  if (UDF_ParseFileEntry(buffer, e) != Parse::Ok) return false;
  extents.clear();
  if (e.allocation == 3) return true;
  std::vector<UdfExtent> raw;
  UdfExtent next{};
  if (!UDF_ParseAllocation(e.descriptors, e.allocation, partition, raw, &next)) return false;
  std::vector<std::uint8_t> more(bb);
  for (std::uint32_t hops = 0; next.length != 0 && hops < kMaxContinuations; ++hops) {
    std::uint32_t at = 0;
    if (!w.ctx.physical(next.partition, next.block, at)) break;
    markExtent(w, at, bb);
    if (!readBytes(w.drive, w.ctx.offsetOf(at), bb, more.data())) break;
    if (UDF_CheckTag(more, kUdfTagAllocationExtent) != Parse::Ok) break;
    ByteReader r(more);
    const auto head = r.read<UdfAllocationExtent>();
    const auto ads =
        head ? r.bytes(std::min<std::size_t>(head->allocationLength.get(), r.remaining()))
             : std::nullopt;
    if (!ads) break;
    const std::uint16_t p = next.partition;
    if (!UDF_ParseAllocation(*ads, e.allocation, p, raw, &next)) break;
  }
  for (const UdfExtent& x : raw) {
    UdfExtent out = x;
    if (x.type == 0 || x.type == 1) {
      if (!w.ctx.physical(x.partition, x.block, out.block)) continue;
    }
    out.partition = 0;
    extents.push_back(out);
  }
  return true;
}

/// The directory's data: its embedded bytes or its extents, an unreadable block read as zeros.
std::vector<std::uint8_t> directoryData(Walker& w, const UdfEntry& e,
                                        const std::vector<UdfExtent>& extents) {
  if (e.allocation == 3) return {e.descriptors.begin(), e.descriptors.end()};
  const std::uint32_t bb = w.ctx.info.blockBytes.get();
  std::vector<std::uint8_t> data;
  for (const UdfExtent& x : extents) {
    if (stopRequested(w.u) || data.size() + x.length > kMaxDirectoryBytes) break;
    const std::size_t at = data.size();
    data.resize(at + x.length);
    if (x.type != 0) continue;  // nothing recorded there
    markExtent(w, x.block, x.length);
    if (readBytes(w.drive, w.ctx.offsetOf(x.block), x.length, data.data() + at)) continue;
    for (std::uint32_t off = 0; off < x.length; off += bb) {
      const std::uint32_t n = std::min(bb, x.length - off);
      if (!readBytes(w.drive, w.ctx.offsetOf(x.block) + off, n, data.data() + at + off))
        std::memset(data.data() + at + off, 0, n);
    }
  }
  return data;
}

std::uint64_t entryTime(const UdfTimestamp& t) noexcept { return UDF_TimestampToFileTime(t); }

void checkRealType(Walker& w, FileRecord& r, const UdfEntry& e,
                   const std::vector<UdfExtent>& extents, std::u16string& name) {
  Undelete* u = w.u;
  const std::uint64_t size = r.size.get();
  if (size == 0) return;
  const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kCheckBytes));
  std::vector<std::uint8_t> data;
  if (e.allocation == 3) {
    data.assign(e.descriptors.begin(),
                e.descriptors.begin() + std::min<std::size_t>(want, e.descriptors.size()));
  } else {
    if (extents.empty() || extents.front().type != 0) return;
    data.resize(std::min(want, extents.front().length));
    if (!readBytes(w.drive, w.ctx.offsetOf(extents.front().block),
                   static_cast<std::uint32_t>(data.size()), data.data()))
      return;
  }
  FormatResult result;
  if (!FileFormat_DetectBytes(data, result)) return;
  const std::size_t length = name.size();
  name.resize(length + 16);
  (void)FileFormat_CheckExtension(&r, result.identifier, (u->options & kOptRenameExtension) != 0, u,
                                  name.data(), name.size());
  name.resize(std::char_traits<char16_t>::length(name.c_str()));
}

void addFile(Walker& w, const UdfIdentifier& id, std::uint32_t parentFolder, bool deleted) {
  Undelete* u = w.u;
  std::vector<std::uint8_t> buffer;
  UdfEntry e;
  std::vector<UdfExtent> extents;
  if (!readEntry(w, id.icbPartition, id.icbBlock, buffer, e, extents)) return;
  FileRecord r{};
  r.folder.set(parentFolder);
  r.size.set(e.informationLength);
  r.volumeOffset.set(w.drive->windowStart);
  r.modified.set(entryTime(e.modification));
  r.created.set(entryTime(e.attribute));
  r.accessed.set(entryTime(e.access));
  r.rootName.set(u->rootName);
  r.overwrittenBy.set(0xFFFFFFFFu);
  r.totalClusters.set(e.blocksRecorded & 0xFFFFFFFFu);
  r.status = static_cast<std::uint8_t>((kStateExcellent << 1) | (deleted ? 0 : kStatusExisting));
  std::uint8_t attributes = 0;
  if (id.characteristics & kUdfFidHidden) attributes |= kAttrHidden;
  if (e.icbFlags & 0x20) attributes |= kAttrArchive;
  if (e.icbFlags & 0x400) attributes |= kAttrSystem;
  r.attributes = attributes;
  r.location.set(static_cast<std::uint16_t>(kKindUdf << 12));
  r.fsIndex.set(w.drive->fsCurrent);

  std::u16string name = id.name;
  if ((u->options & kOptTestExtension) != 0 && (deleted || (u->options & kOptTestAll) != 0))
    checkRealType(w, r, e, extents, name);
  const std::vector<std::uint8_t> locator =
      UDF_EncodeLocator(extents, e.descriptors, e.allocation == 3);
  std::uint32_t nameRef = 0, locatorRef = 0;
  if (!Storage_AddString(u, name.c_str(), &nameRef)) return;
  if (!Storage_AddBlob(u, locator.data(), static_cast<std::uint32_t>(locator.size()), &locatorRef))
    return;
  r.name.set(nameRef);
  r.locator.set(locatorRef);
  if (!Storage_AddFile(u, &r, false)) return;
  for (const UdfExtent& x : extents)
    if (x.type != 2) markExtent(w, x.block, x.length);
}

struct SubDirectory {
  std::uint16_t partition;
  std::uint32_t block;
  std::uint32_t folder;
  bool deleted;
};

void readDirectory(Walker& w, std::uint16_t partition, std::uint32_t icbBlock,
                   std::uint32_t parentFolder, bool deleted, std::uint32_t progressBase,
                   std::uint32_t progressSpan, std::uint32_t depth) {
  Undelete* u = w.u;
  // A directory met twice (a loop, or a second link to it) is read once.
  if (depth > kUdfMaxDepth) return;
  if (!w.seen.insert((std::uint64_t{partition} << 32) | icbBlock).second) return;
  std::vector<std::uint8_t> buffer;
  UdfEntry e;
  std::vector<UdfExtent> extents;
  if (!readEntry(w, partition, icbBlock, buffer, e, extents)) return;
  const std::vector<std::uint8_t> data = directoryData(w, e, extents);

  std::vector<SubDirectory> found;
  std::size_t at = 0;
  while (at + sizeof(UdfFileIdentifier) <= data.size() && !stopRequested(u)) {
    UdfIdentifier id;
    const Parse p = UDF_ParseIdentifier(data, at, id);
    if (p == Parse::NotThis) break;
    if (p == Parse::Corrupt) {
      at += 4;  // damaged or zeroed bytes: look for the next identifier word by word
      continue;
    }
    at += id.length;
    if (!id.valid || (id.characteristics & kUdfFidParent) != 0) continue;
    const bool gone = deleted || (id.characteristics & kUdfFidDeleted) != 0;
    if ((id.characteristics & kUdfFidDirectory) != 0) {
      const std::uint8_t attributes = (id.characteristics & kUdfFidHidden) ? kAttrHidden : 0;
      std::uint32_t folder = 0;
      if (!Storage_AddFolder(u, id.name.c_str(), parentFolder, 0, attributes, gone, false, &folder))
        continue;
      found.push_back({id.icbPartition, id.icbBlock, folder, gone});
    } else if (id.icbBlock != 0) {
      addFile(w, id, parentFolder, gone);
    }
  }

  const auto n = static_cast<std::uint32_t>(found.size());
  for (std::uint32_t k = 0; k < n && !stopRequested(u); ++k) {
    const std::uint32_t p =
        progressBase + static_cast<std::uint32_t>(std::uint64_t{k} * progressSpan / n);
    u->progress = p;
    readDirectory(w, found[k].partition, found[k].block, found[k].folder, found[k].deleted, p,
                  progressSpan / n, depth + 1);
  }
  if (progressSpan != 0) u->progress = progressBase + progressSpan;
}

}  // namespace

bool UDF_ReadDirectory(Undelete* u, std::uint32_t icbBlock, std::uint16_t partition,
                       std::uint32_t parentFolder, bool deleted, std::uint32_t progressBase,
                       std::uint32_t progressSpan) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  try {
    Walker w{u, u->drive, {}, {}};
    if (!UDF_GetContext(u->drive, w.ctx)) return false;
    readDirectory(w, partition, icbBlock, parentFolder, deleted, progressBase, progressSpan, 0);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
  }
  return u->fileCount.load() != 0;
}

bool UDF_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  UdfContext ctx;
  try {
    if (!UDF_GetContext(drive, ctx)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  u->scanKey = kNoScanKey;
  const bool deep = (u->options & kOptDeepScan) != 0;
  if (deep) {
    // The whole device: the partition does not start at sector 0, and what lies outside it
    // is content too.
    std::uint64_t bytes = 0;
    if (!CachedDrive_GetSize(drive, &bytes) || drive->sectorSize == 0 ||
        !CachedDrive_InitMap(drive, bytes / drive->sectorSize, nullptr, 0))
      return false;
    // The system area and the volume descriptors in front of the partition are structure.
    (void)CachedDrive_SetMapRange(drive, 0, ctx.offsetOf(0) / drive->sectorSize);
  }
  if (!(deep && u->deepScanResume != 0)) {
    u->stageName = "Scanning folders";
    (void)UDF_ReadDirectory(u, ctx.info.rootIcb.get(), ctx.rootPartition, u->rootFolder, false, 0,
                            deep ? 1000 : 10000);
  }
  const bool found = u->fileCount.load() != 0;
  if (deep && !stopRequested(u)) {
    Undelete_Log(u, "\tPerforming DeepScan and FormatRecovery.\n");
    std::uint64_t bits = 0;
    (void)CachedDrive_GetMapBits(&bits, drive);
    u->deepScanTotal = bits;
    (void)FileFormat_ScanHole(u, 1000, 10000);
  }
  u->scanKey = kNoScanKey;
  return found;
}

bool UDF_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept {
  if (u == nullptr || offset == ~std::uint64_t{0} || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  if (drive->fsCount == 0) return false;
  (void)CachedDrive_SelectFileSystem(drive, 0);
  try {
    UdfContext ctx;
    if (!UDF_GetContext(drive, ctx)) return false;
    const std::uint32_t bb = ctx.info.blockBytes.get();
    std::vector<std::uint8_t> block(bb);
    if (!readBytes(drive, offset, bb, block.data())) return false;
    UdfEntry e;
    if (UDF_ParseFileEntry(block, e) != Parse::Ok || e.fileType != 4) return false;
    // At its own recorded place, in the physical partition or in the metadata partition.
    const std::uint32_t location = loadLe<std::uint32_t>(block.data() + offsetof(UdfTag, location));
    std::uint16_t partition = 0xFFFF;
    std::uint32_t phys = 0;
    if (ctx.offsetOf(location) == offset) {
      partition = ctx.metadataRef == 0 ? 1 : 0;
    } else if (ctx.metadataRef != 0xFFFF && ctx.physical(ctx.metadataRef, location, phys) &&
               ctx.offsetOf(phys) == offset) {
      partition = ctx.metadataRef;
    }
    if (partition == 0xFFFF) return false;
    if (u->scanMarks[kMarkUnknown] == kNoFolder) {
      std::uint32_t folder = 0;
      if (!Storage_AddFolder(u, u"Unknown location", u->rootFolder, 0xFFFF, 0, true, false,
                             &folder))
        return false;
      u->scanMarks[kMarkUnknown] = folder;
    }
    (void)UDF_ReadDirectory(u, location, partition, u->scanMarks[kMarkUnknown], true, 0, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
