// LZNT1 decompression of NTFS compression units: chunks of up to 4096 output bytes, each with a
// 16-bit header (bits 0..11 = chunk bytes - 3 including the header, bit 15 = compressed).
#include <cstdint>
#include <cstring>

#include "ntfs/ntfs.h"

namespace {

constexpr std::uint32_t kChunkBytes = 4096;

/// Decodes one compressed chunk of input [pos, end) into out[0, kChunkBytes). Returns false on a
/// format error; @p produced gets the bytes written so far either way.
bool decodeChunk(const std::uint8_t* in, std::uint32_t pos, std::uint32_t end, std::uint8_t* out,
                 std::uint32_t* produced) noexcept {
  std::uint32_t p = 0;
  while (pos < end) {
    const std::uint8_t flags = in[pos++];
    for (int bit = 0; bit < 8 && pos < end; ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (p >= kChunkBytes) {
          *produced = p;
          return false;
        }
        out[p++] = in[pos++];
        continue;
      }
      // A back-reference takes two bytes: both must be inside the chunk.
      if (end - pos < 2) {
        *produced = p;
        return false;
      }
      const std::uint16_t token = static_cast<std::uint16_t>(in[pos] | (in[pos + 1] << 8));
      pos += 2;
      if (p == 0) {
        *produced = p;
        return false;
      }
      // The split moves towards the displacement as the chunk fills: 12 - k length bits, where k
      // counts the halvings that bring p - 1 below 16.
      std::uint32_t lengthBits = 12;
      for (std::uint32_t v = p - 1; v >= 16; v >>= 1) --lengthBits;
      const std::uint32_t displacement = (static_cast<std::uint32_t>(token) >> lengthBits) + 1;
      const std::uint32_t length = (token & ((1u << lengthBits) - 1u)) + 3;
      if (displacement > p || length > kChunkBytes - p) {
        *produced = p;
        return false;
      }
      std::uint8_t* dst = out + p;
      const std::uint8_t* src = dst - displacement;
      if (length <= displacement) {
        std::memcpy(dst, src, length);
      } else {
        for (std::uint32_t i = 0; i < length; ++i) dst[i] = src[i];  // overlapping: repeats
      }
      p += length;
    }
  }
  *produced = p;
  return true;
}

}  // namespace

int NTFS_Decompress(std::uint32_t inLength, const std::uint8_t* in, std::uint32_t outLength,
                    std::uint8_t* out) noexcept {
  if (in == nullptr || out == nullptr) return inLength == 0 ? 0 : -1;
  std::uint32_t inPos = 0, outPos = 0;
  while (inPos < inLength) {
    if (inLength - inPos < 2) return 0;  // a lone trailing byte is padding, as a zero header is
    const std::uint32_t header = static_cast<std::uint32_t>(in[inPos] | (in[inPos + 1] << 8));
    if (header == 0) return 0;
    if (outPos >= outLength) return 0;
    if (outLength - outPos < kChunkBytes) return -1;
    const std::uint32_t chunkBytes = (header & 0x0FFFu) + 3;  // header included
    if (chunkBytes > inLength - inPos) return -1;
    const std::uint32_t end = inPos + chunkBytes;
    if ((header & 0x8000u) != 0) {
      std::uint32_t produced = 0;
      const bool ok = decodeChunk(in, inPos + 2, end, out + outPos, &produced);
      if (!ok) return -1;
      std::memset(out + outPos + produced, 0, kChunkBytes - produced);
    } else {
      if (chunkBytes != kChunkBytes + 2) return -1;
      std::memcpy(out + outPos, in + inPos + 2, kChunkBytes);
    }
    inPos = end;
    outPos += kChunkBytes;
  }
  return 0;
}
