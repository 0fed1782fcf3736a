// Windows bitmaps: file header, a 40-byte information header and the size the header gives. In
// uncompressed bitmaps whose rows are padded to four bytes the padding bytes are zero; a row with
// other padding is where the bitmap's own data ends (cut short, and other data follows).
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

/// Offset of the first row whose padding is not zero, or @p end when all are sound or the rows
/// cannot be told (compressed, top-down or unusual bitmaps). The reader is at the pixel data.
std::uint64_t firstBadRow(FormatReader& reader, const std::uint8_t* info,
                          std::uint64_t end) noexcept {
  const std::uint32_t width = deepscan::le32At(info + 4);
  const auto height = static_cast<std::int32_t>(deepscan::le32At(info + 8));
  const std::uint16_t bits = deepscan::le16At(info + 14);
  const std::uint32_t compression = deepscan::le32At(info + 16);
  const std::uint32_t infoSize = deepscan::le32At(info);
  const bool knownHeader =
      infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124;
  if (!knownHeader || compression != 0 || height <= 0 || width == 0 || width > (1u << 20) ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 24))
    return end;
  const std::uint64_t rowBits = std::uint64_t{width} * bits;
  const std::uint64_t used = (rowBits + 7) / 8;
  const std::uint64_t stride = (rowBits + 31) / 32 * 4;
  const std::uint64_t pad = stride - used;
  if (pad == 0) return end;
  for (std::int32_t row = 0; row < height; ++row) {
    const std::uint64_t at = reader.consumed();
    std::uint8_t tail[3] = {};
    if (!reader.skip(used) || !reader.read(tail, pad)) return end;
    for (std::uint64_t k = 0; k < pad; ++k)
      if (tail[k] != 0) return at;
  }
  return end;
}

}  // namespace

bool FileFormat_RecognizeBmp(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[14];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "BM")) return false;
  const std::uint32_t size = deepscan::le32At(h + 2);
  const std::uint32_t pixels = deepscan::le32At(h + 10);
  if (deepscan::le16At(h + 6) != 0 || deepscan::le16At(h + 8) != 0) return false;
  if (pixels > size || pixels < 54) return false;
  out.identifier = kFmtBmp;
  std::uint8_t info[40];
  if (!reader.read(info, sizeof info)) {
    out.completeness = kComplBad;
    out.length = reader.consumed();
    return true;
  }
  out.completeness = reader.skip(size - 54u) ? kComplGood : kComplPoor;  // size >= pixels >= 54
  out.length = reader.consumed();
  if (out.completeness == kComplGood) {
    reader.rewind();
    if (reader.skip(pixels)) {
      const std::uint64_t bad = firstBadRow(reader, info, out.length);
      if (bad < out.length) {
        out.completeness = kComplPoor;
        out.length = bad;
      }
    }
  }
  return true;
}
