// Little-endian on-disk field types (Le<T>, le16/le32/le64, defined with the interface records that
// use them) and unaligned loads and stores.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "undelete/undelete.h"

/// Reads a little-endian value from @p at without alignment requirements.
template <std::unsigned_integral T>
[[nodiscard]] constexpr T loadLe(const std::uint8_t* at) noexcept {
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | at[i]);
  return v;
}

/// Writes @p v little-endian at @p at.
template <std::unsigned_integral T>
constexpr void storeLe(std::uint8_t* at, T v) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    at[i] = static_cast<std::uint8_t>(v & 0xFFu);
    v = static_cast<T>(v >> 8);
  }
}
