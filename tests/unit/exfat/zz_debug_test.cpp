#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "exfat_harness.h"
TEST(ExfatDebug, Dump) {
  const char* p = std::getenv("EXFAT_DEBUG_IMAGE");
  if (!p) GTEST_SKIP();
  exfattest::Scan s(p);
  std::printf("recognized %d\n", s.recognized());
  for (auto& f : s.files())
    std::printf("%s%s size=%llu state=%u over=%llu/%llu by=%d\n", f.existing ? "" : "* ",
                f.path.c_str(), (unsigned long long)f.size, f.state,
                (unsigned long long)f.overwritten, (unsigned long long)f.total, f.overwrittenBy);
  for (auto& d : s.folders()) std::printf("D %s%s\n", d.deleted ? "* " : "", d.path.c_str());
}
