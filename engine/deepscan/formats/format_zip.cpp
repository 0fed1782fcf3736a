// ZIP family: local headers, the central directory and its end record. Member names tell Office
// Open XML documents (and skin archives) from plain archives.
#include <string_view>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr std::uint32_t kLocal = 0x04034B50u;
constexpr std::uint32_t kCentral = 0x02014B50u;
constexpr std::uint32_t kEnd = 0x06054B50u;

constexpr std::string_view kPrefixes[] = {"[Content_Types].xml", "word/", "xl/", "ppt/"};
enum : unsigned { kSeenContentTypes = 1, kSeenWord = 2, kSeenXl = 4, kSeenPpt = 8 };

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
    std::uint8_t h[26];
    if (!reader.read(h, sizeof h)) break;
    const std::uint32_t compressed = deepscan::le32At(h + 14);
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
    if (!reader.skip(std::uint64_t{extraLen} + compressed) || !reader.readLe32(sig)) break;
    if (sig == kLocal) {
      out.completeness = kComplPoor;
      continue;
    }
    if (sig != kCentral) break;
    std::uint8_t c[42];
    if (!reader.read(c, sizeof c)) break;
    out.completeness = kComplGood;
    for (;;) {
      const std::uint64_t rest = std::uint64_t{deepscan::le16At(c + 24)} +
                                 deepscan::le16At(c + 26) + deepscan::le16At(c + 28);
      if (!reader.skip(rest) || !reader.readLe32(sig)) break;
      if (sig == kEnd) {
        if (readEnd(reader)) out.completeness = kComplExcellent;
        break;
      }
      if (sig != kCentral || !reader.read(c, sizeof c)) break;
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
