// The interface header compiles as C (interface_c.c) and gives C the layouts, values and functions
// that C++ sees.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "undelete/undelete.h"

using KvxAnyFunction = void (*)();

extern "C" {
extern const std::size_t kvxCLayout[];
extern const std::size_t kvxCLayoutCount;
extern const std::uint32_t kvxCConstants[];
extern const std::size_t kvxCConstantCount;
extern const KvxAnyFunction kvxCExports[];
extern const std::size_t kvxCExportCount;
std::uint64_t kvxCFileSize(const FileRecord* record);
int kvxCFileTime(std::uint64_t fileTime, std::int64_t* seconds, std::uint32_t* nanoseconds);
}

namespace {

#define SIZE(type) sizeof(type),
#define FIELD(type, field) offsetof(type, field),
#define CONSTANT(name)
#define EXPORT(name)
const std::vector<std::size_t> kLayout = {
#include "interface_list.inc"
};
#undef SIZE
#undef FIELD
#undef CONSTANT
#undef EXPORT

#define SIZE(type)
#define FIELD(type, field)
#define CONSTANT(name) static_cast<std::uint32_t>(name),
#define EXPORT(name)
const std::vector<std::uint32_t> kConstants = {
#include "interface_list.inc"
};
#undef CONSTANT

#define CONSTANT(name)
#undef EXPORT
#define EXPORT(name) reinterpret_cast<KvxAnyFunction>(name),
const std::vector<KvxAnyFunction> kExports = {
#include "interface_list.inc"
};
#undef SIZE
#undef FIELD
#undef CONSTANT
#undef EXPORT

TEST(InterfaceHeader, CSeesTheSameLayoutsValuesAndFunctions) {
  ASSERT_EQ(kvxCLayoutCount, kLayout.size());
  for (std::size_t i = 0; i < kLayout.size(); ++i) EXPECT_EQ(kvxCLayout[i], kLayout[i]) << i;
  ASSERT_EQ(kvxCConstantCount, kConstants.size());
  for (std::size_t i = 0; i < kConstants.size(); ++i)
    EXPECT_EQ(kvxCConstants[i], kConstants[i]) << i;
  // Same symbols: a C declaration naming another function (or none) would differ here.
  ASSERT_EQ(kvxCExportCount, kExports.size());
  for (std::size_t i = 0; i < kExports.size(); ++i) EXPECT_EQ(kvxCExports[i], kExports[i]) << i;

  FileRecord r{};
  r.size.set(0x0102030405060708ull);
  EXPECT_EQ(kvxCFileSize(&r), 0x0102030405060708ull);
}

// Front ends and the engine read record times with the header's helper: the same in C and C++,
// floor seconds before 1970 (nanoseconds stay positive), and no time for 0.
TEST(InterfaceHeader, FileTimesReadAlikeInCAndCpp) {
  struct Case {
    std::uint64_t fileTime;
    int ok;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
  };
  const Case cases[] = {
      {0, 0, 7, 7},                                          // none recorded: left alone
      {116444736000000000ull, 1, 0, 0},                      // 1970-01-01
      {116444735999999999ull, 1, -1, 999999900},             // 100 ns before it
      {1ull, 1, -11644473600ll, 100},                        // the first tick of 1601
      {(1700000000ull + 11644473600ull) * 10000000 + 1234567, 1, 1700000000, 123456700},
  };
  for (const Case& c : cases) {
    std::int64_t s = 7, cs = 7;
    std::uint32_t n = 7, cn = 7;
    EXPECT_EQ(UndeleteFileTimeToUnix(c.fileTime, &s, &n), c.ok) << c.fileTime;
    EXPECT_EQ(kvxCFileTime(c.fileTime, &cs, &cn), c.ok) << c.fileTime;
    EXPECT_EQ(s, c.seconds) << c.fileTime;
    EXPECT_EQ(n, c.nanoseconds) << c.fileTime;
    EXPECT_EQ(cs, s) << c.fileTime;
    EXPECT_EQ(cn, n) << c.fileTime;
  }
}

}  // namespace
