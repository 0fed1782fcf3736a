// ExtentReader: hands out the bytes of a list of extents (a file's runs, a table's clusters) in
// order, refilling a chunk-sized buffer through the drive's cache.
#include "core/extent_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/cached_drive.h"
#include "core/event.h"

namespace {

constexpr std::size_t kGrowBy = 512;       // extent list capacity step
constexpr std::uint32_t kPollEvery = 128;  // refills between two looks at the cancel event

bool cancelled(const ExtentReader* r) { return r->cancel != nullptr && r->cancel->isSet(); }

void clearBuffer(ExtentReader* r) {
  r->filled = 0;
  r->used = 0;
}

/// Makes the next non-empty extent of the list current; false when the list is used up.
bool nextExtent(ExtentReader* r) {
  while (r->nextExtent < r->extents.size()) {
    const Extent& e = r->extents[r->nextExtent++];
    r->offset = e.offset;
    r->left = e.length;
    if (e.length != 0) return true;
  }
  return false;
}

/// Reads the next chunk of the current extent into the buffer. An extent that is not a whole
/// number of chunks ends with a shorter refill: reading a full chunk there would hand out bytes
/// that do not belong to the stream.
bool refill(ExtentReader* r) {
  if (r->buffer.size() < r->chunk || r->drive == nullptr || r->left == 0) return false;
  const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(r->chunk, r->left));
  std::uint32_t got = 0;
  if (!CachedDrive_Read(r->drive, r->offset, n, r->buffer.data(), &got) || got == 0) return false;
  r->offset += got;
  r->left -= got;
  r->filled = got;
  r->used = 0;
  return true;
}

/// Bytes still to come without moving to another list extent.
std::uint64_t available(const ExtentReader* r) {
  return std::uint64_t{r->filled - r->used} + r->left;
}

}  // namespace

bool ExtentReader_Create(ExtentReader** out) noexcept {
  if (out == nullptr) return false;
  *out = new (std::nothrow) ExtentReader;
  return *out != nullptr;
}

void ExtentReader_Destroy(ExtentReader* reader) noexcept { delete reader; }

bool ExtentReader_Init(const ManualResetEvent* cancel, const ManualResetEvent* totalCancel,
                       CachedDrive* drive, ExtentReader* reader, std::uint32_t chunk,
                       std::uint64_t firstOffset, std::uint64_t firstLength) noexcept {
  if (reader == nullptr || drive == nullptr || chunk == 0) return false;
  try {
    reader->buffer.assign(std::size_t{chunk} * 2, 0);
  } catch (...) {
    return false;
  }
  reader->cancel = cancel;
  reader->totalCancel = totalCancel;
  reader->drive = drive;
  reader->chunk = chunk;
  // A fresh start: extents of an earlier stream must not follow this one.
  reader->extents.clear();
  reader->nextExtent = 0;
  reader->refills = 0;
  reader->firstOffset = firstOffset;
  reader->firstLength = firstLength;
  reader->offset = firstOffset;
  reader->left = firstLength;
  reader->consumed = 0;
  clearBuffer(reader);
  return true;
}

bool ExtentReader_SetFirst(ExtentReader* reader, std::uint64_t offset,
                           std::uint64_t length) noexcept {
  if (reader == nullptr) return false;
  reader->firstOffset = offset;
  reader->firstLength = length;
  reader->offset = offset;
  reader->left = length;
  reader->nextExtent = reader->extents.size();  // this extent alone is the stream
  reader->consumed = 0;
  clearBuffer(reader);
  return true;
}

bool ExtentReader_Rewind(ExtentReader* reader) noexcept {
  if (reader == nullptr) return false;
  if (!reader->extents.empty()) {
    reader->offset = reader->extents[0].offset;
    reader->left = reader->extents[0].length;
    reader->nextExtent = 1;
  } else {
    reader->offset = reader->firstOffset;
    reader->left = reader->firstLength;
    reader->nextExtent = 0;
  }
  reader->consumed = 0;
  clearBuffer(reader);
  return true;
}

bool ExtentReader_Read(ExtentReader* reader, void* buffer, std::uint64_t count) noexcept {
  if (reader == nullptr || (buffer == nullptr && count != 0)) return false;
  if (count > available(reader) && reader->nextExtent >= reader->extents.size()) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    if (reader->used == reader->filled) {
      if (reader->left == 0) {
        if (!nextExtent(reader)) return false;
        continue;
      }
      if (reader->refills == 0 && cancelled(reader)) return false;
      reader->refills = (reader->refills + 1) % kPollEvery;
      if (!refill(reader)) return false;
    }
    const auto n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(count, reader->filled - reader->used));
    std::memcpy(out, reader->buffer.data() + reader->used, n);
    reader->used += n;
    reader->consumed += n;
    out += n;
    count -= n;
  }
  return true;
}

bool ExtentReader_Skip(ExtentReader* reader, std::uint64_t count) noexcept {
  if (reader == nullptr) return false;
  if (count > available(reader) && reader->nextExtent >= reader->extents.size()) return false;
  const std::uint64_t nearby = std::uint64_t{reader->chunk} * 2;
  while (count > 0) {
    if (reader->used < reader->filled) {
      const auto n =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(count, reader->filled - reader->used));
      reader->used += n;
      reader->consumed += n;
      count -= n;
      continue;
    }
    if (reader->left == 0) {
      if (!nextExtent(reader)) return false;
      continue;
    }
    if (cancelled(reader)) return false;
    if (count > nearby) {
      // Far from the target: pass over whole chunks without reading them.
      const std::uint64_t far = (count - nearby) / reader->chunk * reader->chunk;
      const std::uint64_t pass = std::min(reader->left, far);
      if (pass != 0) {
        reader->offset += pass;
        reader->left -= pass;
        reader->consumed += pass;
        count -= pass;
        continue;
      }
    }
    if (!refill(reader)) return false;
  }
  return true;
}

bool ExtentReader_AlignTo(ExtentReader* reader, std::uint32_t unit) noexcept {
  if (reader == nullptr) return false;
  if (unit == 0) return true;
  const std::uint64_t rest = reader->consumed % unit;
  return rest == 0 || ExtentReader_Skip(reader, unit - rest);
}

bool ExtentReader_GetConsumed(std::uint64_t* out, const ExtentReader* reader) noexcept {
  if (out == nullptr || reader == nullptr) return false;
  *out = reader->consumed;
  return true;
}

bool ExtentReader_GetFirst(const ExtentReader* reader, std::uint64_t* length,
                           std::uint64_t* offset) noexcept {
  if (reader == nullptr || length == nullptr || offset == nullptr) return false;
  if (!reader->extents.empty()) {
    *offset = reader->extents[0].offset;
    *length = reader->extents[0].length;
  } else {
    *offset = reader->firstOffset;
    *length = reader->firstLength;
  }
  return true;
}

bool ExtentReader_DropFirstChunk(ExtentReader* reader) noexcept {
  if (reader == nullptr) return false;
  std::uint64_t length = 0, offset = 0;
  if (!ExtentReader_GetFirst(reader, &length, &offset)) return false;
  const std::uint64_t step = std::min<std::uint64_t>(reader->chunk, length);
  offset += step;
  length -= step;
  if (!reader->extents.empty()) reader->extents[0] = {offset, length};
  reader->firstOffset = offset;
  reader->firstLength = length;
  return ExtentReader_Rewind(reader);
}

bool ExtentList_Append(ExtentReader* reader, std::uint64_t offset, std::uint64_t length) noexcept {
  if (reader == nullptr) return false;
  std::uint64_t end = 0;
  if (__builtin_add_overflow(offset, length, &end)) return false;
  if (length == 0) return true;
  auto& list = reader->extents;
  if (!list.empty() && list.back().offset + list.back().length == offset) {
    list.back().length += length;
    return true;
  }
  try {
    if (list.size() == list.capacity()) list.reserve(list.capacity() + kGrowBy);
    list.push_back({offset, length});
  } catch (...) {
    return false;
  }
  return true;
}

void ExtentReader_FreeBuffer(ExtentReader* reader) noexcept {
  if (reader == nullptr) return;
  reader->buffer.clear();
  reader->buffer.shrink_to_fit();
  clearBuffer(reader);
}
