// Flash movies ("FWS" plain, "CWS" compressed): the header gives the file length.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeFlash(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[8];
  if (!reader.read(h, sizeof h)) return false;
  if (!deepscan::equals(h, "FWS") && !deepscan::equals(h, "CWS")) return false;
  out.identifier = kFmtSwf;
  out.completeness = kComplGood;
  out.length = deepscan::le32At(h + 4);
  return true;
}
