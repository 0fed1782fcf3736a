#include "disk_partitions.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace kvx {

bool diskNumber(const std::string& disk, std::uint32_t* number, std::string* error) {
  std::error_code ec;
  const bool digits = !disk.empty() && std::all_of(disk.begin(), disk.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  if (digits && !std::filesystem::exists(disk, ec)) {
    *number = static_cast<std::uint32_t>(std::stoul(disk));
    if (Undelete_PhysicalDrivePresent(static_cast<int>(*number)) == 0) {
      *error = "no physical drive " + disk + " (see kvx disks)";
      return false;
    }
    return true;
  }
  if (!std::filesystem::exists(disk, ec)) {
    *error = disk + ": no such file or device";
    return false;
  }
  if (Undelete_AddDisk(disk.c_str(), number) == 0) {
    char text[4352] = {};
    (void)Undelete_GetHostError(nullptr, text, sizeof text);
    *error = text[0] != 0 ? std::string(text) : disk + ": cannot be used as a disk";
    return false;
  }
  return true;
}

bool scanDisk(Undelete* u, std::uint32_t number, bool quick, bool progress, std::string* error) {
  if (Undelete_ScanForPartitions(u, static_cast<int>(number), quick ? 1 : 0) == 0) {
    *error = "physical drive " + std::to_string(number) + " cannot be opened";
    return false;
  }
  std::uint64_t pos = 0, total = 1;
  auto last = std::chrono::steady_clock::now();
  while (Undelete_GetPartitionProgress(u, &pos, &total) == 1 && total != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - last > std::chrono::milliseconds(500)) {
      last = now;
      std::fprintf(stderr, "\rsearching partitions: %3u%%",
                   static_cast<unsigned>(total ? pos * 100 / total : 100));
      std::fflush(stderr);
    }
  }
  if (progress) std::fprintf(stderr, "\rsearching partitions: done\n");
  return true;
}

bool diskHasTable(Undelete* u) {
  if (Undelete_BootSectorInsteadOfMBR(u) != 0) return false;
  return Undelete_MBRPresent(u) != 0 || Undelete_IsDriveGPT(u) != 0 ||
         Undelete_IsDriveDynamic(u) != 0;
}

std::vector<DiskArea> diskAreas(Undelete* u, std::uint32_t number) {
  std::vector<DiskArea> out;
  int count = 0;
  (void)Undelete_GetPartitionCount(u, &count);
  for (int i = 0; i < count; ++i) {
    DiskArea a;
    a.listIndex = static_cast<std::uint32_t>(i);
    if (Undelete_GetPartition(u, a.listIndex, &a.record) == 1 && a.record.drive == number)
      out.push_back(a);
  }
  std::stable_sort(out.begin(), out.end(), [](const DiskArea& a, const DiskArea& b) {
    return a.record.start.get() < b.record.start.get();
  });
  unsigned volume = 0;
  for (auto& a : out)
    if (a.record.fileSystem != 0) a.volume = ++volume;
  return out;
}

std::string foundSummary(Undelete* u) {
  std::string out;
  for (unsigned i = 0; i < kMaxFoundPartitions; ++i) {
    FoundPartition p{};
    if (Undelete_GetPartitionDesc(u, i, &p) != 1) continue;
    const char* type = "";
    const char* status = "";
    Undelete_GetPartitionTypeName(p.type, &type);
    Undelete_GetStatusName(foundStatus(p), &status);
    char line[256];
    std::snprintf(line, sizeof line, "  %2u  start %llu  length %llu  type 0x%02X %s  %s\n", i,
                  static_cast<unsigned long long>(p.start.get()),
                  static_cast<unsigned long long>(p.length.get()), p.type, type, status);
    out += line;
  }
  return out;
}

}  // namespace kvx
