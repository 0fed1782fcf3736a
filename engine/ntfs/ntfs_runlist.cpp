// Run-list cursor over NTFS mapping pairs: one header byte (low nibble = width of the length,
// high nibble = width of the offset), the length, then the signed offset from the previous run.
#include <cstdint>
#include <span>

#include "core/checked.h"
#include "ntfs/ntfs.h"

void RunCursor::load(std::span<const std::uint8_t> list, std::uint64_t clusterLimit) {
  m_list.assign(list.begin(), list.end());
  m_pos = 0;
  m_current = 0;
  m_left = 0;
  m_lastStart = 0;
  m_limit = clusterLimit;
  m_corrupt = false;
}

void RunCursor::endList() noexcept {
  // Overwrite the header so that the list stays ended whoever asks next.
  if (m_pos < m_list.size()) m_list[m_pos] = 0;
  m_corrupt = true;
}

RunCursor::Pair RunCursor::decode(std::uint64_t* start, std::uint64_t* length) noexcept {
  if (m_pos >= m_list.size()) return Pair::End;
  const std::uint8_t h = m_list[m_pos];
  if (h == 0) return Pair::End;
  const std::size_t lenSize = h & 0x0Fu, offSize = h >> 4;
  if (lenSize == 0 || lenSize > 8 || offSize > 8) {
    endList();
    return Pair::End;
  }
  if (!fitsIn<std::size_t>(m_pos + 1, lenSize + offSize, m_list.size())) {
    endList();
    return Pair::End;
  }
  const std::uint8_t* p = m_list.data() + m_pos + 1;
  std::uint64_t len = 0;
  for (std::size_t i = lenSize; i-- > 0;) len = (len << 8) | p[i];
  // The length is signed on disk: a set top bit is a negative length, never a real run.
  if (len == 0 || (p[lenSize - 1] & 0x80u) != 0) {
    endList();
    return Pair::End;
  }
  if (offSize == 0) {
    m_pos += 1 + lenSize;
    *length = len;
    return Pair::Sparse;
  }
  std::uint64_t delta = 0;
  for (std::size_t i = offSize; i-- > 0;) delta = (delta << 8) | p[lenSize + i];
  if (offSize < 8 && (p[lenSize + offSize - 1] & 0x80u) != 0)
    delta |= ~std::uint64_t{0} << (8 * offSize);
  const std::uint64_t first = m_lastStart + delta;  // wraps as two's complement
  const auto signedFirst = static_cast<std::int64_t>(first);
  const auto signedDelta = static_cast<std::int64_t>(delta);
  // A start below cluster 0 (the sum wrapped the wrong way) is corrupt.
  if ((signedDelta < 0 && first > m_lastStart) || (signedDelta >= 0 && first < m_lastStart) ||
      signedFirst < 0) {
    endList();
    return Pair::End;
  }
  if (m_limit != 0 && !fitsIn<std::uint64_t>(first, len, m_limit)) {
    endList();
    return Pair::End;
  }
  m_pos += 1 + lenSize + offSize;
  m_lastStart = first;
  *start = first;
  *length = len;
  return Pair::Data;
}

bool RunCursor::next(std::uint64_t* cluster, std::uint64_t* left) noexcept {
  if (m_left > 0) {
    ++m_current;
    --m_left;
  } else {
    std::uint64_t start = 0, length = 0;
    switch (decode(&start, &length)) {
      case Pair::End:
        return false;
      case Pair::Sparse:
        start = m_lastStart;
        break;
      case Pair::Data:
        break;
    }
    m_current = start;
    m_left = length - 1;
  }
  *cluster = m_current;
  if (left != nullptr) *left = m_left;
  return true;
}

bool RunCursor::skipSparse(std::uint64_t* count) noexcept {
  if (m_left > 0 || m_pos >= m_list.size()) return false;
  const std::uint8_t h = m_list[m_pos];
  if ((h >> 4) != 0 || (h & 0x0Fu) == 0 || (h & 0x0Fu) > 8) return false;
  std::uint64_t start = 0, length = 0;
  if (decode(&start, &length) != Pair::Sparse) return false;
  *count = length;
  return true;
}

bool RunCursor::nextRun(std::uint64_t* first, std::uint64_t* count, bool* sparse) noexcept {
  if (m_left > 0) {
    *first = m_current + 1;
    *count = m_left;
    *sparse = false;
    m_current += m_left;
    m_left = 0;
    return true;
  }
  std::uint64_t start = 0, length = 0;
  switch (decode(&start, &length)) {
    case Pair::End:
      return false;
    case Pair::Sparse:
      *first = 0;
      *count = length;
      *sparse = true;
      return true;
    case Pair::Data:
      break;
  }
  *first = start;
  *count = length;
  *sparse = false;
  m_current = start + length - 1;
  m_left = 0;
  return true;
}
