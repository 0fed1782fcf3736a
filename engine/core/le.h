// Little-endian on-disk field types: alignment 1, no padding, read and written byte by byte.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

template <std::unsigned_integral T>
struct Le {
  std::uint8_t raw[sizeof(T)];
  [[nodiscard]] constexpr T get() const noexcept {
    T v = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | raw[i]);
    return v;
  }
  constexpr void set(T v) noexcept {
    for (auto& b : raw) {
      b = static_cast<std::uint8_t>(v & 0xFFu);
      v = static_cast<T>(v >> 8);
    }
  }
};

using le16 = Le<std::uint16_t>;
using le32 = Le<std::uint32_t>;
using le64 = Le<std::uint64_t>;
static_assert(sizeof(le16) == 2 && alignof(le16) == 1 && std::is_trivially_copyable_v<le16>);
static_assert(sizeof(le32) == 4 && alignof(le32) == 1 && std::is_trivially_copyable_v<le32>);
static_assert(sizeof(le64) == 8 && alignof(le64) == 1 && std::is_trivially_copyable_v<le64>);

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
