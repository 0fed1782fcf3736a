// Small helpers the recognisers share: big-endian loads, a byte stream for byte-by-byte walks and
// a bounded search for a keyword, all on top of a FormatReader.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "deepscan/deepscan.h"

namespace deepscan {

[[nodiscard]] constexpr std::uint16_t be16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
[[nodiscard]] constexpr std::uint32_t be32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}
[[nodiscard]] constexpr std::uint16_t le16At(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
[[nodiscard]] constexpr std::uint32_t le32At(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
[[nodiscard]] constexpr std::uint64_t le64At(const std::uint8_t* p) noexcept {
  return std::uint64_t{le32At(p)} | (std::uint64_t{le32At(p + 4)} << 32);
}
[[nodiscard]] inline bool equals(const std::uint8_t* p, std::string_view s) noexcept {
  return std::memcmp(p, s.data(), s.size()) == 0;
}

/// CRC-32 with the reflected polynomial 0xEDB88320 (PNG chunks, ZIP members), continued from
/// @p crc (start with 0).
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept;

/// Reads bytes one at a time from a FormatReader through its peek window. The bytes handed out
/// are consumed in the reader only at commit() (or when the window is refilled), so consumed()
/// is the stream's own position.
class ByteStream {
 public:
  explicit ByteStream(FormatReader& reader) noexcept : m_reader(reader) {}
  ~ByteStream() { commit(); }
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;

  [[nodiscard]] bool get(std::uint8_t& b) noexcept {
    if (m_pos == m_view.size() && !refill()) return false;
    b = m_view[m_pos++];
    return true;
  }
  /// The next byte without taking it.
  [[nodiscard]] bool peekByte(std::uint8_t& b) noexcept {
    if (m_pos == m_view.size() && !refill()) return false;
    b = m_view[m_pos];
    return true;
  }
  [[nodiscard]] std::uint64_t consumed() const noexcept { return m_reader.consumed() + m_pos; }
  /// Takes the bytes up to and including the first @p needle, giving up once consumed() would
  /// pass @p limit. False at the window's end or the limit.
  [[nodiscard]] bool findAfter(std::string_view needle, std::uint64_t limit) noexcept {
    std::size_t matched = 0;
    std::uint8_t b = 0;
    while (matched < needle.size()) {
      if (consumed() >= limit) return false;
      if (matched == 0) {  // fast path: look for the first byte in the current view
        if (m_pos == m_view.size() && !refill()) return false;
        const auto* start = m_view.data() + m_pos;
        const std::size_t avail = m_view.size() - m_pos;
        const void* hit = std::memchr(start, static_cast<unsigned char>(needle[0]), avail);
        if (hit == nullptr) {
          m_pos = m_view.size();
          continue;
        }
        m_pos += static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - start) + 1;
        matched = 1;
        continue;
      }
      if (!get(b)) return false;
      if (b == static_cast<std::uint8_t>(needle[matched])) {
        ++matched;
      } else {
        // Restart; the needles used here have no proper prefix that is also a suffix.
        matched = b == static_cast<std::uint8_t>(needle[0]) ? 1 : 0;
      }
    }
    return true;
  }
  /// Hands the bytes taken so far to the reader (consumes them there).
  void commit() noexcept {
    if (m_pos > 0) {
      (void)m_reader.skip(m_pos);
      m_view = m_view.subspan(m_pos);
      m_view = {};
      m_pos = 0;
    }
  }

 private:
  [[nodiscard]] bool refill() noexcept {
    commit();
    m_view = m_reader.peek(kView);
    m_pos = 0;
    return !m_view.empty();
  }
  static constexpr std::size_t kView = 4096;
  FormatReader& m_reader;
  std::span<const std::uint8_t> m_view;
  std::size_t m_pos = 0;
};

}  // namespace deepscan
