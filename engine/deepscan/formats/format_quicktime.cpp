// QuickTime movies: a walk over top-level atoms of known types.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeQuickTime(FormatReader& reader, FormatResult& out) noexcept {
  static constexpr const char* kKnown[] = {"moov", "mdat", "free", "skip", "pnot", "wide"};
  bool anyKnown = false, sawData = false, afterData = false;
  std::uint64_t end = 0;  // end of the last atom passed over whole
  for (;;) {
    std::uint8_t h[8];
    if (!reader.read(h, sizeof h)) break;
    if (sawData) afterData = true;
    bool known = false;
    for (const char* k : kKnown) known = known || deepscan::equals(h + 4, k);
    if (!known) break;
    std::uint64_t size = deepscan::be32(h);
    std::uint64_t headBytes = 8;
    if (size == 1) {  // 64-bit size follows the type
      std::uint8_t large[8];
      if (!reader.read(large, sizeof large)) break;
      size = (std::uint64_t{deepscan::be32(large)} << 32) | deepscan::be32(large + 4);
      headBytes = 16;
    }
    if (size < headBytes || !reader.skip(size - headBytes)) break;
    anyKnown = true;
    if (deepscan::equals(h + 4, "mdat")) sawData = true;
    end = reader.consumed();
  }
  if (!anyKnown) return false;
  out.identifier = kFmtMov;
  out.completeness = afterData ? kComplExcellent : sawData ? kComplGood : kComplPoor;
  out.length = end;
  return true;
}
