// LZNT1 decompression: chunk framing, the shifting displacement/length split, overlapping copies
// and every rejection, checked against a small greedy compressor written from the format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ntfs/ntfs.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

/// Greedy LZNT1 compressor for one chunk of up to 4096 bytes (compressed form, header included).
Bytes compressChunk(const std::uint8_t* data, std::size_t n) {
  Bytes body;
  std::size_t p = 0;
  while (p < n) {
    const std::size_t flagAt = body.size();
    body.push_back(0);
    for (int bit = 0; bit < 8 && p < n; ++bit) {
      unsigned lengthBits = 12;
      for (std::size_t v = p - 1; p > 0 && v >= 16; v >>= 1) --lengthBits;
      const std::size_t maxLen = (std::size_t{1} << lengthBits) + 2;
      const std::size_t maxDisp = std::size_t{1} << (16 - lengthBits);
      std::size_t bestLen = 0, bestDisp = 0;
      for (std::size_t d = 1; p > 0 && d <= p && d <= maxDisp; ++d) {
        std::size_t l = 0;
        while (p + l < n && l < maxLen && data[p + l - d] == data[p + l]) ++l;
        if (l > bestLen) bestLen = l, bestDisp = d;
      }
      if (bestLen >= 3) {
        const auto token =
            static_cast<std::uint16_t>(((bestDisp - 1) << lengthBits) | (bestLen - 3));
        body.push_back(static_cast<std::uint8_t>(token));
        body.push_back(static_cast<std::uint8_t>(token >> 8));
        body[flagAt] = static_cast<std::uint8_t>(body[flagAt] | (1u << bit));
        p += bestLen;
      } else {
        body.push_back(data[p++]);
      }
    }
  }
  const auto header = static_cast<std::uint16_t>(0xB000 | (body.size() + 2 - 3));
  Bytes out{static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes rawChunk(const std::uint8_t* data) {
  Bytes out{0xFF, 0x3F};  // 4095 = 4098 - 3, not compressed
  out.insert(out.end(), data, data + 4096);
  return out;
}

int decompress(const Bytes& in, Bytes& out) {
  return NTFS_Decompress(static_cast<std::uint32_t>(in.size()), in.data(),
                         static_cast<std::uint32_t>(out.size()), out.data());
}

TEST(Lznt1, RoundTripOfMixedChunks) {
  std::mt19937 rng(7);
  Bytes original(65536);
  for (std::size_t i = 0; i < original.size(); ++i) {
    // Runs, repeats at growing distances and noise, so every split width is exercised.
    const std::size_t block = i / 4096;
    original[i] = block % 3 == 0   ? static_cast<std::uint8_t>((i / 7) % 13)
                  : block % 3 == 1 ? static_cast<std::uint8_t>(rng() & 0x3)
                                   : static_cast<std::uint8_t>(rng());
  }
  Bytes packed;
  for (std::size_t c = 0; c < 16; ++c) {
    const Bytes chunk =
        c % 3 == 2 ? rawChunk(&original[c * 4096]) : compressChunk(&original[c * 4096], 4096);
    packed.insert(packed.end(), chunk.begin(), chunk.end());
  }
  Bytes out(65536, 0xEE);
  EXPECT_EQ(decompress(packed, out), 0);
  EXPECT_EQ(out, original);
}

TEST(Lznt1, ShortChunkIsFollowedByZerosToItsBoundary) {
  Bytes data(100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37);
  Bytes packed = compressChunk(data.data(), data.size());
  packed.resize(packed.size() + 50, 0);  // cluster padding after the last chunk
  Bytes out(8192, 0xEE);
  EXPECT_EQ(decompress(packed, out), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 100, out.begin() + 4096, [](auto b) { return b == 0; }));
  EXPECT_EQ(out[4096], 0xEE);  // a zero header ends the data: the next chunk is not touched
}

TEST(Lznt1, OverlappingReferenceRepeatsTheOutput) {
  // 'a' then a reference of displacement 1, length 4095: 4096 times 'a'.
  const Bytes packed{0x03, 0xB0, 0x02, 'a', 0xFC, 0x0F};
  Bytes out(4096);
  ASSERT_EQ(decompress(packed, out), 0);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 'a'; }));
}

TEST(Lznt1, SmallestChunkAtTheVeryEndOfTheInput) {
  // Header, flag byte and one literal: four bytes with nothing after them.
  const Bytes packed{0x01, 0xB0, 0x00, 'z'};
  Bytes out(4096, 0xEE);
  ASSERT_EQ(decompress(packed, out), 0);
  EXPECT_EQ(out[0], 'z');
  EXPECT_EQ(out[1], 0);
}

struct BadCase {
  const char* name;
  Bytes input;
  std::size_t outSize;
};
class Lznt1Reject : public ::testing::TestWithParam<BadCase> {};
TEST_P(Lznt1Reject, FailsWithoutOverrun) {
  Bytes out(GetParam().outSize + 64, 0xEE);
  EXPECT_EQ(
      NTFS_Decompress(static_cast<std::uint32_t>(GetParam().input.size()), GetParam().input.data(),
                      static_cast<std::uint32_t>(GetParam().outSize), out.data()),
      -1);
  EXPECT_TRUE(std::all_of(out.end() - 64, out.end(), [](auto b) { return b == 0xEE; }));
}
Bytes rawWithLength(std::uint16_t field) {
  Bytes b(4098, 'x');
  b[0] = static_cast<std::uint8_t>(field);
  b[1] = static_cast<std::uint8_t>(0x30 | (field >> 8));
  return b;
}
INSTANTIATE_TEST_SUITE_P(
    Rules, Lznt1Reject,
    ::testing::Values(BadCase{"ReferenceAsFirstToken", {0x02, 0xB0, 0x01, 0x00, 0x00}, 4096},
                      BadCase{
                          "ReferenceBeforeChunkStart", {0x03, 0xB0, 0x02, 'a', 0x00, 0x10}, 4096},
                      BadCase{"ReferencePastChunkEnd", {0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F}, 4096},
                      BadCase{"TokenCutByChunkEnd", {0x02, 0xB0, 0x02, 'a', 0x00}, 4096},
                      BadCase{"ChunkPastInput", {0x10, 0xB0, 0x00, 'a', 'b'}, 4096},
                      BadCase{"OutputRoomUnderOneChunk", {0x01, 0xB0, 0x00, 'a'}, 4095},
                      BadCase{"UncompressedLengthNot4095", rawWithLength(4094), 4096}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Lznt1, UncompressedChunkIsCopied) {
  Bytes data(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  Bytes out(4096);
  ASSERT_EQ(decompress(rawChunk(data.data()), out), 0);
  EXPECT_EQ(out, data);
}

TEST(Lznt1, ErrorKeepsEarlierChunks) {
  Bytes data(4096, 'q');
  Bytes packed = compressChunk(data.data(), data.size());
  const Bytes bad{0x02, 0xB0, 0x01, 0x00, 0x00};
  packed.insert(packed.end(), bad.begin(), bad.end());
  Bytes out(8192, 0);
  EXPECT_EQ(decompress(packed, out), -1);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
}

}  // namespace
