// Lost-partition scan of one physical drive: walks the MBR and the EBR chain, checks every entry
// against the disk, searches the gaps for boot sectors of partitions no table describes any more,
// hands GPT and dynamic disks to their discovery, and fills the found table and the disk state.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"

namespace {

constexpr std::uint64_t kGapSkip = 0x4000;  // a table's own area before its search starts
constexpr unsigned kMaxDepth = 128;         // EBR levels; a longer chain is a loop or garbage

bool isExtended(std::uint8_t type) { return Mbr_IsExtendedType(static_cast<std::uint8_t>(type)); }

/// Types whose boot sector is not classified again when their entry is checked.
bool keepsType(std::uint8_t type) {
  switch (type & 0x7F) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0E:
    case 0x0F:
    case 0x41:
    case 0x42:
    case 0x63:
      return true;
    default:
      return false;
  }
}

/// Type for a FAT volume found off the old cylinder grid: the LBA forms of FAT16 and FAT32 (a
/// FAT type must not become the NTFS/exFAT type 0x07).
std::uint8_t kindAt(std::uint8_t kind, std::uint64_t pos) {
  if (pos % 63 == 0) return kind;
  switch (kind) {
    case 0x04:
      return 0x0E;
    case 0x0B:
      return 0x0C;
    default:
      return kind;
  }
}

/// The type a hidden entry has once unhidden: its own family without the hidden bit when the boot
/// sector agrees, else what the boot sector says.
std::uint8_t unhiddenType(std::uint8_t orig, std::uint8_t classified) {
  const std::uint8_t plain = static_cast<std::uint8_t>(orig & ~0x10u);
  const bool hidden = (orig & 0x10u) != 0 && keepsType(plain) && !isExtended(plain);
  if (!hidden) return classified;
  const bool fat = classified == 0x01 || classified == 0x04 || classified == 0x0B;
  const bool plainFat = plain == 0x01 || plain == 0x04 || plain == 0x06 || plain == 0x0B ||
                        plain == 0x0C || plain == 0x0E;
  if (fat == plainFat) return plain;
  return classified;
}

constexpr std::uint64_t kMiB = 0x100000;

struct Walk {
  PartScan& s;

  /// One MBR or EBR level. Returns 0 when cancelled; @p handBack receives where the level ended.
  int level(std::uint64_t T, std::uint64_t E, std::uint64_t X, std::uint64_t* handBack, bool nested,
            unsigned depth) {
    Undelete* u = s.u;
    FoundPartition* t = Part_Found(s);
    const std::uint32_t ss = s.sectorSize;
    Sector sec{};
    // A table walked before (a chain that loops) or too deep a chain adds nothing more.
    const bool seen =
        std::find(s.walkedTables.begin(), s.walkedTables.end(), T) != s.walkedTables.end();
    if (seen || depth > kMaxDepth || !Part_ReadSector(s, T, sec)) {
      if (handBack) *handBack = std::min(E, T + kSectorBytes);  // go on after the table sector
      return 1;
    }
    s.walkedTables.push_back(T);
    MbrTable mbr;
    (void)Mbr_ParseSector(sec, mbr);
    std::atomic_ref<std::uint32_t> state(u->partitionFlags);

    if (T == 0) {
      if (mbr.firstByte == 0xEB) {
        state.fetch_or(kStateBootSector);
        return 1;
      }
      if (mbr.signature) state.fetch_or(kStateMbrSignature);
      if (mbr.bootCodeMissing) state.fetch_or(kStateNoBootCode);
      if (Part_DiscoverLdm(s, mbr) != 0) return 1;
      if (mbr.entries[0].type == 0xEE) {
        state.fetch_or(kStateGpt);
        return Part_DiscoverGpt(s);
      }
      if (!mbr.signature && Part_DiscoverGpt(s) != 0) {
        state.fetch_or(kStateFixProtective | kStateGpt);
        return 1;
      }
    }

    // The table's own entries.
    const unsigned first = Part_FirstEmpty(t);
    unsigned n = first;
    for (const MbrEntry& e : mbr.entries) {
      if (e.type == 0) continue;
      if (n >= kMaxFoundPartitions) break;
      FoundPartition& p = t[n++];
      p = FoundPartition{};
      p.type = p.origType = e.type;
      if (T == 0 && e.bootIndicator == 0x80) p.flags = 0x80;
      p.tableOffset.set(T);
      const std::uint64_t rel = std::uint64_t{e.startLba.get()} * ss;
      p.relStart.set(rel);
      p.start.set(rel + (isExtended(e.type) ? X : T));
      p.length.set(std::uint64_t{e.sectorCount.get()} * ss);
    }
    std::stable_sort(t + first, t + n, [](const FoundPartition& a, const FoundPartition& b) {
      return a.start.get() < b.start.get();
    });

    // The gaps between the entries, and the entries themselves.
    std::uint64_t pos = T + kGapSkip;
    unsigned k = first;
    bool foundLogical = false;
    while (pos < E || k < n) {
      const std::uint64_t limit = k < n ? std::min(t[k].start.get(), s.diskSize) : E;
      const bool signature = pos < limit && Part_ScanForBootSignature(s, pos, limit, sec);
      if (Part_Cancelled(s)) {
        if (handBack) *handBack = pos;
        return 0;
      }
      if (!signature && k < n && isExtended(t[k].type) && t[k].start.get() != 0) {
        // An extended entry that points at a volume's boot sector rather than at a table: the
        // entry is wrong, and the volume is searched for as any other in the area.
        Sector probe{};
        if (Part_ReadSector(s, t[k].start.get(), probe) && Mbr_HasSignature(probe) &&
            probe[0] == 0xEB) {
          Part_SetStatus(t[k], kPartMissing);
          ++k;
          continue;
        }
      }
      if (signature && sec[0] != 0xEB) {
        // A table sector: an EBR when it sits on a track boundary, or on a 1 MiB boundary (where
        // partitioners put EBRs today) when it is shaped like one.
        MbrTable cand;
        const bool aligned = pos % kMiB == 0 && Mbr_ParseSector(sec, cand) == Parse::Ok &&
                             Mbr_LooksLikeEbr(cand, E > pos ? (E - pos) / ss : 0);
        if ((pos % 63 != 0 && !aligned) || staleTable(sec, pos)) {
          pos += kSectorBytes;
          continue;
        }
        Undelete_Log(u, "Found extended partition, offset = %llu\n",
                     static_cast<unsigned long long>(pos));
        const auto idx = Part_AddFound(s, 0x05, kPartFound, T, pos, 0, pos - X);
        std::uint64_t end = pos;
        if (level(pos, E, T == 0 ? pos : X, &end, true, depth + 1) == 0) {
          if (handBack) *handBack = end;
          return 0;
        }
        if (idx) {
          std::uint64_t len = end > pos ? end - pos : 0;
          if (T != 0) {
            Sector ebr{};
            MbrTable found;
            len = 0;
            // A link spans its EBR and the volume it describes (what partitioners write and a
            // repair links with), not only the gap in front of the volume.
            if (Part_ReadSector(s, pos, ebr) && Mbr_ParseSector(ebr, found) == Parse::Ok)
              len = (std::uint64_t{found.entries[0].startLba.get()} +
                     found.entries[0].sectorCount.get()) *
                    ss;
          }
          t[*idx].length.set(len);
        }
        pos = std::max(end, pos + kSectorBytes);
        continue;
      }
      if (signature) {
        // A boot sector in the gap.
        if (foundLogical) break;  // one volume per EBR level; the caller searches on
        const auto boot = Partition_ClassifyBootSector(sec);
        if (!boot || !fitsIn<std::uint64_t>(pos, boot->size, s.diskSize)) {
          pos += kSectorBytes;
          continue;
        }
        const std::uint8_t kind = kindAt(boot->kind, pos);
        Undelete_Log(u, "Found partition, offset = %llu, size = %llu\n",
                     static_cast<unsigned long long>(pos),
                     static_cast<unsigned long long>(boot->size));
        const bool overlap = pos + boot->size > limit;
        (void)Part_AddFound(s, kind, overlap ? kPartOverlaps : kPartFound, T, pos, boot->size,
                            pos - T);
        foundLogical = X != 0;
        pos += overlap ? kSectorBytes : boot->size;
        continue;
      }
      if (pos >= limit && k < n) {
        check(t[k], T, E, X, nested, depth, pos);
        if (Part_Cancelled(s)) {
          if (handBack) *handBack = pos;
          return 0;
        }
        ++k;
      }
      Part_SetPosition(s, pos);
      if (Part_Cancelled(s)) {
        if (handBack) *handBack = pos;
        return 0;
      }
    }
    if (handBack) *handBack = pos;
    dropDuplicates(first);
    if (T == 0) Part_SortFound(t);
    return 1;
  }

  /// Compares entry @p p with what lies at its start; moves @p pos past what it accounts for.
  void check(FoundPartition& p, std::uint64_t T, std::uint64_t E, std::uint64_t X, bool nested,
             unsigned depth, std::uint64_t& pos) {
    const std::uint64_t start = p.start.get(), length = p.length.get();
    const std::uint64_t before = pos;
    pos = std::min(start, s.diskSize);
    Sector sec{};
    if (!Part_ReadSector(s, start, sec)) return;  // status stays unchecked
    Part_SetStatus(p, kPartMissing);
    if (Mbr_HasSignature(sec)) {
      const bool loops =
          std::find(s.walkedTables.begin(), s.walkedTables.end(), start) != s.walkedTables.end();
      if (isExtended(p.type) && loops) {
        // A link back into the chain: nothing there that was not walked, and no going back.
        pos = std::max(before, start);
      } else if (isExtended(p.type)) {
        Part_SetStatus(p, nested ? kPartFound : kPartExisting);
        const std::uint64_t end = T == 0 ? std::min(start + length, s.diskSize) : E;
        std::uint64_t back = start;
        (void)level(start, end, T == 0 ? start : X, &back, nested, depth + 1);
        pos = std::max(back, start + kSectorBytes);
      } else {
        if (!keepsType(p.origType)) {
          if (const auto boot = Partition_ClassifyBootSector(sec))
            if (boot->kind != p.origType)
              p.type = unhiddenType(p.origType, kindAt(boot->kind, start));
        }
        Part_SetStatus(p, sec[0] == 0xEB ? (nested ? kPartFound : kPartExisting) : kPartMissing);
        pos = start + length;
      }
    }
    Undelete_Log(s.u, "Partition at %llx, size = %llu check %s.\n",
                 static_cast<unsigned long long>(start), static_cast<unsigned long long>(length),
                 foundStatus(p) == kPartExisting ? "ok" : "fail");
  }

  /// An old table left behind when a chain was rewritten: the volume it describes is already
  /// listed by the live chain, and walking it would list that volume twice.
  bool staleTable(const Sector& sec, std::uint64_t at) {
    MbrTable cand;
    if (Mbr_ParseSector(sec, cand) != Parse::Ok) return true;
    const FoundPartition* t = Part_Found(s);
    for (const MbrEntry& e : cand.entries) {
      if (e.type == 0 || isExtended(e.type)) continue;
      const std::uint64_t start = at + std::uint64_t{e.startLba.get()} * s.sectorSize;
      for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i)
        if (t[i].start.get() == start && !isExtended(t[i].type)) return true;
    }
    return false;
  }

  /// Entries of this level that repeat an earlier entry go (a chain that met its own table).
  void dropDuplicates(unsigned first) {
    FoundPartition* t = Part_Found(s);
    for (unsigned i = first; i < kMaxFoundPartitions && t[i].type != 0;) {
      bool dropped = false;
      for (unsigned j = 0; j < first; ++j) {
        if (t[j].start.get() != t[i].start.get() || t[j].relStart.get() != t[i].relStart.get() ||
            t[j].length.get() != t[i].length.get())
          continue;
        if (foundStatus(t[j]) == kPartFound && foundStatus(t[i]) == kPartExisting)
          Part_SetStatus(t[j], kPartExisting);
        const unsigned last = Part_FirstEmpty(t) - 1;
        t[i] = t[last];
        t[last] = FoundPartition{};
        dropped = true;
        break;
      }
      if (!dropped) ++i;
    }
  }
};

void scanThread(Undelete* u, PartScan* scan) noexcept {
  u->cancelEvent.reset();
  u->totalCancelEvent.reset();
  const int result = Part_ScanDisk(*scan);
  const std::uint64_t size = scan->diskSize;
  CachedDrive_Close(u->partScanDrive);
  CachedDrive_Destroy(u->partScanDrive);
  u->partScanDrive = nullptr;
  (void)Partition_MergeFound(u, u->partScanDisk, size);
  Undelete_Report(u, "\tOperation complete.\n");
  delete scan;
  u->searchExitCode = static_cast<std::uint32_t>(result);
  u->searchRunning = false;
}

int scanForPartitions(Undelete* u, int drive, int quick) {
  if (u->searchThread.joinable()) {
    u->searchThread.join();  // a scan or search still held: wait for it
    u->partScanTotal = 0;
  }
  Undelete_Report(u, "Testing and searching for partitions.\n");
  std::atomic_ref<std::uint32_t> state(u->partitionFlags);
  state.fetch_or(kStateDriveMask);
  state.fetch_and(~kStateBootSector);
  std::memset(static_cast<void*>(u->foundPartitions), 0, sizeof u->foundPartitions);

  CachedDrive* d = nullptr;
  if (drive < 0 || !CachedDrive_Create(&d) ||
      !CachedDrive_OpenPhysical(false, d, static_cast<std::uint32_t>(drive))) {
    if (d != nullptr) CachedDrive_Destroy(d);
    Undelete_Report(u, "\tUnable to open physical drive.\n");
    Undelete_Log(u, "Unable to open physical drive\n");
    u->partScanTotal = 0;
    return 0;
  }
  Undelete_Log(u, "Physical drive %d opened successfully\n", drive);
  std::uint64_t size = 0;
  (void)CachedDrive_GetSize(d, &size);
  auto* scan = new PartScan;
  scan->u = u;
  scan->drive = d;
  scan->diskSize = size;
  scan->quick = quick != 0;
  scan->sectorSize = Part_TableSectorSize(d, size);
  u->partScanTotal = size;
  u->partScanPos = 0;
  state.store((state.load() & ~kStateDriveMask) |
              (static_cast<std::uint32_t>(drive) & kStateDriveMask));
  u->partScanDrive = d;
  u->partScanDisk = static_cast<std::uint32_t>(drive);
  u->partScanQuick = quick != 0;
  u->searchExitCode = 0;
  u->searchRunning = true;
  try {
    u->searchThread = std::thread(scanThread, u, scan);
  } catch (...) {
    u->searchRunning = false;
    CachedDrive_Close(d);
    CachedDrive_Destroy(d);
    u->partScanDrive = nullptr;
    u->partScanTotal = 0;
    delete scan;
    return 0;
  }
  // Callers poll for progress: let the first position appear (or the scan end) before returning.
  while (u->partScanPos.load() == 0 && u->searchRunning.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 1;
}

const FoundPartition* foundAt(Undelete* u, unsigned index) {
  if (index >= kMaxFoundPartitions || u->foundPartitions[index].type == 0) return nullptr;
  return &u->foundPartitions[index];
}

bool stateBit(Undelete* u, std::uint32_t bit) {
  return (std::atomic_ref<std::uint32_t>(u->partitionFlags).load() & bit) != 0;
}

bool isGuid(const std::uint8_t* field, const Guid& g) {
  return std::memcmp(field, g.data(), 16) == 0;
}

}  // namespace

int Part_ScanDisk(PartScan& s) {
  std::atomic_ref<std::uint32_t>(s.u->partitionFlags).fetch_and(~kStateConditionMask);
  s.u->ldmDataStart = 0;
  s.u->ldmDataSize = 0;
  s.walkedTables.clear();
  try {
    Walk walk{s};
    return walk.level(0, s.diskSize, 0, nullptr, false, 0);
  } catch (...) {
    return 0;  // out of memory: what was found stays
  }
}

int Undelete_ScanForPartitions(Undelete* u, int drive, int quick) noexcept {
  if (u == nullptr) return 0;
  try {
    return scanForPartitions(u, drive, quick);
  } catch (...) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_GetPartitionProgress(Undelete* u, std::uint64_t* position,
                                  std::uint64_t* total) noexcept {
  if (u == nullptr || position == nullptr || total == nullptr) return 0;
  if (!u->searchRunning.load() && u->partScanTotal.load() != 0) {
    if (u->searchThread.joinable() && u->searchThread.get_id() != std::this_thread::get_id())
      u->searchThread.join();
    u->partScanTotal = 0;
  }
  *position = u->partScanPos.load();
  *total = u->partScanTotal.load();
  return 1;
}

int Undelete_GetPartitionDesc(Undelete* u, unsigned index, FoundPartition* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  const FoundPartition* p = foundAt(u, index);
  if (p == nullptr) return 0;
  *out = *p;
  if (foundStatus(*out) == kPartExisting) {
    const bool dynamic = stateBit(u, kStateDynamic);
    // An entry the disk's own table no longer vouches for is one the scan found.
    bool found = (!dynamic && !stateBit(u, kStateMbrSignature)) ||
                 (dynamic && stateBit(u, kStateFixProtective));
    for (unsigned i = 0; i < kMaxFoundPartitions && !found; ++i) {
      const FoundPartition& o = u->foundPartitions[i];
      if (o.type != 0 && o.start.get() == p->start.get()) {
        found = foundStatus(o) == kPartFound;
        break;
      }
    }
    if (found) Part_SetStatus(*out, kPartFound);
  }
  return 1;
}

int Undelete_GetStatusName(std::uint8_t status, const char** text) noexcept {
  static constexpr const char* kNames[] = {"Unchecked partition, tell developer about it.",
                                           "Existing partition", "Partition found by scan",
                                           "There is no partition that MBR or LDM tells is",
                                           "This partition overlaps existing partition"};
  if (text == nullptr) return 1;
  *text = status < 5 ? kNames[status] : "Some error occured, tell developer about it.";
  return 1;
}

int Undelete_GetPartitionTypeName(std::uint8_t type, const char** text) noexcept {
  if (text == nullptr) return 1;
  const char* name = "Unknown type";
  switch (type) {
    case 0x00:
      name = "Unused entry";
      break;
    case 0x01:
      name = "FAT12";
      break;
    case 0x02:
      name = "Xenix 1";
      break;
    case 0x03:
      name = "Xenix 2";
      break;
    case 0x04:
      name = "FAT16";
      break;
    case 0x05:
      name = "Extended partition";
      break;
    case 0x06:
      name = "Huge partition MS-DOS V4";
      break;
    case 0x07:
      name = "IFS partition";
      break;
    case 0x0A:
      name = "OS/2 Boot Manager/OPUS/Coherent swap";
      break;
    case 0x0B:
      name = "FAT32";
      break;
    case 0x0C:
      name = "FAT32 using extended int13 services";
      break;
    case 0x0E:
      name = "Win95 partition using extended int13 services";
      break;
    case 0x0F:
      name = "Extended partition uses extended int13 services";
      break;
    case 0x41:
      name = "PowerPC Reference Platform (PReP) Boot Partition";
      break;
    case 0x42:
      name = "Logical Disk Manager partition";
      break;
    case 0x63:
      name = "Unix";
      break;
    case 0xFD:
      name = "LDM partition";
      break;
    case 0xFF:
      name = "GPT partition";
      break;
    default:
      break;
  }
  *text = name;
  return 1;
}

int Undelete_ShouldShow(Undelete* u, unsigned index) noexcept {
  if (u == nullptr) return 0;
  const FoundPartition* p = foundAt(u, index);
  if (p == nullptr) return 0;
  const std::uint8_t status = foundStatus(*p);
  if (status < 1 || status > 4 || p->type == 0x05 || p->type == 0x0F) return 0;
  if (p->type == 0xFD) return 1;
  if (isGuid(p->typeGuid, kGuidMsReserved) || isGuid(p->typeGuid, kGuidLdmMetadata) ||
      isGuid(p->typeGuid, kGuidLdmData))
    return 0;
  return 1;
}

int Undelete_BootSectorInsteadOfMBR(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateBootSector) ? 1 : 0;
}
int Undelete_MBRPresent(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateMbrSignature) && !stateBit(u, kStateGpt) ? 1 : 0;
}
int Undelete_NeedFixMBRBootCode(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateNoBootCode) && !stateBit(u, kStateGpt) ? 1 : 0;
}
int Undelete_NeedFixProtectiveMBR(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateFixProtective) ? 1 : 0;
}
int Undelete_IsDriveGPT(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateGpt) ? 1 : 0;
}
int Undelete_IsDriveDynamic(Undelete* u) noexcept {
  return u != nullptr && stateBit(u, kStateDynamic) ? 1 : 0;
}

int Undelete_NeedFixMBR(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  if (stateBit(u, kStateFixProtective)) return 1;
  for (const FoundPartition& p : u->foundPartitions) {
    if (p.type == 0) break;
    if (p.type == 0xFF) continue;
    if (foundStatus(p) == kPartFound) {
      Undelete_Log(u, "Some MBR needs to and can be fixed.");
      return 1;
    }
    if (foundStatus(p) == kPartMissing)
      Undelete_Log(u, "Some partition(s) pointed to by MBR does not exist.");
  }
  Undelete_Log(u, "MBR does't need to be fixed.");
  return 0;
}

int Undelete_NeedFixGPT(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  if (stateBit(u, kStateFixProtective)) return 1;
  for (const FoundPartition& p : u->foundPartitions) {
    if (p.type != 0xFF) continue;
    if (foundStatus(p) == kPartFound || foundCopies(p) < 2) {
      Undelete_Log(u, "GPT needs to and can be fixed.");
      return 1;
    }
    if (foundStatus(p) == kPartMissing)
      Undelete_Log(u, "Some partition(s) pointed to by GPT does not exist.");
  }
  Undelete_Log(u, "No GPT needs to be fixed.");
  return 0;
}

int Undelete_NeedUnhide(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  for (const FoundPartition& p : u->foundPartitions)
    if (p.type != 0 && p.type != 0xFF && p.type != p.origType) return 1;
  return 0;
}
