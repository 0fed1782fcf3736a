// Fuzz target: FAT directory entries as the scanner reads them (long-name parts, names, times).
#include <cstddef>
#include <cstdint>

#include "fat/fat_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool fat32 = (data[0] & 1) != 0;
  const std::uint32_t kind = 4u + data[0] % 3u;
  FatName collected;
  FatItem item;
  for (std::size_t at = 1; at + 32 <= size; at += 32) {
    const std::uint8_t* entry = data + at;
    FAT_ClassifyEntry(entry, fat32, 0x0FFFFFF7u, collected, item);
    if (item.slot == FatSlot::End) break;
    if (item.slot == FatSlot::File || item.slot == FatSlot::Directory) {
      (void)FAT_EntryTimes(entry, kind);
      (void)FAT_MapAttributes(item.attributes);
    }
    (void)FAT_IsDotEntry(entry, true);
  }
  return 0;
}
