// Fuzz target: NTFS mapping pairs through the run-list cursor, by runs and by clusters, with and
// without a cluster limit.
#include <cstdint>
#include <span>

#include "ntfs/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> list(data, size);
  RunCursor c;
  std::uint64_t first = 0, count = 0, n = 0;
  bool sparse = false;
  c.load(list, 0);
  for (int i = 0; i < 4096 && c.nextRun(&first, &count, &sparse); ++i) {
  }
  c.load(list, 65536);
  for (int i = 0; i < 65536; ++i) {
    if (c.skipSparse(&n)) continue;
    if (!c.next(&first, &count)) break;
    if (first + count >= 65536 && count != 0) __builtin_trap();  // the limit must hold
  }
  return 0;
}
