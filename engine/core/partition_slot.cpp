// Reads one entry of the physical-drive partition list for a partition drive slot, taking only the
// bytes of the entry that a slot needs.
#include "core/partition_slot.h"

#include <cstring>

#include "core/le.h"

namespace {
// Entry layout of the partition list (406 bytes).
constexpr std::size_t kRecordSize = 406;
constexpr std::size_t kStartAt = 0, kLengthAt = 8, kDriveAt = 16, kLetterAt = 20,
                      kDescriptionAt = 150, kDescriptionSize = 256;
}  // namespace

bool Search_GetPartitionSlot(Undelete*, std::uint32_t, PartitionSlotInfo*) noexcept {
  // The list is the partition module's, which is not in this build: no index has an entry. With
  // it, this reads entry index (kRecordSize bytes) through its export and decodes it below.
  return false;
}

bool Search_DecodePartitionSlot(const std::uint8_t* raw, PartitionSlotInfo* out) noexcept {
  if (raw == nullptr || out == nullptr) return false;
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
