// RAR archives (versions 1.5 to 4): the marker block, then blocks of a 7-byte head each, up to
// the end-of-archive block.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

/// Walks one file (0x74) or sub-block (0x7A) header after its 7-byte head; @p size is the
/// header size. On success the packed data has been passed over as well.
bool walkFileHeader(FormatReader& reader, std::uint8_t type, std::uint16_t flags,
                    std::uint16_t size) noexcept {
  const std::int64_t b = std::int64_t{size} - 7;
  std::uint8_t f[25];
  if (b <= 24 || !reader.read(f, sizeof f)) return false;
  std::uint64_t packed = deepscan::le32At(f);
  const std::uint16_t nameSize = deepscan::le16At(f + 19);
  std::int64_t n = std::int64_t{size} - 32;
  if (flags & 0x100) {  // 64-bit sizes: high halves of packed and unpacked size
    std::uint8_t high[8];
    if (n < 8 || !reader.read(high, sizeof high)) return false;
    packed |= std::uint64_t{deepscan::le32At(high)} << 32;
    n = std::int64_t{size} - 40;
  }
  if (n < nameSize || !reader.skip(nameSize)) return false;
  n -= nameSize;
  if (type == 0x7A) {
    const std::int64_t rest = std::int64_t{size} - nameSize - ((flags & 0x400) ? 40 : 32);
    if (rest > 0) {
      if (rest > n || !reader.skip(static_cast<std::uint64_t>(rest))) return false;
      n -= rest;
    }
  }
  if (flags & 0x400) {  // salt
    if (n < 8 || !reader.skip(8)) return false;
    n -= 8;
  }
  if (flags & 0x1000) {  // extended times: four 4-bit fields from the top
    std::uint16_t times = 0;
    if (n < 2 || !reader.readLe16(times)) return false;
    n -= 2;
    for (int i = 0; i < 4; ++i) {
      const unsigned field = (times >> (12 - 4 * i)) & 0xFu;
      if (!(field & 8)) continue;
      const std::int64_t bytes = (i == 0 ? 0 : 4) + (field & 3);
      if (n < bytes || !reader.skip(static_cast<std::uint64_t>(bytes))) return false;
      n -= bytes;
    }
  }
  return n == 0 && reader.skip(packed);
}

}  // namespace

bool FileFormat_RecognizeRar(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t marker[7];
  if (!reader.read(marker, sizeof marker) ||
      !deepscan::equals(marker, std::string_view("Rar!\x1A\x07\x00", 7)))
    return false;
  out.identifier = kFmtRar;
  out.completeness = kComplBad;
  for (;;) {
    std::uint8_t head[7];
    if (!reader.read(head, sizeof head)) break;
    const std::uint8_t type = head[2];
    const std::uint16_t flags = deepscan::le16At(head + 3);
    const std::uint16_t size = deepscan::le16At(head + 5);
    if (size < 7) break;
    std::uint32_t b = size - 7u;
    if (type == 0x73) {  // archive header
      std::uint8_t rest[7];
      if (b > 7 || !reader.read(rest, b)) break;
      out.completeness = kComplPoor;
    } else if (type == 0x74 || type == 0x7A) {
      if (!walkFileHeader(reader, type, flags, size)) break;
    } else if (type == 0x7B) {  // end of archive
      std::uint8_t extra[4];
      if (flags & 0x02) {
        if (b < 4 || !reader.read(extra, 4)) break;
        b -= 4;
      }
      if (flags & 0x08) {
        if (!reader.read(extra, 2)) break;
        out.completeness = b == 2 ? kComplExcellent : kComplGood;
      } else {
        out.completeness = b == 0 ? kComplExcellent : kComplGood;
      }
      break;
    } else {
      break;
    }
  }
  out.length = reader.consumed();
  return true;
}
