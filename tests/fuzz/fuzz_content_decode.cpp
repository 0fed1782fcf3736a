// The decoding content checks over arbitrary bytes: the JPEG scan decoder, and the ZIP check that
// inflates deflated members. Seeds starting "PK" go to the ZIP check, the rest to the decoder. A
// result never claims more bytes than there are.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "deepscan/deepscan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  if (size >= 2 && data[0] == 'P' && data[1] == 'K') {
    FormatCheck c;
    if (!FileFormat_Validate(bytes, c) || c.good > size) std::abort();
    return 0;
  }
  std::uint64_t end = 0;
  const JpegDecode r = FileFormat_DecodeJpeg(bytes, end);
  if (end > size || (r == JpegDecode::Whole && end < 4)) std::abort();
  return 0;
}
