// JPEG: markers up to the first start of scan, then the entropy-coded data. Inside coded data a
// 0xFF byte is only ever followed by a stuffed zero, a restart marker, a fill byte or a marker that
// ends the scan; anything else means the data that follows is not this image's (a file cut short
// or a fragment boundary), and the file ends before it.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

enum class ScanEnd : std::uint8_t { EndOfImage, Marker, Cut, WindowEnd };

/// Markers that may follow coded data (a progressive or multi-scan image goes on with them).
bool segmentMarker(std::uint8_t m) noexcept {
  return (m >= 0xC0 && m <= 0xCF && m != 0xC8) || m == 0xDA || m == 0xDB || m == 0xDC ||
         m == 0xDD || m == 0xDE || m == 0xDF || (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
}

/// Takes coded data up to the marker that ends it. EndOfImage and Marker consume the marker's two
/// bytes (@p marker gets the second); Cut stops before its 0xFF byte.
ScanEnd scanCodedData(FormatReader& reader, std::uint8_t& marker) noexcept {
  for (;;) {
    const auto view = reader.peek(64 * 1024);
    if (view.empty()) return ScanEnd::WindowEnd;
    std::size_t i = 0;
    bool straddles = false;
    for (;;) {
      const void* hit = std::memchr(view.data() + i, 0xFF, view.size() - i);
      if (hit == nullptr) {
        i = view.size();
        break;
      }
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - view.data());
      if (i + 1 >= view.size()) {
        straddles = true;  // decide with the byte after the view
        break;
      }
      const std::uint8_t m = view[i + 1];
      if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0xFF) {  // stuffing, restart, fill
        i += m == 0xFF ? 1 : 2;
        continue;
      }
      if (!reader.skip(i)) return ScanEnd::WindowEnd;
      if (m != 0xD9 && !segmentMarker(m)) return ScanEnd::Cut;
      marker = m;
      return reader.skip(2) ? (m == 0xD9 ? ScanEnd::EndOfImage : ScanEnd::Marker)
                            : ScanEnd::WindowEnd;
    }
    if (!reader.skip(i)) return ScanEnd::WindowEnd;
    if (!straddles) continue;
    std::uint8_t two[2];
    if (!reader.read(two, 2)) return ScanEnd::WindowEnd;
    const std::uint8_t m = two[1];
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) continue;
    if (m == 0xD9 || segmentMarker(m)) {
      marker = m;
      return m == 0xD9 ? ScanEnd::EndOfImage : ScanEnd::Marker;
    }
    // Fill bytes across a refill boundary are rare enough to end the walk here.
    return ScanEnd::Cut;
  }
}

}  // namespace

namespace {

/// Longest image whose scans are decoded to confirm them.
constexpr std::uint64_t kMaxDecodeBytes = 64ull << 20;

/// The structure walk found scans: decode them. Data that stops being the image's cuts the file
/// where it broke, at most Poor.
void confirmScans(FormatReader& reader, FormatResult& out) noexcept {
  if (out.length < 4 || out.length > kMaxDecodeBytes) return;
  try {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(out.length));
    reader.rewind();
    if (!reader.read(bytes.data(), bytes.size())) return;
    std::uint64_t end = 0;
    if (FileFormat_DecodeJpeg(bytes, end) != JpegDecode::Broken) return;
    out.completeness = std::min<std::uint32_t>(out.completeness, kComplPoor);
    out.length = std::max<std::uint64_t>(end, 4);
  } catch (const std::bad_alloc&) {
  }
}

bool recognize(FormatReader& reader, FormatResult& out) noexcept;

}  // namespace

bool FileFormat_WalkJpeg(FormatReader& reader, FormatResult& out) noexcept {
  return recognize(reader, out);
}

bool FileFormat_RecognizeJpeg(FormatReader& reader, FormatResult& out) noexcept {
  if (!recognize(reader, out)) return false;
  if (out.completeness >= kComplPoor) confirmScans(reader, out);
  return true;
}

namespace {

bool recognize(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t soi[3];
  // A marker always follows the start of image; without one this is no image.
  if (!reader.read(soi, 3) || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) return false;
  reader.rewind();
  if (!reader.skip(2)) return false;
  out.identifier = kFmtJpg;
  out.completeness = kComplBad;
  bool inScans = false;      // a scan has started: what follows must keep the structure to EOI
  std::uint8_t pending = 0;  // a marker the coded data ended with, already taken
  for (;;) {
    const std::uint64_t markerAt = reader.consumed();
    std::uint8_t m[2] = {0xFF, pending};
    if (pending != 0) {
      pending = 0;
    } else if (!reader.read(m, 2) || m[0] != 0xFF) {
      if (inScans) {
        // A scan followed by something that is no marker: the file was cut.
        out.completeness = kComplPoor;
        out.length = markerAt;
        return true;
      }
      break;
    }
    if (m[1] == 0xD9) {
      out.completeness = inScans ? kComplGood : kComplExcellent;
      break;
    }
    std::uint16_t n = 0;
    if (!reader.readBe16(n) || n < 2) {
      if (inScans) out.completeness = kComplPoor;
      break;
    }
    const std::uint32_t b = n - 2u;
    if (m[1] == 0xDA) {  // start of scan: component count, then the coded data
      std::uint8_t c = 0;
      if (!reader.readU8(c) || c < 1 || c > 4 || b != 2u * c + 4u) break;
      if (!reader.skip(b - 1u)) break;
      inScans = true;
      out.completeness = kComplPoor;
      const ScanEnd end = scanCodedData(reader, pending);
      if (end == ScanEnd::EndOfImage) {
        out.completeness = kComplGood;
        break;
      }
      if (end == ScanEnd::Marker) continue;
      pending = 0;
      if (end == ScanEnd::Cut) {
        out.length = reader.consumed();
        return true;
      }
      break;  // the window ended inside coded data
    }
    if (m[1] == 0xE0 && !inScans) {  // APP0: JFIF or its extension
      std::uint8_t id[5];
      if (b < 5 || !reader.read(id, 5)) break;
      if ((std::memcmp(id, "JFIF", 5) == 0 || std::memcmp(id, "JFXX", 5) == 0)) {
        out.completeness = kComplPoor;
        if (!reader.skip(b - 5u)) break;
        continue;
      }
      out.completeness = kComplBad;
      break;
    }
    if (inScans && !segmentMarker(m[1])) {
      out.length = markerAt;
      return true;
    }
    if (!reader.skip(b)) break;
  }
  out.length = reader.consumed();
  return true;
}

}  // namespace
