#include "partition_test_util.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "host/host.h"

namespace parttest {

const std::filesystem::path& images() {
  static const std::filesystem::path dir = [] {
    const auto d = kvxtest::fixtureDir() / "partitions";
    if (!std::filesystem::exists(d / "gpt.img")) {
      const auto script = kvxtest::sourceDir() / "tests/fixtures/make_partition_images.sh";
      const auto r = kvxtest::run("bash " + kvxtest::quote(script.string()) + " " +
                                  kvxtest::quote(d.string()));
      EXPECT_EQ(r.exitCode, 0) << "image script failed";
    }
    return d;
  }();
  return dir;
}

std::filesystem::path damagedCopy(
    const std::filesystem::path& image, const std::filesystem::path& dir, const std::string& name,
    const std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>& patches) {
  const auto out = dir / name;
  std::filesystem::remove(out);
  kvxtest::run("cp --sparse=always " + kvxtest::quote(image.string()) + " " +
               kvxtest::quote(out.string()));
  for (const auto& [offset, bytes] : patches) {
    std::FILE* f = std::fopen(out.c_str(), "r+b");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) continue;
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return out;
}

std::uint32_t diskOf(const std::filesystem::path& image) {
  static std::map<std::string, std::uint32_t> known;
  const auto it = known.find(image.string());
  if (it != known.end()) return it->second;
  const std::uint32_t n = Host_AddDisk(image.string());
  EXPECT_NE(n, 0xFFFFFFFFu) << image;
  known[image.string()] = n;
  return n;
}

std::vector<FoundPartition> scan(Undelete* u, std::uint32_t disk, bool quick) {
  std::vector<FoundPartition> out;
  EXPECT_EQ(Undelete_ScanForPartitions(u, static_cast<int>(disk), quick ? 1 : 0), 1);
  std::uint64_t pos = 0, total = 1;
  for (int i = 0; i < 6000 && total != 0; ++i) {
    EXPECT_EQ(Undelete_GetPartitionProgress(u, &pos, &total), 1);
    if (total != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(total, 0u) << "scan did not end";
  for (unsigned i = 0; i < kMaxFoundPartitions; ++i) {
    FoundPartition p{};
    if (Undelete_GetPartitionDesc(u, i, &p) == 1) out.push_back(p);
  }
  return out;
}

std::vector<Expect> shown(Undelete* u, const std::vector<FoundPartition>& table) {
  std::vector<Expect> out;
  for (unsigned i = 0; i < table.size(); ++i)
    if (Undelete_ShouldShow(u, i) == 1)
      out.push_back({table[i].start.get() / 512, table[i].length.get() / 512, table[i].type,
                     foundStatus(table[i])});
  return out;
}

std::string describe(const std::vector<Expect>& list) {
  std::string s;
  char line[96];
  for (const auto& e : list) {
    std::snprintf(line, sizeof line, "%llu+%llu type %02x status %u\n",
                  static_cast<unsigned long long>(e.startSector),
                  static_cast<unsigned long long>(e.sectors), e.type, e.status);
    s += line;
  }
  return s;
}

}  // namespace parttest
