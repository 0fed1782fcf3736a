// The session results file: save (search thread), describe and restore (caller's thread).
#include "core/session.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/partition_slot.h"
#include "core/search.h"
#include "core/size_text.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "host/host_output.h"

namespace {

constexpr std::uint32_t kRefBit = 0x80000000u;
constexpr std::uint32_t kNoNul = 0xFFFFFFFFu;

/// A saved entry of a type whose kind takes it as it stands must hold at least that type's size.
bool tooShortForItsType(std::span<const std::uint8_t> entry) noexcept {
  const FsTypeInfo* info = nullptr;
  const FsDescriptor* fs = Fs_OfType(loadLe<std::uint32_t>(entry.data()), &info);
  return fs != nullptr && fs->loadEntry == nullptr && entry.size() < info->minEntrySize;
}

/// A reference to a recoverer's block: none, or inside the stored strings with at least the
/// 4 bytes every block starts with.
bool blockRefFits(std::uint32_t ref, std::uint64_t stringBytes) noexcept {
  return ref == 0 ||
         ((ref & kRefBit) != 0 && fitsIn<std::uint64_t>(ref & ~kRefBit, 4, stringBytes));
}

/// A text reference: none, or a UTF-16 string that starts on a unit boundary inside the stored
/// strings and ends with a NUL unit before their end. @p nextNul gives, for each unit, the index
/// of the first NUL unit at or after it (kNoNul when none).
bool textRefFits(std::uint32_t ref, const std::vector<std::uint32_t>& nextNul) noexcept {
  if (ref == 0) return true;
  if ((ref & kRefBit) == 0) return false;
  const std::uint32_t offset = ref & ~kRefBit;
  if (offset % 2 != 0 || offset / 2 >= nextNul.size()) return false;
  return nextNul[offset / 2] != kNoNul;
}

// --- Reading the file ----------------------------------------------------------------------------

/// The whole session file mapped read-only; empty when it cannot be opened or is no regular file.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) noexcept {
    // Regular files only: a FIFO under the session's name must not block the caller.
    const int fd = Host_OpenRegularFile(path.c_str());
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      m_opened = true;
      m_size = static_cast<std::size_t>(st.st_size);
      if (m_size != 0) {
        void* p = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
          m_opened = false;
          m_size = 0;
        } else {
          m_data = static_cast<const std::uint8_t*>(p);
        }
      }
    }
    ::close(fd);  // the mapping stays valid without the descriptor
  }
  ~MappedFile() {
    if (m_data != nullptr) munmap(const_cast<std::uint8_t*>(m_data), m_size);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  [[nodiscard]] bool opened() const noexcept { return m_opened; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {m_data, m_size}; }

 private:
  const std::uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
  bool m_opened = false;
};

template <class T>
bool readLe(ByteReader& r, T& out) noexcept {
  const auto v = r.read<Le<T>>();
  if (!v) return false;
  out = v->get();
  return true;
}

Parse parseBody(ByteReader& r, SessionImage& s) {
  std::uint16_t driveCount = 0;
  if (!readLe(r, s.options) || !readLe(r, driveCount) || !readLe(r, s.drivesDone))
    return Parse::Corrupt;
  if (driveCount == 0 || driveCount > kSessionMaxDrives || s.drivesDone > driveCount)
    return Parse::Corrupt;
  s.drives.reserve(driveCount);
  for (std::uint16_t i = 0; i < driveCount; ++i) {
    const auto d = r.read<SessionDrive>();
    if (!d) return Parse::Corrupt;
    s.drives.push_back(*d);
    s.drives.back().title[sizeof d->title - 1] = '\0';
  }
  if (!readLe(r, s.deepScanResume)) return Parse::Corrupt;
  // A deep scan to be continued belongs to the first unfinished drive.
  if (s.deepScanResume != 0 && s.drivesDone >= driveCount) return Parse::Corrupt;

  s.states.resize(driveCount);
  for (auto& state : s.states) {
    std::uint32_t mapBytes = 0, fsCount = 0;
    if (!readLe(r, mapBytes)) return Parse::Corrupt;
    const auto map = r.bytes(mapBytes);
    if (!map || !readLe(r, fsCount) || fsCount > kMaxFileSystems) return Parse::Corrupt;
    state.map = *map;
    state.fileSystems.reserve(fsCount);
    for (std::uint32_t i = 0; i < fsCount; ++i) {
      std::uint32_t size = 0;
      if (!readLe(r, size) || size < 4) return Parse::Corrupt;
      const auto entry = r.bytes(size);
      if (!entry) return Parse::Corrupt;
      // A type no kind of this build makes would be dropped, its files left without an entry.
      if (Fs_OfType(loadLe<std::uint32_t>(entry->data())) == nullptr) return Parse::Corrupt;
      if (tooShortForItsType(*entry)) return Parse::Corrupt;
      state.fileSystems.push_back(*entry);
    }
  }

  if (s.deepScanResume != 0) {
    const auto st = r.read<SessionScannerState>();
    if (!st) return Parse::Corrupt;
    s.scanner = *st;
  }

  if (!readLe(r, s.stringUnits)) return Parse::Corrupt;
  const auto strings = r.bytes(std::size_t{s.stringUnits} * 2);
  if (!strings) return Parse::Corrupt;
  s.strings = *strings;
  if (!readLe(r, s.fileCount)) return Parse::Corrupt;
  const auto files = r.bytes(std::size_t{s.fileCount} * sizeof(FileRecord));
  if (!files) return Parse::Corrupt;
  s.files = *files;
  if (!readLe(r, s.folderCount)) return Parse::Corrupt;
  const auto folders = r.bytes(std::size_t{s.folderCount} * sizeof(FolderRecord));
  if (!folders) return Parse::Corrupt;
  s.folders = *folders;
  if (r.remaining() != 0) return Parse::Corrupt;

  // Every reference must name stored strings, texts must be aligned and end inside them, so
  // nothing restored reads past them or misaligned. For each unit: where the next NUL unit is.
  const std::uint64_t stringBytes = std::uint64_t{s.stringUnits} * 2;
  std::vector<std::uint32_t> nextNul(s.stringUnits, kNoNul);
  for (std::uint32_t i = s.stringUnits, nul = kNoNul; i-- > 0;) {
    if (s.strings[std::size_t{i} * 2] == 0 && s.strings[std::size_t{i} * 2 + 1] == 0) nul = i;
    nextNul[i] = nul;
  }
  for (std::uint32_t i = 0; i < s.fileCount; ++i) {
    FileRecord f;
    std::memcpy(&f, s.files.data() + std::size_t{i} * sizeof f, sizeof f);
    if (!textRefFits(f.name.get(), nextNul) || !textRefFits(f.rootName.get(), nextNul) ||
        !textRefFits(f.note.get(), nextNul) || !blockRefFits(f.locator.get(), stringBytes))
      return Parse::Corrupt;
  }
  for (std::uint32_t i = 0; i < s.folderCount; ++i) {
    FolderRecord f;
    std::memcpy(&f, s.folders.data() + std::size_t{i} * sizeof f, sizeof f);
    if (!textRefFits(f.name.get(), nextNul)) return Parse::Corrupt;
  }
  if (s.deepScanResume != 0) {
    const SessionScannerState& st = s.scanner;
    if (st.rootFolder.get() >= s.folderCount || st.dupFirst.get() > st.dupEnd.get() ||
        st.dupEnd.get() > s.fileCount || st.passFirstFile.get() > s.fileCount)
      return Parse::Corrupt;
    // The search by content goes on where it stopped: it needs the drive's used-sector map, the
    // position must lie on it, and nothing it listed may lie at or past the position (it would
    // be listed twice). Sectors are 512 or 2048 bytes; the larger gives the weaker bound.
    const std::uint64_t mapBits = std::uint64_t{s.states[s.drivesDone].map.size()} * 8;
    if ((s.options & kOptDeepScan) == 0 || mapBits == 0 || s.deepScanResume > mapBits)
      return Parse::Corrupt;
    for (std::uint32_t i = st.dupFirst.get(); i < s.fileCount; ++i) {
      FileRecord f;
      std::memcpy(&f, s.files.data() + std::size_t{i} * sizeof f, sizeof f);
      if (((f.location.get() >> 12) & 7u) != kKindRaw) continue;
      if (f.scanKey.get() / 2048 >= s.deepScanResume) return Parse::Corrupt;
    }
  }
  return Parse::Ok;
}

// --- Writing the file ----------------------------------------------------------------------------

/// Buffers the many small fields of a session into large writes to its sink.
class SessionWriter {
 public:
  using Sink = std::function<bool(const void*, std::size_t)>;
  explicit SessionWriter(const Sink& sink) noexcept : m_sink(sink) {}
  bool put(const void* data, std::size_t n) noexcept {
    if (!m_ok) return false;
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (m_used + n > sizeof m_buffer) {
      if (!flush()) return false;
      if (n >= sizeof m_buffer) {
        if (!m_sink(p, n)) m_ok = false;
        return m_ok;
      }
    }
    if (n != 0) std::memcpy(m_buffer + m_used, p, n);
    m_used += n;
    return true;
  }
  template <class T>
  bool putLe(T v) noexcept {
    Le<T> le;
    le.set(v);
    return put(&le, sizeof le);
  }
  bool flush() noexcept {
    if (m_ok && m_used != 0 && !m_sink(m_buffer, m_used)) m_ok = false;
    m_used = 0;
    return m_ok;
  }
  void fail() noexcept { m_ok = false; }
  [[nodiscard]] bool ok() const noexcept { return m_ok; }

 private:
  const Sink& m_sink;
  std::uint8_t m_buffer[1 << 16];
  std::size_t m_used = 0;
  bool m_ok = true;
};

SessionDrive sessionDriveOf(const DriveSlot& slot) noexcept {
  SessionDrive d{};
  const bool partition = (slot.driveSpec >> 24) == kSpecPartition;
  d.start.set(partition ? slot.start : 0);
  std::uint64_t length = slot.length;
  if (!partition)
    length = slot.drive != nullptr ? slot.drive->windowEnd - slot.drive->windowStart : 0;
  d.length.set(length);
  d.disk = partition ? slot.physicalDrive : 0;
  d.kind = static_cast<std::uint8_t>((partition ? kSessionPartition : 0) | (slot.letter & 0x7F));
  std::memcpy(d.title, slot.title, sizeof d.title);
  d.title[sizeof d.title - 1] = '\0';
  return d;
}

/// The used-sector map and the file-system entries of one drive.
void writeDriveState(SessionWriter& w, CachedDrive* drive) noexcept {
  if (drive == nullptr) {  // an empty slot
    w.putLe<std::uint32_t>(0);
    w.putLe<std::uint32_t>(0);
    return;
  }
  const std::uint64_t mapBytes = drive->map != nullptr ? (drive->mapBits + 7) / 8 : 0;
  if (mapBytes > 0xFFFFFFFFu) {
    w.fail();
    return;
  }
  if (!w.putLe(static_cast<std::uint32_t>(mapBytes)) || !w.put(drive->map, mapBytes)) return;
  const std::uint32_t count = drive->fsCount < kMaxFileSystems ? drive->fsCount : kMaxFileSystems;
  if (!w.putLe(count)) return;
  const std::uint32_t selected = drive->fsCurrent;
  for (std::uint32_t i = 0; i < count; ++i) {
    CachedDrive_SelectFileSystem(drive, i);
    const auto entry = Fs_Entry(drive, i);
    if (!entry || entry->fs == nullptr) {  // a type no kind of this build makes is not saved
      w.fail();
      continue;
    }
    void* block = nullptr;
    std::uint32_t size = 0;
    bool saved = false;
    if (entry->fs->saveEntry != nullptr) {
      saved = entry->fs->saveEntry(drive, &block, &size);
    } else if (entry->bytes.size() >= entry->typeInfo->minEntrySize) {
      // Loaded as it stands, so it may be saved as it stands.
      block = std::malloc(entry->bytes.size());
      if (block != nullptr) {
        std::memcpy(block, entry->bytes.data(), entry->bytes.size());
        size = static_cast<std::uint32_t>(entry->bytes.size());
        saved = true;
      }
    }
    if (!saved || block == nullptr || size < 4) {
      std::free(block);
      w.fail();
      continue;
    }
    w.putLe(size);
    w.put(block, size);
    std::free(block);
  }
  CachedDrive_SelectFileSystem(drive, selected);
}

bool writeSession(Undelete* u, const SessionWriter::Sink& sink, std::uint32_t fileCount,
                  std::uint32_t folderCount, std::uint32_t stringUnits) noexcept {
  SessionWriter w(sink);
  w.put(kSessionMagic, sizeof kSessionMagic);
  w.putLe(u->options);
  w.putLe(u->driveCount);
  w.putLe(static_cast<std::uint16_t>(u->driveIndex.load()));
  for (std::uint16_t i = 0; i < u->driveCount; ++i) {
    const SessionDrive d = sessionDriveOf(u->driveTable[i]);
    w.put(&d, sizeof d);
  }
  w.putLe(u->deepScanResume);
  for (std::uint16_t i = 0; i < u->driveCount; ++i) writeDriveState(w, u->driveTable[i].drive);
  if (u->deepScanResume != 0) {
    SessionScannerState st{};
    st.rootFolder.set(u->rootFolder);
    for (int i = 0; i < 4; ++i) st.scanMarks[i].set(u->scanMarks[i]);
    std::memcpy(st.scanScratch, u->scanScratch, sizeof st.scanScratch);
    st.dupFirst.set(u->dupFirst);
    st.dupEnd.set(u->dupEnd);
    st.passFirstFile.set(u->passFirstFile);
    w.put(&st, sizeof st);
  }
  // String references are kept in memory in the form the file stores: the regions go out as
  // they are.
  w.putLe(stringUnits);
  w.put(u->strings, std::size_t{stringUnits} * 2);
  w.putLe(fileCount);
  w.put(u->files, std::size_t{fileCount} * sizeof(FileRecord));
  w.putLe(folderCount);
  w.put(u->folders, std::size_t{folderCount} * sizeof(FolderRecord));
  return w.flush();
}

// --- Restoring ----------------------------------------------------------------------------------

/// What the lookups below need: the engine, and the letters and disks (0x80 | n) whose
/// remembered source is gone, so that whatever holds that letter today is not taken for it.
struct LookupContext {
  Undelete* u = nullptr;
  std::string missing;
};

bool letterExistsNow(char letter, void* context) noexcept {
  try {
    if (static_cast<LookupContext*>(context)->missing.find(letter) != std::string::npos)
      return false;
    return Host_FindDrive(letter).has_value();
  } catch (...) {
    return false;
  }
}

bool findPartitionNow(const SessionDrive& d, std::uint8_t* index, void* context) noexcept {
  const auto* c = static_cast<LookupContext*>(context);
  if (c->missing.find(static_cast<char>(0x80u | d.disk)) != std::string::npos) return false;
  Undelete* u = c->u;
  PartitionSlotInfo info;
  // The partition list holds at most 160 records.
  for (std::uint32_t i = 0; i < 160 && Search_GetPartitionSlot(u, i, &info); ++i) {
    if (info.disk == d.disk && info.start == d.start.get() && info.length == d.length.get()) {
      *index = static_cast<std::uint8_t>(i);
      return true;
    }
  }
  return false;
}

/// Re-opens the drive of one session record into @p slot; false with the last error set.
bool reopenDrive(Undelete* u, const SessionDrive& d, DriveSlot& slot) noexcept {
  const char letter = static_cast<char>(d.kind & 0x7F);
  if ((d.kind & kSessionPartition) == 0) {
    if (letter == 0) {  // an empty slot stays empty
      slot.driveSpec = 0xFF000000u;
      return true;
    }
    if (letter < 'A' || letter > 'Z') {
      Host_SetLastError(kErrOpenDrive);
      return false;
    }
    slot.driveSpec = static_cast<std::uint32_t>(letter - 'A');
    slot.title[0] = letter;
    slot.title[1] = ':';
    slot.title[2] = '\0';
    slot.letter = static_cast<std::uint16_t>(letter);
    if (!CachedDrive_Create(&slot.drive) || !CachedDrive_Open(slot.drive, letter, false))
      return false;
    // The letter must still name the volume that was scanned: the stored records, map and
    // deep-scan position mean nothing on another one (a letter mapped to another image in a later
    // run). A size of 0 (not known when saved, or now) is not compared.
    const std::uint64_t size = slot.drive->windowEnd - slot.drive->windowStart;
    if (d.length.get() != 0 && size != 0 && size != d.length.get()) {
      Host_SetLastError(kErrOpenDrive);
      return false;
    }
    return true;
  }
  // The slot names today's list entry with the same disk, start and length when there is one;
  // otherwise an index no list has. The slot's own geometry is what the drive is opened with.
  std::uint8_t index = 0;
  LookupContext context{u, {}};
  const bool listed = findPartitionNow(d, &index, &context);
  slot.driveSpec = kSpecPartition << 24 | (listed ? index : 0xFFFFFFu);
  slot.physicalDrive = d.disk;
  slot.start = d.start.get();
  slot.length = d.length.get();
  std::memcpy(slot.title, d.title, sizeof slot.title);
  slot.title[sizeof slot.title - 1] = '\0';
  if (letter != 0) slot.letter = static_cast<std::uint16_t>(letter);
  if (!CachedDrive_Create(&slot.drive)) return false;
  return CachedDrive_OpenPhysical(false, slot.drive, d.disk) &&
         CachedDrive_SetWindow(slot.drive, slot.start, slot.length);
}

/// Rebuilds one drive's map and file-system table; false with the last error set.
bool loadDriveState(const SessionImage::DriveState& state, CachedDrive* drive) noexcept {
  if (drive == nullptr) return true;
  if (!state.map.empty() &&
      !CachedDrive_InitMap(drive, std::uint64_t{state.map.size()} * 8, state.map.data(),
                           static_cast<std::uint32_t>(state.map.size()))) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  for (const auto& entry : state.fileSystems) {
    const FsDescriptor* fs = Fs_OfType(loadLe<std::uint32_t>(entry.data()));
    const auto size = static_cast<std::uint32_t>(entry.size());
    bool added;
    if (fs == nullptr) {
      continue;  // not reached: the parser refuses types no kind makes
    } else if (fs->loadEntry == nullptr) {
      // Taken as it stands (at least the type's size, as the parser checked): a module gets back
      // every byte its entry had when it was saved.
      added = CachedDrive_AddFileSystem(drive, size, entry.data());
    } else {
      added = fs->loadEntry(entry.data(), size, drive);
    }
    if (!added) return false;
  }
  if (drive->fsCount != 0) CachedDrive_SelectFileSystem(drive, 0);
  return true;
}

}  // namespace

Parse Session_Parse(std::span<const std::uint8_t> bytes, SessionImage& out) noexcept {
  ByteReader r(bytes);
  const auto magic = r.bytes(sizeof kSessionMagic);
  if (!magic || std::memcmp(magic->data(), kSessionMagic, sizeof kSessionMagic) != 0)
    return Parse::NotThis;
  try {
    out = SessionImage{};
    return parseBody(r, out);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return Parse::Corrupt;
  }
}

void Session_Describe(const SessionImage& s, const SessionDriveLookup& lookup, char* text,
                      int textSize, int* allDrivesPresent, std::uint8_t* driveMap) noexcept {
  std::string out;
  std::size_t mapAt = 0;
  try {
    const auto yesNo = [&](std::uint32_t bit) { return (s.options & bit) != 0 ? "Yes" : "No"; };
    char line[512];
    std::snprintf(line, sizeof line,
                  "Options in effect:\n  Deep scan: %s\n  Test extension: %s\n"
                  "  Test all files: %s\n  Rename extension: %s\n\n%u / %u drives scanned#",
                  yesNo(kOptDeepScan), yesNo(kOptTestExtension), yesNo(kOptTestAll),
                  yesNo(kOptRenameExtension), unsigned{s.drivesDone}, unsigned(s.drives.size()));
    out += line;
    if (allDrivesPresent != nullptr) *allDrivesPresent = 1;
    for (const SessionDrive& d : s.drives) {
      char size[32];
      formatSizeText(d.length.get(), size, sizeof size);
      const char letter = static_cast<char>(d.kind & 0x7F);
      if ((d.kind & kSessionPartition) == 0) {
        if (letter == 0) continue;  // an empty slot names no drive
        if (driveMap != nullptr) driveMap[mapAt++] = static_cast<std::uint8_t>(letter);
        const bool exists =
            lookup.letterExists != nullptr && lookup.letterExists(letter, lookup.context);
        if (!exists && allDrivesPresent != nullptr) *allDrivesPresent = 0;
        std::snprintf(line, sizeof line, "\n  %c:%s, %s", letter, exists ? "" : " (not found)",
                      size);
      } else {
        std::uint8_t index = 0;
        if (driveMap != nullptr && lookup.findPartition != nullptr &&
            lookup.findPartition(d, &index, lookup.context))
          driveMap[mapAt++] = index;
        std::snprintf(line, sizeof line, "\n  %s, %s", d.title, size);
      }
      out += line;
    }
    if ((s.options & kOptDeepScan) != 0) {
      std::snprintf(line, sizeof line, "#\n  Sectors examined: %" PRIu64, s.deepScanResume);
      out += line;
    }
  } catch (const std::bad_alloc&) {
    // Keep what was built.
  }
  if (driveMap != nullptr) driveMap[mapAt] = 255;
  if (text != nullptr && textSize > 0) {
    const std::size_t n = std::min(out.size(), static_cast<std::size_t>(textSize) - 1);
    std::memcpy(text, out.data(), n);
    text[n] = '\0';
  }
}

bool Session_LoadResults(Undelete* u, const SessionImage& s) noexcept {
  if (u == nullptr || u->fileCount != 0 || u->folderCount != 0 || u->stringsUsed != 0) return false;
  if (s.deepScanResume != 0) {
    const SessionScannerState& st = s.scanner;
    u->rootFolder = st.rootFolder.get();
    for (int i = 0; i < 4; ++i) u->scanMarks[i] = st.scanMarks[i].get();
    std::memcpy(u->scanScratch, st.scanScratch, sizeof u->scanScratch);
    u->dupFirst = st.dupFirst.get();
    u->dupEnd = st.dupEnd.get();
    u->passFirstFile = st.passFirstFile.get();
  }
  // Into the empty storage as one block, so every stored reference keeps its offset.
  if (!s.strings.empty() &&
      !Storage_AddBlob(u, s.strings.data(), static_cast<std::uint32_t>(s.strings.size()), nullptr))
    return false;
  // The records come back as they were saved, marks, flags and keys included, so that a restored
  // session shows what the interrupted scan showed and its duplicate search finds the old keys.
  for (std::uint32_t i = 0; i < s.fileCount; ++i) {
    FileRecord f;
    std::memcpy(&f, s.files.data() + std::size_t{i} * sizeof f, sizeof f);
    if (!Storage_AppendFileRecord(u, &f)) return false;
  }
  for (std::uint32_t i = 0; i < s.folderCount; ++i) {
    FolderRecord f;
    std::memcpy(&f, s.folders.data() + std::size_t{i} * sizeof f, sizeof f);
    if (!Storage_AppendFolderRecord(u, &f)) return false;
  }
  return true;
}

bool Session_Save(Undelete* u, std::uint32_t fileCount, std::uint32_t folderCount,
                  std::uint32_t stringUnits) {
  if (u == nullptr) return false;
  Undelete_Report(u, "Saving session.\n");
  // Never more than the storage holds.
  fileCount = std::min(fileCount, u->fileCount.load());
  folderCount = std::min(folderCount, u->folderCount.load());
  stringUnits = std::min(stringUnits, u->stringsUsed);
  if (u->files == nullptr) fileCount = 0;
  if (u->folders == nullptr) folderCount = 0;
  if (u->strings == nullptr) stringUnits = 0;

  // Written beside the old file under a fresh name and renamed over it when complete: a planted
  // link is never written through, and a failed save leaves an earlier session as it was.
  const bool ok =
      Host_WriteFileAtomically(u->sessionPath.c_str(), [&](const SessionWriter::Sink& sink) {
        return writeSession(u, sink, fileCount, folderCount, stringUnits);
      });
  if (!ok && Host_GetLastError() == kErrCreateFile) {
    Undelete_Report(u, "\tFailed to open/create save file.\n");
    return false;
  }
  if (!ok) {
    Undelete_Log(u, "Errors saving session, partial file deleted.\n");
    Undelete_Report(u, "\tErrors saving session, partial file deleted.\n");
  }
  // Where the drives came from, beside the session: a later run then finds them on its own.
  // One that cannot be written must not leave an earlier session's sources beside this one.
  if (ok && !Session_SaveSources(u)) {
    std::remove(Session_SourcesPath(u->sessionPath).c_str());
    Undelete_Log(u, "Session_Save: the sources of the drives were not written.\n");
  }
  Undelete_Report(u, "\tSaving session complete\n");
  return ok;
}

extern "C" {

int Undelete_GetSessionInfo(Undelete* u, char* text, int textSize, int* allDrivesPresent,
                            std::uint8_t* driveMap) noexcept {
  if (allDrivesPresent != nullptr) *allDrivesPresent = 0;
  if (u == nullptr) return 0;
  try {
    const MappedFile file(u->sessionPath);
    if (!file.opened()) return 0;
    if (text != nullptr && textSize > 0) text[0] = '\0';
    // A file that is not a whole session is not described: the caller then offers no restore.
    SessionImage image;
    if (Session_Parse(file.bytes(), image) != Parse::Ok) return 0;
    Host_ClearLastError();
    LookupContext context{u, Session_AdoptSources(u)};
    const SessionDriveLookup lookup{letterExistsNow, findPartitionNow, &context};
    Session_Describe(image, lookup, text, textSize, allDrivesPresent, driveMap);
    return 1;
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_RestoreSession(Undelete* u, std::uint32_t, UndeleteQueryCallback saveCallback,
                            void* callbackArg) noexcept {
  if (u == nullptr) return 0;
  try {
    Undelete_Report(u, "Restoring session.\n");
    const MappedFile file(u->sessionPath);
    if (!file.opened()) {
      Undelete_Report(u, "\tFailed to open session file.\n");
      return 0;
    }
    if (!Undelete_Done(u)) return 0;  // a search thread still runs
    SessionImage image;
    const Parse parsed = Session_Parse(file.bytes(), image);
    if (parsed != Parse::Ok) {
      if (parsed == Parse::Corrupt) Undelete_Report(u, "Corrupted session file!");
      return 0;
    }
    if (!Storage_Reserve(u)) {
      Undelete_Log(u, "Undelete_RestoreSession: Files list or strings storage is NOT allocated.\n");
      Undelete_Done(u);
      u->error = kErrMemory;
      return 0;
    }
    // A drive whose remembered source is gone is not reopened from whatever holds its letter or
    // number today: the records would be matched against another volume.
    Host_ClearLastError();
    const std::string missing = Session_AdoptSources(u);
    for (const SessionDrive& d : image.drives) {
      const char key =
          static_cast<char>((d.kind & kSessionPartition) != 0 ? 0x80u | d.disk : d.kind & 0x7Fu);
      if (key != 0 && missing.find(key) != std::string::npos) {
        Undelete_Done(u);
        u->error = kErrOpenDrive;
        Undelete_Report(u, "\tA drive of the session is no longer where it was.\n");
        return 0;
      }
    }
    const auto driveCount = static_cast<std::uint16_t>(image.drives.size());
    u->options = image.options;
    u->driveTable = new (std::nothrow) DriveSlot[driveCount]();
    if (u->driveTable == nullptr) {
      Undelete_Done(u);
      Undelete_Log(u, "Undelete_RestoreSession: Files list or strings storage is NOT allocated.\n");
      u->error = kErrMemory;
      return 0;
    }
    u->driveCount = driveCount;
    u->driveIndex = image.drivesDone;
    for (std::uint16_t i = 0; i < driveCount; ++i) {
      if (!reopenDrive(u, image.drives[i], u->driveTable[i])) {
        const std::uint32_t error = Host_GetLastError();
        Undelete_Done(u);
        u->error = error;
        Undelete_Report(u, "Corrupted session file!");
        return 0;
      }
    }
    u->deepScanResume = image.deepScanResume;
    for (std::uint16_t i = 0; i < driveCount; ++i) {
      if (!loadDriveState(image.states[i], u->driveTable[i].drive)) {
        const std::uint32_t error = Host_GetLastError();
        Undelete_Done(u);
        u->deepScanResume = 0;
        u->error = error;
        Undelete_Log(u, "Undelete_RestoreSession: Unable to add file system.\n");
        return 0;
      }
    }
    if (!Session_LoadResults(u, image)) {
      Undelete_Done(u);
      u->deepScanResume = 0;
      u->error = kErrMemory;
      Undelete_Log(u, "Undelete_RestoreSession: Files list or strings storage is NOT allocated.\n");
      return 0;
    }
    u->drive = u->driveIndex < driveCount ? u->driveTable[u->driveIndex].drive : nullptr;
    u->fsIndex = 0;
    u->fsCount = 1;
    u->saveCallback = saveCallback;
    u->saveCallbackArg = callbackArg;
    // The low-memory question of an earlier scan was paired with that scan's argument; asked with
    // this one it would get an argument it was not given for. A restore has none to ask.
    u->memoryCallback = nullptr;
    Undelete_Report(u, "\tSession restored.\n");
    std::atomic_ref<std::uint32_t>(u->partitionFlags).fetch_or(kDeleteSessionAtEnd);
    if (!Search_StartThread(u)) {
      std::atomic_ref<std::uint32_t>(u->partitionFlags).fetch_and(~kDeleteSessionAtEnd);
      Undelete_Done(u);
      u->deepScanResume = 0;
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    Undelete_Done(u);
    u->error = kErrMemory;
    return 0;
  }
}

}  // extern "C"
