// Shared by the partition tests: the images of make_partition_images.sh, damaged copies of them,
// and a lost-partition scan run to its end.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "undelete/undelete.h"

namespace parttest {

/// The folder the images were made in (once per test program).
const std::filesystem::path& images();

/// A copy of @p image under @p dir, patched with @p bytes at @p offset (none: unchanged).
std::filesystem::path damagedCopy(
    const std::filesystem::path& image, const std::filesystem::path& dir, const std::string& name,
    const std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>& patches);

/// Physical drive number of an image (added to the engine's disk table once).
std::uint32_t diskOf(const std::filesystem::path& image);

/// Runs a lost-partition scan of @p disk to its end and returns the non-empty found entries.
std::vector<FoundPartition> scan(Undelete* u, std::uint32_t disk, bool quick);

/// A found partition's GPT/LDM name as UTF-8 (the byte-packed record is copied out first).
inline std::string nameOf(const FoundPartition& p) {
  std::u16string name(sizeof p.name / 2 + 1, u'\0');
  std::memcpy(name.data(), p.name, sizeof p.name);
  return kvxtest::utf8(name.c_str());
}

struct Expect {
  std::uint64_t startSector;
  std::uint64_t sectors;
  std::uint8_t type;
  std::uint8_t status;
};
/// The entries that a user would be shown, as (start, length, type, status) in sectors.
std::vector<Expect> shown(Undelete* u, const std::vector<FoundPartition>& table);
std::string describe(const std::vector<Expect>& list);

/// Engine object that lives for one test.
class Engine {
 public:
  Engine() { EXPECT_EQ(Undelete_Create(&m_u), 1); }
  ~Engine() { Undelete_Delete(m_u); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  Undelete* get() const { return m_u; }

 private:
  Undelete* m_u = nullptr;
};

}  // namespace parttest
