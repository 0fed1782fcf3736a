// What a partition drive slot takes from the physical-drive partition list.
#pragma once

#include <cstdint>

struct Undelete;

struct PartitionSlotInfo {
  std::uint64_t start = 0;    // bytes on the physical drive
  std::uint64_t length = 0;   // bytes
  std::uint8_t disk = 0;      // physical drive number
  char letter = 0;            // drive letter, 0 if none
  char description[255] = {};
};

/// Entry @p index of the partition list; false when it does not exist (or no list is built in).
[[nodiscard]] bool Search_GetPartitionSlot(Undelete* u, std::uint32_t index,
                                           PartitionSlotInfo* out) noexcept;
/// Decodes the slot's fields from one 406-byte entry of the partition list.
bool Search_DecodePartitionSlot(const std::uint8_t* raw, PartitionSlotInfo* out) noexcept;
