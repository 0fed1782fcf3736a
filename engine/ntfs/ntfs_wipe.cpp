// NTFS wiping: the volume bitmap from $Bitmap for the volume controls, one deleted file's clusters
// (and those of its named streams) through the scratch file, every free cluster, and the free file
// records that still hold names and small resident files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/le.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "host/host.h"
#include "host/host_volume_control.h"
#include "ntfs/ntfs.h"

namespace {

constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::uint64_t kFirstUserRecord = 16;
constexpr std::uint32_t kBitmapPieceBytes = 256;  // 2048 clusters a request
constexpr std::uint64_t kMaxRunBytes = 8u << 20;

bool cancelled(const Undelete* u) noexcept { return u->cancelEvent.isSet(); }

/// Reads MFT records 0.. in order, giving each one's bytes and byte offset on the drive.
class MftWalker {
 public:
  MftWalker(CachedDrive* drive, const NtfsVolume& volume) : m_drive(drive), m_volume(volume) {}
  bool open() {
    NtfsParsedRecord mft;
    if (!NTFS_ReadMftDescription(m_drive, m_volume, mft)) return false;
    const std::uint32_t rb = m_volume.info.recordBytes.get();
    if (rb == 0) return false;
    m_count = mft.size / rb;
    m_reader.cursor.load(mft.data, m_volume.info.clusterCount.get());
    m_record.resize(rb);
    return true;
  }
  [[nodiscard]] std::uint64_t count() const noexcept { return m_count; }
  [[nodiscard]] std::uint64_t index() const noexcept { return m_next; }
  /// The next record's raw bytes (no fix-up applied) and offset; false at the end.
  bool next(std::span<std::uint8_t>* bytes, std::uint64_t* offset) {
    if (m_next >= m_count) return false;
    if (!NTFS_ReadFileRecord(m_drive, m_volume, m_reader, m_record, offset)) return false;
    ++m_next;
    *bytes = m_record;
    return true;
  }

 private:
  CachedDrive* m_drive;
  const NtfsVolume& m_volume;
  NtfsRecordReader m_reader;
  std::vector<std::uint8_t> m_record;
  std::uint64_t m_count = 0;
  std::uint64_t m_next = 0;
};

void setFreeProgress(Undelete* u, std::uint64_t bytes) noexcept {
  if (u->wipeTotal == 0) return;
  const bool twoPhases = (u->wipeFlags & 1u) != 0;
  const std::uint64_t span = twoPhases ? 5000 : 10000;
  std::uint64_t p = std::min<std::uint64_t>(bytes, u->wipeTotal) * span / u->wipeTotal;
  if (twoPhases) p += 5000;
  u->wipeProgress.store(static_cast<std::uint32_t>(p), std::memory_order_relaxed);
}

/// Overwrites the data clusters of one run list, at most @p bytes of the stream's length.
bool wipeRunList(Undelete* u, HostVolume& volume, HostScratchFile& scratch,
                 const std::uint8_t* list, std::uint32_t length, std::uint64_t bytes,
                 std::vector<std::uint8_t>& buffer, std::atomic<std::uint64_t>* bytesDone) {
  const std::uint32_t cb = volume.bitmap().clusterBytes;
  RunCursor cursor;
  cursor.load(std::span(list, length), volume.bitmap().clusterCount);
  std::uint64_t first = 0, count = 0, done = 0;
  std::uint64_t left = (bytes + cb - 1) / cb;  // clusters of the stream still to wipe
  bool sparse = false;
  while (left > 0 && !cancelled(u) && cursor.nextRun(&first, &count, &sparse)) {
    const std::uint64_t n = std::min(count, left);
    left -= n;
    if (sparse) continue;  // a hole has no clusters
    if (!Wipe_OverwriteClusters(u, volume, scratch, first, n, buffer)) return false;
    done += n * cb;
    if (bytesDone != nullptr) bytesDone->store(std::min(done, bytes), std::memory_order_relaxed);
  }
  return true;
}

/// Applies the update sequence again after the record changed (USN kept): the last two bytes of
/// every block go to the array and the USN takes their place. False for an unsound array.
bool protectRecord(std::span<std::uint8_t> r) noexcept {
  if (r.size() < 0x30) return false;
  const std::uint32_t usaOffset = loadLe<std::uint16_t>(r.data() + 0x04);
  const std::uint32_t usaCount = loadLe<std::uint16_t>(r.data() + 0x06);
  const auto blocks = static_cast<std::uint32_t>(r.size() / kNtfsFixupStride);
  if (usaCount != blocks + 1 || usaOffset < 0x28 || usaOffset + usaCount * 2u > r.size())
    return false;
  const std::uint16_t usn = loadLe<std::uint16_t>(r.data() + usaOffset);
  for (std::uint32_t i = 0; i < blocks; ++i) {
    std::uint8_t* end = r.data() + (i + 1) * kNtfsFixupStride - 2;
    std::memcpy(r.data() + usaOffset + 2 * (i + 1), end, 2);
    storeLe<std::uint16_t>(end, usn);
  }
  return true;
}

/// Turns a free record into an empty one: header kept, no attributes, update sequence redone.
/// False (record untouched) when its header is not sound enough to rewrite.
bool blankRecord(std::span<std::uint8_t> r) noexcept {
  if (r.size() < 0x40 || std::memcmp(r.data(), "FILE", 4) != 0) return false;
  const std::uint32_t usaOffset = loadLe<std::uint16_t>(r.data() + 0x04);
  const std::uint32_t usaCount = loadLe<std::uint16_t>(r.data() + 0x06);
  const std::uint32_t attrs = loadLe<std::uint16_t>(r.data() + 0x14);
  const std::uint32_t blocks = static_cast<std::uint32_t>(r.size() / kNtfsFixupStride);
  if (usaCount != blocks + 1 || usaOffset < 0x28 || usaOffset + usaCount * 2u > attrs ||
      attrs % 8 != 0 || attrs + 8 > r.size())
    return false;
  std::memset(r.data() + attrs, 0, r.size() - attrs);
  storeLe<std::uint32_t>(r.data() + attrs, 0xFFFFFFFFu);  // end of attributes
  storeLe<std::uint32_t>(r.data() + attrs + 4, 0);
  storeLe<std::uint16_t>(r.data() + 0x12, 0);          // links
  storeLe<std::uint16_t>(r.data() + 0x16, 0);          // flags: not in use
  storeLe<std::uint32_t>(r.data() + 0x18, attrs + 8);  // bytes in use
  storeLe<std::uint64_t>(r.data() + 0x20, 0);          // base record
  storeLe<std::uint16_t>(r.data() + 0x28, 0);          // next attribute id
  std::uint16_t usn = static_cast<std::uint16_t>(loadLe<std::uint16_t>(r.data() + usaOffset) + 1);
  if (usn == 0 || usn == 0xFFFF) usn = 1;
  storeLe<std::uint16_t>(r.data() + usaOffset, usn);
  return protectRecord(r);
}

/// In a free record (fix-up removed): sets the unnamed data's sizes to 0, so that nothing points
/// at the clusters that were just overwritten. False when there is no such attribute.
bool detachData(std::span<std::uint8_t> r) noexcept {
  if ((loadLe<std::uint16_t>(r.data() + 0x16) & 1u) != 0) return false;  // in use again
  std::size_t at = loadLe<std::uint16_t>(r.data() + 0x14);
  for (int guard = 0; guard < 256 && at + 0x40 <= r.size(); ++guard) {
    const std::uint32_t type = loadLe<std::uint32_t>(r.data() + at);
    const std::uint32_t length = loadLe<std::uint32_t>(r.data() + at + 4);
    if (type == 0xFFFFFFFFu || length < 0x18 || length > r.size() - at) return false;
    if (type == 0x80 && r[at + 8] == 1 && r[at + 9] == 0 && length >= 0x40 &&
        loadLe<std::uint64_t>(r.data() + at + 0x10) == 0) {
      storeLe<std::uint64_t>(r.data() + at + 0x30, 0);  // data size
      storeLe<std::uint64_t>(r.data() + at + 0x38, 0);  // initialized size
      return true;
    }
    at += length;
  }
  return false;
}

/// Record is free: "FILE" with the in-use flag clear. Damaged records are left as they are.
bool isFreeRecord(std::span<const std::uint8_t> r) noexcept {
  return r.size() >= 0x30 && std::memcmp(r.data(), "FILE", 4) == 0 &&
         (loadLe<std::uint16_t>(r.data() + 0x16) & 1u) == 0;
}

}  // namespace

bool NTFS_ReadVolumeBitmap(CachedDrive* drive, HostVolumeBitmap& out) noexcept {
  NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  try {
    const std::uint32_t cb = volume->info.clusterBytes.get();
    const std::uint64_t clusters = volume->info.clusterCount.get();
    if (cb == 0 || clusters == 0) return false;
    MftWalker walker(drive, *volume);
    if (!walker.open()) return false;
    std::span<std::uint8_t> bytes;
    std::uint64_t at = 0;
    while (walker.index() <= kBitmapRecord)
      if (!walker.next(&bytes, &at)) return false;
    NtfsParsedRecord rec;
    if (NTFS_ParseFileRecord(bytes, rec) != Parse::Ok || rec.runListLength == 0) return false;
    const std::uint64_t need = (clusters + 7) / 8;
    out = HostVolumeBitmap{};
    out.clusterBytes = cb;
    out.firstClusterOffset = volume->info.volumeStart.get();
    out.clusterCount = clusters;
    out.bits.assign(need, 0xFF);  // what $Bitmap does not cover stays in use
    RunCursor cursor;
    cursor.load(rec.data, clusters);
    std::uint64_t first = 0, count = 0, have = 0;
    bool sparse = false;
    std::vector<std::uint8_t> piece(cb);
    while (have < need && cursor.nextRun(&first, &count, &sparse)) {
      for (std::uint64_t i = 0; i < count && have < need; ++i) {
        if (sparse) return false;
        std::uint32_t got = 0;
        if (!CachedDrive_Read(drive, out.firstClusterOffset + (first + i) * cb, cb, piece.data(),
                              &got) ||
            got != cb)
          return false;
        const std::uint64_t n = std::min<std::uint64_t>(cb, need - have);
        std::memcpy(out.bits.data() + have, piece.data(), n);
        have += n;
      }
    }
    if (have < need) return false;
    for (std::uint64_t c = clusters; c < need * 8; ++c) out.setUsed(c);
    return true;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}

bool NTFS_WipeFile(Undelete* u, FileRecord* record, HostVolume* volume, HostScratchFile* scratch,
                   std::uint32_t clusterBytes, std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || volume == nullptr || scratch == nullptr ||
      clusterBytes == 0 || !volume->isOpen() || volume->bitmap().clusterBytes != clusterBytes)
    return false;
  const auto* info = Storage_Get<NtfsFileInfo>(u, record->locator.get());
  if (info == nullptr || info->recordNumber.get() == kNtfsNoRecord) return true;
  bool ok = true;
  try {
    std::vector<std::uint8_t> buffer(scratch->size());
    if (info->runListLength.get() != 0) {
      Undelete_Log(u, "NTFS_WipeFile: File data is not resident.\n");
      const auto* list = static_cast<const std::uint8_t*>(
          Storage_Block(u, info->data.get(), info->dataLength.get()));
      if (list != nullptr)
        ok = wipeRunList(u, *volume, *scratch, list, info->dataLength.get(), record->size.get(),
                         buffer, bytesDone);
    }
    std::uint32_t ref = info->streams.get();
    for (int guard = 0; ok && ref != 0 && guard < 4096 && !cancelled(u); ++guard) {
      const auto* s = Storage_Get<NtfsStream>(u, ref);
      if (s == nullptr) break;
      const auto* list = static_cast<const std::uint8_t*>(
          Storage_Block(u, s->data.get(), s->runListLength.get()));
      if (s->runListLength.get() != 0 && list != nullptr) {
        Undelete_Log(u, "NTFS_WipeFile: Stream data is not resident.\n");
        // Resident streams live in the record: the free-record fill takes care of them.
        ok = wipeRunList(u, *volume, *scratch, list, s->runListLength.get(), s->size.get(), buffer,
                         bytesDone);
      }
      ref = s->next.get();
    }
    // The free record keeps pointing at the overwritten clusters; with its data size 0 no
    // scanner or recoverer takes them for the file's content any more.
    NtfsVolume* ntfs = NTFS_CurrentVolume(u->drive);
    if (ok && !cancelled(u) && ntfs != nullptr) {
      MftWalker walker(u->drive, *ntfs);
      std::span<std::uint8_t> bytes;
      std::uint64_t at = 0;
      const std::uint64_t wanted = info->recordNumber.get();
      if (walker.open() && wanted < walker.count()) {
        bool found = true;
        while (found && walker.index() <= wanted) found = walker.next(&bytes, &at);
        std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
        if (found && NTFS_ApplyFixup(copy, kNtfsFixupStride) && detachData(copy) &&
            protectRecord(copy))
          ok = volume->writeRaw(at, copy.data(), static_cast<std::uint32_t>(copy.size()));
      }
    }
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    ok = false;
  }
  if (u->drive != nullptr) u->drive->cacheStart = ~std::uint64_t{0};
  return ok;
}

bool NTFS_WipeFreeClusters(Undelete* u, HostVolume* volume, std::uint32_t clusterBytes,
                           std::uint64_t bytesBefore) noexcept {
  if (u == nullptr || volume == nullptr || !volume->isOpen() || clusterBytes == 0 ||
      volume->bitmap().clusterBytes != clusterBytes)
    return false;
  std::vector<std::uint8_t> buffer;
  // 2048 clusters a write, but never more than 8 MiB at once: a run longer than the buffer is
  // written piece by piece.
  const std::uint64_t runMax = std::max<std::uint64_t>(
      1, std::min({std::uint64_t{kBitmapPieceBytes} * 8, kMaxRunBytes / clusterBytes,
                   volume->bitmap().clusterCount}));
  if (clusterBytes > kMaxRunBytes) return false;
  try {
    buffer.resize(runMax * clusterBytes);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  const std::uint64_t base = volume->bitmap().firstClusterOffset;
  std::uint8_t bits[kBitmapPieceBytes];
  std::uint64_t lcn = 0;
  bool ok = true, more = true;
  while (more && ok && !cancelled(u)) {
    std::uint64_t first = 0, count = 0;
    if (!volume->getBitmap(lcn, bits, sizeof bits, &first, &count, &more)) break;
    std::uint64_t runStart = 0, runLength = 0;
    const auto flushRun = [&] {
      for (std::uint64_t done = 0; done < runLength && ok;) {
        const std::uint64_t n = std::min(runMax, runLength - done);
        if (!Wipe_WriteRun(method, passes, static_cast<std::uint32_t>(n * clusterBytes),
                           base + (runStart + done) * clusterBytes, buffer.data(), *volume))
          ok = false;
        done += n;
      }
      runLength = 0;
    };
    for (std::uint64_t i = 0; i < count; ++i) {
      if (((bits[i / 8] >> (i % 8)) & 1u) != 0) {
        flushRun();
      } else if (runLength++ == 0) {
        runStart = first + i;
      }
    }
    flushRun();  // no run spans two pieces
    lcn = first + count;
    setFreeProgress(u, bytesBefore + lcn * clusterBytes);
  }
  return ok;
}

bool NTFS_FillFreeRecords(Undelete* u, HostVolume* volume) noexcept {
  if (u == nullptr) return false;
  NtfsVolume* ntfs = NTFS_CurrentVolume(u->drive);
  if (ntfs == nullptr) return false;
  u->stageName = "Wiping file entries";
  const bool halves = (u->wipeFlags & 1u) != 0;
  try {
    MftWalker walker(u->drive, *ntfs);
    if (!walker.open()) return false;
    std::span<std::uint8_t> bytes;
    std::uint64_t at = 0, freeRecords = 0;
    const std::uint64_t total = std::max<std::uint64_t>(walker.count(), 1);
    bool ok = true;
    while (!cancelled(u) && walker.next(&bytes, &at)) {
      const std::uint64_t i = walker.index() - 1;
      if (halves) u->wipeProgress.store(static_cast<std::uint32_t>(i * 2500 / total));
      if (i < kFirstUserRecord || !isFreeRecord(bytes)) continue;
      ++freeRecords;
      if (volume == nullptr || !volume->isOpen()) continue;
      std::vector<std::uint8_t> blank(bytes.begin(), bytes.end());
      // The record as it lies on disk (fix-up applied or not, the header fields are the same).
      if (!blankRecord(blank)) continue;
      if (!volume->writeRaw(at, blank.data(), static_cast<std::uint32_t>(blank.size()))) {
        ok = false;
        break;
      }
    }
    if (volume == nullptr || !volume->isOpen()) {
      // Mounted: let the driver reuse the free records for empty hidden files, then drop them.
      const std::string root =
          Host_ResolveDrivePath(std::string(1, static_cast<char>(u->wipeLetter)) + ":\\");
      const int dir =
          root.empty() ? -1 : ::open(root.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (dir < 0) {
        Undelete_Log(u, "NTFS_FillFreeRecords: The volume has no mount point.\n");
        return false;
      }
      std::vector<std::string> made;
      for (std::uint64_t k = 0; k < freeRecords && !cancelled(u); ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "$$%06llu.$$$", static_cast<unsigned long long>(k));
        const int fd = Wipe_CreateTemporary(dir, name);
        if (fd < 0) break;  // full MFT or directory: the rest stay as they are
        ::close(fd);
        made.emplace_back(name);
        if (halves)
          u->wipeProgress.store(static_cast<std::uint32_t>(2500 + k * 2500 / (freeRecords + 1)));
      }
      for (const auto& name : made) ::unlinkat(dir, name.c_str(), 0);
      ::fsync(dir);
      ::close(dir);
    }
    if (halves) u->wipeProgress.store(5000);
    if (u->drive != nullptr) u->drive->cacheStart = ~std::uint64_t{0};
    return ok;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}
