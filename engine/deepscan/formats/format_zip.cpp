// ZIP family: local headers, the central directory and its end record. Member names tell Office
// Open XML documents (and skin archives) from plain archives.
#include <algorithm>
#include <string_view>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr std::uint32_t kLocal = 0x04034B50u;
constexpr std::uint32_t kCentral = 0x02014B50u;
constexpr std::uint32_t kEnd = 0x06054B50u;

constexpr std::string_view kPrefixes[] = {"[Content_Types].xml", "word/", "xl/", "ppt/"};
enum : unsigned { kSeenContentTypes = 1, kSeenWord = 2, kSeenXl = 4, kSeenPpt = 8 };

/// Passes over a stored member's data, checking its CRC.
bool storedCrcHolds(FormatReader& reader, std::uint64_t length, std::uint32_t expected) noexcept {
  std::uint32_t crc = 0;
  while (length > 0) {
    const auto view =
        reader.peek(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 16)));
    if (view.empty()) return false;
    crc = deepscan::crc32(crc, view.data(), view.size());
    if (!reader.skip(view.size())) return false;
    length -= view.size();
  }
  return crc == expected;
}

/// Reads the end record after its signature and passes over its comment.
bool readEnd(FormatReader& reader) noexcept {
  std::uint8_t e[18];
  return reader.read(e, sizeof e) && reader.skip(deepscan::le16At(e + 16));
}

}  // namespace

bool FileFormat_RecognizeZip(FormatReader& reader, FormatResult& out) noexcept {
  std::uint32_t sig = 0;
  if (!reader.readLe32(sig)) return false;
  if (sig == kEnd) {
    out.identifier = kFmtZip;
    out.completeness = readEnd(reader) ? kComplExcellent : kComplBad;
    out.length = reader.consumed();
    return true;
  }
  if (sig != kLocal) return false;
  out.identifier = kFmtZip;
  out.completeness = kComplBad;
  unsigned seen = 0;
  bool wms = false;
  for (;;) {  // one local header per turn; sig has just been read as kLocal
    const std::uint64_t memberStart = reader.consumed() - 4;
    std::uint8_t h[26];
    if (!reader.read(h, sizeof h)) break;
    const std::uint32_t crc = deepscan::le32At(h + 10);
    const std::uint32_t compressed = deepscan::le32At(h + 14);
    const bool stored = deepscan::le16At(h + 4) == 0 && compressed == deepscan::le32At(h + 18) &&
                        (deepscan::le16At(h + 2) & 0x08) == 0;
    const std::uint16_t nameLen = deepscan::le16At(h + 22);
    const std::uint16_t extraLen = deepscan::le16At(h + 24);
    if (nameLen < 64) {
      char name[64];
      if (!reader.read(name, nameLen)) break;
      const std::string_view n(name, nameLen);
      if (n.size() >= 4 && n.substr(n.size() - 4) == ".wms") {
        wms = true;
        break;
      }
      for (unsigned i = 0; i < std::size(kPrefixes); ++i) {
        if (n.starts_with(kPrefixes[i])) {
          seen |= 1u << i;
          break;
        }
      }
    } else if (!reader.skip(nameLen)) {
      break;
    }
    // Where a member's data fails its CRC or is not followed by another header, the archive's
    // own data ended before it (a file cut short): it ends at that member.
    const bool dataHolds = stored ? reader.skip(extraLen) && storedCrcHolds(reader, compressed, crc)
                                  : reader.skip(std::uint64_t{extraLen} + compressed);
    if (!dataHolds || !reader.readLe32(sig) || (sig != kLocal && sig != kCentral)) {
      if (memberStart > 0) {
        out.completeness = kComplPoor;
        out.length = memberStart;
        return true;
      }
      break;
    }
    if (sig == kLocal) {
      out.completeness = kComplPoor;
      continue;
    }
    std::uint8_t c[42];
    const std::uint64_t centralStart = reader.consumed() - 4;
    if (!reader.read(c, sizeof c)) break;
    // The central directory is only trusted with its end record, whose count and offset agree
    // with it: a directory cut short is followed by whatever the disk holds.
    out.completeness = kComplPoor;
    std::uint32_t entries = 1;
    for (;;) {
      const std::uint64_t rest = std::uint64_t{deepscan::le16At(c + 24)} +
                                 deepscan::le16At(c + 26) + deepscan::le16At(c + 28);
      if (!reader.skip(rest) || !reader.readLe32(sig)) break;
      if (sig == kEnd) {
        std::uint8_t e[18];
        if (reader.read(e, sizeof e) && reader.skip(deepscan::le16At(e + 16)) &&
            deepscan::le16At(e + 6) == entries && deepscan::le32At(e + 12) == centralStart)
          out.completeness = kComplExcellent;
        break;
      }
      if (sig != kCentral || !reader.read(c, sizeof c)) break;
      ++entries;
    }
    break;
  }
  if (wms) {
    out.identifier = kFmtWmz;
  } else if (seen & kSeenPpt) {
    out.identifier = kFmtPptx;
  } else if ((seen & kSeenContentTypes) && (seen & kSeenWord)) {
    out.identifier = kFmtDocx;
  } else if ((seen & kSeenContentTypes) && (seen & kSeenXl)) {
    out.identifier = kFmtXlsx;
  }
  out.length = reader.consumed();
  return true;
}
