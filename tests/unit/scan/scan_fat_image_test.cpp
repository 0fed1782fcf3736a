// One scan over two FAT images made with mkfs.fat and mtools: each drive gets its root folder and
// report lines, every file is stamped with its own slot, the destination check and the recovery
// dispatch work per slot, and progress reads 10000 at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/fs_dispatch.h"
#include "host/host.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

using kvxtest::quote;
using kvxtest::run;

int collect(void* context, const char* line) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(line);
  return 0;
}

std::u16string stored(Undelete* u, std::uint32_t ref) {
  const void* p = nullptr;
  if (Undelete_GetString(u, ref, &p) == 0 || p == nullptr) return {};
  return static_cast<const char16_t*>(p);
}

class TwoFatImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel"})) GTEST_SKIP() << "mkfs.fat and mtools needed";
    if (Fs_OfKind(kKindFat) == nullptr) GTEST_SKIP() << "the FAT scanner is not in this build";
    for (int d = 0; d < 2; ++d) {
      const auto img = dir / ("disk" + std::to_string(d) + ".img");
      ASSERT_EQ(run("mkfs.fat -C -F 12 -i 1234ABC" + std::to_string(d) + " --invariant " +
                    quote(img.string()) + " 1440 >/dev/null")
                    .exitCode,
                0);
      for (int f = 0; f < 2 + d; ++f) {
        const auto local = dir / ("d" + std::to_string(d) + "f" + std::to_string(f));
        std::vector<std::uint8_t> bytes(1000 + 700 * f);
        for (std::size_t i = 0; i < bytes.size(); ++i)
          bytes[i] = static_cast<std::uint8_t>(i * 7 + d * 31 + f);
        kvxtest::writeFile(local, bytes);
        ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mcopy -i " + quote(img.string()) + " " +
                      quote(local.string()) + " ::/F" + std::to_string(f) + ".BIN")
                      .exitCode,
                  0);
        contents.push_back(bytes);
      }
      // The first file of each image is deleted once all are written.
      ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mdel -i " + quote(img.string()) + " ::/F0.BIN").exitCode, 0);
      letters[d] = Host_AddDrive(img.string());
      ASSERT_NE(letters[d], 0);
    }
    ASSERT_EQ(Undelete_Create(&u), 1);
    Undelete_SetVerbose(u, collect, &report);
    const std::uint32_t driveSpecs[2] = {static_cast<std::uint32_t>(letters[0] - 'A'),
                                    static_cast<std::uint32_t>(letters[1] - 'A')};
    ASSERT_EQ(Undelete_SearchMultiple(u, driveSpecs, 2, 0, nullptr, nullptr, nullptr), 1);
    std::uint32_t code = 0;
    for (int i = 0; i < 2000 && Undelete_IsSearching(u, &code); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(Undelete_IsSearching(u, &code), 0);
    ASSERT_EQ(code, 1u);
  }
  void TearDown() override {
    if (u != nullptr) Undelete_Delete(u);
  }

  kvxtest::TempDir dir{"scan-fat"};
  char letters[2] = {};
  std::vector<std::vector<std::uint8_t>> contents;
  std::vector<std::string> report;
  Undelete* u = nullptr;
};

TEST_F(TwoFatImages, SlotsRootsAndReport) {
  for (int d = 0; d < 2; ++d) {
    const std::string title = std::string(1, letters[d]) + ":";
    for (const char* line : {"Scanning drive %s\r\n", "\tFAT file system recognized.\r\n",
                             "\tScanning file system 1, FAT12.\r\n"}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, line, title.c_str());
      EXPECT_NE(std::find(report.begin(), report.end(), expected), report.end()) << expected;
    }
  }
  EXPECT_EQ(std::count(report.begin(), report.end(), "\tScan complete.\r\n"), 2);

  std::uint32_t files = 0, deleted = 0;
  Undelete_GetFilesCount(u, &files);
  Undelete_GetDeletedCount(u, &deleted);
  EXPECT_EQ(files, 5u);
  EXPECT_EQ(deleted, 2u);
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = nullptr;
    ASSERT_EQ(Undelete_GetFileInfo(u, i, &r), 1);
    const std::uint32_t slot = r->location.get() & 0xFFFu;
    ASSERT_LT(slot, 2u);
    EXPECT_EQ((r->location.get() >> 12) & 7u, kKindFat);
    // The file's folder leads to the root of its own drive.
    std::uint32_t folder = r->folder.get();
    const FolderRecord* f = nullptr;
    for (int depth = 0; depth < 64; ++depth) {
      ASSERT_EQ(Undelete_GetFolderInfo(u, folder, &f), 1);
      if (f->parent.get() == kNoParent) break;
      folder = f->parent.get();
    }
    const std::u16string root{static_cast<char16_t>(letters[slot]), u':'};
    EXPECT_EQ(stored(u, f->name.get()), root) << "file " << i;
    EXPECT_EQ(Undelete_MayBeRecoveredTo(u, i, static_cast<unsigned char>(letters[slot])), 0);
    EXPECT_EQ(Undelete_MayBeRecoveredTo(u, i, static_cast<unsigned char>(letters[1 - slot])), 1);
  }

  std::uint32_t total = 0, position = 0;
  ASSERT_EQ(Undelete_GetProgress(u, &total, &position, nullptr, nullptr), 1);
  EXPECT_EQ(total, 10000u);
  EXPECT_EQ(position, 10000u);

  char name[256] = {}, details[1024] = {};
  ASSERT_EQ(Undelete_GetDriveInfo(u, 1, name, details), 1);
  EXPECT_EQ(std::string(name), std::string(1, letters[1]) + ":");
  EXPECT_NE(std::string(details).find("FAT12"), std::string::npos) << details;
}

TEST_F(TwoFatImages, RecoverDeletedFileOfSecondDrive) {
  std::uint32_t files = 0;
  Undelete_GetFilesCount(u, &files);
  std::uint32_t found = files;
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = nullptr;
    ASSERT_EQ(Undelete_GetFileInfo(u, i, &r), 1);
    if ((r->location.get() & 0xFFFu) == 1 && (r->status & kStatusExisting) == 0) found = i;
  }
  ASSERT_LT(found, files);
  const auto target = dir / "recovered.bin";
  ASSERT_EQ(Undelete_RecoverFile(u, found, target.c_str()), 1);
  EXPECT_EQ(kvxtest::readFile(target), contents[2]) << "second image, first file";
  std::uint64_t bytes = 1;
  Undelete_GetBytesProcessed(u, &bytes);
  EXPECT_EQ(bytes, 0u);
}

}  // namespace
