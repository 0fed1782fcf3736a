// Streaming JSON output and the text conversions behind it.
#include "json_writer.h"

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
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
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

std::string jsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

void JsonWriter::separate() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (!m_first.empty()) {
    if (!m_first.back()) raw(",");
    m_first.back() = false;
  }
}

void JsonWriter::beginObject() {
  separate();
  raw("{");
  m_first.push_back(true);
}
void JsonWriter::endObject() {
  m_first.pop_back();
  raw("}");
}
void JsonWriter::beginArray() {
  separate();
  raw("[");
  m_first.push_back(true);
}
void JsonWriter::endArray() {
  m_first.pop_back();
  raw("]");
}
JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  raw(jsonQuote(sanitizeUtf8(name)));
  raw(":");
  m_afterKey = true;
  return *this;
}
void JsonWriter::string(std::string_view utf8) {
  separate();
  raw(jsonQuote(sanitizeUtf8(utf8)));
}
void JsonWriter::number(std::int64_t v) {
  separate();
  char buf[24];
  std::snprintf(buf, sizeof buf, "%" PRId64, v);
  raw(buf);
}
void JsonWriter::unsignedNumber(std::uint64_t v) {
  separate();
  char buf[24];
  std::snprintf(buf, sizeof buf, "%" PRIu64, v);
  raw(buf);
}
void JsonWriter::boolean(bool v) {
  separate();
  raw(v ? "true" : "false");
}
void JsonWriter::null() {
  separate();
  raw("null");
}
void JsonWriter::finish() {
  raw("\n");
  std::fflush(m_out);
}

}  // namespace kvx
