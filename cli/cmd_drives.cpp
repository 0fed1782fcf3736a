// kvx drives / kvx disks: the drive-letter and physical-drive tables with type and size, and for
// every source that cannot be used, why.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "undelete/undelete.h"

namespace {

struct Row {
  std::string name;  // "E:" or "0"
  std::string source;
  std::string type;  // empty for disks
  std::string size;  // or the reason the source is unusable
  bool usable = true;
  bool userNamed = false;  // from KVX_DRIVES/KVX_DISKS or drives.ini, not found on the machine
};

std::string sizeText(std::uint64_t bytes, bool exact) {
  if (exact) return std::to_string(bytes);
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double v = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (v >= 1024.0 && unit + 1 < std::size(kUnits)) {
    v /= 1024.0;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
  return text;
}

const char* typeName(std::uint32_t type) {
  switch (type) {
    case kUndeleteDriveCdRom:
      return "cd-rom";
    case kUndeleteDriveRemovable:
      return "removable";
    case kUndeleteDriveFixed:
      return "fixed";
    default:
      return "unknown";
  }
}

/// The host's failure text without the leading "path: ", which the row already shows.
std::string reasonFor(const std::string& path) {
  char buffer[4096 + 256];
  (void)Undelete_GetHostError(nullptr, buffer, sizeof buffer);
  std::string text = buffer;
  const std::string prefix = path + ": ";
  if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  return text.empty() ? "cannot be opened" : text;
}

/// Fills size from the engine's probe of the source, or the reason it is unusable.
void probe(Row& row, const UndeleteProbe& p, const std::string& path, bool optical, bool exact) {
  if (p.status == kUndeleteProbeCannotOpen) {
    row.usable = false;
    row.size = "unusable: " + reasonFor(path);
    return;
  }
  if (p.status == kUndeleteProbeEmpty) {
    row.usable = false;
    row.size = optical ? "unusable: no disc" : "unusable: empty (size 0)";
    return;
  }
  if (p.status != kUndeleteProbeUsable) {
    const int err = p.systemError;
    row.usable = false;
    row.size = std::string("unusable: read error (") +
               (err != 0 ? std::strerror(err) : "short read") + ")";
    return;
  }
  row.size = sizeText(p.size, exact);
}

void print(const std::vector<Row>& rows, bool withType) {
  std::size_t nameWidth = 0, sourceWidth = 0, typeWidth = 0;
  for (const auto& r : rows) {
    nameWidth = std::max(nameWidth, r.name.size());
    sourceWidth = std::max(sourceWidth, r.source.size());
    typeWidth = std::max(typeWidth, r.type.size());
  }
  for (const auto& r : rows) {
    if (withType)
      std::printf("%-*s  %-*s  %-*s  %s\n", int(nameWidth), r.name.c_str(), int(sourceWidth),
                  r.source.c_str(), int(typeWidth), r.type.c_str(), r.size.c_str());
    else
      std::printf("%-*s  %-*s  %s\n", int(nameWidth), r.name.c_str(), int(sourceWidth),
                  r.source.c_str(), r.size.c_str());
  }
}

/// Parses the one option both commands take; false on anything else.
int finish(const std::vector<Row>& rows, bool withType, const char* what) {
  if (rows.empty()) {
    std::printf("No %s found.\n", what);
    return kvx::kExitOk;
  }
  print(rows, withType);
  // A source the user named that cannot be used is a failure; devices found on the machine that
  // this user may not read (no root) are only reported.
  for (const auto& r : rows)
    if (!r.usable && r.userNamed) return kvx::kExitFailed;
  return kvx::kExitOk;
}


int runDrives(const kvx::Args& args) {
  const bool exact = args.has("--bytes");
  std::vector<Row> rows;
  UndeleteDriveEntry d;
  for (std::uint32_t i = 0; Undelete_GetDriveEntry(i, &d); ++i) {
    Row row;
    row.name = std::string(1, d.letter) + ":";
    row.source = d.source;
    row.type = typeName(d.type);
    row.userNamed = d.origin != kUndeleteOriginDiscovered;
    UndeleteProbe p{};
    (void)Undelete_ProbeDrive(d.letter, &p);
    probe(row, p, d.path, d.type == kUndeleteDriveCdRom, exact);
    rows.push_back(std::move(row));
  }
  return finish(rows, true, "drives");
}

int runDisks(const kvx::Args& args) {
  const bool exact = args.has("--bytes"), json = args.has("--json");
  std::vector<Row> rows;
  std::vector<std::uint64_t> sizes;
  UndeleteDriveEntry d;
  for (std::uint32_t i = 0; Undelete_GetDiskEntry(i, &d); ++i) {
    Row row;
    row.name = std::to_string(d.number);
    row.source = d.path;
    row.userNamed = d.origin != kUndeleteOriginDiscovered;
    UndeleteProbe p{};
    (void)Undelete_ProbeDisk(d.number, &p);
    probe(row, p, d.path, false, exact || json);
    sizes.push_back(p.status == kUndeleteProbeUsable ? p.size : 0);
    rows.push_back(std::move(row));
  }
  if (!json) return finish(rows, false, "disks");
  // Physical drives (loop devices and images named by the user included) as one JSON array.
  kvx::JsonWriter w(stdout);
  w.beginArray();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    w.beginObject();
    w.key("number").unsignedNumber(std::stoul(rows[i].name));
    w.key("path").string(rows[i].source);
    w.key("userNamed").boolean(rows[i].userNamed);
    w.key("usable").boolean(rows[i].usable);
    w.key("size").unsignedNumber(sizes[i]);
    if (!rows[i].usable) w.key("reason").string(rows[i].size);
    w.endObject();
  }
  w.endArray();
  w.finish();
  for (const auto& r : rows)
    if (!r.usable && r.userNamed) return kvx::kExitFailed;
  return kvx::kExitOk;
}

const kvx::Option kBytes{"--bytes", nullptr, "Sizes in bytes instead of KiB, MiB, GiB ...",
                         kvx::Complete::None, nullptr, "-b"};

const kvx::Registration drivesReg{
    {"drives", "list drive letters: source, type and size", {}, {kBytes},
     "A source that cannot be used is listed with the reason. Exit code 1 when a source named in\n"
     "KVX_DRIVES or drives.ini cannot be used.",
     runDrives}};
const kvx::Registration disksReg{
    {"disks", "list physical drives (loop devices included): number, source, size", {},
     {kBytes, {"--json", nullptr, "Write the list as one JSON array."}},
     "The number is what kvx partitions and whole-disk scans take. Exit code 1 when a disk named\n"
     "in KVX_DISKS cannot be used.",
     runDisks}};

}  // namespace
