// Fuzz target: update-sequence fix-up of a record or index block, with the 512-byte stride and a
// whole-block one.
#include <cstdint>
#include <span>
#include <vector>

#include "ntfs/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> record(data, data + size);
  const std::vector<std::uint8_t> before = record;
  if (!NTFS_ApplyFixup(record, 512) && record != before) __builtin_trap();  // refused: untouched
  std::vector<std::uint8_t> again(data, data + size);
  (void)NTFS_ApplyFixup(again, 4096);
  return 0;
}
