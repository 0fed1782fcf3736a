// A streaming JSON writer: values go to the output as they are given, so that a document of a
// million records never exists in memory. Also the UTF-16 -> UTF-8 conversion kvx uses for names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

/// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
/// Makes @p text valid UTF-8: every byte that does not start a well-formed sequence becomes
/// U+FFFD (engine texts are UTF-8 but come from disk structures too).
std::string sanitizeUtf8(std::string_view text);
/// JSON string literal of @p text, with its quotes; bytes that are not UTF-8 become U+FFFD.
std::string jsonQuote(std::string_view text);
/// Appends the literal of jsonQuote to @p out.
void appendJsonString(std::string& out, std::string_view text);

class JsonWriter {
 public:
  explicit JsonWriter(std::FILE* out) : m_out(out) { m_buf.reserve(kFlushAt + 4096); }
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  /// Member name inside an object; the next value call gives its value.
  JsonWriter& key(std::string_view name);
  /// key() for a name that needs no escaping (the program's own ASCII names), written as it is.
  JsonWriter& plainKey(std::string_view name) {
    separate();
    m_buf.push_back('"');
    m_buf.append(name);
    m_buf.append("\":", 2);
    m_afterKey = true;
    return *this;
  }
  void string(std::string_view utf8);  // made valid UTF-8 first
  void number(std::int64_t v);
  void unsignedNumber(std::uint64_t v);
  void boolean(bool v);
  void null();
  /// Ends a line of JSON lines (between top-level values).
  void newline() { raw("\n"); }
  /// Ends the document (with a newline unless @p newline is false) and flushes.
  void finish(bool newline = true);

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  void separate();
  void raw(std::string_view text) {
    m_buf.append(text);
    flushIfFull();
  }
  void flushIfFull() {
    if (m_buf.size() >= kFlushAt) flush();
  }
  void flush();

  std::FILE* m_out;
  std::string m_buf;  // written out in 64 KiB pieces
  std::vector<std::uint8_t> m_first;  // per open container: 1 while no element is written yet
  bool m_afterKey = false;
};

}  // namespace kvx
