// Source syntax and configuration: KVX_DRIVES/KVX_DISKS, drives.ini, and the tables built from
// them and from the volumes found in sysfs.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "host/host_internal.h"

namespace {

constexpr std::uint32_t kMaxDisks = 128;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

/// Decimal or 0x-hex number filling all of @p s; nullopt on anything else or on overflow.
std::optional<std::uint64_t> parseNumber(std::string_view s) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : s) {
    unsigned d = 0;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (__builtin_mul_overflow(v, std::uint64_t{base}, &v) || __builtin_add_overflow(v, d, &v))
      return std::nullopt;
  }
  return v;
}

bool endsWithNoCase(const std::string& s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(),
                    s.end() - static_cast<std::ptrdiff_t>(suffix.size()), [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) ==
                             std::tolower(static_cast<unsigned char>(b));
                    });
}

bool removableDisk(dev_t rdev) {
  // A partition's own sysfs folder has no "removable"; its disk (the parent folder) has.
  const std::string base =
      "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
  for (const char* rel : {"/removable", "/../removable"}) {
    std::ifstream in(base + rel);
    int v = 0;
    if (in >> v) return v == 1;
  }
  return false;
}

HostDrive makeDrive(char letter, const std::string& source, HostOrigin origin) {
  const host::Source s = host::parseSource(source);
  HostDrive d;
  d.letter = letter;
  d.source = source;
  d.path = s.path;
  d.offset = s.offset;
  d.length = s.length;
  d.type = host::driveTypeOfPath(s.path);
  d.origin = origin;
  return d;
}

}  // namespace

namespace host {

Source parseSource(const std::string& source) {
  Source plain{source, 0, std::nullopt};
  const auto at = source.rfind('@');
  if (at == std::string::npos || at == 0) return plain;
  struct stat st {};
  if (::stat(source.c_str(), &st) == 0) return plain;  // a file really named like that
  const std::string_view window = std::string_view(source).substr(at + 1);
  const auto plus = window.find('+');
  const auto offset = parseNumber(window.substr(0, plus));
  if (!offset) return plain;
  Source s{source.substr(0, at), *offset, std::nullopt};
  if (plus != std::string_view::npos) {
    const auto length = parseNumber(window.substr(plus + 1));
    if (!length) return plain;
    s.length = *length;
  }
  return s;
}

std::vector<Assignment> parseAssignmentList(std::string_view text) {
  std::vector<Assignment> out;
  while (!text.empty()) {
    const auto semi = text.find(';');
    const std::string_view item = trim(text.substr(0, semi));
    text = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    const auto key = trim(item.substr(0, eq));
    const auto value = trim(item.substr(eq + 1));
    if (key.empty() || value.empty()) continue;
    out.push_back({std::string(key), std::string(value)});
  }
  return out;
}

std::vector<Assignment> parseIni(std::string_view text) {
  std::vector<Assignment> out;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    const std::string_view line = trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const auto key = trim(line.substr(0, eq));
    const auto value = trim(line.substr(eq + 1));
    if (key.empty() || value.empty()) continue;
    out.push_back({std::string(key), std::string(value)});
  }
  return out;
}

char letterOfKey(std::string_view key) {
  if (key.size() == 2 && key[1] == ':') key.remove_suffix(1);
  if (key.size() != 1 || !std::isalpha(static_cast<unsigned char>(key[0]))) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(key[0])));
}

std::optional<std::uint32_t> diskOfKey(std::string_view key) {
  if (key.empty() || key.size() > 3) return std::nullopt;
  std::uint32_t v = 0;
  for (const char c : key) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v >= kMaxDisks) return std::nullopt;
  return v;
}

std::string configFilePath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    base = std::string(home) + "/.config";
  }
  return base + "/rekovia/drives.ini";
}

std::uint32_t driveTypeOfPath(const std::string& path) {
  if (endsWithNoCase(path, ".iso") || endsWithNoCase(path, ".udf")) return kHostDriveCdRom;
  char resolved[PATH_MAX];
  const std::string real = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
  if (real.rfind("/dev/sr", 0) == 0) return kHostDriveCdRom;
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && removableDisk(st.st_rdev))
    return kHostDriveRemovable;
  return kHostDriveFixed;
}

std::vector<HostDrive> buildDriveTable(const std::vector<Assignment>& environment,
                                       const std::vector<Assignment>& config,
                                       const std::vector<HostDrive>& added,
                                       const std::vector<Discovered>& discovered) {
  std::vector<HostDrive> table;
  std::array<bool, 26> taken{};
  const auto take = [&](char letter) {
    if (letter < 'A' || letter > 'Z' || taken[static_cast<std::size_t>(letter - 'A')]) return false;
    taken[static_cast<std::size_t>(letter - 'A')] = true;
    return true;
  };
  for (const auto& a : environment) {
    const char letter = letterOfKey(a.key);
    if (take(letter)) table.push_back(makeDrive(letter, a.value, HostOrigin::Environment));
  }
  for (const auto& a : config) {
    const char letter = letterOfKey(a.key);
    if (take(letter)) table.push_back(makeDrive(letter, a.value, HostOrigin::ConfigFile));
  }
  for (const auto& d : added)
    if (take(d.letter)) table.push_back(d);
  char next = 'C';
  for (const auto& v : discovered) {
    while (next <= 'Z' && taken[static_cast<std::size_t>(next - 'A')]) ++next;
    if (next > 'Z') break;
    take(next);
    HostDrive d;
    d.letter = next;
    d.source = v.path;
    d.path = v.path;
    d.type = v.optical ? kHostDriveCdRom : v.removable ? kHostDriveRemovable : kHostDriveFixed;
    d.origin = HostOrigin::Discovered;
    table.push_back(std::move(d));
  }
  std::sort(table.begin(), table.end(),
            [](const HostDrive& a, const HostDrive& b) { return a.letter < b.letter; });
  return table;
}

std::vector<HostDisk> buildDiskTable(const std::vector<Assignment>& environment,
                                     const std::vector<Assignment>& config,
                                     const std::vector<HostDisk>& added,
                                     const std::vector<Discovered>& discovered) {
  std::vector<HostDisk> table;
  std::array<bool, kMaxDisks> taken{};
  const auto take = [&](std::uint32_t n) {
    if (n >= kMaxDisks || taken[n]) return false;
    taken[n] = true;
    return true;
  };
  for (const auto* list : {&environment, &config}) {
    for (const auto& a : *list) {
      const auto n = diskOfKey(a.key);
      if (n && take(*n))
        table.push_back(
            {*n, a.value, list == &environment ? HostOrigin::Environment : HostOrigin::ConfigFile});
    }
  }
  for (const auto& d : added)
    if (take(d.number)) table.push_back(d);
  std::uint32_t next = 0;
  for (const auto& v : discovered) {
    while (next < kMaxDisks && taken[next]) ++next;
    if (next >= kMaxDisks) break;
    take(next);
    table.push_back({next, v.path, HostOrigin::Discovered});
  }
  std::sort(table.begin(), table.end(),
            [](const HostDisk& a, const HostDisk& b) { return a.number < b.number; });
  return table;
}

}  // namespace host
