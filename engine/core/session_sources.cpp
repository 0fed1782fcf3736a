// The sidecar of a session file: the source of each of its drives, so that a later run maps the
// same letters and disk numbers to the same images and devices without being told.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/partition_slot.h"
#include "core/session.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "host/host_output.h"
#include "undelete/undelete.h"

namespace {

constexpr std::string_view kHeader =
    "# Sources of the drives of the session file beside this one: \"drive L SOURCE\" or \"disk N "
    "PATH\".\n";

/// @p source as an absolute path (its window suffix kept), empty when it cannot be made one.
std::string absoluteSource(const std::string& source) {
  if (source.empty() || source.find('\n') != std::string::npos) return {};
  if (source[0] == '/') return source;
  std::error_code ec;
  const auto abs = std::filesystem::absolute(source, ec);
  return ec ? std::string() : abs.string();
}

}  // namespace

std::string Session_SourcesPath(const std::string& sessionPath) { return sessionPath + ".sources"; }

std::vector<SessionSource> Session_ParseSources(std::string_view text) {
  std::vector<SessionSource> out;
  while (!text.empty() && out.size() < kSessionMaxDrives) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    SessionSource s;
    if (line.rfind("drive ", 0) == 0) {
      line.remove_prefix(6);
      // One letter, a space, then the path to the end of the line.
      if (line.size() < 3 || line[1] != ' ' || line[0] < 'A' || line[0] > 'Z') continue;
      s.number = static_cast<std::uint32_t>(line[0]);
      line.remove_prefix(2);
    } else if (line.rfind("disk ", 0) == 0) {
      line.remove_prefix(5);
      const auto sp = line.find(' ');
      if (sp == 0 || sp == std::string_view::npos || sp > 3) continue;
      std::uint32_t n = 0;
      bool digits = true;
      for (const char c : line.substr(0, sp)) {
        digits = digits && c >= '0' && c <= '9';
        n = n * 10 + static_cast<std::uint32_t>(c - '0');
      }
      if (!digits || n >= 128) continue;
      s.disk = true;
      s.number = n;
      line.remove_prefix(sp + 1);
    } else {
      continue;  // comments and anything unknown
    }
    if (line.empty() || line[0] != '/') continue;  // only absolute paths are written
    s.source = std::string(line);
    out.push_back(std::move(s));
  }
  return out;
}

bool Session_SaveSources(const Undelete* u) noexcept {
  if (u == nullptr || u->driveTable == nullptr) return false;
  try {
    std::string text(kHeader);
    std::vector<std::uint32_t> disks;
    for (std::uint16_t i = 0; i < u->driveCount; ++i) {
      const DriveSlot& slot = u->driveTable[i];
      const std::uint32_t kind = slot.driveSpec >> 24;
      if (kind == kSpecPartition) {
        const std::uint32_t n = slot.physicalDrive;
        const auto disk = Host_FindDisk(n);
        const std::string path = disk ? absoluteSource(disk->path) : std::string();
        if (path.empty() || std::find(disks.begin(), disks.end(), n) != disks.end()) continue;
        disks.push_back(n);
        text += "disk " + std::to_string(n) + " " + path + "\n";
      } else if (kind == kSpecLetter) {
        const char letter = static_cast<char>('A' + (slot.driveSpec & 0xFFu));
        const auto drive = Host_FindDrive(letter);
        const std::string source = drive ? absoluteSource(drive->source) : std::string();
        if (source.empty()) continue;
        text += std::string("drive ") + letter + " " + source + "\n";
      }
    }
    const std::string path = Session_SourcesPath(u->sessionPath);
    return Host_WriteFileAtomically(
        path.c_str(), [&](const auto& sink) { return sink(text.data(), text.size()); });
  } catch (...) {
    return false;
  }
}

std::string Session_AdoptSources(const Undelete* u) noexcept {
  std::string missing;
  if (u == nullptr) return missing;
  try {
    const int fd = Host_OpenRegularFile(Session_SourcesPath(u->sessionPath).c_str());
    if (fd < 0) return missing;  // none: an older session, or saved where none could be written
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < (1u << 20);)
      text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    std::string paths;
    for (const SessionSource& s : Session_ParseSources(text)) {
      const HostAdopt got = s.disk ? Host_AdoptDisk(s.number, s.source)
                                   : Host_AdoptDrive(static_cast<char>(s.number), s.source);
      if (got != HostAdopt::Missing) continue;
      missing.push_back(static_cast<char>(s.disk ? 0x80u | s.number : s.number));
      paths += (paths.empty() ? "" : ", ") + s.source;
    }
    if (!missing.empty())
      Host_SetFailure(kErrOpenDrive, "the session's source " + paths + " is no longer there");
  } catch (...) {
  }
  return missing;
}
