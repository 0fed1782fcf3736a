// The deep scan: the detector over drive data, the extension check of listed files and the walk
// over the sectors that no file system claims.
#include "deepscan/deepscan.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/event.h"
#include "core/extent_reader.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/text.h"
#include "core/undelete_object.h"

namespace {

constexpr std::uint32_t kFirstRefill = 512;
constexpr std::uint32_t kMaxRefill = 256 * 1024;
constexpr std::uint32_t kCancelEvery = 128;  // sectors between looks at the cancel event
constexpr const char* kStage = "Performing raw and format recovery";

/// A FormatReader over extents of a drive's window, read through the drive's cache. Reads are
/// bounded by the extents (which the caller keeps inside the volume); a failed drive read or the
/// cancel event makes this and every later read fail.
class DriveWindowReader final : public FormatReader {
 public:
  DriveWindowReader(CachedDrive* drive, const ManualResetEvent* cancel) noexcept
      : m_drive(drive), m_cancel(cancel) {}

  /// Replaces the extents; the data examined is their concatenation.
  void setExtents(const Extent* extents, std::size_t count) {
    m_extents.assign(extents, extents + count);
    m_total = 0;
    for (const Extent& e : m_extents) m_total += e.length;
    m_bufLen = 0;
    m_pos = 0;
    m_failed = false;
    m_nextRefill = kFirstRefill;
  }
  void setWindow(std::uint64_t offset, std::uint64_t length) {
    const Extent e{offset, length};
    setExtents(&e, 1);
  }

  [[nodiscard]] bool read(void* out, std::uint64_t n) noexcept override {
    if (m_failed || n > m_total - m_pos) return false;
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint64_t pos = m_pos, left = n;
    while (left > 0) {
      if (pos >= m_bufStart && pos < m_bufStart + m_bufLen) {
        const std::uint64_t at = pos - m_bufStart;
        const std::uint64_t take = std::min<std::uint64_t>(left, m_bufLen - at);
        std::memcpy(dst, m_buf.data() + at, static_cast<std::size_t>(take));
        dst += take, pos += take, left -= take;
      } else if (left >= kMaxRefill) {
        // Large reads go straight to the caller's buffer.
        const std::uint64_t take = std::min<std::uint64_t>(left, std::uint64_t{1} << 30);
        if (!fetch(pos, dst, take)) return fail();
        dst += take, pos += take, left -= take;
      } else if (!refill(pos, left)) {
        return fail();
      }
    }
    m_pos = pos;
    return true;
  }
  [[nodiscard]] bool skip(std::uint64_t n) noexcept override {
    if (m_failed || n > m_total - m_pos) return false;
    m_pos += n;
    return true;
  }
  [[nodiscard]] std::span<const std::uint8_t> peek(std::size_t max) noexcept override {
    if (m_failed || m_pos == m_total || max == 0) return {};
    if (!(m_pos >= m_bufStart && m_pos < m_bufStart + m_bufLen) && !refill(m_pos, 1)) {
      fail();
      return {};
    }
    const std::uint64_t at = m_pos - m_bufStart;
    const std::uint64_t n = std::min<std::uint64_t>(max, m_bufLen - at);
    return {m_buf.data() + at, static_cast<std::size_t>(n)};
  }
  [[nodiscard]] std::uint64_t consumed() const noexcept override { return m_pos; }
  void rewind() noexcept override {
    m_pos = 0;
    m_failed = false;
  }

 private:
  bool fail() noexcept {
    m_failed = true;
    return false;
  }
  /// Fills the buffer from logical position @p pos with at least min(@p need, rest) bytes.
  /// Refills that follow each other grow from one sector to kMaxRefill, so that a recogniser that
  /// looks at one block costs one block and a long walk costs few drive calls.
  bool refill(std::uint64_t pos, std::uint64_t need) noexcept {
    if (m_cancel != nullptr && m_cancel->isSet()) return false;
    if (pos == m_bufStart + m_bufLen && m_bufLen != 0) {
      m_nextRefill = std::min(m_nextRefill * 2, kMaxRefill);
    } else {
      m_nextRefill = kFirstRefill;
    }
    std::uint64_t size = std::max<std::uint64_t>(need, m_nextRefill);
    size = std::min(size, m_total - pos);
    if (m_buf.size() < size) {
      try {
        m_buf.resize(std::max<std::size_t>(static_cast<std::size_t>(size), kFirstRefill));
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    m_bufLen = 0;
    if (!fetch(pos, m_buf.data(), size)) return false;
    m_bufStart = pos;
    m_bufLen = size;
    return true;
  }
  /// Copies [pos, pos + n) of the concatenated extents from the drive.
  bool fetch(std::uint64_t pos, std::uint8_t* dst, std::uint64_t n) noexcept {
    std::uint64_t base = 0;
    for (const Extent& e : m_extents) {
      if (n == 0) break;
      if (pos < base + e.length) {
        const std::uint64_t at = pos - base;
        std::uint64_t take = std::min(n, e.length - at);
        while (take > 0) {
          const std::uint32_t piece =
              static_cast<std::uint32_t>(std::min<std::uint64_t>(take, 1u << 30));
          std::uint32_t got = 0;
          if (!CachedDrive_Read(m_drive, e.offset + (pos - base), piece, dst, &got) || got != piece)
            return false;
          dst += piece, pos += piece, n -= piece, take -= piece;
        }
      }
      base += e.length;
    }
    return n == 0;
  }

  CachedDrive* m_drive;
  const ManualResetEvent* m_cancel;
  std::vector<Extent> m_extents;
  std::uint64_t m_total = 0;
  std::uint64_t m_pos = 0;  // logical position, <= m_total
  std::vector<std::uint8_t> m_buf;
  std::uint64_t m_bufStart = 0;  // logical position of m_buf[0]
  std::uint64_t m_bufLen = 0;
  std::uint32_t m_nextRefill = kFirstRefill;
  bool m_failed = false;
};

std::u16string widen(std::string_view s) { return Text_Latin1ToUtf16(s); }

std::uint32_t folderSlot(const Undelete* u, std::size_t slot) noexcept {
  std::uint32_t v = 0;
  std::memcpy(&v, u->scanScratch + 4 * slot, 4);
  return v;
}
void setFolderSlot(Undelete* u, std::size_t slot, std::uint32_t v) noexcept {
  std::memcpy(u->scanScratch + 4 * slot, &v, 4);
}
static_assert(sizeof(Undelete::scanScratch) >= 4 * kDeepScanFolderSlots);

/// Folder of format @p id under "Files by content", made on first use. kNoParent on failure.
std::uint32_t formatFolder(Undelete* u, std::uint32_t id) {
  std::uint32_t top = folderSlot(u, 0);
  if (top == kNoParent) {
    if (!Storage_AddFolder(u, u"Files by content", u->rootFolder, 0, 0, false, false, &top))
      return kNoParent;
    setFolderSlot(u, 0, top);
  }
  std::uint32_t folder = folderSlot(u, id);
  if (folder == kNoParent) {
    // "jpg", not ".jpg": a folder named with a leading dot is hidden from ls and file managers.
    std::u16string name = widen(FileFormat_Row(id)->extension);
    if (name.size() > 1 && name.front() == u'.') name.erase(0, 1);
    if (!Storage_AddFolder(u, name.c_str(), top, 0, 0, false, false, &folder)) return kNoParent;
    setFolderSlot(u, id, folder);
  }
  return folder;
}

/// Lists one find at sector @p s. False when the storage could not take it.
bool addFind(Undelete* u, std::uint64_t s, std::uint64_t offset, const FormatResult& r,
             std::uint32_t& noteRef) {
  const std::uint32_t folder = formatFolder(u, r.identifier);
  if (folder == kNoParent) return false;
  char ascii[40];
  std::snprintf(ascii, sizeof ascii, "file_%" PRIu64, offset);
  const std::u16string name = widen(ascii) + widen(FileFormat_Row(r.identifier)->extension);
  // The locator holds the low 32 bits of the first sector, as sessions store it.
  const std::uint32_t first = static_cast<std::uint32_t>(s);
  std::uint32_t locatorRef = 0, nameRef = 0;
  if (!Storage_AddBlob(u, &first, sizeof first, &locatorRef)) return false;
  if (!Storage_AddString(u, name.c_str(), &nameRef)) return false;
  if (noteRef == 0) {
    const std::u16string note = widen(kDeepScanNote);
    if (!Storage_AddString(u, note.c_str(), &noteRef)) return false;
  }
  FileRecord rec;
  std::memset(&rec, 0, sizeof rec);
  const std::uint32_t sectorSize = u->drive->sectorSize;
  rec.folder.set(folder);
  rec.size.set(r.length);
  // Times stay 0: raw sectors record none, and the time of the scan would pass for the file's.
  rec.name.set(nameRef);
  rec.rootName.set(u->rootName);
  rec.note.set(noteRef);
  rec.overwrittenBy.set(0xFFFFFFFFu);
  for (auto& f : rec.firstOverwritten) f.set(~std::uint64_t{0});
  rec.totalClusters.set(r.length / sectorSize + (r.length % sectorSize != 0 ? 1 : 0));
  rec.status = static_cast<std::uint8_t>(r.completeness << 1);  // not existing
  rec.stateOnly = 1;
  rec.volumeOffset.set(u->drive->windowStart);
  rec.location.set(static_cast<std::uint16_t>(kKindRaw << 12));
  rec.fsIndex.set(0xFFFFFFFFu);
  rec.locator.set(locatorRef);
  return Storage_AddFile(u, &rec, false);
}

/// Signatures of sectors that may hold file-system metadata: an NTFS file record, a FAT "."
/// directory entry, UDF descriptor tags 0x101 and 0x105.
bool looksLikeMetadata(const std::uint8_t* b) noexcept {
  if (std::memcmp(b, "FILE", 4) == 0 || std::memcmp(b, ".   ", 4) == 0) return true;
  const std::uint16_t tag = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return tag == 0x0105 || tag == 0x0101;
}

}  // namespace

bool FileFormat_Detect(ExtentReader* reader, std::uint32_t* identifier, std::uint32_t* completeness,
                       std::uint64_t* length, const char** note) noexcept {
  if (identifier != nullptr) *identifier = kFmtNone;
  if (completeness != nullptr) *completeness = kComplUnrecoverable;
  if (length != nullptr) *length = 0;
  if (reader == nullptr || reader->drive == nullptr) return false;
  (void)ExtentReader_Rewind(reader);
  try {
    DriveWindowReader window(reader->drive, reader->cancel);
    if (reader->extents.empty()) {
      window.setWindow(reader->firstOffset, reader->firstLength);
    } else {
      window.setExtents(reader->extents.data(), reader->extents.size());
    }
    FormatResult r;
    if (FileFormat_DetectIn(window, r)) {
      if (identifier != nullptr) *identifier = r.identifier;
      if (completeness != nullptr) *completeness = r.completeness;
      if (length != nullptr) *length = r.length;
      if (note != nullptr) *note = kDeepScanNote.data();
      return true;
    }
  } catch (const std::bad_alloc&) {
  }
  (void)ExtentReader_DropFirstChunk(reader);
  return false;
}

bool FileFormat_CheckExtension(FileRecord* record, std::uint32_t identifier, bool rename,
                               Undelete* u, char16_t* name, std::size_t nameCapacity) noexcept {
  if (record == nullptr || name == nullptr) return true;
  std::size_t len = 0;
  while (len < nameCapacity && name[len] != 0) ++len;
  const std::uint32_t known = FileFormat_ExtensionOf(std::u16string_view(name, len));
  if (identifier == known) return true;
  std::string_view note;
  if (const FormatRow* row = FileFormat_Row(identifier)) {
    note = row->note;
    // Rename: the detected extension goes after the whole name ("photo.jpg.png").
    if (rename && len < nameCapacity && row->extension.size() < nameCapacity - len) {
      for (char c : row->extension) name[len++] = static_cast<char16_t>(c);
      name[len] = 0;
    }
  } else {
    note = kExtensionMismatchNote;
  }
  if (u != nullptr) {
    try {
      const std::u16string text = widen(note);
      std::uint32_t ref = 0;
      if (Storage_AddString(u, text.c_str(), &ref)) record->note.set(ref);
    } catch (const std::bad_alloc&) {
    }
  }
  record->status = static_cast<std::uint8_t>((record->status & ~0x3Eu) | (kStateBad << 1));
  return true;
}

namespace {
/// Whether the drive still gives its last sector: after a failed read, this tells a bad block
/// (go on) from a source that has shrunk (stop).
bool lastSectorReadable(CachedDrive* drive, std::uint64_t sectors, std::uint32_t sectorSize) {
  std::uint8_t probe[4];
  std::uint32_t got = 0;
  return sectors != 0 && CachedDrive_Read(drive, (sectors - 1) * sectorSize, 4, probe, &got) &&
         got == 4;
}
}  // namespace

bool FileFormat_ScanHole(Undelete* u, std::uint32_t progressFrom,
                         std::uint32_t progressTo) noexcept {
  if (u == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  u->dupFirst = u->dupEnd = u->fileCount.load();
  std::uint64_t mapBits = 0;
  if (!CachedDrive_GetMapBits(&mapBits, drive) || mapBits == 0) return false;
  const std::uint32_t sectorSize = drive->sectorSize;
  if (sectorSize == 0) return true;

  try {
    DriveWindowReader reader(drive, &u->cancelEvent);
    std::uint64_t s = u->deepScanResume;
    u->deepScanResume = 0;
    u->stageName = kStage;
    std::uint64_t runEnd = 0;
    std::uint32_t sinceCancelCheck = 0;
    std::uint32_t noteRef = 0;
    bool cancelled = false;
    // End of the furthest find of a structured format (its structure held at least in part, up
    // to where it ends): words in its data (an image's pixel rows, a document's streams) are part
    // of it, not text files of their own.
    std::uint64_t wholeUntil = 0;
    const std::uint64_t span = progressTo >= progressFrom ? progressTo - progressFrom : 0;
    while (!u->outOfMemory()) {
      if (s >= runEnd) {
        std::uint64_t pos = s;
        if (!CachedDrive_NextFreeRun(drive, &pos, &runEnd)) break;
        s = pos;
      }
      // Every 128 sectors (and after 128 examined ones, for maps cut into short runs).
      if ((s % kCancelEvery == 0 || ++sinceCancelCheck >= kCancelEvery)) {
        sinceCancelCheck = 0;
        if (isCancelled(u)) {
          u->deepScanResume = s;
          cancelled = true;
          break;
        }
      }
      u->deepScanDone = s;
      u->progress = static_cast<std::uint32_t>(progressFrom + span * s / mapBits);
      const std::uint64_t offset = s * sectorSize;
      u->scanKey = offset;

      std::uint8_t head[4] = {};
      std::uint32_t got = 0;
      const bool readOk = CachedDrive_Read(drive, offset, 4, head, &got) && got == 4;
      if (!readOk && !lastSectorReadable(drive, mapBits, sectorSize)) {
        // The source no longer reaches its recorded end (an image cut while it was scanned):
        // nothing further can be read, so the pass ends with a read error rather than trying
        // every sector left.
        Undelete_Log(u, "FileFormat_ScanHole: The source ends before sector %" PRIu64 ".\n", s);
        Undelete_Report(u, "\tThe source ended before its recorded size; search stopped.\n");
        u->error = kErrReadSource;
        break;
      }
      if ((!readOk || looksLikeMetadata(head)) && u->recognizeHook != nullptr &&
          u->recognizeHook(u, offset)) {
        ++s;
        continue;
      }
      if (!readOk) {
        // An unreadable sector (a bad block): noted, and passed over.
        if (u->error == kErrNone)
          Undelete_Log(u, "FileFormat_ScanHole: Unable to read sector %" PRIu64 ".\n", s);
        u->error = kErrReadSource;
        ++s;
        continue;
      }
      reader.setWindow(offset, runEnd * sectorSize - offset);
      FormatResult r;
      const bool hit = FileFormat_DetectIn(reader, r, offset >= wholeUntil);
      if (isCancelled(u)) {
        // A read cut short by the cancel says nothing about the data: look at it again later.
        u->deepScanResume = s;
        cancelled = true;
        break;
      }
      if (hit) {
        if (!addFind(u, s, offset, r, noteRef))
          Undelete_Log(u, "FileFormat_ScanHole: Unable to list file at offset %" PRIu64 ".\n",
                       offset);
        // Files inside most formats are found too; documents, texts and archives whose members
        // would only be found again are passed over.
        const bool jump = (r.identifier == kFmtDoc && r.completeness == kComplGood) ||
                          r.identifier == kFmtTxt || r.identifier == kFmtTar;
        if (jump && r.length > 0) s += (r.length - 1) / sectorSize;
        if (r.completeness >= kComplPoor && !(r.identifier >= kFmtHtm && r.identifier <= kFmtTxt))
          wholeUntil = std::max(wholeUntil, offset + r.length);
      }
      ++s;
    }
    if (u->recognizeHook != nullptr) (void)u->recognizeHook(u, ~std::uint64_t{0});
    // A pass that ran to its end leaves the map's bit count, so that a restored session knows
    // there is nothing left; a pass cancelled at sector 0 leaves 0 rather than claiming that.
    if (u->deepScanResume == 0 && !cancelled) u->deepScanResume = mapBits;
  } catch (const std::bad_alloc&) {
    Undelete_Log(u, "FileFormat_ScanHole: Out of memory.\n");
  }
  u->scanKey = kNoScanKey;
  u->dupEnd = u->fileCount.load();
  return true;
}
