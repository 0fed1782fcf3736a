// PNG: the signature, then chunks (length, four-letter type, data, CRC) up to IEND. Every chunk's
// CRC is checked: a mismatch is where the file's own data ends (cut short, or another fragment).
#include <algorithm>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {
bool isLetter(std::uint8_t c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

/// CRC of the chunk type and @p length data bytes at the cursor, which it passes over.
bool chunkCrc(FormatReader& reader, const std::uint8_t* type, std::uint64_t length,
              std::uint32_t& crc) noexcept {
  crc = deepscan::crc32(0, type, 4);
  while (length > 0) {
    const auto view =
        reader.peek(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 16)));
    if (view.empty()) return false;
    crc = deepscan::crc32(crc, view.data(), view.size());
    if (!reader.skip(view.size())) return false;
    length -= view.size();
  }
  return true;
}
}  // namespace

bool FileFormat_RecognizePng(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t sig[8];
  if (!reader.read(sig, 8) || !deepscan::equals(sig, std::string_view("\x89PNG\r\n\x1A\n", 8)))
    return false;
  out.identifier = kFmtPng;
  out.completeness = kComplBad;
  std::uint64_t good = reader.consumed();
  for (;;) {
    std::uint8_t c[8];
    std::uint32_t crc = 0, stored = 0;
    if (!reader.read(c, 8) || !isLetter(c[4]) || !isLetter(c[5]) || !isLetter(c[6]) ||
        !isLetter(c[7]) || !chunkCrc(reader, c + 4, deepscan::be32(c), crc) ||
        !reader.readBe32(stored) || stored != crc) {
      break;
    }
    good = reader.consumed();
    if (deepscan::equals(c + 4, "IEND")) {
      out.completeness = kComplExcellent;  // every chunk checked up to the end marker
      break;
    }
  }
  out.length = good;  // a cut file ends after its last sound chunk
  return true;
}
