// GIF: screen descriptor, colour tables, images and extensions as sub-block chains, up to ";".
// Without the trailer the file may have been cut after any image, so it is at most Poor.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

std::uint64_t colourTableBytes(std::uint8_t flags) noexcept {
  return (flags & 0x80) ? 3ull << ((flags & 7) + 1) : 0;
}

/// Passes over data sub-blocks up to the zero-size terminator. With @p evenBlocks (image data)
/// every block but the last has the first one's size, as encoders write them: a shorter block
/// followed by another is where the image's own data ended.
bool skipSubBlocks(FormatReader& reader, bool evenBlocks = false) noexcept {
  bool shortSeen = false;
  std::uint8_t full = 0;
  for (;;) {
    std::uint8_t size = 0;
    if (!reader.readU8(size)) return false;
    if (size == 0) return true;
    if (evenBlocks && shortSeen) return false;
    if (full == 0) full = size;
    shortSeen = size != full;
    if (!reader.skip(size)) return false;
  }
}

}  // namespace

bool FileFormat_RecognizeGif(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t sig[6];
  if (!reader.read(sig, 6) || !(deepscan::equals(sig, "GIF87a") || deepscan::equals(sig, "GIF89a")))
    return false;
  out.identifier = kFmtGif;
  out.completeness = kComplBad;
  std::uint8_t screen[7];
  if (!reader.read(screen, 7) || !reader.skip(colourTableBytes(screen[4]))) {
    out.length = reader.consumed();
    return true;
  }
  bool going = true;
  while (going) {
    std::uint8_t intro = 0;
    if (!reader.readU8(intro)) break;
    switch (intro) {
      case ',': {
        std::uint8_t d[9];
        if (!reader.read(d, 9) || !reader.skip(colourTableBytes(d[8])) || !reader.skip(1)) {
          going = false;
          break;
        }
        out.completeness = kComplPoor;
        if (!skipSubBlocks(reader, true)) {
          going = false;
          break;
        }
        // Whole images so far; only the trailer says that nothing was cut off.
        out.completeness = kComplPoor;
        break;
      }
      case '!': {
        std::uint8_t label = 0;
        if (!reader.readU8(label)) {
          going = false;
          break;
        }
        std::uint8_t block[13];
        if (label == 0x01) {  // plain text
          going = reader.read(block, 13) && block[0] == 12 && skipSubBlocks(reader);
        } else if (label == 0xF9) {  // graphic control
          std::uint8_t zero = 1;
          going = reader.read(block, 5) && block[0] == 4 && reader.readU8(zero) && zero == 0;
        } else if (label == 0xFE) {  // comment
          going = skipSubBlocks(reader);
        } else if (label == 0xFF) {  // application
          going = reader.read(block, 12) && block[0] == 11 && skipSubBlocks(reader);
        } else {
          going = false;
        }
        break;
      }
      case ';':
        out.completeness = kComplExcellent;
        going = false;
        break;
      default:
        going = false;
        break;
    }
  }
  out.length = reader.consumed();
  return true;
}
