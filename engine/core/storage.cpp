// Result storage: the files list, the folders list and the strings storage of a scan.
//
// Each region is reserved once as inaccessible address space and made read-write from the front
// as appends need it, so a scan that finds little costs little and entries never move. Instead of
// catching access faults, every append checks its end against the region's committed watermark
// and opens more pages first. An append whose end plus one page would pass the reserve fails and
// sets outOfMemory; nothing of it is written and the counts stay as they were.
#include "core/storage.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "core/log.h"
#include "core/undelete_object.h"

// scanKey -> index of the first file record with that key, over [first, indexedEnd), where
// indexedEnd grows up to min(end, records added so far). Rebuilt when dupFirst/dupEnd change.
// N.B. Records are assumed to keep their scanKey once added (nothing rewrites it).
struct StorageDupIndex {
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t index = kEmpty;  // record index, kEmpty for a free slot
  };

  std::uint32_t first = 0;
  std::uint32_t end = 0;
  std::uint32_t indexedEnd = 0;
  std::vector<Slot> slots;  // open addressing, linear probing, at most half full
  std::size_t used = 0;

  void reset(std::uint32_t newFirst, std::uint32_t newEnd, std::size_t expected) {
    first = newFirst;
    end = newEnd;
    indexedEnd = newFirst;
    used = 0;
    slots.assign(std::bit_ceil(std::max<std::size_t>(64, expected * 2)), Slot{});
  }

  static std::uint64_t mix(std::uint64_t x) noexcept {  // splitmix64 finaliser
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }

  [[nodiscard]] std::uint32_t find(std::uint64_t key) const noexcept {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
      if (slots[i].index == kEmpty) return kEmpty;
      if (slots[i].key == key) return slots[i].index;
    }
  }

  /// Adds @p key -> @p index unless the key is already present (the first record wins).
  void insertFirst(std::uint64_t key, std::uint32_t index) {
    if ((used + 1) * 2 > slots.size()) grow();
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
      if (slots[i].index == kEmpty) {
        slots[i] = {key, index};
        ++used;
        return;
      }
      if (slots[i].key == key) return;
    }
  }

  void grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    used = 0;
    for (const Slot& s : old)
      if (s.index != kEmpty) insertFirst(s.key, s.index);
  }
};

namespace {

constexpr std::uint32_t kFileSize = sizeof(FileRecord);
constexpr std::uint32_t kFolderSize = sizeof(FolderRecord);
constexpr std::uint32_t kRefBit = 0x80000000u;
constexpr std::uint32_t kCommitChunk = 256 * 1024;  // opened at a time, to keep mprotect calls few
constexpr std::size_t kScanKeyOffset = offsetof(FileRecord, scanKey);

std::uint32_t pageOf(const Undelete* u) noexcept {
  const std::uint32_t page = u->pageSize & ~kOutOfMemory;
  return page != 0 ? page : 4096;
}

std::uint8_t* reserveRegion(std::uint32_t& size, std::uint32_t page) noexcept {
  size -= size % page;  // whole pages, so the committed watermark can reach the end exactly
  for (int attempt = 0; attempt < 2 && size != 0; ++attempt) {
    void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) return static_cast<std::uint8_t*>(p);
    if (attempt == 0) {  // halve once and keep the halved size
      size /= 2;
      size -= size % page;
    }
  }
  return nullptr;
}

void releaseRegion(std::uint8_t*& base, std::uint32_t reserve, std::uint32_t& committed) noexcept {
  if (base != nullptr) munmap(base, reserve);
  base = nullptr;
  committed = 0;
}

/// Address where @p bytes can be written at byte @p used of a region, with @p slack further bytes
/// committed behind them; nullptr when the region is missing, read-only or exhausted (the last
/// sets outOfMemory).
std::uint8_t* appendSpace(Undelete* u, std::uint8_t* base, std::uint32_t reserve,
                          std::uint32_t& committed, std::uint64_t used, std::uint64_t bytes,
                          std::uint32_t slack) noexcept {
  if (base == nullptr || u->storageReadOnly) return nullptr;
  const std::uint32_t page = pageOf(u);
  const std::uint64_t end = used + bytes;
  if (end + page > reserve) {
    u->pageSize |= kOutOfMemory;
    return nullptr;
  }
  const std::uint64_t need = end + slack;  // <= reserve, since slack < page
  if (need > committed) {
    std::uint64_t target = (need + kCommitChunk - 1) / kCommitChunk * kCommitChunk;
    target = std::min<std::uint64_t>(target, reserve);
    if (mprotect(base + committed, target - committed, PROT_READ | PROT_WRITE) != 0) {
      u->pageSize |= kOutOfMemory;
      return nullptr;
    }
    committed = static_cast<std::uint32_t>(target);
  }
  return base + used;
}

std::uint64_t scanKeyAt(const std::uint8_t* files, std::uint32_t index) noexcept {
  le64 key;
  std::memcpy(&key, files + std::uint64_t{index} * kFileSize + kScanKeyOffset, sizeof key);
  return key.get();
}

void markReplaced(std::uint8_t* files, std::uint32_t index) noexcept {
  auto* rec = reinterpret_cast<FileRecord*>(files + std::uint64_t{index} * kFileSize);
  rec->marks.set(static_cast<std::uint16_t>(rec->marks.get() | 1u));
}

/// First record in [first, limit) whose scanKey is @p key, or kEmpty.
std::uint32_t findDuplicate(Undelete* u, std::uint64_t key, std::uint32_t limit) noexcept {
  const std::uint32_t first = u->dupFirst;
  if (first >= limit) return StorageDupIndex::kEmpty;
  try {
    StorageDupIndex*& index = u->dupIndex;
    if (index == nullptr) index = new StorageDupIndex;
    if (index->slots.empty() || index->first != first || index->end != u->dupEnd)
      index->reset(first, u->dupEnd, limit - first);
    for (; index->indexedEnd < limit; ++index->indexedEnd) {
      const std::uint64_t k = scanKeyAt(u->files, index->indexedEnd);
      if (k != kNoScanKey) index->insertFirst(k, index->indexedEnd);
    }
    return index->find(key);
  } catch (const std::bad_alloc&) {
    // No memory for the index: drop it and search the range directly.
    delete u->dupIndex;
    u->dupIndex = nullptr;
    for (std::uint32_t i = first; i < limit; ++i)
      if (scanKeyAt(u->files, i) == key) return i;
    return StorageDupIndex::kEmpty;
  }
}

/// Length in UTF-16 units of the entry at byte @p offset, bounded by the used storage.
std::size_t unitsAt(const Undelete* u, std::uint32_t offset) noexcept {
  const std::uint64_t used = std::uint64_t{u->stringsUsed} * 2;
  std::size_t n = 0;
  for (std::uint64_t at = offset; at + 2 <= used; at += 2, ++n) {
    char16_t c;
    std::memcpy(&c, u->strings + at, 2);
    if (c == 0) break;
  }
  return n;
}

}  // namespace

bool Storage_Reserve(Undelete* u) noexcept {
  if (u == nullptr) return false;
  if (u->files != nullptr || u->strings != nullptr || u->folders != nullptr) Storage_Release(u);
  u->deletedCount = 0;
  u->passFirstFile = 0;
  u->error = 0;
  const std::uint32_t page = pageOf(u);
  u->files = reserveRegion(u->filesReserve, page);
  u->strings = reserveRegion(u->stringsReserve, page);
  u->folders = reserveRegion(u->foldersReserve, page);
  u->storageReadOnly = false;
  return u->files != nullptr && u->strings != nullptr && u->folders != nullptr;
}

void Storage_Release(Undelete* u) noexcept {
  if (u == nullptr) return;
  if (u->files != nullptr) {
    Undelete_Log(u, "Undelete_Done: Destroy files list.\n");
    releaseRegion(u->files, u->filesReserve, u->filesCommitted);
  }
  u->fileCount = 0;
  u->deletedCount = 0;
  if (u->strings != nullptr) {
    Undelete_Log(u, "Undelete_Done: Destroy strings memory.\n");
    releaseRegion(u->strings, u->stringsReserve, u->stringsCommitted);
  }
  u->stringsUsed = 0;
  if (u->folders != nullptr) {
    Undelete_Log(u, "Undelete_Done: Destroy folder memory.\n");
    releaseRegion(u->folders, u->foldersReserve, u->foldersCommitted);
  }
  u->folderCount = 0;
  delete u->dupIndex;
  u->dupIndex = nullptr;
  u->storageReadOnly = false;
}

void Storage_SetReadOnly(Undelete* u, bool readOnly) noexcept {
  if (u == nullptr) return;
  const int prot = readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  if (u->files != nullptr && u->filesCommitted != 0) mprotect(u->files, u->filesCommitted, prot);
  if (u->strings != nullptr && u->stringsCommitted != 0)
    mprotect(u->strings, u->stringsCommitted, prot);
  if (u->folders != nullptr && u->foldersCommitted != 0)
    mprotect(u->folders, u->foldersCommitted, prot);
  u->storageReadOnly = readOnly;
}

bool Storage_AddBlob(Undelete* u, const void* data, std::uint32_t length,
                     std::uint32_t* outRef) noexcept {
  if (outRef != nullptr) *outRef = 0;
  if (u == nullptr || (data == nullptr && length != 0)) return false;
  const std::uint64_t units = (std::uint64_t{length} + 1) / 2;
  const std::uint64_t offset = std::uint64_t{u->stringsUsed} * 2;
  // Two bytes of slack: a zero unit always follows the used part, so a damaged entry without
  // its NUL still ends inside readable memory.
  std::uint8_t* at =
      appendSpace(u, u->strings, u->stringsReserve, u->stringsCommitted, offset, units * 2, 2);
  if (at == nullptr) return false;
  if (length != 0) std::memcpy(at, data, length);
  if (length % 2 != 0) at[length] = 0;
  u->stringsUsed = static_cast<std::uint32_t>(u->stringsUsed + units);
  if (outRef != nullptr) *outRef = static_cast<std::uint32_t>(offset) | kRefBit;
  return true;
}

bool Storage_AddString(Undelete* u, const char16_t* text, std::uint32_t* outRef) noexcept {
  if (outRef != nullptr) *outRef = 0;
  if (text == nullptr) return false;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  const std::uint64_t bytes = (std::uint64_t{length} + 1) * 2;
  if (bytes > 0x7FFFFFFFu) return false;
  return Storage_AddBlob(u, text, static_cast<std::uint32_t>(bytes), outRef);
}

bool Storage_AddFile(Undelete* u, const FileRecord* record, bool flag) noexcept {
  if (u == nullptr || record == nullptr) return false;
  const std::uint32_t index = u->fileCount.load(std::memory_order_relaxed);
  std::uint8_t* at = appendSpace(u, u->files, u->filesReserve, u->filesCommitted,
                                 std::uint64_t{index} * kFileSize, kFileSize, 0);
  if (at == nullptr) return false;
  FileRecord copy;
  std::memcpy(&copy, record, kFileSize);
  copy.marks.set(static_cast<std::uint16_t>(copy.marks.get() & ~1u));
  const std::uint16_t location = copy.location.get();
  copy.location.set(static_cast<std::uint16_t>(flag ? location | 0x8000u : location & 0x7FFFu));
  copy.scanKey.set(u->scanKey);
  std::memcpy(at, &copy, kFileSize);
  // The record is complete before the count covers it.
  u->fileCount.store(index + 1, std::memory_order_release);
  if ((copy.status & kStatusExisting) == 0)
    u->deletedCount.store(u->deletedCount.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
  if (u->scanKey != kNoScanKey) {
    // Only earlier records are candidates: a record never replaces itself.
    const std::uint32_t limit = std::min(u->dupEnd, index);
    const std::uint32_t found = findDuplicate(u, u->scanKey, limit);
    if (found != StorageDupIndex::kEmpty) markReplaced(u->files, found);
  }
  return true;
}

bool Storage_AddFolder(Undelete* u, const char16_t* name, std::uint32_t parent, std::uint16_t tag,
                       std::uint8_t attributes, bool deleted, bool scannerFlag,
                       std::uint32_t* outIndex) noexcept {
  if (u == nullptr) return false;
  std::uint32_t nameRef = 0;
  if (!Storage_AddString(u, name != nullptr ? name : u"", &nameRef)) return false;
  const std::uint32_t index = u->folderCount.load(std::memory_order_relaxed);
  std::uint8_t* at = appendSpace(u, u->folders, u->foldersReserve, u->foldersCommitted,
                                 std::uint64_t{index} * kFolderSize, kFolderSize, 0);
  if (at == nullptr) return false;
  FolderRecord rec;
  rec.name.set(nameRef);
  rec.parent.set(parent);
  rec.flags.set(std::uint32_t{tag} | std::uint32_t{attributes} << 16 |
                (deleted ? kFolderDeleted : 0u) | (scannerFlag ? kFolderScannerFlag : 0u));
  rec.scanKey.set(u->scanKey);
  std::memcpy(at, &rec, kFolderSize);
  u->folderCount.store(index + 1, std::memory_order_release);
  if (outIndex != nullptr) *outIndex = index;
  return true;
}

bool Storage_AppendFolderRecord(Undelete* u, const FolderRecord* record) noexcept {
  if (u == nullptr || record == nullptr) return false;
  const std::uint32_t index = u->folderCount.load(std::memory_order_relaxed);
  std::uint8_t* at = appendSpace(u, u->folders, u->foldersReserve, u->foldersCommitted,
                                 std::uint64_t{index} * kFolderSize, kFolderSize, 0);
  if (at == nullptr) return false;
  std::memcpy(at, record, kFolderSize);
  u->folderCount.store(index + 1, std::memory_order_release);
  return true;
}

bool Storage_AppendFileRecord(Undelete* u, const FileRecord* record) noexcept {
  if (u == nullptr || record == nullptr) return false;
  const std::uint32_t index = u->fileCount.load(std::memory_order_relaxed);
  std::uint8_t* at = appendSpace(u, u->files, u->filesReserve, u->filesCommitted,
                                 std::uint64_t{index} * kFileSize, kFileSize, 0);
  if (at == nullptr) return false;
  std::memcpy(at, record, kFileSize);
  u->fileCount.store(index + 1, std::memory_order_release);
  if ((record->status & kStatusExisting) == 0)
    u->deletedCount.store(u->deletedCount.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
  return true;
}

void* Storage_At(const Undelete* u, std::uint32_t ref) noexcept {
  if (u == nullptr || u->strings == nullptr || (ref & kRefBit) == 0) return nullptr;
  const std::uint32_t offset = ref & ~kRefBit;
  if (offset >= std::uint64_t{u->stringsUsed} * 2) return nullptr;
  return u->strings + offset;
}

std::span<const std::uint8_t> Storage_BytesAt(const Undelete* u, std::uint32_t ref) noexcept {
  const auto* at = static_cast<const std::uint8_t*>(Storage_At(u, ref));
  if (at == nullptr) return {};
  return {at, std::size_t{u->stringsUsed} * 2 - static_cast<std::size_t>(at - u->strings)};
}

const void* Storage_Block(const Undelete* u, std::uint32_t ref, std::size_t bytes) noexcept {
  const auto block = Storage_BytesAt(u, ref);
  return block.size() >= bytes && !block.empty() ? block.data() : nullptr;
}

std::uint32_t Storage_RefOf(const Undelete* u, const void* p) noexcept {
  if (u == nullptr || u->strings == nullptr || p == nullptr) return 0;
  const auto addr = reinterpret_cast<std::uintptr_t>(p);
  const auto base = reinterpret_cast<std::uintptr_t>(u->strings);
  if (addr < base || addr - base >= std::uint64_t{u->stringsUsed} * 2) return 0;
  return static_cast<std::uint32_t>(addr - base) | kRefBit;
}

FileRecord* Storage_File(const Undelete* u, std::uint32_t index) noexcept {
  if (u == nullptr || u->files == nullptr || index >= u->fileCount.load(std::memory_order_acquire))
    return nullptr;
  return reinterpret_cast<FileRecord*>(u->files + std::uint64_t{index} * kFileSize);
}

FolderRecord* Storage_Folder(const Undelete* u, std::uint32_t index) noexcept {
  if (u == nullptr || u->folders == nullptr ||
      index >= u->folderCount.load(std::memory_order_acquire))
    return nullptr;
  return reinterpret_cast<FolderRecord*>(u->folders + std::uint64_t{index} * kFolderSize);
}

bool Storage_FolderPath(const Undelete* u, std::uint32_t index, char16_t* out,
                        std::size_t capacity) noexcept {
  if (u == nullptr || out == nullptr || capacity == 0) return false;
  const std::uint32_t count = u->folderCount.load(std::memory_order_acquire);
  // First walk: total length, and proof that the chain ends at a root within `count` steps.
  std::uint64_t total = 0;
  std::uint32_t steps = 0;
  for (std::uint32_t at = index; at != kNoParent; ++steps) {
    const FolderRecord* f = Storage_Folder(u, at);
    if (f == nullptr || steps >= count) return false;  // broken link or a loop
    const std::uint32_t name = f->name.get();
    total += (Storage_At(u, name) != nullptr ? unitsAt(u, name & ~kRefBit) : 0) + 1;
    if (total + 1 > capacity) return false;
    at = f->parent.get();
  }
  // Second walk: fill from the end, so the root comes first.
  std::size_t pos = static_cast<std::size_t>(total);
  out[pos] = 0;
  for (std::uint32_t at = index; at != kNoParent;) {
    const FolderRecord* f = Storage_Folder(u, at);
    const std::uint32_t name = f->name.get();
    const std::size_t n = Storage_At(u, name) != nullptr ? unitsAt(u, name & ~kRefBit) : 0;
    pos -= n + 1;
    if (n != 0) std::memcpy(out + pos, u->strings + (name & ~kRefBit), n * 2);
    out[pos + n] = u'\\';
    at = f->parent.get();
  }
  return true;
}

extern "C" int Undelete_TooManyFiles(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  const std::uint64_t used =
      std::uint64_t{u->fileCount.load(std::memory_order_relaxed)} * kFileSize;
  return used + pageOf(u) + kFileSize >= u->filesReserve ? 1 : 0;
}
