// Times of NTFS files: kvx lists the $STANDARD_INFORMATION times (the ones the system keeps
// current), checked against istat on the DFTT 7 image, whose $FILE_NAME times differ from them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

TEST(NtfsTimes, DeletedFilesListTheirStandardInformationTimes) {
  if (!kvxtest::haveTools({"fls", "istat", "python3", "gunzip"}))
    GTEST_SKIP() << "needs the Sleuth Kit, python3 and gunzip";
  const kvxtest::TempDir dir("ntfs-times");
  const std::string image = (dir / "7-ntfs-undel.dd").string();
  const fs::path packed =
      kvxtest::sourceDir() / "tests/fixtures/corpus/7-ntfs-undel/7-ntfs-undel.dd.gz";
  ASSERT_EQ(run("gunzip -c " + quote(packed.string()) + " > " + quote(image)).exitCode, 0);
  const std::string listing = (dir / "scan.json").string();
  ASSERT_EQ(run("TZ=UTC " + quote(kvxtest::cliPath().string()) + " scan " + quote(image) +
                " --json > " + quote(listing) + " 2>/dev/null")
                .exitCode,
            0);
  const auto cmp =
      run("python3 " + quote((kvxtest::sourceDir() / "tests/tools/ntfs_si_times.py").string()) +
          " " + quote(image) + " " + quote(listing));
  ASSERT_EQ(cmp.exitCode, 0);
  // The eight deleted files of the image, each compared field by field.
  EXPECT_EQ(cmp.out, "checked 8\n") << "differences (name, field, kvx, istat):\n" << cmp.out;
  // frag1.dat was written 23 s after its creation: only $STANDARD_INFORMATION says so.
  const auto frag1 =
      run("python3 -c 'import json,sys\n"
          "print([f[\"modified\"][:19] for f in json.load(open(sys.argv[1]))"
          "[\"files\"] if f[\"name\"] == \"frag1.dat\"])' " +
          quote(listing));
  EXPECT_EQ(frag1.out, "['2004-02-29T20:00:40']\n");
}

}  // namespace
