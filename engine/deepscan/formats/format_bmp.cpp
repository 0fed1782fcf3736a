// Windows bitmaps: file header, a 40-byte information header and the size the header gives. In
// uncompressed bitmaps whose rows are padded to four bytes the padding bytes are zero; a row with
// other padding is where the bitmap's own data ends (cut short, and other data follows).
#include <algorithm>

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
  // Neighbouring pixels of a picture are alike; noise is not. Rows (a sample of each) that
  // suddenly differ from their neighbours as noise does, two in a row, are not this picture's.
  const std::uint32_t step = bits / 8;
  const std::uint64_t sample = step >= 3 ? std::min<std::uint64_t>(used, 960) : 0;
  std::uint8_t row[960];
  std::uint64_t baseline = 0, rowsSeen = 0, suspectAt = 0;
  bool suspect = false;
  for (std::int32_t r = 0; r < height; ++r) {
    const std::uint64_t at = reader.consumed();
    if (sample > 0) {
      if (!reader.read(row, sample) || !reader.skip(used - sample)) return end;
      std::uint64_t diff = 0;
      for (std::uint64_t i = step; i < sample; ++i)
        diff += row[i] > row[i - step] ? row[i] - row[i - step] : row[i - step] - row[i];
      const std::uint64_t mean = sample > step ? diff / (sample - step) : 0;
      if (rowsSeen >= 4 && mean > 48 && mean > 3 * baseline + 8) {
        if (suspect) return suspectAt;
        suspect = true;
        suspectAt = at;
      } else {
        suspect = false;
        if (rowsSeen < 4) baseline = (baseline * rowsSeen + mean) / (rowsSeen + 1);
        ++rowsSeen;
      }
    } else if (!reader.skip(used)) {
      return end;
    }
    if (pad == 0) continue;
    std::uint8_t tail[3] = {};
    if (!reader.read(tail, pad)) return end;
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
