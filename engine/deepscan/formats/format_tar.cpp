// Tar archives written with "./" member names and the GNU header magic: headers and member data
// in 512-byte records.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

/// The header's size field read as "%o%c" would read it from offset 124 of the header record:
/// white space, an optional sign, octal digits, then one more character unless the text ends.
/// The text ends at a zero byte or, here, at the end of the record (the field is never read
/// past it). Returns the number of conversions (0, 1 or 2).
int scanSize(const std::uint8_t* rec, std::uint64_t& size) noexcept {
  std::size_t i = 124;
  auto isSpace = [](std::uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); };
  while (i < 512 && isSpace(rec[i])) ++i;
  bool negative = false;
  if (i < 512 && (rec[i] == '+' || rec[i] == '-')) negative = rec[i++] == '-';
  std::size_t digits = 0;
  std::uint64_t v = 0;
  while (i < 512 && rec[i] >= '0' && rec[i] <= '7') {
    if (v < (std::uint64_t{1} << 60)) v = v * 8 + (rec[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0) return 0;
  size = negative ? 0 - v : v;
  return i < 512 && rec[i] != 0 ? 2 : 1;
}

}  // namespace

bool FileFormat_RecognizeTar(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t rec[512];
  if (!reader.read(rec, 2) || rec[0] != '.' || rec[1] != '/') return false;
  reader.rewind();
  bool any = false;
  out.completeness = kComplGood;
  while (reader.read(rec, sizeof rec)) {
    if (!deepscan::equals(rec + 257, std::string_view("ustar  \0", 8))) break;
    std::uint64_t size = 0;
    const int conversions = scanSize(rec, size);
    if (conversions == 0) break;
    if (conversions == 1) {
      // A negative size wraps to a huge one, which no window holds.
      const std::uint64_t padded =
          size > (std::uint64_t{1} << 62) ? size : (size + 511) & ~std::uint64_t{511};
      if (!reader.skip(padded)) {
        // The member's data is cut: a first header alone is still a tar, but only just.
        if (!any) {
          out.identifier = kFmtTar;
          out.completeness = kComplBad;
          out.length = reader.consumed();
          return true;
        }
        out.completeness = kComplPoor;
        break;
      }
    } else {
      out.completeness = kComplPoor;
    }
    any = true;
    out.identifier = kFmtTar;
    out.length = reader.consumed();
  }
  return any;
}
