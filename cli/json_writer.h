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
/// JSON string literal of valid UTF-8 @p text, with its quotes.
std::string jsonQuote(std::string_view text);

class JsonWriter {
 public:
  explicit JsonWriter(std::FILE* out) : m_out(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  /// Member name inside an object; the next value call gives its value.
  JsonWriter& key(std::string_view name);
  void string(std::string_view utf8);  // made valid UTF-8 first
  void number(std::int64_t v);
  void unsignedNumber(std::uint64_t v);
  void boolean(bool v);
  void null();
  /// Ends the document with a newline and flushes.
  void finish();

 private:
  void separate();
  void raw(std::string_view text) { std::fwrite(text.data(), 1, text.size(), m_out); }

  std::FILE* m_out;
  std::vector<bool> m_first;  // per open container: no element written yet
  bool m_afterKey = false;
};

}  // namespace kvx
