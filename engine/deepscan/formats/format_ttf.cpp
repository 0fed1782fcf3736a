// TrueType fonts: the offset table and its table records; the file ends where the furthest
// table ends.
#include <algorithm>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeTrueType(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[12];
  if (!reader.read(h, sizeof h) || deepscan::be32(h) != 0x00010000u) return false;
  const std::uint16_t tables = deepscan::be16(h + 4);
  if (tables == 0) return false;
  out.identifier = kFmtTtf;
  out.completeness = kComplGood;
  out.length = 12;
  for (std::uint16_t i = 0; i < tables; ++i) {
    std::uint8_t r[16];
    if (!reader.read(r, sizeof r)) break;  // a cut directory: what was seen so far
    if (r[0] < 0x20 || r[1] < 0x20 || r[2] < 0x20 || r[3] < 0x20) return false;
    const std::uint64_t end = std::uint64_t{deepscan::be32(r + 8)} + deepscan::be32(r + 12);
    if (end > 0x6400000u) return false;
    out.length = std::max(out.length, end);
  }
  return true;
}
