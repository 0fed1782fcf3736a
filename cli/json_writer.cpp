// Streaming JSON output and the text conversions behind it.
#include "json_writer.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>

namespace kvx {

namespace {
void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}
constexpr char32_t kReplacement = 0xFFFD;
}  // namespace

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  // Names are mostly ASCII: that run is copied without the general conversion.
  std::size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  out.resize(ascii);
  for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(text[i]);
  if (ascii == text.size()) return out;
  out.reserve(text.size() + 8);
  for (std::size_t i = ascii; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, c);
    }
  }
  return out;
}

std::string sanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    std::size_t len = 0;
    char32_t cp = 0, min = 0;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && n - i >= len;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      appendUtf8(out, kReplacement);
      ++i;
    }
  }
  return out;
}

namespace {
/// Length of the well-formed UTF-8 sequence at the start of @p text, 0 when it is not one.
std::size_t validSequence(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char b = p[0];
  std::size_t len = 0;
  char32_t cp = 0, min = 0;
  if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F, min = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F, min = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07, min = 0x10000;
  if (len == 0 || text.size() < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}
}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the run of bytes that need nothing in one step.
    std::size_t run = i;
    while (run < text.size()) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) break;
      ++run;
    }
    out.append(text.data() + i, run - i);
    i = run;
    if (i >= text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t len = validSequence(text.substr(i));
      if (len != 0) {
        out.append(text.data() + i, len);
        i += len;
      } else {
        out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no character
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
    ++i;
  }
  out.push_back('"');
}

std::string jsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  appendJsonString(out, text);
  return out;
}

void JsonWriter::separate() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (!m_first.empty()) {
    if (m_first.back() == 0) m_buf.push_back(',');
    m_first.back() = 0;
  }
}

void JsonWriter::beginObject() {
  separate();
  raw("{");
  m_first.push_back(1);
}
void JsonWriter::endObject() {
  m_first.pop_back();
  raw("}");
}
void JsonWriter::beginArray() {
  separate();
  raw("[");
  m_first.push_back(1);
}
void JsonWriter::endArray() {
  m_first.pop_back();
  raw("]");
}
JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  // Keys are the program's own ASCII names: quoted as they are unless one needs escaping.
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  });
  if (plain) {
    m_buf.push_back('"');
    m_buf.append(name);
    m_buf.append("\":", 2);
  } else {
    appendJsonString(m_buf, name);
    m_buf.push_back(':');
  }
  m_afterKey = true;
  return *this;
}
void JsonWriter::string(std::string_view utf8) {
  separate();
  appendJsonString(m_buf, utf8);
  flushIfFull();
}
void JsonWriter::number(std::int64_t v) {
  separate();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  raw(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}
void JsonWriter::unsignedNumber(std::uint64_t v) {
  separate();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  raw(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}
void JsonWriter::boolean(bool v) {
  separate();
  raw(v ? "true" : "false");
}
void JsonWriter::null() {
  separate();
  raw("null");
}
void JsonWriter::finish(bool newline) {
  if (newline) raw("\n");
  flush();
  std::fflush(m_out);
}

void JsonWriter::flush() {
  if (!m_buf.empty()) std::fwrite(m_buf.data(), 1, m_buf.size(), m_out);
  m_buf.clear();
}

JsonWriter::~JsonWriter() { flush(); }

}  // namespace kvx
