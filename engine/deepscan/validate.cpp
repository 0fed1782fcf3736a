// Content checks of whole files: does the structure of a file hold from its first byte to its end
// marker, with the checksums and offsets the format keeps? Used on the bytes a recovery would
// write, to tell a sound layout from one that runs into other data.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

bool allZero(Bytes b) noexcept {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t c) { return c == 0; });
}

bool startsWith(Bytes b, std::string_view s) noexcept {
  return b.size() >= s.size() && std::memcmp(b.data(), s.data(), s.size()) == 0;
}

/// The verdict for a structure that ended soundly at @p end: Valid when only zero bytes (slack)
/// follow, Unknown when other data follows (trailers some writers append).
void endedAt(Bytes data, std::uint64_t end, FormatCheck& out) noexcept {
  out.good = end;
  out.verdict = allZero(data.subspan(static_cast<std::size_t>(end))) ? FormatVerdict::Valid
                                                                     : FormatVerdict::Unknown;
}
void brokenAt(std::uint64_t at, FormatCheck& out) noexcept {
  out.verdict = FormatVerdict::Broken;
  out.good = at;
}

void checkPng(Bytes d, FormatCheck& out) noexcept {
  std::size_t pos = 8;
  for (;;) {
    if (d.size() - pos < 12) return brokenAt(d.size(), out);  // ends before IEND
    const std::uint32_t length = deepscan::be32(d.data() + pos);
    const std::uint8_t* type = d.data() + pos + 4;
    for (int k = 0; k < 4; ++k) {
      const std::uint8_t c = type[k];
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return brokenAt(pos, out);
    }
    if (length > d.size() - pos - 12) return brokenAt(d.size(), out);
    const std::uint32_t crc = deepscan::crc32(0, type, 4 + std::size_t{length});
    if (crc != deepscan::be32(type + 4 + length)) return brokenAt(pos, out);
    pos += 12 + std::size_t{length};
    if (std::memcmp(type, "IEND", 4) == 0) return endedAt(d, pos, out);
  }
}

/// True when @p packed is one whole raw deflate stream of @p size bytes with CRC-32 @p crc.
bool inflatesTo(Bytes packed, std::uint32_t size, std::uint32_t crc) noexcept {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  std::array<std::uint8_t, 32768> buf;
  std::uint32_t sum = 0;
  std::uint64_t produced = 0;
  int rc = Z_OK;
  // Fed in pieces: a member larger than 4 GiB packed has no 32-bit sizes here anyway.
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  while (rc == Z_OK) {
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t got = buf.size() - z.avail_out;
    produced += got;
    if (produced > size) break;  // more than the header says: not this member's data
    sum = deepscan::crc32(sum, buf.data(), got);
    if (rc == Z_OK && got == 0 && z.avail_in == 0) break;  // the data ends inside the stream
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0 && produced == size && sum == crc;
  inflateEnd(&z);
  return whole;
}

/// Local headers with their stored CRCs (checked for stored and deflated members), then a central
/// directory whose entries agree with them, then the end record.
void checkZip(Bytes d, FormatCheck& out) noexcept {
  struct Member {
    std::uint64_t offset;
    std::uint32_t crc, compressed;
  };
  std::vector<Member> members;
  std::size_t pos = 0;
  try {
    while (d.size() - pos >= 4 && deepscan::le32At(d.data() + pos) == 0x04034B50u) {
      if (d.size() - pos < 30) return brokenAt(d.size(), out);
      const std::uint8_t* h = d.data() + pos;
      const std::uint16_t flags = deepscan::le16At(h + 6);
      const std::uint16_t method = deepscan::le16At(h + 8);
      const std::uint32_t crc = deepscan::le32At(h + 14);
      const std::uint32_t compressed = deepscan::le32At(h + 18);
      const std::uint32_t size = deepscan::le32At(h + 22);
      const std::size_t data = pos + 30 + deepscan::le16At(h + 26) + deepscan::le16At(h + 28);
      if ((flags & 0x08) != 0) {
        out.verdict = FormatVerdict::Unknown;  // sizes only after the data: not walked here
        return;
      }
      if (data > d.size() || compressed > d.size() - data) return brokenAt(d.size(), out);
      if (method == 0 && compressed == size &&
          deepscan::crc32(0, d.data() + data, compressed) != crc)
        return brokenAt(data, out);
      if (method == 8 && !inflatesTo(d.subspan(data, compressed), size, crc))
        return brokenAt(data, out);
      members.push_back({pos, crc, compressed});
      pos = data + compressed;
    }
    if (members.empty()) return brokenAt(pos, out);
    std::size_t seen = 0;
    while (d.size() - pos >= 4 && deepscan::le32At(d.data() + pos) == 0x02014B50u) {
      if (d.size() - pos < 46) return brokenAt(d.size(), out);
      const std::uint8_t* c = d.data() + pos;
      const std::uint32_t local = deepscan::le32At(c + 42);
      const auto it = std::find_if(members.begin(), members.end(),
                                   [&](const Member& m) { return m.offset == local; });
      if (it == members.end() || it->crc != deepscan::le32At(c + 16) ||
          it->compressed != deepscan::le32At(c + 20))
        return brokenAt(pos, out);
      ++seen;
      pos += 46 + std::size_t{deepscan::le16At(c + 28)} + deepscan::le16At(c + 30) +
             deepscan::le16At(c + 32);
      if (pos > d.size()) return brokenAt(d.size(), out);
    }
    if (d.size() - pos < 22) return brokenAt(d.size(), out);
    if (deepscan::le32At(d.data() + pos) != 0x06054B50u || seen != members.size())
      return brokenAt(pos, out);
    const std::size_t end = pos + 22 + deepscan::le16At(d.data() + pos + 20);
    if (end > d.size()) return brokenAt(d.size(), out);
    endedAt(d, end, out);
  } catch (const std::bad_alloc&) {
    out.verdict = FormatVerdict::Unknown;
  }
}

bool isDigit(std::uint8_t c) noexcept { return c >= '0' && c <= '9'; }
bool isBlank(std::uint8_t c) noexcept {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

/// Reads a decimal number at @p pos; false when none is there.
bool numberAt(Bytes d, std::size_t& pos, std::uint64_t& v) noexcept {
  if (pos >= d.size() || !isDigit(d[pos])) return false;
  v = 0;
  while (pos < d.size() && isDigit(d[pos])) {
    if (v < (std::uint64_t{1} << 40)) v = v * 10 + (d[pos] - '0');
    ++pos;
  }
  return true;
}
void blanksAt(Bytes d, std::size_t& pos) noexcept {
  while (pos < d.size() && isBlank(d[pos])) ++pos;
}
/// "n g obj" at @p at.
bool objectAt(Bytes d, std::size_t at) noexcept {
  std::uint64_t n = 0, g = 0;
  std::size_t pos = at;
  if (!numberAt(d, pos, n)) return false;
  blanksAt(d, pos);
  if (!numberAt(d, pos, g)) return false;
  blanksAt(d, pos);
  return startsWith(d.subspan(std::min(pos, d.size())), "obj");
}

/// The last "startxref" must name a cross-reference section (or stream object) whose in-use
/// entries each point at the object they name; "%%EOF" ends the file.
void checkPdf(Bytes d, FormatCheck& out) noexcept {
  const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
  std::size_t end = text.size();
  while (end > 0 && isBlank(static_cast<std::uint8_t>(text[end - 1]))) --end;
  if (end < 5 || text.substr(end - 5, 5) != "%%EOF") return brokenAt(d.size(), out);
  const std::size_t sx = text.rfind("startxref", end);
  if (sx == std::string_view::npos || end - sx > 64) return brokenAt(d.size(), out);
  std::size_t pos = sx + 9;
  blanksAt(d, pos);
  std::uint64_t offset = 0;
  if (!numberAt(d, pos, offset) || offset >= sx) return brokenAt(sx, out);
  const auto at = static_cast<std::size_t>(offset);
  if (startsWith(d.subspan(at), "xref")) {
    pos = at + 4;
    blanksAt(d, pos);
    std::uint64_t first = 0, count = 0;
    while (numberAt(d, pos, first)) {
      blanksAt(d, pos);
      if (!numberAt(d, pos, count)) return brokenAt(at, out);
      blanksAt(d, pos);
      for (std::uint64_t k = 0; k < count; ++k) {
        std::uint64_t o = 0, g = 0;
        if (!numberAt(d, pos, o)) return brokenAt(at, out);
        blanksAt(d, pos);
        if (!numberAt(d, pos, g) || pos >= d.size()) return brokenAt(at, out);
        blanksAt(d, pos);
        if (pos >= d.size()) return brokenAt(at, out);
        const std::uint8_t kind = d[pos++];
        blanksAt(d, pos);
        if (kind == 'n' && (o >= d.size() || !objectAt(d, static_cast<std::size_t>(o))))
          return brokenAt(std::min<std::uint64_t>(o, at), out);
      }
    }
  } else if (!objectAt(d, at)) {
    return brokenAt(at, out);
  }
  endedAt(d, end, out);
  if (out.verdict == FormatVerdict::Unknown) out.verdict = FormatVerdict::Valid;  // blanks only
}

enum Tag : std::uint32_t { kNo, kJpeg, kPng, kGif, kZip, kPdf, kRar, kStructure };

std::uint32_t tagOf(Bytes h) noexcept {
  if (h.size() >= 3 && h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF) return kJpeg;
  if (startsWith(h, std::string_view("\x89PNG\r\n\x1A\n", 8))) return kPng;
  if (startsWith(h, "GIF87a") || startsWith(h, "GIF89a")) return kGif;
  if (startsWith(h, std::string_view("PK\x03\x04", 4))) return kZip;
  if (startsWith(h, "%PDF-1.")) return kPdf;
  if (startsWith(h, std::string_view("Rar!\x1A\x07\x00", 7))) return kRar;
  if (startsWith(h, "BM") || startsWith(h, "RIFF") || startsWith(h, "MZ") ||
      startsWith(h, std::string_view("\xD0\xCF\x11\xE0", 4)))
    return kStructure;
  return kNo;
}

}  // namespace

bool FileFormat_CanValidate(std::span<const std::uint8_t, 16> head) noexcept {
  return tagOf(Bytes(head.data(), head.size())) != kNo;
}

bool FileFormat_Validate(std::span<const std::uint8_t> data, FormatCheck& out,
                         bool decode) noexcept {
  out = FormatCheck{};
  const std::uint32_t tag = tagOf(data.first(std::min<std::size_t>(data.size(), 16)));
  if (tag == kNo) return true;
  switch (tag) {
    case kPng:
      out.identifier = kFmtPng;
      checkPng(data, out);
      return true;
    case kZip:
      out.identifier = kFmtZip;
      checkZip(data, out);
      return true;
    case kPdf:
      out.identifier = kFmtPdf;
      checkPdf(data, out);
      return true;
    default:
      break;
  }
  // The recognisers' own walk for the rest.
  FormatResult r;
  if (tag == kJpeg && !decode) {
    SpanFormatReader reader(data);
    if (!FileFormat_WalkJpeg(reader, r)) return true;
  } else if (!FileFormat_DetectBytes(data, r)) {
    return true;
  }
  out.identifier = r.identifier;
  if (tag == kJpeg) {
    // The scans decoded to the end-of-image marker, or where they stopped being this image's.
    std::uint64_t end = 0;
    switch (decode ? FileFormat_DecodeJpeg(data, end) : JpegDecode::Unsupported) {
      case JpegDecode::Whole:
        endedAt(data, end, out);
        return true;
      case JpegDecode::Broken:
        brokenAt(end, out);
        return true;
      case JpegDecode::Unsupported:
        break;
    }
    // Coding the decoder does not take: the marker walk. Good: coded data ran cleanly to EOI. A
    // cut is where other data began; running out of data is a short file.
    if (r.completeness >= kComplGood) {
      endedAt(data, r.length, out);
      return true;
    }
    brokenAt(r.length, out);
    return true;
  }
  if (tag == kGif) {
    if (r.completeness == kComplExcellent) {
      endedAt(data, r.length, out);
      return true;
    }
    // The walk stops on the first byte that is no block; a stop within the last few bytes is the
    // data running out.
    brokenAt(r.length + 256 >= data.size() ? data.size() : r.length, out);
    return true;
  }
  if (tag == kRar) {
    if (r.completeness == kComplExcellent) {
      endedAt(data, r.length, out);
      return true;
    }
    brokenAt(r.length, out);
    return true;
  }
  // Formats without an end marker: a structure that does not fill the file (or needs more than
  // it has) is broken; a sound one says nothing more.
  if (r.completeness < kComplGood) brokenAt(r.length, out);
  return true;
}
