// Text conversions of the engine: UTF-16 (names on disk and in the records), UTF-8 (paths, logs,
// front ends) and the single-byte code pages of short names. Invalid input never stops a
// conversion: what cannot be decoded is carried over byte by byte or unit by unit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// UTF-8 of UTF-16 @p text. A lone surrogate is written as its own three bytes, so that two names
/// that differ only there stay different.
[[nodiscard]] std::string Text_Utf16ToUtf8(std::u16string_view text);
/// UTF-16 of UTF-8 @p text, at most @p maxUnits units (a pair is never split). Bytes that are not
/// UTF-8 are taken as Latin-1, so that nothing is lost.
[[nodiscard]] std::u16string Text_Utf8ToUtf16(std::string_view text,
                                              std::size_t maxUnits = std::u16string::npos);
/// UTF-16 of Latin-1 (or ASCII) @p text, byte for unit.
[[nodiscard]] std::u16string Text_Latin1ToUtf16(std::string_view text);
/// The character of Windows-1252 byte @p byte (the five undefined bytes map to themselves).
[[nodiscard]] char16_t Text_Cp1252(std::uint8_t byte) noexcept;
/// The UTF-16 text of @p units little-endian units at @p bytes (2 x units bytes).
[[nodiscard]] std::u16string Text_Utf16Le(const std::uint8_t* bytes, std::size_t units);
