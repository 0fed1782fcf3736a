// Icons and cursors: the directory of images, then each image's bitmap header in turn.
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeIcon(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[6];
  if (!reader.read(h, sizeof h)) return false;
  const std::uint16_t type = deepscan::le16At(h + 2);
  const std::uint16_t count = deepscan::le16At(h + 4);
  if (deepscan::le16At(h) != 0 || (type != 1 && type != 2) || count < 1 || count > 1024)
    return false;
  struct Entry {
    std::uint32_t size, offset;
  };
  std::vector<Entry> entries;
  entries.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint8_t e[16];
    if (!reader.read(e, sizeof e)) return false;
    entries.push_back({deepscan::le32At(e + 8), deepscan::le32At(e + 12)});
  }
  for (std::size_t i = 0; i + 1 < entries.size(); ++i)
    if (std::uint64_t{entries[i].offset} + entries[i].size != entries[i + 1].offset) return false;
  out.identifier = type == 1 ? kFmtIco : kFmtCur;
  out.completeness = kComplPoor;
  // The images follow the directory; pass over any gap before the first one.
  if (entries[0].offset < reader.consumed() ||
      !reader.skip(entries[0].offset - reader.consumed())) {
    out.length = reader.consumed();
    return true;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::uint8_t b[40];
    if (entries[i].size < 40 || !reader.read(b, sizeof b) || deepscan::le32At(b) != 40 ||
        deepscan::le16At(b + 14) > 32 || !reader.skip(entries[i].size - 40u))
      break;
    out.completeness = i + 1 == entries.size() ? kComplExcellent : kComplGood;
  }
  out.length = reader.consumed();
  return true;
}
