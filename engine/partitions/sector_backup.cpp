// Sector backups of the table repairs and their undo, the whole-table backup and restore, and raw
// access to sector 0. Backup files live in the current directory; their names say where the new
// bytes went and a checksum of them, so that an undo is offered only while the disk still holds
// exactly what the repair wrote.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "core/last_error.h"
#include "core/log.h"
#include "host/host.h"
#include "host/host_output.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"
#include "undelete/undelete.h"

namespace {

constexpr std::size_t kMbrPieceChars = 24;
constexpr std::size_t kGptNameChars = 44;
constexpr std::size_t kMaxMbrPieces = 9;
constexpr std::uint32_t kCopyPiece = 4096;

/// What the repairs of this thread did last: the ranges (planned or written) and the backup.
struct RepairState {
  bool dryRun = false;
  std::vector<RepairWrite> writes;
  std::string backup;
  std::uint32_t sectorSize = 0;  // of the disk the ranges are on; 0 before any
};
thread_local RepairState t_state;

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::uint64_t hexValue(std::string_view digits) {
  std::uint64_t v = 0;
  for (const char c : digits)
    v = (v << 4) | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  return v;
}

std::string mbrPiece(std::uint64_t offset, std::uint32_t sum) {
  char piece[kMbrPieceChars + 1];
  std::snprintf(piece, sizeof piece, "%.16llx%.8x", static_cast<unsigned long long>(offset), sum);
  return piece;
}

std::string gptPiece(std::uint32_t crc) {
  char piece[9];
  std::snprintf(piece, sizeof piece, "%.8x", crc);
  return piece;
}

/// The bytes a range holds once the plan ran up to where it stopped.
const std::vector<std::uint8_t>& holds(const RepairWrite& w) {
  return w.written ? w.after : w.before;
}

/// Bytes a ".gpt" check reads at a record: the larger of the record and one sector.
std::size_t checkedLength(const RepairWrite& w, std::uint32_t sectorSize) {
  return std::min(holds(w).size(), std::max<std::size_t>(w.saved, sectorSize));
}

std::string backupName(const std::vector<RepairWrite>& writes, BackupKind kind,
                       std::uint32_t sectorSize) {
  std::string name;
  if (kind == BackupKind::Mbr) {
    for (const auto& w : writes)
      if (w.written || t_state.dryRun || !w.write)
        name += mbrPiece(w.offset, Repair_ByteSum(ByteSpan(holds(w)).first(kSectorBytes)));
    return name.empty() ? name : name + ".mbr";
  }
  for (const auto& w : writes)
    name += gptPiece(Gpt_Crc32(ByteSpan(holds(w)).first(checkedLength(w, sectorSize))));
  return name + ".gpt";
}

/// Head of a record: u64 offset and u32 length, little-endian.
std::array<std::uint8_t, 12> recordHead(std::uint64_t offset, std::uint32_t length) {
  std::array<std::uint8_t, 12> head{};
  for (int i = 0; i < 8; ++i)
    head[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(offset >> (8 * i));
  for (int i = 0; i < 4; ++i)
    head[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(length >> (8 * i));
  return head;
}

/// The backup content: the old sectors back to back (".mbr"), or records (".gpt").
bool produceBackup(const std::vector<RepairWrite>& writes, BackupKind kind,
                   const std::function<bool(const void*, std::size_t)>& put) {
  for (const auto& w : writes) {
    if (kind == BackupKind::Mbr) {
      if (!w.written && !t_state.dryRun && w.write) continue;
      if (!put(w.before.data(), kSectorBytes)) return false;
      continue;
    }
    const auto head = recordHead(w.offset, w.saved);
    if (!put(head.data(), head.size()) || !put(w.before.data(), w.saved)) return false;
  }
  return true;
}

bool saveBackup(const std::string& name, const std::vector<RepairWrite>& writes, BackupKind kind) {
  return Host_WriteFileAtomically(
      name.c_str(), [&](const auto& put) { return produceBackup(writes, kind, put); });
}

/// Reads a whole backup file (regular files only, bounded).
std::optional<std::vector<std::uint8_t>> readSmallFile(const char* path, std::uint64_t limit) {
  const int fd = Host_OpenRegularFile(path);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  std::uint8_t buf[kCopyPiece];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      ::close(fd);
      return std::nullopt;
    }
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

/// Names of the current directory ending in @p extension, in enumeration order.
std::vector<std::string> backupCandidates(std::string_view extension) {
  std::vector<std::string> out;
  DIR* dir = ::opendir(".");
  if (dir == nullptr) return out;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view n(e->d_name);
    if (n.size() > extension.size() && n.substr(n.size() - extension.size()) == extension)
      out.emplace_back(n);
  }
  ::closedir(dir);
  return out;
}

struct OpenDrive {
  CachedDrive* d = nullptr;
  OpenDrive(int drive, bool write) {
    if (drive >= 0) d = Repair_OpenDrive(static_cast<std::uint32_t>(drive), write);
  }
  ~OpenDrive() { Repair_CloseDrive(d); }
  OpenDrive(const OpenDrive&) = delete;
  OpenDrive& operator=(const OpenDrive&) = delete;
};

bool writeAll(CachedDrive* d, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  for (std::size_t done = 0; done < len;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(len - done, kCopyPiece));
    std::uint32_t got = 0;
    if (!CachedDrive_Write(offset + done, data + done, n, &got, d) || got != n) return false;
    done += n;
  }
  return true;
}

bool flushDrive(CachedDrive* d) { return d->device && d->device->flush(); }

std::optional<std::string> findMbrUndo(CachedDrive* d) {
  for (const auto& name : backupCandidates(".mbr")) {
    const auto pieces = Repair_ParseMbrName(name);
    if (!pieces) continue;
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != pieces->size() * kSectorBytes)
      continue;
    bool match = true;
    for (const auto& p : *pieces) {
      const auto sector = Repair_Read(d, p.offset, kSectorBytes);
      if (!sector || Repair_ByteSum(*sector) != p.sum) {
        match = false;
        break;
      }
    }
    if (match) return name;
  }
  return std::nullopt;
}

std::optional<std::string> findGptUndo(CachedDrive* d) {
  for (const auto& name : backupCandidates(".gpt")) {
    const auto crcs = Repair_ParseGptName(name);
    if (!crcs) continue;
    const auto file = readSmallFile(name.c_str(), 5ull * (kMaxBackupRecordBytes + 12));
    if (!file) continue;
    const auto records = Repair_ParseRecords(*file, 5);
    if (!records) continue;
    std::uint64_t size = 0;
    (void)CachedDrive_GetSize(d, &size);
    // One sector as the repair counted it when it named the file (4096 on such disks, images
    // of them included).
    const std::uint32_t ss = Part_TableSectorSize(d, size);
    bool match = true;
    for (std::size_t i = 0; i < records->size() && match; ++i) {
      const auto& r = (*records)[i];
      const auto len = static_cast<std::uint32_t>(std::max<std::size_t>(r.data.size(), ss));
      const auto now = Repair_Read(d, r.offset, len);
      match = now && Gpt_Crc32(*now) == (*crcs)[i];
    }
    if (match) return name;
  }
  return std::nullopt;
}

int copyName(const std::string& name, char* out, unsigned size, unsigned minimum) {
  if (out != nullptr && size >= minimum && name.size() < size)
    std::memcpy(out, name.c_str(), name.size() + 1);
  return 1;
}

/// The records of the whole-table backup of a basic disk: the MBR and each EBR of the chain.
/// Links count in the disk's own sectors (@p ss): on a disk of 4096-byte sectors, 512-byte
/// arithmetic would back up sectors that hold no table and miss the EBRs.
void walkChain(CachedDrive* d, std::uint32_t ss, std::uint64_t T, std::uint64_t base,
               unsigned depth, std::vector<std::pair<std::uint64_t, std::uint32_t>>& out) {
  // A chain that loops or never ends stops here (each table at most once).
  if (depth > 128 || std::any_of(out.begin(), out.end(), [&](auto& r) { return r.first == T; }))
    return;
  out.emplace_back(T, kSectorBytes);
  const auto sec = Repair_Read(d, T, kSectorBytes);
  if (!sec || !Mbr_HasSignature(*sec)) return;
  MbrTable t;
  if (Mbr_ParseSector(*sec, t) != Parse::Ok) return;
  for (const MbrEntry& e : t.entries) {
    if (e.type != 0x05 && e.type != 0x0F) continue;
    const std::uint64_t at = base + std::uint64_t{e.startLba.get()} * ss;
    walkChain(d, ss, at, T == 0 ? at : base, depth + 1, out);
  }
}

std::vector<std::pair<std::uint64_t, std::uint32_t>> tableRanges(CachedDrive* d,
                                                                 std::uint64_t diskSize) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> out;
  const auto sec0 = Repair_Read(d, 0, kSectorBytes);
  if (!sec0) return out;
  const std::uint32_t ss = Part_TableSectorSize(d, diskSize);
  const std::uint8_t type = (*sec0)[0x1C2];
  if (type == 0xEE) {
    out.emplace_back(0, kSectorBytes);
    const auto header = [&](std::uint64_t lba) {
      const auto h = Repair_Read(d, lba * ss, ss);
      GptHeaderInfo info;
      if (!h || Gpt_ParseHeader(*h, lba, info) != Parse::Ok) return std::optional<GptHeaderInfo>{};
      out.emplace_back(lba * ss, ss);
      const auto at = checkedMul<std::uint64_t>(info.entriesLba, ss);
      const std::uint64_t len = std::uint64_t{info.entryCount} * info.entrySize;
      if (at && fitsIn<std::uint64_t>(*at, len, diskSize))
        out.emplace_back(*at, static_cast<std::uint32_t>(len));
      return std::optional<GptHeaderInfo>{info};
    };
    const auto primary = header(1);
    const std::uint64_t alternate =
        primary ? primary->alternateLba : (diskSize / ss > 0 ? diskSize / ss - 1 : 0);
    if (alternate != 1) (void)header(alternate);
    return out;
  }
  if (type == 0x42) {
    out.emplace_back(0, kSectorBytes);
    out.emplace_back(0xC00, kSectorBytes);
    const auto ph = Repair_Read(d, 0xC00, kSectorBytes);
    LdmPrivheadInfo info;
    if (ph && Ldm_ParsePrivhead(*ph, info) == Parse::Ok) {
      const auto at = checkedMul<std::uint64_t>(info.configStart, ss);
      const auto len = checkedMul<std::uint64_t>(info.configSize, ss);
      if (at && len && *len <= kMaxBackupRecordBytes && fitsIn<std::uint64_t>(*at, *len, diskSize))
        out.emplace_back(*at, static_cast<std::uint32_t>(*len));
    }
    return out;
  }
  walkChain(d, ss, 0, 0, 0, out);
  return out;
}

}  // namespace

const std::array<std::uint8_t, 446> kMbrBootCode = {
#include "partitions/boot_code.inc"
};

std::uint32_t Repair_ByteSum(ByteSpan bytes) noexcept {
  std::uint32_t sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  return sum;
}

std::optional<std::vector<MbrPiece>> Repair_ParseMbrName(std::string_view name) {
  if (name.size() < kMbrPieceChars + 4 || name.substr(name.size() - 4) != ".mbr") return {};
  const std::string_view digits = name.substr(0, name.size() - 4);
  if (digits.size() % kMbrPieceChars != 0 || !std::all_of(digits.begin(), digits.end(), isLowerHex))
    return {};
  std::vector<MbrPiece> out;
  for (std::size_t i = 0; i < digits.size(); i += kMbrPieceChars)
    out.push_back({hexValue(digits.substr(i, 16)),
                   static_cast<std::uint32_t>(hexValue(digits.substr(i + 16, 8)))});
  return out;
}

std::optional<std::array<std::uint32_t, 5>> Repair_ParseGptName(std::string_view name) {
  if (name.size() != kGptNameChars || name.substr(40) != ".gpt") return {};
  std::array<std::uint32_t, 5> out{};
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string_view piece = name.substr(i * 8, 8);
    if (!std::all_of(piece.begin(), piece.end(), isLowerHex)) return {};
    out[i] = static_cast<std::uint32_t>(hexValue(piece));
  }
  return out;
}

std::optional<std::vector<BackupRecord>> Repair_ParseRecords(ByteSpan file,
                                                             std::size_t maxRecords) {
  ByteReader r(file);
  std::vector<BackupRecord> out;
  while (r.remaining() > 0) {
    const auto offset = r.read<le64>();
    const auto length = r.read<le32>();
    if (!offset || !length || length->get() > kMaxBackupRecordBytes || out.size() >= maxRecords)
      return {};
    const auto data = r.bytes(length->get());
    if (!data) return {};
    out.push_back({offset->get(), std::vector<std::uint8_t>(data->begin(), data->end())});
  }
  return out;
}

namespace {
/// The ranges about to be recorded are on @p drive: front ends show them in its sectors.
void noteDisk(CachedDrive* drive) {
  std::uint64_t size = 0;
  (void)CachedDrive_GetSize(drive, &size);
  t_state.sectorSize = Part_TableSectorSize(drive, size);
}
}  // namespace

void Repair_Begin() {
  t_state.writes.clear();
  t_state.backup.clear();
  t_state.sectorSize = 0;
  Host_ClearLastError();
}

bool Repair_DryRun() { return t_state.dryRun; }

CachedDrive* Repair_OpenDrive(std::uint32_t drive, bool write) {
  CachedDrive* d = nullptr;
  if (!CachedDrive_Create(&d)) return nullptr;
  if (!CachedDrive_OpenPhysical(write && !t_state.dryRun, d, drive)) {
    CachedDrive_Destroy(d);
    return nullptr;
  }
  return d;
}

void Repair_CloseDrive(CachedDrive* drive) {
  if (drive == nullptr) return;
  CachedDrive_Close(drive);
  CachedDrive_Destroy(drive);
}

std::optional<std::vector<std::uint8_t>> Repair_Read(CachedDrive* drive, std::uint64_t offset,
                                                     std::uint32_t count) {
  std::vector<std::uint8_t> out(count);
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, offset, count, out.data(), &got) || got != count) return {};
  return out;
}

bool Repair_Commit(Undelete* u, CachedDrive* drive, std::vector<RepairWrite>& writes,
                   BackupKind kind, std::uint32_t sectorSize, std::string& name) {
  name.clear();
  if (writes.empty()) return true;
  if (kind == BackupKind::Mbr && writes.size() > kMaxMbrPieces) {
    // No way back without a backup: such a repair is not made.
    Undelete_Log(u, "Too many sectors to back up; nothing written.\n");
    return false;
  }
  noteDisk(drive);
  if (t_state.dryRun) {
    // The name the backup would get: it names what the disk will hold.
    for (auto& w : writes) w.written = w.write;
    name = backupName(writes, kind, sectorSize);
    for (auto& w : writes) w.written = false;
    for (const auto& w : writes) t_state.writes.push_back(w);
    t_state.backup = name;
    return true;
  }
  // The backup reaches the disk before the first sector changes; undo needs nothing else.
  for (auto& w : writes) w.written = w.write;
  name = backupName(writes, kind, sectorSize);
  if (!saveBackup(name, writes, kind)) {
    Undelete_Report(u, "\tUnable to save sector backup; nothing written.\n");
    for (auto& w : writes) w.written = false;
    name.clear();
    return false;
  }
  for (auto& w : writes) w.written = false;
  bool ok = true;
  for (auto& w : writes) {
    if (!w.write) continue;
    std::uint32_t got = 0;
    if (!CachedDrive_Write(w.offset, w.after.data(), static_cast<std::uint32_t>(w.after.size()),
                           &got, drive) ||
        got != w.after.size()) {
      ok = false;
      break;
    }
    w.written = true;
  }
  if (!flushDrive(drive)) ok = false;
  if (!ok) {
    // The backup must describe the disk as it is now, or undo would refuse it.
    const std::string now = backupName(writes, kind, sectorSize);
    const bool any = std::any_of(writes.begin(), writes.end(), [](auto& w) { return w.written; });
    if (now != name) {
      if (any && saveBackup(now, writes, kind)) {
        (void)::unlink(name.c_str());
        name = now;
      } else if (!any) {
        (void)::unlink(name.c_str());
        name.clear();
      }
    }
  }
  for (const auto& w : writes) t_state.writes.push_back(w);
  t_state.backup = name;
  return ok;
}

extern "C" {

int Undelete_SetRepairDryRun(int on) noexcept {
  t_state.dryRun = on != 0;
  return 1;
}

int Undelete_GetRepairWrite(unsigned index, UndeleteRepairWrite* out) noexcept {
  if (out == nullptr || index >= t_state.writes.size()) return 0;
  const RepairWrite& w = t_state.writes[index];
  out->offset = w.offset;
  out->length = static_cast<std::uint32_t>(w.after.size());
  out->written = w.written ? 1 : 0;
  out->changes = w.write ? 1 : 0;
  out->before = w.before.data();
  out->after = w.after.data();
  return 1;
}

int Undelete_GetRepairSectorSize(std::uint32_t* out) noexcept {
  if (out == nullptr || t_state.sectorSize == 0) return 0;
  *out = t_state.sectorSize;
  return 1;
}

int Undelete_GetRepairBackup(char* name, unsigned size) noexcept {
  if (t_state.backup.empty() || name == nullptr || size <= t_state.backup.size()) return 0;
  std::memcpy(name, t_state.backup.c_str(), t_state.backup.size() + 1);
  return 1;
}

int Undelete_CanUndoMBRFix(int drive, char* name, unsigned nameSize) noexcept {
  try {
    OpenDrive d(drive, false);
    if (d.d == nullptr) return 0;
    const auto found = findMbrUndo(d.d);
    return found ? copyName(*found, name, nameSize, 256) : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_UndoMBRFix(int drive) noexcept {
  try {
    Repair_Begin();
    std::string name;
    {
      OpenDrive probe(drive, false);
      if (probe.d == nullptr) return 0;
      const auto found = findMbrUndo(probe.d);
      if (!found) return 0;
      name = *found;
    }
    const auto pieces = Repair_ParseMbrName(name);
    const auto file = readSmallFile(name.c_str(), kMaxMbrPieces * kSectorBytes + 1);
    if (!pieces || !file || file->size() != pieces->size() * kSectorBytes) return 0;
    std::vector<RepairWrite> writes;
    OpenDrive d(drive, true);
    if (d.d == nullptr) return 0;
    noteDisk(d.d);
    for (std::size_t i = 0; i < pieces->size(); ++i) {
      RepairWrite w;
      w.offset = (*pieces)[i].offset;
      const auto now = Repair_Read(d.d, w.offset, kSectorBytes);
      if (!now) return 0;
      w.before = *now;
      w.after.assign(file->begin() + static_cast<std::ptrdiff_t>(i * kSectorBytes),
                     file->begin() + static_cast<std::ptrdiff_t>((i + 1) * kSectorBytes));
      writes.push_back(std::move(w));
    }
    bool ok = true;
    for (auto& w : writes) {
      if (!t_state.dryRun) {
        if (!writeAll(d.d, w.offset, w.after.data(), w.after.size())) {
          ok = false;
          break;
        }
        w.written = true;
      }
    }
    if (!t_state.dryRun && !flushDrive(d.d)) ok = false;
    for (const auto& w : writes) t_state.writes.push_back(w);
    t_state.backup = name;
    // Only a replay that completed consumes the backup; a partial one can be finished by hand.
    if (ok && !t_state.dryRun) (void)::unlink(name.c_str());
    return ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_CanUndoGPTFix(int drive, char* name, unsigned nameSize) noexcept {
  try {
    OpenDrive d(drive, false);
    if (d.d == nullptr) return 0;
    const auto found = findGptUndo(d.d);
    return found ? copyName(*found, name, nameSize, kGptNameChars + 1) : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_UndoGPTFix(int drive) noexcept {
  try {
    Repair_Begin();
    std::string name;
    {
      OpenDrive probe(drive, false);
      if (probe.d == nullptr) return 0;
      const auto found = findGptUndo(probe.d);
      if (!found) return 0;
      name = *found;
    }
    const auto file = readSmallFile(name.c_str(), 5ull * (kMaxBackupRecordBytes + 12));
    const auto records = file ? Repair_ParseRecords(*file, 5) : std::nullopt;
    if (!records) return 0;
    OpenDrive d(drive, true);
    if (d.d == nullptr) return 0;
    noteDisk(d.d);
    bool ok = true;
    for (const auto& r : *records) {
      RepairWrite w;
      w.offset = r.offset;
      const auto now = Repair_Read(d.d, r.offset, static_cast<std::uint32_t>(r.data.size()));
      if (!now) {
        ok = false;
        break;
      }
      w.before = *now;
      w.after = r.data;
      if (!t_state.dryRun) {
        if (!writeAll(d.d, r.offset, r.data.data(), r.data.size())) {
          t_state.writes.push_back(std::move(w));
          ok = false;
          break;
        }
        w.written = true;
      }
      t_state.writes.push_back(std::move(w));
    }
    if (!t_state.dryRun && !flushDrive(d.d)) ok = false;
    t_state.backup = name;
    return ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_BackupPartitions(int drive, const char* fileName) noexcept {
  if (fileName == nullptr) return 0;
  try {
    OpenDrive d(drive, false);
    if (d.d == nullptr) return 0;
    std::uint64_t size = 0;
    (void)CachedDrive_GetSize(d.d, &size);
    const auto ranges = tableRanges(d.d, size);
    if (ranges.empty()) return 0;
    return Host_WriteFileAtomically(
               fileName,
               [&](const auto& put) {
                 for (const auto& [offset, length] : ranges) {
                   // A record is written whole or the file is not made at all.
                   const auto head = recordHead(offset, length);
                   const auto data = Repair_Read(d.d, offset, length);
                   if (!data || !put(head.data(), head.size()) || !put(data->data(), data->size()))
                     return false;
                 }
                 return true;
               })
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_RestorePartitions(const char* fileName, int drive) noexcept {
  if (fileName == nullptr) return 0;
  try {
    Repair_Begin();
    // The whole file is read and checked before anything is written: a damaged file changes
    // nothing, instead of leaving the disk half restored.
    const auto file = readSmallFile(fileName, 4ull * kMaxBackupRecordBytes);
    const auto records = file ? Repair_ParseRecords(*file, 4096) : std::nullopt;
    if (!records || records->empty()) {
      Host_SetLastError(kErrInvalidParameter);
      return 0;
    }
    OpenDrive d(drive, true);
    if (d.d == nullptr) return 0;
    noteDisk(d.d);
    std::uint64_t size = 0;
    (void)CachedDrive_GetSize(d.d, &size);
    std::vector<RepairWrite> writes;
    for (const auto& r : *records) {
      if (!fitsIn<std::uint64_t>(r.offset, r.data.size(), size)) {
        Host_SetLastError(kErrInvalidParameter);
        return 0;
      }
      RepairWrite w;
      w.offset = r.offset;
      const auto now = Repair_Read(d.d, r.offset, static_cast<std::uint32_t>(r.data.size()));
      if (!now) return 0;
      w.before = *now;
      w.after = r.data;
      writes.push_back(std::move(w));
    }
    bool ok = true;
    if (!t_state.dryRun) {
      for (auto& w : writes) {
        if (!writeAll(d.d, w.offset, w.after.data(), w.after.size())) {
          ok = false;
          break;
        }
        w.written = true;
      }
      if (!flushDrive(d.d)) ok = false;
    }
    for (auto& w : writes) t_state.writes.push_back(std::move(w));
    return ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_ReadMBR(int drive, void* buffer) noexcept {
  if (buffer == nullptr) return 0;
  try {
    OpenDrive d(drive, false);
    if (d.d == nullptr) return 0;
    std::uint32_t got = 0;
    return CachedDrive_Read(d.d, 0, kSectorBytes, buffer, &got) && got == kSectorBytes ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int Undelete_WriteMBR(int drive, const void* buffer) noexcept {
  if (buffer == nullptr) return 0;
  try {
    OpenDrive d(drive, true);
    if (d.d == nullptr) return 0;
    std::uint32_t got = 0;
    return CachedDrive_Write(0, buffer, kSectorBytes, &got, d.d) && got == kSectorBytes &&
                   flushDrive(d.d)
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
