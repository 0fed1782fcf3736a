// Compiled help (ITSF): the header section table leads to header section 0, which holds the
// file size.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeChm(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[56];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "ITSF")) return false;
  out.identifier = kFmtChm;
  out.completeness = kComplBad;
  out.length = reader.consumed();
  std::uint8_t table[32];  // offset and length of header sections 0 and 1 (u64 each)
  if (!reader.read(table, sizeof table)) return true;
  const std::uint64_t section0 = deepscan::le64At(table);
  reader.rewind();
  std::uint8_t s0[20];
  if (!reader.skip(section0) || !reader.read(s0, sizeof s0)) return true;
  out.length = deepscan::le32At(s0 + 8);
  out.completeness = kComplGood;
  return true;
}
