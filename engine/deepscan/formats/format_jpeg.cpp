// JPEG: markers up to the first start of scan, then the entropy-coded data up to FF D9.
#include <cstring>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

/// Takes bytes up to and including the first FF D9. False at the window's end.
bool scanToEndOfImage(FormatReader& reader) noexcept {
  bool afterFf = false;
  for (;;) {
    const auto view = reader.peek(64 * 1024);
    if (view.empty()) return false;
    std::size_t i = 0;
    if (afterFf) {
      afterFf = false;
      if (view[0] == 0xD9) return reader.skip(1);
    }
    while (i < view.size()) {
      const void* hit = std::memchr(view.data() + i, 0xFF, view.size() - i);
      if (hit == nullptr) {
        i = view.size();
        break;
      }
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - view.data()) + 1;
      if (i == view.size()) {
        afterFf = true;
        break;
      }
      if (view[i] == 0xD9) return reader.skip(i + 1);
    }
    if (!reader.skip(i)) return false;
  }
}

}  // namespace

bool FileFormat_RecognizeJpeg(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t soi[2];
  if (!reader.read(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return false;
  out.identifier = kFmtJpg;
  out.completeness = kComplBad;
  for (;;) {
    std::uint8_t m[2];
    if (!reader.read(m, 2) || m[0] != 0xFF) break;
    if (m[1] == 0xD9) {
      out.completeness = kComplExcellent;
      break;
    }
    std::uint16_t n = 0;
    if (!reader.readBe16(n) || n < 2) break;
    const std::uint32_t b = n - 2u;
    if (m[1] == 0xDA) {  // start of scan: component count, then the coded data
      std::uint8_t c = 0;
      if (!reader.readU8(c) || c < 1 || c > 4 || b != 2u * c + 4u) break;
      if (!reader.skip(b - 1u)) break;
      if (scanToEndOfImage(reader)) out.completeness = kComplGood;
      break;
    }
    if (m[1] == 0xE0) {  // APP0: JFIF or its extension
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
    if (!reader.skip(b)) break;
  }
  out.length = reader.consumed();
  return true;
}
