// kvx fix-mbr, make-active, fix-boot-code, fix-gpt, undo, backup-partitions, restore-partitions:
// the table repairs. Each first shows exactly which bytes it will write (offset and a short
// decoded or hex difference), asks on a terminal (--yes in scripts; --dry-run stops there), and
// afterwards says where the backup of the old bytes went and how to undo.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "disk_partitions.h"
#include "scan_session.h"
#include "undelete/undelete.h"

namespace {

struct Engine {
  Undelete* u = nullptr;
  Engine() { Undelete_Create(&u); }
  ~Engine() { Undelete_Delete(u); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
};

std::vector<UndeleteRepairWrite> repairWrites() {
  std::vector<UndeleteRepairWrite> out;
  UndeleteRepairWrite w{};
  for (unsigned i = 0; Undelete_GetRepairWrite(i, &w) == 1; ++i) out.push_back(w);
  return out;
}

std::string repairBackup() {
  char name[512] = {};
  return Undelete_GetRepairBackup(name, sizeof name) == 1 ? std::string(name) : std::string();
}

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::string entryText(const std::uint8_t* e) {
  if (e[4] == 0) return "unused";
  char buf[96];
  std::snprintf(buf, sizeof buf, "%stype 0x%02X start %u sectors %u", e[0] == 0x80 ? "active " : "",
                e[4], le32(e + 8), le32(e + 12));
  return buf;
}

/// The sector size of the disk the last repair recorded ranges on (a 4096-byte disk counts its
/// sectors in 4096 bytes).
std::uint32_t plannedSectorSize() {
  std::uint32_t size = 0;
  return Undelete_GetRepairSectorSize(&size) == 1 && size != 0 ? size : 512;
}

/// What changes in one range: a table sector entry by entry, anything else as hex lines.
void printWrite(const UndeleteRepairWrite& w, std::uint32_t sectorSize) {
  std::printf("  %s %" PRIu32 " bytes at offset %" PRIu64 " (sector %" PRIu64 ")%s\n",
              w.changes ? "write" : "keep", w.length, w.offset, w.offset / sectorSize,
              w.changes ? "" : ", saved in the backup only");
  if (!w.changes) return;
  const bool table = w.length >= 512 && w.after[510] == 0x55 && w.after[511] == 0xAA &&
                     std::memcmp(w.after, "EFI PART", 8) != 0;
  if (table) {
    if (std::memcmp(w.before, w.after, 446) != 0)
      std::printf("    boot program and disk signature (bytes 0..445) change\n");
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t* b = w.before + 0x1BE + 16 * i;
      const std::uint8_t* a = w.after + 0x1BE + 16 * i;
      if (std::memcmp(a, b, 16) == 0) continue;
      if (entryText(a) == entryText(b))
        std::printf("    entry %d: %s (CHS fields only)\n", i, entryText(a).c_str());
      else
        std::printf("    entry %d: %s  ->  %s\n", i, entryText(b).c_str(), entryText(a).c_str());
    }
    if (w.before[510] != 0x55 || w.before[511] != 0xAA)
      std::printf("    signature 0x55 0xAA added\n");
    return;
  }
  std::uint32_t differing = 0, shown = 0;
  for (std::uint32_t at = 0; at < w.length; at += 16) {
    const std::uint32_t n = std::min<std::uint32_t>(16, w.length - at);
    if (std::memcmp(w.before + at, w.after + at, n) == 0) continue;
    ++differing;
    if (shown++ >= 4) continue;
    std::printf("    +0x%04" PRIx32 " ", at);
    for (std::uint32_t i = 0; i < n; ++i) std::printf("%02x", w.before[at + i]);
    std::printf("\n       -> ");
    for (std::uint32_t i = 0; i < n; ++i) std::printf("%02x", w.after[at + i]);
    std::printf("\n");
  }
  if (differing > 4)
    std::printf("    ... %" PRIu32 " more lines of 16 bytes change\n", differing - 4);
  if (differing == 0) std::printf("    (same bytes as on the disk now)\n");
}

bool confirm(const kvx::Args& args, const char* name) {
  if (args.has("--yes")) return true;
  if (::isatty(STDIN_FILENO) != 1) {
    std::fprintf(stderr, "kvx %s: not on a terminal; add --yes to write, or --dry-run\n", name);
    return false;
  }
  std::fprintf(stderr, "Write these sectors? Type 'yes' to go on: ");
  std::fflush(stderr);
  std::string answer;
  std::getline(std::cin, answer);
  return answer == "yes";
}

std::string cwdPath(const std::string& name) {
  std::error_code ec;
  const auto dir = std::filesystem::current_path(ec);
  return ec ? name : (dir / name).string();
}

/// Plans @p op in a dry run, shows the plan, asks, then runs it for real. @p undoHint: what to
/// say instead of a backup, for changes the engine keeps no backup of (undo, the active flag).
int planAndRun(const kvx::Args& args, const char* name, const std::string& disk,
               const std::function<int()>& op, const char* undoHint) {
  Undelete_SetRepairDryRun(1);
  (void)op();
  Undelete_SetRepairDryRun(0);
  const auto plan = repairWrites();
  if (plan.empty()) {
    const std::string why = kvx::failureDetail();
    if (!why.empty()) {
      std::fprintf(stderr, "kvx %s: %s\n", name, why.c_str());
      return kvx::kExitFailed;
    }
    std::printf("nothing to write: the disk already holds what this repair would write\n");
    return kvx::kExitOk;
  }
  std::printf("%s on %s:\n", name, disk.c_str());
  for (const auto& w : plan) printWrite(w, plannedSectorSize());
  const std::string planned = undoHint != nullptr ? std::string() : repairBackup();
  if (!planned.empty()) std::printf("backup of the old bytes: %s\n", cwdPath(planned).c_str());
  if (args.has("--dry-run")) {
    std::printf("dry run: nothing written\n");
    return kvx::kExitOk;
  }
  if (!confirm(args, name)) return kvx::kExitFailed;
  const int result = op();
  const auto done = repairWrites();
  std::size_t written = 0, wanted = 0;
  for (const auto& w : done) {
    wanted += w.changes ? 1 : 0;
    written += w.written ? 1 : 0;
  }
  const std::string backup = undoHint != nullptr ? std::string() : repairBackup();
  if (done.empty() || written != wanted || result == 0) {
    const std::string why = kvx::failureDetail();
    if (written == 0) {
      std::fprintf(stderr, "kvx %s: nothing written%s%s\n", name, why.empty() ? "" : ": ",
                   why.c_str());
      return kvx::kExitFailed;
    }
    std::fprintf(stderr, "kvx %s: %zu of %zu ranges written%s%s\n", name, written, wanted,
                 why.empty() ? "" : ": ", why.c_str());
    if (written != 0 && !backup.empty())
      std::fprintf(stderr, "the old bytes are in %s; undo with: kvx undo %s (in that folder)\n",
                   cwdPath(backup).c_str(), disk.c_str());
    return kvx::kExitFailed;
  }
  std::printf("written: %zu range%s\n", written, written == 1 ? "" : "s");
  if (!backup.empty())
    std::printf("backup: %s\nundo: kvx undo %s (run in %s)\n", cwdPath(backup).c_str(),
                disk.c_str(), cwdPath("").c_str());
  else if (undoHint != nullptr)
    std::printf("%s\n", undoHint);
  return kvx::kExitOk;
}

std::optional<unsigned> indexArg(const char* name, const std::string& text) {
  if (text.empty() || text.size() > 3 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    kvx::usageError(name, "INDEX is a number of the found table (kvx partitions DISK)");
    return std::nullopt;
  }
  return static_cast<unsigned>(std::stoul(text));
}

/// Scans DISK and checks INDEX; the engine object then holds the found table the repair uses.
bool scanned(const char* name, const kvx::Args& args, Undelete* u, std::uint32_t& number,
             std::optional<unsigned>* index) {
  std::string error;
  const std::string& disk = args.positionals()[0];
  if (!kvx::diskNumber(disk, &number, &error)) {
    std::fprintf(stderr, "kvx %s: %s\n", name, error.c_str());
    return false;
  }
  if (index != nullptr) {
    *index = indexArg(name, args.positionals()[1]);
    if (!*index) return false;
  }
  if (!kvx::scanDisk(u, number, args.has("--quick"), ::isatty(STDERR_FILENO) == 1, &error)) {
    std::fprintf(stderr, "kvx %s: %s\n", name, error.c_str());
    return false;
  }
  if (index != nullptr) {
    FoundPartition p{};
    if (Undelete_GetPartitionDesc(u, **index, &p) != 1) {
      std::fprintf(stderr, "kvx %s: no found partition %u on %s (see kvx partitions %s)\n", name,
                   **index, disk.c_str(), disk.c_str());
      return false;
    }
  }
  return true;
}

int fixMbrCommand(const kvx::Args& args) {
  Engine e;
  std::uint32_t n = 0;
  std::optional<unsigned> index;
  if (!scanned("fix-mbr", args, e.u, n, &index)) return kvx::kExitFailed;
  if (Undelete_IsDriveGPT(e.u) != 0) {
    std::fprintf(stderr, "kvx fix-mbr: %s holds a GPT; use kvx fix-gpt\n",
                 args.positionals()[0].c_str());
    return kvx::kExitFailed;
  }
  return planAndRun(
      args, "fix-mbr", args.positionals()[0], [&] { return Undelete_FixMBR(e.u, *index); },
      nullptr);
}

int makeActiveCommand(const kvx::Args& args) {
  Engine e;
  std::uint32_t n = 0;
  std::optional<unsigned> index;
  if (!scanned("make-active", args, e.u, n, &index)) return kvx::kExitFailed;
  if (Undelete_CanMakeActive(e.u, *index) != 1) {
    std::fprintf(stderr,
                 "kvx make-active: found partition %u cannot be made active (it must be an MBR "
                 "entry in place, not extended, GPT or hidden)\n",
                 *index);
    return kvx::kExitFailed;
  }
  FoundPartition p{};
  (void)Undelete_GetPartitionDesc(e.u, *index, &p);
  const char* hint = foundActive(p)
                         ? "partition was active: now none is; run the same command to undo"
                         : "no backup for the active flag; kvx make-active on the partition that "
                           "was active before puts it back";
  return planAndRun(
      args, "make-active", args.positionals()[0], [&] { return Undelete_MakeActive(e.u, *index); },
      hint);
}

int fixBootCodeCommand(const kvx::Args& args) {
  Engine e;
  std::uint32_t n = 0;
  if (!scanned("fix-boot-code", args, e.u, n, nullptr)) return kvx::kExitFailed;
  if (Undelete_MBRPresent(e.u) == 0) {
    std::fprintf(stderr,
                 "kvx fix-boot-code: %s has no MBR partition table to put a boot program "
                 "in front of\n",
                 args.positionals()[0].c_str());
    return kvx::kExitFailed;
  }
  return planAndRun(
      args, "fix-boot-code", args.positionals()[0],
      [&] { return Undelete_FixMBRBootCode(e.u, static_cast<int>(n)); }, nullptr);
}

int fixGptCommand(const kvx::Args& args) {
  Engine e;
  std::uint32_t n = 0;
  std::optional<unsigned> index;
  if (!scanned("fix-gpt", args, e.u, n, &index)) return kvx::kExitFailed;
  if (Undelete_IsDriveGPT(e.u) == 0) {
    std::fprintf(stderr, "kvx fix-gpt: %s holds no GPT; use kvx fix-mbr\n",
                 args.positionals()[0].c_str());
    return kvx::kExitFailed;
  }
  return planAndRun(
      args, "fix-gpt", args.positionals()[0], [&] { return Undelete_FixGPT(e.u, *index); },
      nullptr);
}

int undoCommand(const kvx::Args& args) {
  std::uint32_t n = 0;
  std::string error;
  const std::string& disk = args.positionals()[0];
  if (!kvx::diskNumber(disk, &n, &error)) {
    std::fprintf(stderr, "kvx undo: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  char name[256] = {};
  const int drive = static_cast<int>(n);
  if (Undelete_CanUndoMBRFix(drive, name, sizeof name) == 1) {
    std::printf("replaying %s\n", cwdPath(name).c_str());
    return planAndRun(
        args, "undo", disk, [&] { return Undelete_UndoMBRFix(drive); },
        "the backup file was used up and removed");
  }
  if (Undelete_CanUndoGPTFix(drive, name, sizeof name) == 1) {
    std::printf("replaying %s\n", cwdPath(name).c_str());
    return planAndRun(
        args, "undo", disk, [&] { return Undelete_UndoGPTFix(drive); }, "the backup file stays");
  }
  std::fprintf(stderr,
               "kvx undo: no backup in %s matches %s: undo is only offered while the disk still "
               "holds exactly what the repair wrote\n",
               cwdPath("").c_str(), disk.c_str());
  return kvx::kExitFailed;
}

int backupCommand(const kvx::Args& args) {
  std::uint32_t n = 0;
  std::string error;
  const std::string& disk = args.positionals()[0];
  const std::string& file = args.positionals()[1];
  if (!kvx::diskNumber(disk, &n, &error)) {
    std::fprintf(stderr, "kvx backup-partitions: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  struct stat st {};
  if (!args.has("--overwrite") && ::lstat(file.c_str(), &st) == 0) {
    std::fprintf(stderr, "kvx backup-partitions: %s exists; add --overwrite to replace it\n",
                 file.c_str());
    return kvx::kExitFailed;
  }
  if (Undelete_BackupPartitions(static_cast<int>(n), file.c_str()) != 1) {
    const std::string why = kvx::failureDetail();
    std::fprintf(stderr, "kvx backup-partitions: no backup made%s%s\n", why.empty() ? "" : ": ",
                 why.c_str());
    return kvx::kExitFailed;
  }
  std::printf("partition tables of %s saved in %s\nrestore: kvx restore-partitions %s %s\n",
              disk.c_str(), file.c_str(), file.c_str(), disk.c_str());
  return kvx::kExitOk;
}

/// Saves what a restore will overwrite, in the same record form, as a new file.
std::string saveOverwritten(const std::vector<UndeleteRepairWrite>& plan, std::uint32_t disk) {
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::snprintf(stamp, sizeof stamp, "before-restore-disk%u-%04d%02d%02d-%02d%02d%02d", disk,
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  // Two restores within one second must not collide: the second gets a numbered name.
  std::string name;
  int fd = -1;
  for (int copy = 1; fd < 0 && copy <= 100; ++copy) {
    name = std::string(stamp) + (copy == 1 ? "" : "-" + std::to_string(copy)) + ".bin";
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return {};
  }
  if (fd < 0) return {};
  bool ok = true;
  const auto put = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    while (ok && n > 0) {
      const ssize_t k = ::write(fd, b, n);
      if (k <= 0)
        ok = false;
      else {
        b += k;
        n -= static_cast<std::size_t>(k);
      }
    }
  };
  for (const auto& w : plan) {
    std::uint8_t head[12];
    for (int i = 0; i < 8; ++i) head[i] = static_cast<std::uint8_t>(w.offset >> (8 * i));
    for (int i = 0; i < 4; ++i) head[8 + i] = static_cast<std::uint8_t>(w.length >> (8 * i));
    put(head, sizeof head);
    put(w.before, w.length);
  }
  if (::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(name.c_str());
    return {};
  }
  return name;
}

int restoreCommand(const kvx::Args& args) {
  std::uint32_t n = 0;
  std::string error;
  const std::string& file = args.positionals()[0];
  const std::string& disk = args.positionals()[1];
  if (!kvx::diskNumber(disk, &n, &error)) {
    std::fprintf(stderr, "kvx restore-partitions: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  const int drive = static_cast<int>(n);
  Undelete_SetRepairDryRun(1);
  const int planned = Undelete_RestorePartitions(file.c_str(), drive);
  Undelete_SetRepairDryRun(0);
  const auto plan = repairWrites();
  if (planned != 1 || plan.empty()) {
    const std::string why = kvx::failureDetail();
    std::fprintf(stderr,
                 "kvx restore-partitions: %s is not a whole partition-table backup of "
                 "this disk%s%s; nothing written\n",
                 file.c_str(), why.empty() ? "" : ": ", why.c_str());
    return kvx::kExitFailed;
  }
  std::printf("restore-partitions on %s:\n", disk.c_str());
  for (const auto& w : plan) printWrite(w, plannedSectorSize());
  if (args.has("--dry-run")) {
    std::printf("dry run: nothing written\n");
    return kvx::kExitOk;
  }
  if (!confirm(args, "restore-partitions")) return kvx::kExitFailed;
  const std::string saved = saveOverwritten(plan, n);
  if (saved.empty()) {
    std::fprintf(stderr,
                 "kvx restore-partitions: cannot save the bytes it would overwrite in "
                 "%s; nothing written\n",
                 cwdPath("").c_str());
    return kvx::kExitFailed;
  }
  const int result = Undelete_RestorePartitions(file.c_str(), drive);
  std::printf("%s; the bytes before are in %s\nundo: kvx restore-partitions %s %s\n",
              result == 1 ? "restored" : "restore failed part way", cwdPath(saved).c_str(),
              cwdPath(saved).c_str(), disk.c_str());
  return result == 1 ? kvx::kExitOk : kvx::kExitFailed;
}

const std::vector<kvx::Option>& writeOptions() {
  static const std::vector<kvx::Option> v{
      {"--dry-run", nullptr, "Show what would be written and write nothing."},
      {"--yes", nullptr, "Do not ask; required when standard input is not a terminal.",
       kvx::Complete::None, nullptr, "-y"},
  };
  return v;
}

std::vector<kvx::Option> scanWriteOptions() {
  auto v = writeOptions();
  v.insert(v.begin(),
           {"--quick", nullptr, "Search for lost partitions only where partitions usually start."});
  return v;
}

const kvx::Positional kDisk{"DISK", "A disk image, a whole-disk device or a number of kvx disks."};
const kvx::Positional kIndex{"INDEX",
                             "The found partition's index, as kvx partitions DISK lists it.", true,
                             kvx::Complete::None};

const char* const kRepairDetails =
    "Scans DISK for lost partitions first (as kvx partitions does). The old contents of every "
    "sector it changes are saved in a backup file in the current folder before the first one is "
    "written; kvx undo DISK, run in that folder, puts them back while the disk still holds what "
    "the repair wrote. A mounted disk, or one with a mounted partition, is never written. Exit "
    "code 1 when anything failed.";

const kvx::Registration regFixMbr{{"fix-mbr",
                                   "put a found partition back into the MBR or the EBR chain",
                                   {kDisk, kIndex},
                                   scanWriteOptions(),
                                   kRepairDetails,
                                   fixMbrCommand}};
const kvx::Registration regMakeActive{
    {"make-active",
     "make an MBR partition the active one (again: none is active)",
     {kDisk, kIndex},
     scanWriteOptions(),
     "Writes sector 0 without a backup file (the change is one flag). Exit code 1 when anything "
     "failed.",
     makeActiveCommand}};
const kvx::Registration regFixBoot{{"fix-boot-code",
                                    "put a boot program in front of an intact MBR partition table",
                                    {kDisk},
                                    scanWriteOptions(),
                                    kRepairDetails,
                                    fixBootCodeCommand}};
const kvx::Registration regFixGpt{
    {"fix-gpt",
     "rewrite the GPT (headers, both entry arrays, protective MBR when damaged)",
     {kDisk, kIndex},
     scanWriteOptions(),
     kRepairDetails,
     fixGptCommand}};
const kvx::Registration regUndo{
    {"undo",
     "undo the last MBR or GPT repair of DISK from its backup in the current folder",
     {kDisk},
     writeOptions(),
     "Only offered while the disk still holds exactly what the repair wrote. An MBR backup is "
     "removed once replayed; a GPT backup stays.",
     undoCommand}};
const kvx::Registration regBackup{
    {"backup-partitions",
     "save every partition-table sector of DISK in FILE",
     {kDisk, {"FILE", "The file to create."}},
     {{"--overwrite", nullptr, "Replace FILE when it exists."}},
     "The MBR and each EBR, the GPT headers and arrays, or a dynamic disk's MBR, private header "
     "and database. Writes nothing to DISK.",
     backupCommand}};
const kvx::Registration regRestore{
    {"restore-partitions",
     "write a backup-partitions FILE back to DISK",
     {{"FILE", "A file of kvx backup-partitions."}, kDisk},
     writeOptions(),
     "A file that does not read whole, or a record outside the disk, writes nothing. What the "
     "restore overwrites is saved first in before-restore-diskN-TIME.bin in the current folder, "
     "itself a file restore-partitions can write back.",
     restoreCommand}};

}  // namespace
