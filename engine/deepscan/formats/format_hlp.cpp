// Help files: the header gives the file size and the internal directory, which is checked.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeHlp(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[16];
  if (!reader.read(h, sizeof h) || deepscan::le32At(h) != 0x00035F3Fu) return false;
  const std::uint32_t directory = deepscan::le32At(h + 4);
  const std::uint32_t size = deepscan::le32At(h + 12);
  out.identifier = kFmtHlp;
  out.completeness = kComplBad;
  out.length = size;
  reader.rewind();
  std::uint8_t d[9];
  if (!reader.skip(directory) || !reader.read(d, sizeof d)) return true;
  if (deepscan::le32At(d) < size && deepscan::le32At(d + 4) < size && d[8] == 4)
    out.completeness = kComplGood;
  return true;
}
