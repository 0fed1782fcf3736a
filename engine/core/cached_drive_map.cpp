// The used-sector map of a CachedDrive: one bit per sector that a scanner accounted for. The deep
// scan walks its runs of clear bits, so the walk skips whole bytes and 64-bit words at a time.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/cached_drive.h"

namespace {

constexpr std::uint64_t kAllOnes = ~0ull;

std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

bool bitAt(const std::uint8_t* map, std::uint64_t bit) {
  return ((map[bit >> 3] >> (bit & 7)) & 1u) != 0;
}

/// First bit at or after @p bit, below @p limit, whose value is @p value; @p limit when none.
/// Bits are taken one at a time up to a byte edge, then bytes up to a word edge, then whole words.
std::uint64_t findBit(const std::uint8_t* map, std::uint64_t bit, std::uint64_t limit, bool value) {
  const std::uint8_t skipByte = value ? 0x00 : 0xFF;
  const std::uint64_t skipWord = value ? 0 : kAllOnes;
  while (bit < limit && (bit & 7) != 0) {
    if (bitAt(map, bit) == value) return bit;
    ++bit;
  }
  while (bit + 8 <= limit && (bit & 63) != 0 && map[bit >> 3] == skipByte) bit += 8;
  if ((bit & 63) == 0)
    while (bit + 64 <= limit && loadWord(map + (bit >> 3)) == skipWord) bit += 64;
  while (bit + 8 <= limit && map[bit >> 3] == skipByte) bit += 8;
  while (bit < limit) {
    if (bitAt(map, bit) == value) return bit;
    ++bit;
  }
  return limit;
}

}  // namespace

bool CachedDrive_InitMap(CachedDrive* drive, std::uint64_t bits, const void* initial,
                         std::uint32_t initialBytes) noexcept {
  if (drive == nullptr) return false;
  // An existing map large enough is kept with its marks: only its length changes.
  if (drive->map != nullptr && bits <= drive->mapBytes * 8) {
    drive->mapBits = bits;
    return true;
  }
  if (bits > ~0ull - 63) return false;
  CachedDrive_FreeMap(drive);
  const std::uint64_t bytes = (bits + 7) / 8;
  const std::uint64_t rounded = std::max<std::uint64_t>((bytes + 7) / 8 * 8, 8);
  // calloc: the pages of a large map are only committed where a bit gets set.
  auto* map = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(rounded), 1));
  if (map == nullptr) return false;
  if (initial != nullptr)
    std::memcpy(map, initial,
                static_cast<std::size_t>(std::min<std::uint64_t>(initialBytes, bytes)));
  drive->map = map;
  drive->mapBytes = rounded;
  drive->mapBits = bits;
  return true;
}

bool CachedDrive_SetMapBit(CachedDrive* drive, std::uint64_t bit) noexcept {
  if (drive == nullptr || drive->map == nullptr || bit >= drive->mapBits) return false;
  drive->map[bit >> 3] = static_cast<std::uint8_t>(drive->map[bit >> 3] | (1u << (bit & 7)));
  return true;
}

bool CachedDrive_TestMapBit(const CachedDrive* drive, std::uint64_t bit) noexcept {
  if (drive == nullptr || drive->map == nullptr || bit >= drive->mapBits) return false;
  return bitAt(drive->map, bit);
}

bool CachedDrive_SetMapRange(CachedDrive* drive, std::uint64_t first,
                             std::uint64_t count) noexcept {
  if (drive == nullptr || drive->map == nullptr) return false;
  if (first >= drive->mapBits) return true;
  const std::uint64_t end = first + std::min(count, drive->mapBits - first);
  std::uint64_t bit = first;
  while (bit < end && (bit & 7) != 0) {
    drive->map[bit >> 3] = static_cast<std::uint8_t>(drive->map[bit >> 3] | (1u << (bit & 7)));
    ++bit;
  }
  if (end - bit >= 8) {
    const std::uint64_t bytes = (end - bit) / 8;
    std::memset(drive->map + (bit >> 3), 0xFF, static_cast<std::size_t>(bytes));
    bit += bytes * 8;
  }
  while (bit < end) {
    drive->map[bit >> 3] = static_cast<std::uint8_t>(drive->map[bit >> 3] | (1u << (bit & 7)));
    ++bit;
  }
  return true;
}

bool CachedDrive_NextFreeRun(const CachedDrive* drive, std::uint64_t* position,
                             std::uint64_t* end) noexcept {
  if (drive == nullptr || drive->map == nullptr || position == nullptr || end == nullptr)
    return false;
  if (*position >= drive->mapBits) return false;
  *position = findBit(drive->map, *position, drive->mapBits, false);
  *end = *position < drive->mapBits ? findBit(drive->map, *position, drive->mapBits, true)
                                    : drive->mapBits;
  return *position < *end;
}

bool CachedDrive_GetMapBits(std::uint64_t* out, const CachedDrive* drive) noexcept {
  if (out == nullptr || drive == nullptr || drive->map == nullptr) return false;
  *out = drive->mapBits;
  return true;
}

void CachedDrive_FreeMap(CachedDrive* drive) noexcept {
  if (drive == nullptr) return;
  std::free(drive->map);
  drive->map = nullptr;
  drive->mapBits = 0;
  drive->mapBytes = 0;
}
