// PNG: the signature, then chunks (length, four-letter type, data, CRC) up to IEND.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {
bool isLetter(std::uint8_t c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
}  // namespace

bool FileFormat_RecognizePng(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t sig[8];
  if (!reader.read(sig, 8) || !deepscan::equals(sig, std::string_view("\x89PNG\r\n\x1A\n", 8)))
    return false;
  out.identifier = kFmtPng;
  out.completeness = kComplGood;
  for (;;) {
    std::uint8_t c[8];
    if (!reader.read(c, 8) || !isLetter(c[4]) || !isLetter(c[5]) || !isLetter(c[6]) ||
        !isLetter(c[7]) || !reader.skip(std::uint64_t{deepscan::be32(c)} + 4)) {
      out.completeness = kComplBad;
      break;
    }
    if (deepscan::equals(c + 4, "IEND")) break;
  }
  out.length = reader.consumed();
  return true;
}
