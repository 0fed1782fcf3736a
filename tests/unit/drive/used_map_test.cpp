// The used-sector map: bit layout, ranges, reuse, and walking the runs of clear bits.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "drive_test_util.h"

using namespace drivetest;

namespace {

using FreeRun = std::pair<std::uint64_t, std::uint64_t>;

std::vector<FreeRun> freeRuns(const CachedDrive* d, std::uint64_t from = 0) {
  std::vector<FreeRun> runs;
  std::uint64_t pos = from, end = 0;
  while (CachedDrive_NextFreeRun(d, &pos, &end)) {
    runs.emplace_back(pos, end);
    pos = end;
  }
  return runs;
}

struct MapCase {
  const char* name;
  std::uint64_t bits;
  std::vector<FreeRun> setRanges;  // [first, first + count)
  std::vector<FreeRun> expected;   // free runs [position, end)
};
class FreeRunTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(FreeRunTest, WalksClearRuns) {
  const auto& c = GetParam();
  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_InitMap(drive.get(), c.bits, nullptr, 0));
  for (const auto& [first, count] : c.setRanges)
    ASSERT_TRUE(CachedDrive_SetMapRange(drive.get(), first, count));
  EXPECT_EQ(freeRuns(drive.get()), c.expected);
  // Bit by bit, the same answer.
  std::vector<FreeRun> slow;
  for (std::uint64_t b = 0; b < c.bits;) {
    if (CachedDrive_TestMapBit(drive.get(), b)) {
      ++b;
      continue;
    }
    std::uint64_t e = b;
    while (e < c.bits && !CachedDrive_TestMapBit(drive.get(), e)) ++e;
    slow.emplace_back(b, e);
    b = e;
  }
  EXPECT_EQ(slow, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drive, FreeRunTest,
    ::testing::Values(MapCase{"FirstFourSet", 8, {{0, 4}}, {{4, 8}}},
                      MapCase{"AllClear", 1000, {}, {{0, 1000}}},
                      MapCase{"AllSet", 1000, {{0, 1000}}, {}},
                      MapCase{"OddLengthAllSet", 77, {{0, 77}}, {}},
                      MapCase{"HoleInWords", 4096, {{0, 1000}, {1001, 3095}}, {{1000, 1001}}},
                      MapCase{"HoleAtLastBit", 4099, {{0, 4098}}, {{4098, 4099}}},
                      MapCase{"Several",
                              300,
                              {{3, 5}, {64, 64}, {200, 1}},
                              {{0, 3}, {8, 64}, {128, 200}, {201, 300}}},
                      MapCase{"SetPastEndClipped", 100, {{90, 1000}}, {{0, 90}}},
                      MapCase{"UnalignedLongRun", 1000, {{7, 900}}, {{0, 7}, {907, 1000}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsedMapTest, BitLayoutInitialBytesAndBounds) {
  auto drive = makeDrive();
  std::uint64_t bits = 0;
  EXPECT_FALSE(CachedDrive_GetMapBits(&bits, drive.get()));
  EXPECT_FALSE(CachedDrive_SetMapBit(drive.get(), 0));
  const std::uint8_t initial[3] = {0x01, 0x80, 0xFF};
  ASSERT_TRUE(CachedDrive_InitMap(drive.get(), 12, initial, sizeof initial));  // 2 bytes copied
  ASSERT_TRUE(CachedDrive_GetMapBits(&bits, drive.get()));
  EXPECT_EQ(bits, 12u);
  EXPECT_TRUE(CachedDrive_TestMapBit(drive.get(), 0));
  EXPECT_FALSE(CachedDrive_TestMapBit(drive.get(), 15));  // copied as set, but past the map
  EXPECT_FALSE(CachedDrive_TestMapBit(drive.get(), 8));
  EXPECT_FALSE(CachedDrive_SetMapBit(drive.get(), 12));
  ASSERT_TRUE(CachedDrive_SetMapBit(drive.get(), 9));
  EXPECT_EQ(drive->map[1], 0x82);
  std::uint64_t pos = 12, end = 0;
  EXPECT_FALSE(CachedDrive_NextFreeRun(drive.get(), &pos, &end));
  EXPECT_FALSE(CachedDrive_NextFreeRun(drive.get(), &pos, nullptr));
}

TEST(UsedMapTest, ReuseKeepsMarksAndGrowingStartsClean) {
  auto drive = makeDrive();
  ASSERT_TRUE(CachedDrive_InitMap(drive.get(), 1000, nullptr, 0));
  ASSERT_TRUE(CachedDrive_SetMapBit(drive.get(), 5));
  ASSERT_TRUE(CachedDrive_InitMap(drive.get(), 800, nullptr, 0));  // fits: marks stay
  EXPECT_TRUE(CachedDrive_TestMapBit(drive.get(), 5));
  EXPECT_FALSE(CachedDrive_TestMapBit(drive.get(), 900));
  EXPECT_EQ(freeRuns(drive.get(), 6).back().second, 800u);
  ASSERT_TRUE(CachedDrive_InitMap(drive.get(), 100000, nullptr, 0));  // larger: a new zeroed map
  EXPECT_FALSE(CachedDrive_TestMapBit(drive.get(), 5));
  CachedDrive_FreeMap(drive.get());
  EXPECT_EQ(drive->map, nullptr);
}

}  // namespace
