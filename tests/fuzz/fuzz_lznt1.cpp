// Fuzz target: LZNT1 decompression into a compression unit's buffer (first input byte picks a
// shorter output to exercise the room check).
#include <cstdint>
#include <vector>

#include "ntfs/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t outSize =
      (data[0] & 0x80) ? 65536u : 4096u * (data[0] & 0x0Fu) + (data[0] & 0x30u);
  std::vector<std::uint8_t> out(outSize + 1, 0);
  out[outSize] = 0xA5;
  NTFS_Decompress(static_cast<std::uint32_t>(size - 1), data + 1, outSize, out.data());
  if (out[outSize] != 0xA5) __builtin_trap();  // wrote past the output it was given
  return 0;
}
