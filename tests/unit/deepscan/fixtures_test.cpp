// The recognisers over committed samples made by heavy tools (MinGW, ffmpeg, the Free Pascal help
// compiler; tests/fixtures/make_format_fixtures.sh), whole and cut.
#include <gtest/gtest.h>

#include "deepscan/deepscan.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fixture(const std::string& name) {
  return kvxtest::readFile(kvxtest::sourceDir() / "tests/fixtures/formats" / name);
}

struct FixtureCase {
  const char* file;
  std::uint32_t id;
  std::uint32_t completeness;
  std::uint32_t cutCompletenessBelow;  // completeness of the first half must be lower
  std::uint32_t cutId = 0;             // identifier of the first half when it differs
};
class FormatFixtureTest : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FormatFixtureTest, WholeFileThenFirstHalf) {
  const FixtureCase& c = GetParam();
  Bytes f = fixture(c.file);
  ASSERT_FALSE(f.empty()) << c.file;
  const std::size_t size = f.size();
  f.resize(size + 2048, 0);
  FormatResult r;
  ASSERT_TRUE(FileFormat_DetectBytes(f, r));
  EXPECT_EQ(r.identifier, c.id);
  EXPECT_EQ(r.completeness, c.completeness);
  EXPECT_EQ(r.length, size);
  f.resize(size / 2);
  FormatResult cut;
  ASSERT_TRUE(FileFormat_DetectBytes(f, cut));
  EXPECT_EQ(cut.identifier, c.cutId != 0 ? c.cutId : c.id);
  EXPECT_LT(cut.completeness, c.cutCompletenessBelow);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, FormatFixtureTest,
    ::testing::Values(FixtureCase{"prog.exe", kFmtExe, kComplGood, kComplGood},
                      FixtureCase{"lib.dll", kFmtDll, kComplGood, kComplGood},
                      // The resource section lies in the second half: a cut file is a plain DLL.
                      FixtureCase{"lib.dll.mui", kFmtDllMui, kComplGood, kComplGood, kFmtDll},
                      FixtureCase{"prog.exe.mui", kFmtExeMui, kComplGood, kComplGood, kFmtExe},
                      FixtureCase{"clip.avi", kFmtAvi, kComplGood, kComplGood},
                      FixtureCase{"tone.wav", kFmtWav, kComplGood, kComplGood},
                      FixtureCase{"clip.wmv", kFmtWmv, kComplExcellent, kComplGood},
                      // Sound only: no index follows the data object.
                      FixtureCase{"tone.asf", kFmtAsf, kComplPoor, kComplPoor},
                      // The header gives the length; nothing beyond it is checked.
                      FixtureCase{"clip.swf", kFmtSwf, kComplGood, kComplGood + 1},
                      FixtureCase{"help.chm", kFmtChm, kComplGood, kComplGood + 1}),
    [](const auto& info) {
      std::string n = info.param.file;
      for (char& ch : n)
        if (ch == '.') ch = '_';
      return n;
    });

}  // namespace
