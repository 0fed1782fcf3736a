// Plain text, HTML, XML and RTF: 512-byte blocks of bytes that look like words, broken into lines
// and words. Runs of printable bytes without blanks or line breaks (pixel rows, packed tables)
// are not text.
#include <array>
#include <cctype>
#include <cstring>

#include "deepscan/deepscan.h"

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::uint32_t kMinLength = 64;
constexpr std::uint32_t kMaxRun = 63;
constexpr std::uint32_t kMaxLine = 4096;         // a longer line is no text anyone wrote
constexpr std::uint32_t kMinBlankPerMille = 20;  // prose and markup have blanks between words

/// Letters and digits among the bytes 32..255, read as Windows-1252.
constexpr std::array<bool, 256> makeAlnum() {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = t[c + 32] = true;
  for (int c : {0x83, 0x8A, 0x8C, 0x8E, 0x9A, 0x9C, 0x9E, 0x9F, 0xAA, 0xB5, 0xBA}) t[c] = true;
  for (int c = 0xC0; c <= 0xFF; ++c) t[c] = c != 0xD7 && c != 0xF7;
  return t;
}
constexpr std::array<bool, 256> kAlnum = makeAlnum();

bool startsNoCase(const std::uint8_t* p, std::size_t n, const char* tag) noexcept {
  const std::size_t len = std::strlen(tag);
  if (n < len) return false;
  for (std::size_t i = 0; i < len; ++i)
    if (std::toupper(p[i]) != static_cast<unsigned char>(tag[i])) return false;
  return true;
}

}  // namespace

bool FileFormat_RecognizeText(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t block[kBlock];
  std::array<bool, 256> seen{};
  std::uint32_t distinct = 0, run = 0, blocks = 0;
  std::uint32_t identifier = kFmtTxt;
  bool allSame = true, notText = false, ended = false;
  std::uint64_t endedAt = 0;
  std::uint8_t prev = 0;
  std::uint64_t blanks = 0, counted = 0;              // over the blocks that count
  std::uint64_t blanksBefore = 0, countedBefore = 0;  // the same without the block being read
  std::uint32_t line = 0;
  while (!notText && !ended) {
    blanksBefore = blanks;
    countedBefore = counted;
    if (!reader.read(block, kBlock)) break;
    ++blocks;
    std::size_t lead = 0;
    while (lead < kBlock && block[lead] >= 1 && block[lead] <= 32) ++lead;
    const std::uint8_t* p = block + lead;
    const std::size_t n = kBlock - lead;
    if (startsNoCase(p, n, "<HTML") || startsNoCase(p, n, "<!DOCTYPE HTML"))
      identifier = kFmtHtm;
    else if (startsNoCase(p, n, "<?XML"))
      identifier = kFmtXml;
    else if (startsNoCase(p, n, "{\\RTF"))
      identifier = kFmtRtf;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const std::uint8_t c = block[i];
      if (c == 0 || c == 0x1A) {
        ended = true;
        endedAt = (blocks - 1) * std::uint64_t{kBlock} + i;
        break;
      }
      ++counted;
      if (c == 10 || c == 13) {
        line = 0;
      } else if (++line > kMaxLine) {
        notText = true;
        break;
      }
      if (c == 9 || c == 10 || c == 13 || c == 32) {
        run = 0;
        ++blanks;
      } else if (c < 33 || c == 255) {
        notText = true;
        break;
      } else {
        if (!kAlnum[c]) {
          run = 0;
        } else if (run > 0) {
          if (c != prev) allSame = false;
          if (kAlnum[prev] && ((c >= 128) != (prev >= 128))) {
            notText = true;
            break;
          }
        }
        if (++run > kMaxRun) {
          notText = true;
          break;
        }
        if (!seen[c]) {
          seen[c] = true;
          ++distinct;
        }
      }
      prev = c;
    }
    if (distinct < 16 || allSame) {
      // Too few kinds of characters, or one repeated: filler or a table, not prose. A first
      // block like that is not taken at all.
      if (blocks == 1) return false;
      break;
    }
  }
  if (blocks == 0) return false;
  std::uint64_t length = 0;
  if (blocks > 1) {
    length = reader.consumed() - kBlock;
  } else {
    if (notText) return false;
    length = ended ? endedAt : kBlock;
  }
  if (length < kMinLength) return false;
  // The blanks of what is kept: a last block that does not count does not count here either.
  if (blocks > 1) {
    blanks = blanksBefore;
    counted = countedBefore;
  }
  if (counted == 0 || blanks * 1000 < counted * kMinBlankPerMille) return false;
  out.identifier = identifier;
  out.completeness = kComplGood;
  out.length = length;
  return true;
}
