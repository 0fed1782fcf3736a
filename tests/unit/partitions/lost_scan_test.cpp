// Lost-partition scan on sfdisk/sgdisk images damaged the ways users lose partitions.
#include <gtest/gtest.h>

#include "partition_test_util.h"

using namespace parttest;

namespace {

TEST(LostScan, Smoke) {
  Engine e;
  for (const char* name : {"mbr.img", "chs.img", "gpt.img"}) {
    for (bool quick : {true, false}) {
      const auto t = scan(e.get(), diskOf(images() / name), quick);
      std::printf("%s quick=%d\n%s", name, quick, describe(shown(e.get(), t)).c_str());
    }
  }
}

}  // namespace
