// Cursor over the variable-length fields of a dynamic-disk database record (VBLK): numbers and
// texts prefixed by their length, read only inside the block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

/// Cursor over the variable-length fields of a VBLK record.
class VblkFields {
 public:
  explicit VblkFields(std::span<const std::uint8_t> block, std::size_t pos)
      : m_block(block), m_pos(pos) {}
  /// Length-prefixed big-endian number of 1..8 bytes.
  bool number(std::uint64_t& out) {
    if (m_pos >= m_block.size()) return false;
    const std::size_t n = m_block[m_pos];
    if (n == 0 || n > 8 || n > m_block.size() - m_pos - 1) return false;
    out = 0;
    for (std::size_t i = 0; i < n; ++i) out = out << 8 | m_block[m_pos + 1 + i];
    m_pos += 1 + n;
    return true;
  }
  /// Length-prefixed text, cut at @p max - 1 characters.
  bool text(char* out, std::size_t max) {
    if (m_pos >= m_block.size()) return false;
    const std::size_t n = m_block[m_pos];
    if (n > m_block.size() - m_pos - 1) return false;
    const std::size_t keep = std::min(n, max - 1);
    std::memcpy(out, m_block.data() + m_pos + 1, keep);
    out[keep] = 0;
    m_pos += 1 + n;
    return true;
  }
  bool skip(std::size_t n) {
    if (n > m_block.size() - m_pos) return false;
    m_pos += n;
    return true;
  }
  bool be64(std::uint64_t& out) {
    if (8 > m_block.size() - m_pos) return false;
    out = 0;
    for (std::size_t i = 0; i < 8; ++i) out = out << 8 | m_block[m_pos + i];
    m_pos += 8;
    return true;
  }
  bool bytes(std::uint8_t* out, std::size_t n) {
    if (n > m_block.size() - m_pos) return false;
    std::memcpy(out, m_block.data() + m_pos, n);
    m_pos += n;
    return true;
  }

 private:
  std::span<const std::uint8_t> m_block;
  std::size_t m_pos;  // may equal the size; every read checks
};
