// Discovery of this machine's block devices in sysfs: volumes for drive letters, disks for
// physical drive numbers.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "host/host_internal.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t readNumber(const fs::path& file) {
  std::ifstream in(file);
  std::uint64_t v = 0;
  return (in >> v) ? v : 0;
}

bool startsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

/// Natural order: "sda2" before "sda10", "sdb" after "sda10".
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const auto na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

bool hasEntries(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  return !ec && it != fs::directory_iterator();
}

bool hasPartitions(const fs::path& disk) {
  std::error_code ec;
  for (fs::directory_iterator it(disk, ec), end; !ec && it != end; it.increment(ec))
    if (fs::exists(it->path() / "partition", ec)) return true;
  return false;
}

bool ignoredName(const std::string& name) {
  // RAM disks and compressed swap hold no user volumes; eMMC boot and RPMB areas neither.
  return startsWith(name, "ram") || startsWith(name, "zram") ||
         (startsWith(name, "mmcblk") &&
          (name.find("boot") != std::string::npos || name.find("rpmb") != std::string::npos));
}

std::vector<host::Discovered> sorted(std::vector<host::Discovered> list) {
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return naturalLess(a.name, b.name); });
  return list;
}

}  // namespace

namespace host {

std::vector<Discovered> discoverVolumes() {
  std::vector<Discovered> out;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/class/block", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (ignoredName(name)) continue;
    std::error_code ec2;
    const fs::path dir = fs::canonical(it->path(), ec2);
    if (ec2) continue;
    const bool partition = fs::exists(dir / "partition", ec2);
    const bool optical = startsWith(name, "sr");
    // An empty optical drive still gets its letter, as a drive without a disc does.
    if (!optical && readNumber(dir / "size") == 0) continue;
    if (hasEntries(dir / "holders")) continue;       // used by device-mapper or RAID
    if (!partition && hasPartitions(dir)) continue;  // a partitioned disk is no volume
    const fs::path disk = partition ? dir.parent_path() : dir;
    out.push_back({name, "/dev/" + name, readNumber(disk / "removable") == 1, optical});
  }
  return sorted(std::move(out));
}

std::vector<Discovered> discoverDisks() {
  std::vector<Discovered> out;
  std::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Loop devices are disks too: an image attached with losetup is looked at as the disk it
    // holds. A detached loop device, a card reader or drive without a medium has size 0.
    if (ignoredName(name) || startsWith(name, "sr")) continue;
    if (readNumber(it->path() / "size") == 0) continue;
    out.push_back({name, "/dev/" + name, readNumber(it->path() / "removable") == 1, false});
  }
  return sorted(std::move(out));
}

}  // namespace host
