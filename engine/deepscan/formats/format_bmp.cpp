// Windows bitmaps: file header, a 40-byte information header and the size the header gives.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeBmp(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[14];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "BM")) return false;
  const std::uint32_t size = deepscan::le32At(h + 2);
  const std::uint32_t pixels = deepscan::le32At(h + 10);
  if (deepscan::le16At(h + 6) != 0 || deepscan::le16At(h + 8) != 0) return false;
  if (pixels > size || pixels < 54) return false;
  out.identifier = kFmtBmp;
  if (!reader.skip(40)) {
    out.completeness = kComplBad;
  } else {
    out.completeness = reader.skip(size - 54u) ? kComplGood : kComplPoor;  // size >= pixels >= 54
  }
  out.length = reader.consumed();
  return true;
}
