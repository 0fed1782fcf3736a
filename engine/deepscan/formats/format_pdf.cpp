// PDF: a walk over the top-level tokens of the file (comments, indirect objects with their
// streams, cross-reference sections with trailer and end marker).
#include <string_view>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

using deepscan::ByteStream;

/// Scans give up once this many bytes of the window have been consumed.
constexpr std::uint64_t kScanLimit = 52428800;

bool isBlank(std::uint8_t c) noexcept {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}
bool isDigit(std::uint8_t c) noexcept { return c >= '0' && c <= '9'; }

class PdfWalk {
 public:
  explicit PdfWalk(FormatReader& reader) noexcept : m_in(reader) {}

  /// Length of the PDF from the window's start, and how complete it looked.
  void run(FormatResult& out) noexcept {
    std::uint64_t good = m_in.consumed();  // end of the last complete top-level item
    bool firstXref = true;
    takeLineBlanks();
    good = m_in.consumed();
    for (;;) {
      std::uint8_t c = 0;
      if (!m_in.peekByte(c)) break;
      if (isBlank(c)) {
        (void)m_in.get(c);
        continue;
      }
      if (c == '%') {
        // A comment is part of the file only when an object or section follows it: after the
        // end marker a '%' is as likely to be whatever the disk holds next.
        if (!skipComment()) break;
        continue;
      } else if (isDigit(c)) {
        if (!object()) break;
      } else if (c == 'x') {
        const std::uint64_t at = m_in.consumed();
        if (!xref()) break;
        if (m_startxref != at) {
          // The section is not where its own offset says: it belongs to another file that
          // follows this one's cut-off data.
          out.completeness = kComplPoor;
          out.length = good;
          return;
        }
        // A whole cross-reference section with its trailer and end marker: an intact file (an
        // updated one has more sections).
        out.completeness = firstXref ? kComplGood : kComplExcellent;
        firstXref = false;
        // The end marker's line break (taken by xref(); CR LF counts as one) is the last byte of
        // the file unless more sections follow; a zero byte after it ends the file.
        std::uint8_t next = 0;
        good = m_in.consumed();
        if (!m_in.peekByte(next) || next == 0) break;
        continue;
      } else if (c == 's') {
        // Files whose cross-reference data is a stream end with the offset and the end marker.
        const std::uint64_t at = m_in.consumed();
        if (!endMarker()) break;
        if (m_startxref >= at) {
          out.completeness = kComplPoor;
          out.length = good;
          return;
        }
        if (out.completeness < kComplGood) out.completeness = kComplGood;
        good = m_in.consumed();
        std::uint8_t next = 0;
        if (!m_in.peekByte(next) || next == 0) break;
        continue;
      } else {
        break;
      }
      takeLineBlanks();
      good = m_in.consumed();
    }
    out.length = good;
  }

 private:
  /// Takes tab, line feed, carriage return and space (not zero bytes) after a complete item.
  void takeLineBlanks() noexcept {
    std::uint8_t c = 0;
    while (m_in.peekByte(c) && (c == 9 || c == 10 || c == 13 || c == 32)) (void)m_in.get(c);
  }
  bool skipBlanks() noexcept {
    std::uint8_t c = 0;
    while (m_in.peekByte(c) && isBlank(c)) (void)m_in.get(c);
    return true;
  }
  /// At least one blank.
  bool blank() noexcept {
    std::uint8_t c = 0;
    if (!m_in.get(c) || !isBlank(c)) return false;
    return skipBlanks();
  }
  bool keyword(std::string_view k) noexcept {
    for (char ch : k) {
      std::uint8_t c = 0;
      if (!m_in.get(c) || c != static_cast<std::uint8_t>(ch)) return false;
    }
    return true;
  }
  bool number() noexcept {
    std::uint8_t c = 0;
    if (!m_in.peekByte(c) || !isDigit(c)) return false;
    while (m_in.peekByte(c) && isDigit(c)) (void)m_in.get(c);
    return true;
  }
  /// A comment runs to the end of its line (carriage return or line feed).
  bool skipComment() noexcept {
    std::uint8_t c = 0;
    while (m_in.get(c)) {
      if (c == 13 || c == 10) return true;
      if (m_in.consumed() >= kScanLimit) return false;
    }
    return false;
  }
  /// Literal strings in parentheses may hold unbalanced brackets; escapes are honoured.
  bool literalString() noexcept {
    int nesting = 1;
    std::uint8_t c = 0;
    while (m_in.get(c)) {
      if (m_in.consumed() >= kScanLimit) return false;
      if (c == '\\') {
        if (!m_in.get(c)) return false;
      } else if (c == '(') {
        ++nesting;
      } else if (c == ')' && --nesting == 0) {
        return true;
      }
    }
    return false;
  }
  /// "n g obj", body, optional stream, "endobj".
  bool object() noexcept {
    if (!number() || !blank() || !number() || !blank() || !keyword("obj")) return false;
    skipBlanks();
    std::uint8_t c = 0;
    if (!m_in.peekByte(c)) return false;
    if (c == '<') {
      std::uint8_t two[2];
      (void)m_in.get(two[0]);
      if (!m_in.peekByte(two[1])) return false;
      if (two[1] == '<') {
        if (!dictionaryAfterFirst()) return false;
      } else if (!m_in.findAfter(">", kScanLimit)) {  // a hexadecimal string
        return false;
      }
      skipBlanks();
      if (m_in.peekByte(c) && c == 's') {
        if (!keyword("stream") || !m_in.get(c) || !isBlank(c)) return false;
        if (!m_in.findAfter("endstream", kScanLimit) || !m_in.get(c) || !isBlank(c)) return false;
        skipBlanks();
      }
      return keyword("endobj") && endOfKeyword();
    }
    // Any other body (number, name, array, string, null): up to "endobj".
    return m_in.findAfter("endobj", kScanLimit) && endOfKeyword();
  }
  /// A dictionary whose first '<' has been taken: nested dictionaries, hexadecimal strings in
  /// single angle brackets and literal strings, up to the matching ">>".
  bool dictionaryAfterFirst() noexcept {
    std::uint8_t c = 0;
    return m_in.get(c) && c == '<' && dictionaryFrom(1);
  }
  bool dictionaryFrom(int depth) noexcept {
    std::uint8_t c = 0;
    while (m_in.get(c)) {
      if (m_in.consumed() >= kScanLimit) return false;
      if (c == '<') {
        std::uint8_t n = 0;
        if (!m_in.peekByte(n)) return false;
        if (n == '<') {
          (void)m_in.get(n);
          ++depth;
        } else {
          while (m_in.get(n) && n != '>') {
            if (m_in.consumed() >= kScanLimit) return false;
          }
          if (n != '>') return false;
        }
      } else if (c == '>') {
        std::uint8_t n = 0;
        if (!m_in.get(n) || n != '>') return false;
        if (--depth == 0) return true;
      } else if (c == '(') {
        if (!literalString()) return false;
      }
    }
    return false;
  }
  /// A keyword ends at a blank or a delimiter (or the window's end, which ends the file anyway).
  bool endOfKeyword() noexcept {
    std::uint8_t c = 0;
    if (!m_in.peekByte(c)) return true;
    return isBlank(c) || c == '%' || c == '<' || c == '[' || c == '/' || c == '(';
  }
  /// "xref", subsections of entries, "trailer" dictionary, "startxref" offset, "%%EOF".
  bool xref() noexcept {
    if (!keyword("xref") || !blank()) return false;
    std::uint8_t c = 0;
    bool any = false;
    while (m_in.peekByte(c) && isDigit(c)) {
      std::uint64_t first = 0, count = 0;
      if (!value(first) || !blank() || !value(count) || !blank()) return false;
      for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t offset = 0, generation = 0;
        if (!value(offset) || !blank() || !value(generation) || !blank()) return false;
        if (!m_in.get(c) || (c != 'n' && c != 'f') || !blank()) return false;
      }
      any = true;
    }
    if (!any || !keyword("trailer") || !blank()) return false;
    std::uint8_t lt = 0;
    if (!m_in.get(lt) || lt != '<' || !dictionaryAfterFirst()) return false;
    skipBlanks();
    return endMarker();
  }
  /// "startxref", the section's offset and "%%EOF" with its line break.
  bool endMarker() noexcept {
    std::uint8_t c = 0;
    if (!keyword("startxref") || !blank() || !value(m_startxref)) return false;
    skipBlanks();
    if (!keyword("%%EOF")) return false;
    if (!m_in.get(c)) return true;  // the data ends with the marker itself
    if (!isBlank(c)) return false;
    std::uint8_t lf = 0;
    if (c == 13 && m_in.peekByte(lf) && lf == 10) (void)m_in.get(lf);
    return true;
  }
  bool value(std::uint64_t& v) noexcept {
    std::uint8_t c = 0;
    v = 0;
    if (!m_in.peekByte(c) || !isDigit(c)) return false;
    while (m_in.peekByte(c) && isDigit(c)) {
      (void)m_in.get(c);
      if (v < (std::uint64_t{1} << 40)) v = v * 10 + (c - '0');
    }
    return true;
  }

  ByteStream m_in;
  std::uint64_t m_startxref = 0;  // the offset the last end marker named
};

}  // namespace

bool FileFormat_RecognizePdf(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[8];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "%PDF-1.") || h[7] < '0' || h[7] > '7')
    return false;
  out.identifier = kFmtPdf;
  out.completeness = kComplBad;
  {
    PdfWalk walk(reader);
    walk.run(out);
  }
  return true;
}
