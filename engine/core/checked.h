// Overflow-checked arithmetic and range tests that cannot wrap.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>

template <std::unsigned_integral T>
[[nodiscard]] inline std::optional<T> checkedAdd(T a, T b) noexcept {
  T r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <std::unsigned_integral T>
[[nodiscard]] inline std::optional<T> checkedMul(T a, T b) noexcept {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

/// True when [off, off + len) lies inside [0, size); written so that it cannot wrap.
template <std::unsigned_integral T>
[[nodiscard]] constexpr bool fitsIn(T off, T len, T size) noexcept {
  return off <= size && len <= size - off;
}
