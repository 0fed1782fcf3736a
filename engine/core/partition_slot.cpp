// Reads one entry of the physical-drive partition list for a partition drive slot. Kept apart from
// the interface header: the list's export is referenced weakly here (the partition module may not
// be in the build) and only the bytes of the entry that a slot needs are taken.
#include "core/partition_slot.h"

#include <cstring>

#include "core/le.h"

struct Undelete;

extern "C" int Undelete_GetPartition(Undelete* u, unsigned index, void* out) noexcept
    __attribute__((weak));

namespace {
// Entry layout of the partition list (406 bytes).
constexpr std::size_t kRecordSize = 406;
constexpr std::size_t kStartAt = 0, kLengthAt = 8, kDriveAt = 16, kLetterAt = 20,
                      kDescriptionAt = 150, kDescriptionSize = 256;
}  // namespace

bool Search_GetPartitionSlot(Undelete* u, std::uint32_t index, PartitionSlotInfo* out) noexcept {
  if (Undelete_GetPartition == nullptr || out == nullptr) return false;
  alignas(8) std::uint8_t raw[kRecordSize + 1] = {};
  if (Undelete_GetPartition(u, index, raw) == 0) return false;
  out->start = loadLe<std::uint64_t>(raw + kStartAt);
  out->length = loadLe<std::uint64_t>(raw + kLengthAt);
  out->disk = raw[kDriveAt];
  out->letter = static_cast<char>(raw[kLetterAt]);
  // The description is NUL-terminated in its field; a missing NUL is cut at the field's end.
  std::size_t n = 0;
  while (n < kDescriptionSize && raw[kDescriptionAt + n] != 0) ++n;
  if (n >= sizeof(out->description)) n = sizeof(out->description) - 1;
  std::memcpy(out->description, raw + kDescriptionAt, n);
  out->description[n] = '\0';
  return true;
}
