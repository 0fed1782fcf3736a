// Cabinet archives: the length is the cabinet size of the header; nothing further is checked.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeCab(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[12];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "MSCF")) return false;
  out.identifier = kFmtCab;
  out.completeness = kComplPoor;
  out.length = deepscan::le32At(h + 8);
  return true;
}
