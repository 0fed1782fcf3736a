// The engine's size text: "%d B", "%d.%d KB", "%d.%d MB", "%d.%d GB", "%d.%d TB".
#pragma once

#include <cstddef>
#include <cstdint>

/// Writes the size text of @p bytes into @p out (NUL-terminated, cut to @p cap) and returns its
/// length. Sizes of 2^50 bytes and more write nothing (empty text, 0).
std::size_t formatSizeText(std::uint64_t bytes, char* out, std::size_t cap) noexcept;
