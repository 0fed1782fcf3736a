// Mounts and the bytes behind them: which file systems are mounted from a source, the mount point
// of a drive letter, and the letter of the drive that holds a folder.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "host/host_internal.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSysfsSector = 512;  // sysfs "start" and "size" unit, whatever the disk

std::uint64_t readNumber(const fs::path& file) {
  std::ifstream in(file);
  std::uint64_t v = 0;
  return (in >> v) ? v : 0;
}

std::string readLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

/// Undoes mountinfo's octal escapes (\040 space, \011 tab, \012 newline, \134 backslash).
std::string unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

bool isPathPrefix(const std::string& prefix, const std::string& path) {
  if (prefix == "/") return true;
  return path.rfind(prefix, 0) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

/// The nearest existing folder of @p path, made absolute and free of symbolic links.
std::string realFolder(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  while (!p.empty()) {
    const auto real = fs::canonical(p, ec);
    if (!ec) return real.string();
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  return "/";
}

/// True when the comma-separated @p options hold @p name as one of them.
bool hasOption(std::string_view options, std::string_view name) {
  while (!options.empty()) {
    const auto comma = options.find(',');
    if (options.substr(0, comma) == name) return true;
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

/// Mount point of a read-write mount whose bytes share any with @p span, empty when none.
std::string writableMountOver(const host::Span& span) {
  for (const auto& m : host::readMounts()) {
    if (m.readOnly) continue;
    const auto s = host::spanOfMount(m);
    if (s && host::overlaps(*s, span)) return m.mountPoint;
  }
  return {};
}

}  // namespace

namespace host {

std::vector<Mount> parseMountInfo(std::string_view text) {
  std::vector<Mount> out;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    std::istringstream fields(line);
    std::string id, parent, devText, root, mountPoint, options, word;
    if (!(fields >> id >> parent >> devText >> root >> mountPoint >> options)) continue;
    while (fields >> word && word != "-") {
    }
    if (word != "-") continue;
    std::string fsType, source, superOptions;
    if (!(fields >> fsType)) continue;
    fields >> source >> superOptions;
    const auto colon = devText.find(':');
    if (colon == std::string::npos) continue;
    unsigned long maj = 0, min = 0;
    try {
      maj = std::stoul(devText.substr(0, colon));
      min = std::stoul(devText.substr(colon + 1));
    } catch (...) {
      continue;
    }
    out.push_back({makedev(static_cast<unsigned>(maj), static_cast<unsigned>(min)), unescape(root),
                   unescape(mountPoint), unescape(fsType), unescape(source),
                   hasOption(options, "ro") || hasOption(superOptions, "ro")});
  }
  return out;
}

std::vector<Mount> readMounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  return parseMountInfo(text.str());
}

std::optional<Span> spanOfBlock(dev_t rdev) {
  std::error_code ec;
  const fs::path dir = fs::canonical(
      "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)), ec);
  if (ec) return std::nullopt;
  Span s;
  s.length = readNumber(dir / "size") * kSysfsSector;
  fs::path disk = dir;
  if (fs::exists(dir / "partition", ec)) {
    s.start = readNumber(dir / "start") * kSysfsSector;
    disk = dir.parent_path();
  }
  const std::string backing = readLine(disk / "loop" / "backing_file");
  if (!backing.empty()) {
    // A loop device reads a file: the bytes are the file's, from the loop offset on.
    struct stat st {};
    if (::stat(backing.c_str(), &st) != 0) return std::nullopt;  // e.g. "(deleted)"
    s.isFile = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.start += readNumber(disk / "loop" / "offset");
    return s;
  }
  const std::string devText = readLine(disk / "dev");
  const auto colon = devText.find(':');
  if (colon == std::string::npos) return std::nullopt;
  try {
    s.dev = makedev(static_cast<unsigned>(std::stoul(devText.substr(0, colon))),
                    static_cast<unsigned>(std::stoul(devText.substr(colon + 1))));
  } catch (...) {
    return std::nullopt;
  }
  return s;
}

std::optional<Span> spanOfPath(const std::string& path, std::uint64_t offset,
                               std::optional<std::uint64_t> length) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Span s;
  if (S_ISBLK(st.st_mode)) {
    auto b = spanOfBlock(st.st_rdev);
    if (!b) return std::nullopt;
    s = *b;
  } else if (S_ISREG(st.st_mode)) {
    s.isFile = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.length = static_cast<std::uint64_t>(st.st_size);
  } else {
    return std::nullopt;
  }
  const std::uint64_t skip = std::min(offset, s.length);
  s.start += skip;
  s.length -= skip;
  if (length) s.length = std::min(s.length, *length);
  return s;
}

bool overlaps(const Span& a, const Span& b) noexcept {
  if (a.isFile != b.isFile || a.dev != b.dev || a.ino != b.ino) return false;
  if (a.length == 0 || b.length == 0) return false;
  return a.start < b.start + b.length && b.start < a.start + a.length;
}

std::optional<Span> spanOfMount(const Mount& m) {
  if (major(m.device) != 0) {
    if (auto s = spanOfBlock(m.device)) return s;
  }
  // Anonymous device numbers (FUSE, btrfs): the source may still name a device or an image.
  if (!m.source.empty() && m.source[0] == '/') return spanOfPath(m.source, 0, std::nullopt);
  return std::nullopt;
}

bool spanIsMounted(const Span& span) {
  for (const auto& m : readMounts()) {
    const auto s = spanOfMount(m);
    if (s && overlaps(*s, span)) return true;
  }
  return false;
}

}  // namespace host

std::string Host_LettersOfPath(const std::string& directory) {
  std::string named, discovered;
  try {
    const std::string real = realFolder(directory);
    const auto mounts = host::readMounts();
    const host::Mount* best = nullptr;
    for (const auto& m : mounts) {
      // Later mounts hide earlier ones on the same point.
      if (isPathPrefix(m.mountPoint, real) &&
          (best == nullptr || m.mountPoint.size() >= best->mountPoint.size()))
        best = &m;
    }
    if (best == nullptr) return {};
    const auto span = host::spanOfMount(*best);
    if (!span) return {};
    for (const auto& d : Host_ListDrives()) {
      const auto ds = host::spanOfPath(d.path, d.offset, d.length);
      if (!ds || !host::overlaps(*ds, *span)) continue;
      (d.origin == HostOrigin::Discovered ? discovered : named) += d.letter;
    }
  } catch (...) {
  }
  return named + discovered;
}

char Host_LetterOfPath(const std::string& directory) {
  const std::string letters = Host_LettersOfPath(directory);
  return letters.empty() ? 0 : letters[0];
}

std::string Host_MountPoint(char letter) {
  try {
    const auto drive = Host_FindDrive(letter);
    if (!drive) return {};
    const auto span = host::spanOfPath(drive->path, drive->offset, drive->length);
    if (!span) return {};
    for (const auto& m : host::readMounts()) {
      const auto s = host::spanOfMount(m);
      if (!s || s->isFile != span->isFile || s->dev != span->dev || s->ino != span->ino ||
          s->start != span->start)
        continue;
      // Only a mount of the volume's root: a bind mount of a subfolder would misplace "E:\dir".
      if (m.root == "/") return m.mountPoint;
    }
    return {};
  } catch (...) {
    return {};
  }
}

std::string Host_WritableMountOfDrive(char letter) {
  try {
    const auto drive = Host_FindDrive(letter);
    if (!drive) return {};
    const auto span = host::spanOfPath(drive->path, drive->offset, drive->length);
    return span ? writableMountOver(*span) : std::string();
  } catch (...) {
    return {};
  }
}

std::string Host_WritableMountOfDisk(std::uint32_t number, std::uint64_t start,
                                     std::uint64_t length) {
  try {
    const auto disk = Host_FindDisk(number);
    if (!disk) return {};
    const auto span = host::spanOfPath(disk->path, start, length);
    return span ? writableMountOver(*span) : std::string();
  } catch (...) {
    return {};
  }
}
