// kvx partitions: the lost-partition scan of one disk: its found table, the disk's condition and
// its partition list with the volumes numbered as scan and recover take them (--partition N).
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "disk_partitions.h"
#include "json_writer.h"

namespace {

std::string guidText(const std::uint8_t* g) {
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  bool zero = true;
  for (int i = 0; i < 16; ++i) zero = zero && g[i] == 0;
  if (zero) return {};
  std::string out;
  char hex[3];
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    std::snprintf(hex, sizeof hex, "%02X", g[kOrder[i]]);
    out += hex;
  }
  return out;
}

std::string nameText(const FoundPartition& p) {
  std::string out;
  for (const auto& c : p.name) {
    const unsigned v = c.get();
    if (v == 0) break;
    if (v < 0x80) {
      out += static_cast<char>(v);
    } else if (v < 0x800) {
      out += static_cast<char>(0xC0 | (v >> 6));
      out += static_cast<char>(0x80 | (v & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (v >> 12));
      out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (v & 0x3F));
    }
  }
  return out;
}

struct Condition {
  const char* key;
  const char* text;
  int (*query)(Undelete*);
};
constexpr Condition kConditions[] = {
    {"bootSectorInsteadOfMbr", "boot sector instead of MBR", Undelete_BootSectorInsteadOfMBR},
    {"mbrPresent", "MBR signature", Undelete_MBRPresent},
    {"bootCodeMissing", "MBR boot code missing", Undelete_NeedFixMBRBootCode},
    {"gpt", "GPT", Undelete_IsDriveGPT},
    {"dynamic", "dynamic disk", Undelete_IsDriveDynamic},
    {"protectiveMbrNeedsRepair", "protective MBR needs repair", Undelete_NeedFixProtectiveMBR},
    {"mbrNeedsRepair", "MBR needs repair", Undelete_NeedFixMBR},
    {"gptNeedsRepair", "GPT needs repair", Undelete_NeedFixGPT},
    {"hiddenPartition", "hidden partition", Undelete_NeedUnhide},
};

int partitionsCommand(const kvx::Args& args) {
  const std::string disk = args.positionals()[0];
  const bool quick = args.has("--quick"), json = args.has("--json");
  Undelete* u = nullptr;
  std::string error;
  std::uint32_t number = 0;
  if (Undelete_Create(&u) == 0) {
    std::fprintf(stderr, "kvx partitions: cannot create the engine object\n");
    return kvx::kExitFailed;
  }
  if (!kvx::diskNumber(disk, &number, &error) || !kvx::scanDisk(u, number, quick, !json, &error)) {
    std::fprintf(stderr, "kvx partitions: %s\n", error.c_str());
    Undelete_Delete(u);
    return kvx::kExitFailed;
  }
  const auto areas = kvx::diskAreas(u, number);
  std::vector<std::pair<unsigned, FoundPartition>> found;
  for (unsigned i = 0; i < kMaxFoundPartitions; ++i) {
    FoundPartition p{};
    if (Undelete_GetPartitionDesc(u, i, &p) == 1) found.emplace_back(i, p);
  }
  const auto volumeOf = [&](const FoundPartition& p) -> const kvx::DiskArea* {
    for (const auto& a : areas)
      if (a.record.start.get() == p.start.get() && a.record.length.get() == p.length.get())
        return &a;
    return nullptr;
  };

  if (json) {
    kvx::JsonWriter w(stdout);
    w.beginObject();
    w.key("disk").unsignedNumber(number);
    w.key("state").beginObject();
    for (const auto& c : kConditions) w.key(c.key).boolean(c.query(u) != 0);
    w.endObject();
    w.key("found").beginArray();
    for (const auto& [i, p] : found) {
      const char* type = "";
      const char* status = "";
      Undelete_GetPartitionTypeName(p.type, &type);
      Undelete_GetStatusName(foundStatus(p), &status);
      w.beginObject();
      w.key("index").unsignedNumber(i);
      w.key("start").unsignedNumber(p.start.get());
      w.key("length").unsignedNumber(p.length.get());
      w.key("type").unsignedNumber(p.type);
      w.key("typeName").string(type);
      w.key("origType").unsignedNumber(p.origType);
      w.key("status").unsignedNumber(foundStatus(p));
      w.key("statusName").string(status);
      w.key("active").boolean(foundActive(p));
      w.key("copies").unsignedNumber(foundCopies(p));
      w.key("shown").boolean(Undelete_ShouldShow(u, i) != 0);
      w.key("typeGuid").string(guidText(p.typeGuid));
      w.key("uniqueGuid").string(guidText(p.uniqueGuid));
      w.key("name").string(nameText(p));
      const auto* a = volumeOf(p);
      w.key("volume").unsignedNumber(a != nullptr ? a->volume : 0);
      w.key("fileSystem").string(a != nullptr ? a->record.info : "");
      w.endObject();
    }
    w.endArray();
    w.key("partitions").beginArray();
    for (const auto& a : areas) {
      w.beginObject();
      w.key("volume").unsignedNumber(a.volume);
      w.key("start").unsignedNumber(a.record.start.get());
      w.key("length").unsignedNumber(a.record.length.get());
      w.key("number").unsignedNumber(a.record.number);
      w.key("type").unsignedNumber(a.record.type);
      w.key("unallocated").boolean(a.record.number == kUnallocatedArea);
      w.key("description").string(a.record.description);
      w.endObject();
    }
    w.endArray();
    w.endObject();
    w.finish();
  } else {
    std::printf("Physical drive %u\nState:", number);
    bool any = false;
    for (const auto& c : kConditions)
      if (c.query(u) != 0) {
        std::printf("%s %s", any ? "," : "", c.text);
        any = true;
      }
    std::printf("%s\n\nFound partitions:\n", any ? "" : " nothing to note");
    for (const auto& [i, p] : found) {
      if (Undelete_ShouldShow(u, i) == 0) continue;
      const char* type = "";
      const char* status = "";
      Undelete_GetPartitionTypeName(p.type, &type);
      Undelete_GetStatusName(foundStatus(p), &status);
      const unsigned long long sector = 512;
      std::printf("  %2u  start %llu (%llu B)  length %llu (%llu B)  0x%02X %s  %s%s  copies %u\n",
                  i, static_cast<unsigned long long>(p.start.get()) / sector,
                  static_cast<unsigned long long>(p.start.get()),
                  static_cast<unsigned long long>(p.length.get()) / sector,
                  static_cast<unsigned long long>(p.length.get()), p.type, type, status,
                  foundActive(p) ? ", active" : "", foundCopies(p));
      const std::string guid = guidText(p.uniqueGuid), name = nameText(p);
      if (!guid.empty() || !name.empty())
        std::printf("      %s %s %s\n", guidText(p.typeGuid).c_str(), guid.c_str(), name.c_str());
      if (const auto* a = volumeOf(p); a != nullptr && a->record.info[0] != 0)
        std::printf("      %s\n", a->record.info);
    }
    std::printf(
        "\nPartition list (sectors of 512 bytes; pN: volume N for scan/recover --partition N):\n");
    for (const auto& a : areas) {
      const std::string tag = a.volume != 0 ? "p" + std::to_string(a.volume) : "-";
      std::printf("  %-4s %12llu %12llu  %s\n", tag.c_str(),
                  static_cast<unsigned long long>(a.record.start.get() / 512),
                  static_cast<unsigned long long>(a.record.length.get() / 512),
                  a.record.description);
    }
  }
  Undelete_Delete(u);
  return kvx::kExitOk;
}

const kvx::Registration reg{
    {"partitions",
     "search a disk for lost partitions; list its partitions",
     {{"DISK", "A disk image, a block device (/dev/sdb) or a disk number of kvx disks."}},
     {{"--quick", nullptr, "Read only the partition tables and the places volumes usually start; "
                           "skip the search of the whole disk."},
      {"--json", nullptr, "Write the disk's condition and partitions as one JSON document."}},
     "Volumes are numbered 1, 2 ... as kvx scan --partition N and kvx recover take them.",
     partitionsCommand}};

}  // namespace
