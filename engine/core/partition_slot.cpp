// Reads one entry of the physical-drive partition list for a partition drive slot: only the
// fields of the entry that a slot needs are taken.
#include "core/partition_slot.h"

#include <cstring>

#include "undelete/undelete.h"

bool Search_GetPartitionSlot(Undelete* u, std::uint32_t index, PartitionSlotInfo* out) noexcept {
  if (out == nullptr) return false;
  PartitionRecord r{};
  if (Undelete_GetPartition(u, index, &r) == 0) return false;
  out->start = r.start.get();
  out->length = r.length.get();
  out->disk = r.drive;
  out->letter = r.letter;
  // The description is NUL-terminated in its field; a missing NUL is cut at the field's end.
  std::size_t n = 0;
  while (n < sizeof r.description && r.description[n] != 0) ++n;
  if (n >= sizeof(out->description)) n = sizeof(out->description) - 1;
  std::memcpy(out->description, r.description, n);
  out->description[n] = '\0';
  return true;
}
