// The drive-letter and physical-drive tables of this process, built once on first use from
// KVX_DRIVES/KVX_DISKS, drives.ini and sysfs, plus the sources added at run time.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "host/host_internal.h"
#include "undelete/undelete.h"

namespace {

struct Tables {
  std::mutex mutex;
  bool built = false;
  std::vector<HostDrive> drives;
  std::vector<HostDisk> disks;
  std::vector<HostDrive> addedDrives;
  std::vector<HostDisk> addedDisks;
};

Tables& tables() {
  static Tables t;
  return t;
}

/// Relative sources in drives.ini are relative to the file's folder.
std::vector<host::Assignment> resolveRelative(std::vector<host::Assignment> list,
                                              const std::string& folder) {
  for (auto& a : list)
    if (!a.value.empty() && a.value[0] != '/') a.value = folder + "/" + a.value;
  return list;
}

void rebuild(Tables& t) {
  const char* envDrives = std::getenv("KVX_DRIVES");
  const char* envDisks = std::getenv("KVX_DISKS");
  std::vector<host::Assignment> ini;
  const std::string config = host::configFilePath();
  if (!config.empty()) {
    std::ifstream in(config);
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      ini = resolveRelative(host::parseIni(text.str()), config.substr(0, config.find_last_of('/')));
    }
  }
  t.drives = host::buildDriveTable(host::parseAssignmentList(envDrives ? envDrives : ""), ini,
                                   t.addedDrives, host::discoverVolumes());
  t.disks = host::buildDiskTable(host::parseAssignmentList(envDisks ? envDisks : ""), ini,
                                 t.addedDisks, host::discoverDisks());
  t.built = true;
}

Tables& builtTables() {
  Tables& t = tables();
  if (!t.built) rebuild(t);
  return t;
}

bool sourceExists(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    host::failErrno(path, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    host::fail(kErrOpenDrive, path + ": not an image file or block device");
    return false;
  }
  return true;
}

}  // namespace

void Host_RefreshDrives() {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  rebuild(t);
}

std::vector<HostDrive> Host_ListDrives() {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  return builtTables().drives;
}

std::optional<HostDrive> Host_FindDrive(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  for (const auto& d : builtTables().drives)
    if (d.letter == letter) return d;
  return std::nullopt;
}

char Host_AddDrive(const std::string& source, char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (letter != 0 && (letter < 'A' || letter > 'Z')) {
    host::fail(kErrInvalidParameter, std::string("invalid drive letter '") + letter + "'");
    return 0;
  }
  const host::Source parsed = host::parseSource(source);
  if (!sourceExists(parsed.path)) return 0;
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  builtTables();
  if (letter == 0) {
    // The same source added twice keeps its letter.
    for (const auto& d : t.drives)
      if (d.source == source) return d.letter;
    for (char c = 'C'; c <= 'Z' && letter == 0; ++c) {
      bool taken = false;
      for (const auto& d : t.drives) taken = taken || d.letter == c;
      if (!taken) letter = c;
    }
    if (letter == 0) {
      host::fail(kErrOpenDrive, source + ": no free drive letter");
      return 0;
    }
  }
  // An explicit letter replaces whatever held it before: the user named it.
  std::erase_if(t.addedDrives, [&](const HostDrive& d) { return d.letter == letter; });
  HostDrive d = host::buildDriveTable({{std::string(1, letter), source}}, {}, {}, {}).front();
  d.origin = HostOrigin::Added;
  std::erase_if(t.drives, [&](const HostDrive& e) { return e.letter == letter; });
  t.addedDrives.push_back(d);
  t.drives.push_back(d);
  std::sort(t.drives.begin(), t.drives.end(),
            [](const HostDrive& a, const HostDrive& b) { return a.letter < b.letter; });
  return letter;
}

std::uint32_t Host_GetDriveType(char letter) {
  const auto d = Host_FindDrive(letter);
  return d ? d->type : kHostDriveUnknown;
}

std::vector<HostDisk> Host_ListDisks() {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  return builtTables().disks;
}

std::optional<HostDisk> Host_FindDisk(std::uint32_t number) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  for (const auto& d : builtTables().disks)
    if (d.number == number) return d;
  return std::nullopt;
}

std::uint32_t Host_AddDisk(const std::string& path) {
  if (!sourceExists(path)) return 0xFFFFFFFFu;
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  builtTables();
  for (const auto& d : t.disks)
    if (d.path == path) return d.number;
  for (std::uint32_t n = 0; n < 128; ++n) {
    bool taken = false;
    for (const auto& d : t.disks) taken = taken || d.number == n;
    if (taken) continue;
    const HostDisk disk{n, path, HostOrigin::Added};
    t.addedDisks.push_back(disk);
    t.disks.push_back(disk);
    std::sort(t.disks.begin(), t.disks.end(),
              [](const HostDisk& a, const HostDisk& b) { return a.number < b.number; });
    return n;
  }
  host::fail(kErrOpenDrive, path + ": no free physical drive number");
  return 0xFFFFFFFFu;
}

namespace {

std::unique_ptr<HostDevice> openDrive(char letter, const HostOpenOptions& base) {
  const auto d = Host_FindDrive(letter);
  if (!d) {
    host::fail(kErrOpenDrive, std::string("drive ") + letter + ": not in the drive table");
    return nullptr;
  }
  HostOpenOptions o = base;
  o.optical = false;  // the optical rule applies to the window, so it wraps last
  auto device = Host_OpenPathWith(d->path, o);
  if (!device) return nullptr;
  if (d->offset != 0 || d->length) {
    if (d->offset >= device->size()) {
      host::fail(kErrOpenDrive, d->path + ": the window starts past its end");
      return nullptr;
    }
    device = host::wrapWindow(std::move(device), d->offset, d->length);
  }
  if (device && d->type == kHostDriveCdRom) device = host::wrapOptical(std::move(device));
  if (!device) host::fail(kErrMemory, d->source + ": out of memory");
  return device;
}

}  // namespace

std::unique_ptr<HostDevice> Host_OpenDrive(char letter, bool writeAccess) {
  return openDrive(letter, HostOpenOptions{writeAccess, false, false});
}

std::unique_ptr<HostDevice> Host_OpenDriveExclusive(char letter, bool writeAccess) {
  return openDrive(letter, HostOpenOptions{writeAccess, false, true});
}

std::unique_ptr<HostDevice> Host_OpenDisk(std::uint32_t number, bool writeAccess) {
  const auto d = Host_FindDisk(number);
  if (!d) {
    host::fail(kErrOpenDrive, "physical drive " + std::to_string(number) + ": not in the table");
    return nullptr;
  }
  return Host_OpenPath(d->path, writeAccess, false);
}

namespace {

/// True when @p a and @p b name the same file or device (and the same window of it).
bool sameSource(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const host::Source sa = host::parseSource(a), sb = host::parseSource(b);
  if (sa.offset != sb.offset || sa.length != sb.length) return false;
  struct stat x {
  }, y{};
  return ::stat(sa.path.c_str(), &x) == 0 && ::stat(sb.path.c_str(), &y) == 0 &&
         x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

/// Missing when the remembered path cannot be found any more; the last error names it.
bool stillThere(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  host::fail(kErrOpenDrive, path + ": no longer there (" + std::strerror(errno) + ")");
  return false;
}

}  // namespace

HostAdopt Host_AdoptDrive(char letter, const std::string& source) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (letter < 'A' || letter > 'Z' || source.empty()) return HostAdopt::Failed;
  const auto current = Host_FindDrive(letter);
  if (current && sameSource(current->source, source)) return HostAdopt::Same;
  if (current && current->origin != HostOrigin::Discovered) return HostAdopt::UserMapped;
  if (!stillThere(host::parseSource(source).path)) return HostAdopt::Missing;
  return Host_AddDrive(source, letter) == letter ? HostAdopt::Mapped : HostAdopt::Failed;
}

HostAdopt Host_AdoptDisk(std::uint32_t number, const std::string& path) {
  if (number >= 128 || path.empty()) return HostAdopt::Failed;
  const auto current = Host_FindDisk(number);
  if (current && sameSource(current->path, path)) return HostAdopt::Same;
  if (current && current->origin != HostOrigin::Discovered) return HostAdopt::UserMapped;
  if (!stillThere(path)) return HostAdopt::Missing;
  if (!sourceExists(path)) return HostAdopt::Failed;
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  builtTables();
  // The number is the one the session's records name: whatever discovered disk holds it today
  // gives it up for this run.
  std::erase_if(t.addedDisks,
                [&](const HostDisk& d) { return d.number == number || d.path == path; });
  std::erase_if(t.disks, [&](const HostDisk& d) { return d.number == number; });
  const HostDisk disk{number, path, HostOrigin::Added};
  t.addedDisks.push_back(disk);
  t.disks.push_back(disk);
  std::sort(t.disks.begin(), t.disks.end(),
            [](const HostDisk& a, const HostDisk& b) { return a.number < b.number; });
  return HostAdopt::Mapped;
}
