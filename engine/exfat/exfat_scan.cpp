// exFAT directory search: walks the tree from the root, deleted entry sets and deleted directories
// included, and lists every plausible entry set as a file or folder record. Then estimates states
// and, with the deep-scan option, hands the free clusters to the content scan.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "exfat/exfat.h"

namespace {

constexpr std::uint32_t kCheckBytes = 51200;  // bytes the content check looks at

/// A directory still to be read.
struct Directory {
  std::uint32_t first = 0;
  bool noFatChain = false;
  std::uint64_t bytes = 0;  // data length; the root's is unknown (its chain ends it)
  bool root = false;
  std::uint32_t folder = 0;
  bool deleted = false;  // the directory or one above it is deleted
  std::uint32_t depth = 0;
};

bool stopRequested(const Undelete* u) noexcept {
  return u->cancelEvent.isSet() || u->totalCancelEvent.isSet() || u->outOfMemory();
}

class Walker {
 public:
  Walker(Undelete* u, const ExfatGeometry& g, const char16_t* upcase)
      : m_u(u), m_drive(u->drive), m_g(g), m_upcase(upcase) {}

  /// Reads the live tree depth first, then the deleted directories met on the way (and those
  /// below them): a live directory that now uses a deleted one's clusters is read first, under
  /// its own path.
  void run(std::uint32_t rootFolder, std::uint32_t progressSpan) {
    Directory root;
    root.first = m_g.rootCluster;
    root.bytes = kExfatMaxDirectoryBytes;
    root.root = true;
    root.folder = rootFolder;
    m_span = progressSpan;
    search(root);
    for (std::size_t i = 0; i < m_deferred.size() && !stopRequested(m_u); ++i) {
      const Directory d = m_deferred[i];  // the vector may grow while this one is read
      search(d);
    }
  }

 private:
  /// Reads one directory's clusters (not those another structure already took) into m_data.
  bool read(const Directory& d, std::vector<std::uint8_t>& data, std::vector<std::uint64_t>& at) {
    const std::uint64_t bytes = std::min(d.bytes, kExfatMaxDirectoryBytes);
    ExfatClusterWalk walk(m_g, d.first, d.noFatChain, bytes, d.root);
    std::uint32_t c = 0;
    while (walk.next(c) && !stopRequested(m_u)) {
      const std::uint64_t sector = EXFAT_ClusterSector(m_g, c);
      for (std::uint32_t s = 0; s < m_g.sectorsPerCluster; ++s) {
        if (CachedDrive_TestMapBit(m_drive, sector + s)) {
          Undelete_Log(m_u, "EXFAT_Search: Directory sector is already used by some structure.\n");
          return true;
        }
      }
      (void)CachedDrive_SetMapRange(m_drive, sector, m_g.sectorsPerCluster);
      const std::size_t old = data.size();
      data.resize(old + m_g.clusterBytes);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(m_drive, sector * m_g.sectorSize, m_g.clusterBytes, data.data() + old,
                            &got) ||
          got != m_g.clusterBytes) {
        Undelete_Log(m_u, "EXFAT_Search: CachedDrive_Read error.\n");
        data.resize(old);
        return true;
      }
      at.push_back(sector * m_g.sectorSize);
      // The end-of-directory entry ends the read: nothing after it was ever used.
      for (std::size_t e = old; e < data.size(); e += 32)
        if (data[e] == 0) return true;
    }
    return true;
  }

  void search(const Directory& d) {
    if (d.depth > kExfatMaxDepth || stopRequested(m_u)) return;
    std::vector<std::uint8_t> data;
    std::vector<std::uint64_t> clusterAt;  // volume byte offset of each cluster read
    if (!read(d, data, clusterAt)) return;
    const std::size_t entries = data.size() / 32;
    for (std::size_t i = 0; i < entries && !stopRequested(m_u);) {
      const std::uint8_t type = data[i * 32];
      if (type == 0) break;
      if ((type & 0x7F) != (kExfatEntryFile & 0x7F)) {
        ++i;
        continue;
      }
      ExfatEntrySet set;
      const auto rest = std::span<const std::uint8_t>(data).subspan(i * 32);
      if (EXFAT_ParseEntrySet(rest, m_upcase, set) != Parse::Ok || !EXFAT_PlausibleSet(m_g, set)) {
        ++i;  // a damaged or partly reused set: the next entry may start a good one
        continue;
      }
      const std::uint64_t byteAt = i * 32;
      m_u->scanKey = clusterAt[byteAt / m_g.clusterBytes] + byteAt % m_g.clusterBytes;
      try {
        if (set.directory())
          addDirectory(d, set);
        else
          addFile(d, set);
      } catch (const std::bad_alloc&) {
        Host_SetLastError(kErrMemory);
      }
      m_u->scanKey = kNoScanKey;
      i += set.entries;
    }
    m_u->scanKey = kNoScanKey;
    if (d.depth <= 1 && !d.deleted) {
      m_u->progress = std::min<std::uint32_t>(m_u->progress + m_span / 64, m_span);
    }
  }

  void addDirectory(const Directory& parent, const ExfatEntrySet& set) {
    const bool deleted = set.deleted || parent.deleted;
    std::uint32_t folder = 0;
    if (!Storage_AddFolder(m_u, set.name, parent.folder, 0, EXFAT_MapAttributes(set.attributes),
                           deleted, false, &folder)) {
      return;
    }
    if (set.dataLength == 0) return;
    Directory child;
    child.first = set.firstCluster;
    child.noFatChain = set.noFatChain();
    child.bytes = set.dataLength;
    child.folder = folder;
    child.deleted = deleted;
    child.depth = parent.depth + 1;
    m_u->scanKey = kNoScanKey;
    if (deleted) {
      m_deferred.push_back(child);
    } else {
      search(child);
    }
  }

  void addFile(const Directory& parent, const ExfatEntrySet& set) {
    FileRecord r{};
    r.folder.set(parent.folder);
    r.size.set(set.dataLength);
    r.volumeOffset.set(m_drive->windowStart);
    bool utc = false;
    const auto time = [&](std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t offset) {
      const std::uint64_t t = EXFAT_TimeToFileTime(stamp, tenMs, offset, utc);
      return utc ? FileTime_UtcToLocal(t) : t;
    };
    r.modified.set(time(set.file.modified.get(), set.file.modified10ms, set.file.modifiedUtc));
    r.created.set(time(set.file.created.get(), set.file.created10ms, set.file.createdUtc));
    r.accessed.set(time(set.file.accessed.get(), 0, set.file.accessedUtc));
    r.rootName.set(m_u->rootName);
    r.overwrittenBy.set(0xFFFFFFFFu);
    r.totalClusters.set((set.dataLength + m_g.clusterBytes - 1) / m_g.clusterBytes);
    const bool existing = !set.deleted && !parent.deleted;
    r.status = static_cast<std::uint8_t>((existing ? kStatusExisting : 0) | (kStatePoor << 1));
    r.attributes = EXFAT_MapAttributes(set.attributes);
    r.location.set(static_cast<std::uint16_t>(kKindExfat << 12));
    r.fsIndex.set(m_drive->fsCurrent);

    ExfatLocator locator{};
    locator.firstCluster.set(set.firstCluster);
    locator.flags.set(set.streamFlags);
    locator.validDataLength.set(set.validDataLength);

    // The name may grow by an extension in the content check.
    char16_t name[256 + 16];
    std::memcpy(name, set.name, (set.nameLength + 1) * sizeof(char16_t));
    const std::uint32_t options = m_u->options;
    if ((options & kOptTestExtension) != 0 && (!existing || (options & kOptTestAll) != 0))
      checkRealType(r, set, (options & kOptRenameExtension) != 0, name, std::size(name));
    std::uint32_t nameRef = 0, locatorRef = 0;
    if (!Storage_AddString(m_u, name, &nameRef)) return;
    if (!Storage_AddBlob(m_u, &locator, sizeof locator, &locatorRef)) return;
    r.name.set(nameRef);
    r.locator.set(locatorRef);
    (void)Storage_AddFile(m_u, &r, false);
  }

  /// Content check: the format detector over the first 50 KiB, then the extension check.
  void checkRealType(FileRecord& r, const ExfatEntrySet& set, bool rename, char16_t* name,
                     std::size_t capacity) {
    const auto want = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::min(set.dataLength, set.validDataLength), kCheckBytes));
    if (want == 0) return;
    std::vector<std::uint8_t> data(want);
    std::uint32_t have = 0;
    ExfatClusterWalk walk(m_g, set.firstCluster, set.noFatChain(), want);
    std::uint32_t c = 0;
    while (have < want && walk.next(c)) {
      const std::uint32_t piece = std::min(want - have, m_g.clusterBytes);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(m_drive, EXFAT_ClusterSector(m_g, c) * m_g.sectorSize, piece,
                            data.data() + have, &got) ||
          got != piece) {
        break;
      }
      have += piece;
    }
    if (have == 0) return;
    FormatResult result;
    if (!FileFormat_DetectBytes(std::span<const std::uint8_t>(data.data(), have), result)) return;
    (void)FileFormat_CheckExtension(&r, result.identifier, rename, m_u, name, capacity);
  }

  Undelete* m_u;
  CachedDrive* m_drive;
  const ExfatGeometry& m_g;
  const char16_t* m_upcase;
  std::uint32_t m_span = 0;
  std::vector<Directory> m_deferred;
};

/// The up-case table, expanded, when recognition found one whose checksum matched.
std::unique_ptr<char16_t[]> loadUpcase(CachedDrive* drive, const ExfatGeometry& g) {
  ExfatVolumeInfo info;
  if (!EXFAT_GetVolumeInfo(drive, info) || (info.flags.get() & kExfatInfoUpcaseOk) == 0)
    return nullptr;
  const std::uint32_t bytes = info.upcaseBytes.get();
  std::vector<std::uint8_t> table(bytes);
  ExfatClusterWalk walk(g, info.upcaseCluster.get(), false, bytes);
  std::uint32_t c = 0;
  for (std::uint32_t done = 0; done < bytes;) {
    const std::uint32_t piece = std::min(bytes - done, g.clusterBytes);
    std::uint32_t got = 0;
    if (!walk.next(c) ||
        !CachedDrive_Read(drive, EXFAT_ClusterSector(g, c) * g.sectorSize, piece,
                          table.data() + done, &got) ||
        got != piece) {
      return nullptr;
    }
    done += piece;
  }
  auto map = std::make_unique<char16_t[]>(kExfatUpcaseChars);
  if (!EXFAT_ExpandUpcase(table,
                          std::span<char16_t, kExfatUpcaseChars>(map.get(), kExfatUpcaseChars)))
    return nullptr;
  return map;
}

}  // namespace

bool EXFAT_SearchFiles(Undelete* u) noexcept {
  if (u == nullptr) return false;
  CachedDrive* drive = u->drive;
  ExfatGeometry g;
  std::uint64_t volumeBytes = 0;
  if (!EXFAT_GetGeometry(drive, g) || !CachedDrive_GetSize(drive, &volumeBytes) ||
      !CachedDrive_InitMap(drive, volumeBytes / g.sectorSize, nullptr, 0)) {
    return u->files != nullptr;
  }
  const bool deep = (u->options & kOptDeepScan) != 0;
  if (drive->fsCurrent == 0) {
    // Boot regions and tables are structure, not content.
    (void)CachedDrive_SetMapRange(drive, 0, g.clusterHeapOffset);
  }
  if (!(deep && u->deepScanResume != 0)) {
    u->stageName = "Scanning folders";
    u->deepScanTotal = 0;
    try {
      const auto upcase = loadUpcase(drive, g);
      Walker walker(u, g, upcase.get());
      walker.run(u->rootFolder, deep ? 1000u : 10000u);
      Undelete_Log(u, "EXFAT_SearchFiles: Search successful.\n");
    } catch (const std::bad_alloc&) {
      Undelete_Log(u, "EXFAT_SearchFiles: Out of memory.\n");
      Host_SetLastError(kErrMemory);
    }
    u->progress = deep ? 1000u : 10000u;
  }
  u->stageName = "Estimating files state";
  Undelete_Log(u, "\tEstimating files state.\n");
  (void)EXFAT_GetDamage(u);
  if (!u->outOfMemory() && !isCancelled(u) && deep) {
    Undelete_Log(u, "\tPerforming DeepScan.\n");
    std::uint64_t bits = 0;
    (void)CachedDrive_GetMapBits(&bits, drive);
    u->deepScanTotal = bits;
    (void)FileFormat_ScanHole(u, 1000, 9500);
  }
  return u->files != nullptr;
}
