// Bounds-checked cursor over untrusted bytes: every read copies out or fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

/// Outcome of a pure parser: NotThis is silent, Corrupt means skip the item and go on.
enum class Parse : std::uint8_t { Ok, NotThis, Corrupt };

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) noexcept : m_data(data) {}

  /// False (position unchanged) past the end.
  [[nodiscard]] bool seek(std::size_t off) noexcept {
    if (off > m_data.size()) return false;
    m_pos = off;
    return true;
  }
  [[nodiscard]] bool skip(std::size_t n) noexcept {
    if (n > m_data.size() - m_pos) return false;
    m_pos += n;
    return true;
  }
  template <class T>
    requires std::is_trivially_copyable_v<T>
  [[nodiscard]] std::optional<T> read() noexcept {
    if (sizeof(T) > m_data.size() - m_pos) return std::nullopt;
    T v;
    std::memcpy(&v, m_data.data() + m_pos, sizeof(T));
    m_pos += sizeof(T);
    return v;
  }
  /// The next @p n bytes as a view, or nullopt when fewer remain.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> bytes(std::size_t n) noexcept {
    if (n > m_data.size() - m_pos) return std::nullopt;
    auto s = m_data.subspan(m_pos, n);
    m_pos += n;
    return s;
  }
  [[nodiscard]] std::size_t pos() const noexcept { return m_pos; }
  [[nodiscard]] std::size_t remaining() const noexcept { return m_data.size() - m_pos; }
  [[nodiscard]] std::span<const std::uint8_t> data() const noexcept { return m_data; }

 private:
  std::span<const std::uint8_t> m_data;
  std::size_t m_pos = 0;  // invariant: m_pos <= m_data.size()
};
