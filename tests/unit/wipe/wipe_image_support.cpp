#include "wipe_image_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "test_support.h"

namespace wipetest {

namespace fs = std::filesystem;
using kvxtest::quote;
using kvxtest::run;

bool contains(const fs::path& file, const std::string& marker) {
  const auto bytes = kvxtest::readFile(file);
  return std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()) != bytes.end();
}

bool treeContains(const fs::path& dir, const std::string& marker) {
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec))
    if (e.is_regular_file() && contains(e.path(), marker)) return true;
  return false;
}

Allocation allocation(const fs::path& image, bool ntfs) {
  Allocation a;
  // blkls counts NTFS clusters and FAT sectors; the volume may end in a part of a unit.
  const auto stat = run("fsstat " + quote(image.string()) + " 2>/dev/null").out;
  const std::string key = ntfs ? "Cluster Size: " : "Sector Size: ";
  const auto at = stat.find(key);
  if (at == std::string::npos) return a;
  const std::uint64_t unit = std::stoull(stat.substr(at + key.size()));
  const auto out = run("blkls -l -e " + quote(image.string())).out;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const auto bar = line.find('|');
    if (bar == std::string::npos || line.empty() ||
        !std::isdigit(static_cast<unsigned char>(line[0])))
      continue;
    a.allocated.push_back(line.substr(bar + 1) == "a");
  }
  a.unitBytes = unit;
  return a;
}

namespace {

/// Unit numbers istat lists for the attribute sections whose header matches @p wanted.
void istatUnits(const fs::path& image, const std::string& inode, bool everySection,
                std::set<std::uint64_t>& out) {
  const auto text = run("istat " + quote(image.string()) + " " + inode + " 2>/dev/null").out;
  std::istringstream in(text);
  std::string line;
  bool collecting = false;
  while (std::getline(in, line)) {
    if (line.rfind("Sectors:", 0) == 0 || line.rfind("Type: $INDEX_ALLOCATION", 0) == 0 ||
        (everySection && line.rfind("Type: $DATA", 0) == 0)) {
      collecting = true;
      continue;
    }
    if (line.rfind("Type:", 0) == 0 || line.empty()) {
      collecting = false;
      continue;
    }
    if (!collecting) continue;
    std::istringstream nums(line);
    std::string word;
    while (nums >> word)
      if (!word.empty() && std::all_of(word.begin(), word.end(), ::isdigit))
        out.insert(std::stoull(word));
  }
}

}  // namespace

std::set<std::uint64_t> metadataUnits(const fs::path& image, bool ntfs) {
  std::set<std::uint64_t> units;
  const auto dirs = run("fls -r -D -u " + quote(image.string()) + " 2>/dev/null").out;
  std::istringstream in(dirs);
  std::string line;
  std::vector<std::string> inodes = {ntfs ? "5" : "2"};
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    const auto space = line.find_last_of(" *", colon);
    if (colon == std::string::npos || space == std::string::npos) continue;
    inodes.push_back(line.substr(space + 1, colon - space - 1));
  }
  for (const auto& i : inodes) istatUnits(image, i, false, units);
  if (ntfs) istatUnits(image, "0", true, units);
  return units;
}

std::map<std::string, std::string> liveFiles(const fs::path& image) {
  std::map<std::string, std::string> out;
  const auto list = run("fls -r -F -u -p " + quote(image.string()) + " 2>/dev/null").out;
  std::istringstream in(list);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    const auto colon = line.find(':');
    if (tab == std::string::npos || colon == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path.empty() || path[0] == '$') continue;  // file-system metadata files
    const auto space = line.find_last_of(' ', colon);
    const std::string inode = line.substr(space + 1, colon - space - 1);
    out[path] = run("icat " + quote(image.string()) + " " + inode + " | md5sum").out;
  }
  return out;
}

std::vector<std::uint64_t> changedAllocatedUnits(const fs::path& before, const fs::path& after,
                                                 bool ntfs) {
  const Allocation a = allocation(before, ntfs);
  const auto meta = metadataUnits(before, ntfs);
  const auto b0 = kvxtest::readFile(before), b1 = kvxtest::readFile(after);
  std::vector<std::uint64_t> bad;
  if (a.unitBytes == 0 || b0.size() != b1.size()) return {~std::uint64_t{0}};
  for (std::uint64_t unit = 0; unit < a.allocated.size(); ++unit) {
    if (!a.allocated[unit] || meta.count(unit) != 0) continue;
    const auto from = static_cast<std::ptrdiff_t>(unit * a.unitBytes);
    const auto to = static_cast<std::ptrdiff_t>((unit + 1) * a.unitBytes);
    if (!std::equal(b0.begin() + from, b0.begin() + to, b1.begin() + from)) bad.push_back(unit);
  }
  return bad;
}

std::string kvx(const std::string& args) { return quote(kvxtest::cliPath().string()) + " " + args; }

}  // namespace wipetest
