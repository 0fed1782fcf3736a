// ASF and WMV: the header object (with the codec list telling WMV apart), then the top-level
// objects that follow it (data and indexes).
#include <cstring>
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

using Guid = std::uint8_t[16];
// Identifiers as stored (first three fields little-endian).
constexpr Guid kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kCodecList = {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                             0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
constexpr Guid kData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                               0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr Guid kIndex = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,
                         0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
constexpr Guid kMediaIndex = {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C,
                              0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
constexpr Guid kTimecodeIndex = {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48,
                                 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};

bool is(const std::uint8_t* g, const Guid& want) noexcept { return std::memcmp(g, want, 16) == 0; }

/// A codec list names a video codec of the Windows Media family.
bool listsWmv(const std::vector<std::uint8_t>& body) noexcept {
  static constexpr char kName[] = "Windows Media Video";
  std::size_t p = 16;  // reserved identifier
  if (body.size() < p + 4) return false;
  const std::uint32_t count = deepscan::le32At(body.data() + p);
  p += 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (body.size() - p < 4) return false;
    const std::size_t nameChars = deepscan::le16At(body.data() + p + 2);
    p += 4;
    if ((body.size() - p) / 2 < nameChars) return false;
    bool nameMatch = nameChars >= 19;
    for (std::size_t k = 0; nameMatch && k < 19; ++k)
      nameMatch = deepscan::le16At(body.data() + p + 2 * k) == static_cast<std::uint8_t>(kName[k]);
    p += 2 * nameChars;
    if (body.size() - p < 2) return false;
    const std::size_t descChars = deepscan::le16At(body.data() + p);
    p += 2;
    if ((body.size() - p) / 2 < descChars) return false;
    p += 2 * descChars;
    if (body.size() - p < 2) return false;
    const std::size_t infoBytes = deepscan::le16At(body.data() + p);
    p += 2;
    if (body.size() - p < infoBytes) return false;
    bool infoMatch = infoBytes >= 3;
    for (std::size_t k = 0; infoMatch && k < 3; ++k) {
      std::uint8_t c = body[p + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c - 'A' + 'a');
      infoMatch = c == static_cast<std::uint8_t>("wmv"[k]);
    }
    p += infoBytes;
    if (nameMatch || infoMatch) return true;
  }
  return false;
}

}  // namespace

bool FileFormat_RecognizeAsf(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[30];
  if (!reader.read(h, sizeof h) || !is(h, kHeader)) return false;
  const std::uint64_t headerSize = deepscan::le64At(h + 16);
  const std::uint32_t objects = deepscan::le32At(h + 24);
  if (headerSize < 30) return false;
  out.identifier = kFmtAsf;
  for (std::uint32_t i = 0; i < objects && reader.consumed() < headerSize; ++i) {
    std::uint8_t o[24];
    if (!reader.read(o, sizeof o)) break;
    const std::uint64_t size = deepscan::le64At(o + 16);
    const std::uint64_t start = reader.consumed() - 24;
    if (size < 24 || size > headerSize || start > headerSize - size) return false;
    if (is(o, kCodecList) && size < (1u << 20)) {
      std::vector<std::uint8_t> body(size - 24);
      if (!reader.read(body.data(), body.size())) break;
      if (listsWmv(body)) out.identifier = kFmtWmv;
    } else if (!reader.skip(size - 24)) {
      break;
    }
  }
  // Top-level objects after the header.
  std::uint64_t end = reader.consumed();
  int lastKind = 0;  // 1 data, 2 another index kind
  bool data = false, dataFollowed = false, simpleIndex = false;
  if (reader.consumed() <= headerSize && reader.skip(headerSize - reader.consumed())) {
    end = headerSize;
    for (;;) {
      std::uint8_t o[24];
      if (!reader.read(o, sizeof o)) break;
      const std::uint64_t size = deepscan::le64At(o + 16);
      if (size < 30 || !reader.skip(size - 24)) break;
      end = reader.consumed();
      if (is(o, kData)) {
        data = true;
        lastKind = 1;
      } else if (is(o, kSimpleIndex) || is(o, kIndex) || is(o, kMediaIndex) ||
                 is(o, kTimecodeIndex)) {
        if (data) dataFollowed = true;
        if (is(o, kSimpleIndex)) simpleIndex = true;
        lastKind = 2;
      }
    }
  }
  if (!data) {
    out.completeness = kComplBad;
  } else if (lastKind == 1 || !dataFollowed) {
    out.completeness = kComplPoor;
  } else {
    out.completeness = simpleIndex ? kComplExcellent : kComplGood;
  }
  out.length = end;
  return true;
}
