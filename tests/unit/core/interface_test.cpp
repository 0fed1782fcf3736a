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

}  // namespace
