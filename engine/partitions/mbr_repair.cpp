// MBR and EBR repair from the found table of the last lost-partition scan: a found partition put
// back into the MBR or into an EBR (re-linking the extended chain), the active flag, and the boot
// program in front of an intact table.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "host/host_output.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"

namespace {

using Table = std::array<FoundPartition, kMaxFoundPartitions>;

std::uint32_t diskState(const Undelete* u) {
  return std::atomic_ref<const std::uint32_t>(u->partitionFlags).load();
}

Table snapshot(const Undelete* u) {
  Table t;
  std::memcpy(static_cast<void*>(t.data()), u->foundPartitions, sizeof u->foundPartitions);
  return t;
}
void restore(Undelete* u, const Table& t) {
  std::memcpy(static_cast<void*>(u->foundPartitions), t.data(), sizeof u->foundPartitions);
}

bool isLink(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

/// Both sectors are tables with the same four entries (CHS fields aside).
bool sameEntries(const Sector& a, const Sector& b) {
  MbrTable x, y;
  if (!Mbr_HasSignature(a) || Mbr_ParseSector(a, x) != Parse::Ok ||
      Mbr_ParseSector(b, y) != Parse::Ok)
    return false;
  for (std::size_t i = 0; i < 4; ++i) {
    const MbrEntry &p = x.entries[i], &q = y.entries[i];
    if (p.bootIndicator != q.bootIndicator || p.type != q.type ||
        p.startLba.get() != q.startLba.get() || p.sectorCount.get() != q.sectorCount.get())
      return false;
  }
  return true;
}

/// One table rewrite of a repair, planned before any sector changes; the found table as it was
/// before the step comes back when the step's write fails.
struct Plan {
  Undelete* u;
  CachedDrive* d;
  std::uint32_t ss;
  std::vector<RepairWrite> writes;
  std::vector<Table> before;

  /// Composes the table sector at @p T from the found table: every entry of T that is in place
  /// (status 1) and @p include, without @p exclude; the entries written take status 1. The boot
  /// program and disk signature of a sector that is a table now stay (a disk keeps booting and
  /// keeps its identity); anything else starts from zeros.
  Sector build(std::uint64_t T, int include, int exclude, const Sector& old) {
    Sector s{};
    if (Mbr_HasSignature(old)) std::copy_n(old.begin(), 446, s.begin());
    MbrSector m;
    std::memcpy(&m, s.data(), sizeof m);
    std::memset(m.entries, 0, sizeof m.entries);
    m.signature[0] = 0x55;
    m.signature[1] = 0xAA;
    FoundPartition* t = u->foundPartitions;
    unsigned slot = 0;
    for (unsigned i = 0; i < Part_FirstEmpty(t); ++i) {
      if (static_cast<int>(i) == exclude) continue;
      FoundPartition& p = t[i];
      if (static_cast<int>(i) != include && !(p.tableOffset.get() == T && foundStatus(p) == 1))
        continue;
      if (slot == 4) continue;  // four entries per table; the rest stay as they are
      Repair_PutEntry(m.entries[slot++], static_cast<std::uint8_t>(p.flags & 0x80u), p.type,
                      p.relStart.get() / ss, p.length.get() / ss);
      Part_SetStatus(p, kPartExisting);
    }
    std::memcpy(s.data(), &m, sizeof m);
    return s;
  }

  /// BuildTable and ApplyTable of one table sector; false when its old content cannot be read.
  bool step(std::uint64_t T, int include, int exclude, const Table& was) {
    const auto old = Repair_Read(d, T, kSectorBytes);
    if (!old) return false;
    Sector oldSector{};
    std::copy(old->begin(), old->end(), oldSector.begin());
    const Sector s = build(T, include, exclude, oldSector);
    // A table that already says all this (an intact EBR the scan walked, only unlinked) is not
    // rewritten: fewer sectors change, and its own CHS values stay.
    if (sameEntries(oldSector, s)) return true;
    RepairWrite w;
    w.offset = T;
    w.before = *old;
    w.after.assign(s.begin(), s.end());
    w.saved = kSectorBytes;
    writes.push_back(std::move(w));
    before.push_back(was);
    return true;
  }
};

std::optional<unsigned> firstWhere(const Undelete* u, auto pred) {
  const FoundPartition* t = u->foundPartitions;
  for (unsigned i = 0; i < Part_FirstEmpty(t); ++i)
    if (pred(t[i])) return i;
  return std::nullopt;
}

/// A logical volume found in the gap behind an EBR that already describes a volume in place:
/// one EBR holds one volume, so it gets an EBR of its own in the free sector where the volume
/// before it ends, linked from the EBR before it and linking on to where that one linked. False
/// when there is no such case or no room (the table then takes the volume as a second entry).
bool ownEbr(Plan& plan, unsigned index, std::uint64_t X, const auto& fail) {
  Undelete* u = plan.u;
  FoundPartition* t = u->foundPartitions;
  FoundPartition& F = t[index];
  const std::uint64_t T = F.tableOffset.get(), fStart = F.start.get();
  const unsigned used = Part_FirstEmpty(t);
  bool shared = false;
  std::uint64_t E = T + plan.ss;
  for (unsigned i = 0; i < used; ++i) {
    const FoundPartition& p = t[i];
    if (i == index || isLink(p.type) || foundStatus(p) != kPartExisting) continue;
    if (p.tableOffset.get() == T) shared = true;
    const std::uint64_t end = p.start.get() + p.length.get();
    if (p.start.get() < fStart && end <= fStart) E = std::max(E, end);
    if (p.start.get() < fStart && end > fStart) return false;  // overlaps: not ours to place
  }
  if (!shared || used >= kMaxFoundPartitions || E >= fStart || E < X) return false;
  // The EBR that comes before E in the chain, and its onward link.
  std::uint64_t pred = T;
  for (unsigned i = 0; i < used; ++i)
    if (isLink(t[i].type) && foundStatus(t[i]) == kPartExisting && t[i].start.get() > pred &&
        t[i].start.get() < E && t[i].tableOffset.get() != 0)
      pred = t[i].start.get();
  const auto ki = firstWhere(u, [&](const FoundPartition& p) {
    return isLink(p.type) && p.tableOffset.get() == pred && foundStatus(p) == kPartExisting;
  });
  // The volume's own EBR may still be there, only unlinked: it is linked again as it stands, and
  // the chain behind it comes back with it.
  // Partitioners put it where the volume before ends or in the sector right before the volume.
  bool reuse = false;
  for (const std::uint64_t at : {E, fStart - plan.ss}) {
    if (ki || reuse || at < E) break;
    if (const auto sector = Repair_Read(plan.d, at, kSectorBytes)) {
      MbrTable old;
      if (Mbr_HasSignature(*sector) && Mbr_ParseSector(*sector, old) == Parse::Ok)
        for (const MbrEntry& e : old.entries)
          if (e.type != 0 && !isLink(e.type) &&
              at + std::uint64_t{e.startLba.get()} * plan.ss == fStart) {
            reuse = true;
            E = at;
          }
    }
  }
  Table was = snapshot(u);
  FoundPartition& link = t[used];
  link = FoundPartition{};
  link.type = link.origType = 0x05;
  link.tableOffset.set(pred);
  link.start.set(E);
  link.relStart.set(E - X);
  link.length.set(fStart + F.length.get() - E);
  F.tableOffset.set(E);
  F.relStart.set(fStart - E);
  Part_SetStatus(F, kPartExisting);
  if (ki) t[*ki].tableOffset.set(E);
  if (!reuse) {
    Undelete_Log(u, "Creating and applying new EBR at %llx", static_cast<unsigned long long>(E));
    if (!plan.step(E, -1, -1, was)) {
      restore(u, was);
      fail(E);
      return true;
    }
  }
  Table linked = snapshot(u);
  Part_SetStatus(link, kPartExisting);
  Undelete_Log(u, "Creating and applying new EBR at %llx", static_cast<unsigned long long>(pred));
  if (!plan.step(pred, -1, -1, linked)) {
    restore(u, was);
    if (!reuse) {
      plan.writes.pop_back();
      plan.before.pop_back();
    }
    fail(pred);
  }
  return true;
}

void planBasic(Plan& plan, unsigned index) {
  Undelete* u = plan.u;
  FoundPartition* t = u->foundPartitions;
  FoundPartition& F = t[index];
  const auto fail = [&](std::uint64_t at) {
    Undelete_Log(u, "Failed to create or apply new MBR at %llx",
                 static_cast<unsigned long long>(at));
  };
  if (foundStatus(F) == kPartExisting) {
    // In place already; only a hidden type the scan corrected makes its table worth rewriting.
    if (F.type == F.origType || isLink(F.type)) return;
    const std::uint64_t T = F.tableOffset.get();
    Undelete_Log(u, "Creating and applying new MBR at %llx", static_cast<unsigned long long>(T));
    if (!plan.step(T, static_cast<int>(index), -1, snapshot(u))) fail(T);
    return;
  }
  if (F.tableOffset.get() == 0) {
    Undelete_Log(u, "Creating and applying new MBR at 0");
    if (!plan.step(0, static_cast<int>(index), -1, snapshot(u))) fail(0);
    return;
  }
  const auto li =
      firstWhere(u, [&](const FoundPartition& p) { return p.start.get() == F.tableOffset.get(); });
  if (!li) return;
  FoundPartition& L = t[*li];
  const std::uint64_t lStart = L.start.get();
  // Start of the outermost extended partition, which links in EBRs count from.
  const std::uint64_t outer = L.tableOffset.get() == 0 ? lStart : lStart - L.relStart.get();
  if (foundStatus(L) == kPartExisting && ownEbr(plan, index, outer, fail)) return;
  if (L.tableOffset.get() == 0) {
    Table was = snapshot(u);
    Part_SetStatus(F, kPartExisting);
    // An EBR the scan walked keeps its onward link: rebuilt without it, the logicals behind it
    // would be cut off by the repair of the first one.
    if (const auto ni = firstWhere(u, [&](const FoundPartition& p) {
          return isLink(p.type) && p.tableOffset.get() == lStart && foundStatus(p) == kPartFound;
        }))
      Part_SetStatus(t[*ni], kPartExisting);
    Undelete_Log(u, "Creating and applying new EBR at %llx",
                 static_cast<unsigned long long>(lStart));
    if (!plan.step(lStart, static_cast<int>(index), -1, was)) {
      restore(u, was);
      fail(lStart);
      return;
    }
    if (foundStatus(L) != kPartExisting) {
      was = snapshot(u);
      Part_SetStatus(L, kPartExisting);
      Undelete_Log(u, "Creating and applying new MBR at 0");
      if (!plan.step(0, -1, -1, was)) restore(u, was);
    }
    return;
  }
  // L's EBR hangs in the chain: the table before it (P) is made to link to L, and L takes over
  // P's onward link (K). P is the EBR in place nearest before L, so that the chain keeps disk
  // order (linking the outermost table to L would put L's volume ahead of those between them
  // and renumber them); the outermost table when no EBR in place lies between.
  const std::uint64_t X = lStart - L.relStart.get();
  std::optional<unsigned> pi;
  for (unsigned i = 0; i < Part_FirstEmpty(t); ++i) {
    const FoundPartition& p = t[i];
    if (isLink(p.type) && foundStatus(p) == kPartExisting && p.start.get() >= X &&
        p.start.get() < lStart && (!pi || p.start.get() > t[*pi].start.get()))
      pi = i;
  }
  if (!pi) pi = firstWhere(u, [&](const FoundPartition& p) { return p.start.get() == X; });
  if (!pi) return;
  FoundPartition& P = t[*pi];
  const std::uint64_t pStart = P.start.get();
  const auto ki = firstWhere(u, [&](const FoundPartition& p) {
    return isLink(p.type) && p.tableOffset.get() == pStart && foundStatus(p) == kPartExisting &&
           p.start.get() != lStart;
  });
  const auto ni = firstWhere(
      u, [&](const FoundPartition& p) { return isLink(p.type) && p.tableOffset.get() == lStart; });
  const int K = ki ? static_cast<int>(*ki) : -1, N = ni ? static_cast<int>(*ni) : -1;
  Table was = snapshot(u);
  Part_SetStatus(F, kPartExisting);
  Undelete_Log(u, "Creating and applying new EBR at %llx", static_cast<unsigned long long>(lStart));
  // L takes over P's onward link; when P had none (the chain was cut right after P), L keeps its
  // own, so that the rest of the chain comes back with it instead of being cut off.
  const bool stepOk = K >= 0 ? plan.step(lStart, K, N, was) : plan.step(lStart, N, -1, was);
  if (!stepOk) {
    restore(u, was);
    fail(lStart);
    return;
  }
  was = snapshot(u);
  Part_SetStatus(L, kPartExisting);
  Undelete_Log(u, "Creating and applying new EBR at %llx", static_cast<unsigned long long>(pStart));
  if (!plan.step(pStart, static_cast<int>(*li), K, was)) {
    restore(u, was);
    return;
  }
  if (foundStatus(P) != kPartExisting) {
    was = snapshot(u);
    Part_SetStatus(P, kPartExisting);
    Undelete_Log(u, "Creating and applying new MBR at 0");
    if (!plan.step(0, -1, -1, was)) restore(u, was);
  }
}

/// Writes a plan; the statuses of the steps that were not written go back.
void commitPlan(Plan& plan, const Table& initial) {
  std::string name;
  const bool ok = Repair_Commit(plan.u, plan.d, plan.writes, BackupKind::Mbr, plan.ss, name);
  if (Repair_DryRun()) {
    restore(plan.u, initial);
  } else if (!ok) {
    const auto firstUnwritten = std::find_if(plan.writes.begin(), plan.writes.end(),
                                             [](const RepairWrite& w) { return !w.written; });
    if (firstUnwritten != plan.writes.end())
      restore(plan.u, plan.before[static_cast<std::size_t>(firstUnwritten - plan.writes.begin())]);
    Undelete_Log(plan.u, "Failed to create or apply new MBR at %llx",
                 static_cast<unsigned long long>(
                     firstUnwritten != plan.writes.end() ? firstUnwritten->offset : 0));
  }
  if (!name.empty()) Undelete_Report(plan.u, "\tSaving sector backup.\n");
}

}  // namespace

/// CHS of a starting LBA on the 255-head, 63-sector grid; past cylinder 0 the all-ones marker.
static void putChs(std::uint8_t* chs, std::uint64_t lba) {
  const std::uint64_t sector = lba % 63 + 1, head = (lba / 63) % 255, cyl = lba / 63 / 255;
  chs[0] = static_cast<std::uint8_t>(head);
  chs[1] = static_cast<std::uint8_t>(sector | (cyl > 0 ? 0xC0u : 0u));
  chs[2] = static_cast<std::uint8_t>(cyl > 0 ? 0xFFu : 0u);
}

void Repair_PutEntry(MbrEntry& e, std::uint8_t boot, std::uint8_t type, std::uint64_t lba,
                     std::uint64_t count) {
  e.bootIndicator = boot;
  putChs(e.chsFirst, lba);
  e.type = type;
  e.chsLast[0] = 0xFE;
  e.chsLast[1] = 0xFF;
  e.chsLast[2] = 0xFF;
  e.startLba.set(static_cast<std::uint32_t>(lba));
  e.sectorCount.set(static_cast<std::uint32_t>(count));
}

CachedDrive* Repair_OpenScanned(Undelete* u) {
  const std::uint32_t drive = diskState(u) & kStateDriveMask;
  if (drive == kStateDriveMask) {
    Undelete_Report(u, "\tPhysical disk index error.\n");
    return nullptr;
  }
  CachedDrive* d = nullptr;
  if (!CachedDrive_Create(&d)) {
    Undelete_Report(u, "\tUnable to create drive.\n");
    return nullptr;
  }
  if (!CachedDrive_OpenPhysical(!Repair_DryRun(), d, drive)) {
    Undelete_Report(u, "\tUnable to open drive.\n");
    CachedDrive_Destroy(d);
    return nullptr;
  }
  return d;
}

namespace {

int fixMbr(Undelete* u, unsigned index) {
  Repair_Begin();
  Undelete_Report(u, "Fixing MBR.\n");
  CachedDrive* d = Repair_OpenScanned(u);
  if (d == nullptr) return 1;
  std::uint64_t size = 0;
  (void)CachedDrive_GetSize(d, &size);
  Plan plan{u, d, Part_TableSectorSize(d, size), {}, {}};
  const Table initial = snapshot(u);
  if (index < kMaxFoundPartitions && u->foundPartitions[index].type != 0) {
    if ((diskState(u) & kStateDynamic) != 0)
      Ldm_Repair(u, d, index, plan.ss);
    else
      planBasic(plan, index);
  }
  if (!plan.writes.empty()) commitPlan(plan, initial);
  Repair_CloseDrive(d);
  Undelete_Report(u, "\tMBR fix complete.\n");
  return 1;
}

int canMakeActive(Undelete* u, unsigned index) {
  FoundPartition p{};
  if (Undelete_GetPartitionDesc(u, index, &p) != 1) return 0;
  const std::uint8_t status = foundStatus(p);
  if (status != kPartExisting && status != kPartMissing) return 0;
  if (p.tableOffset.get() != 0) return 0;
  if (p.type == 0x05 || p.type == 0x0F || p.type == 0xFF || p.type == 0xFD) return 0;
  return p.type == p.origType ? 1 : 0;
}

int makeActive(Undelete* u, unsigned index) {
  Repair_Begin();
  if (canMakeActive(u, index) != 1) return 0;
  const FoundPartition chosen = u->foundPartitions[index];
  CachedDrive* d = Repair_OpenScanned(u);
  if (d == nullptr) return 0;
  std::uint64_t size = 0;
  (void)CachedDrive_GetSize(d, &size);
  const std::uint32_t ss = Part_TableSectorSize(d, size);
  const auto old = Repair_Read(d, 0, kSectorBytes);
  if (!old) {
    Repair_CloseDrive(d);
    return 0;
  }
  MbrSector m;
  std::memcpy(&m, old->data(), sizeof m);
  bool matched = false, wasActive = false;
  for (MbrEntry& e : m.entries) {
    const bool active = e.bootIndicator != 0;
    e.bootIndicator = 0;
    if (std::uint64_t{e.startLba.get()} * ss == chosen.start.get() &&
        std::uint64_t{e.sectorCount.get()} * ss == chosen.length.get()) {
      matched = true;
      wasActive = active;
      // Making the active partition active again leaves none active (a toggle).
      if (!active) e.bootIndicator = 0x80;
    }
  }
  if (!matched) {
    Undelete_Log(u, "No matching partition found.");
    Repair_CloseDrive(d);
    return 0;
  }
  std::vector<RepairWrite> writes(1);
  writes[0].offset = 0;
  writes[0].before = *old;
  writes[0].after.resize(kSectorBytes);
  std::memcpy(writes[0].after.data(), &m, sizeof m);
  writes[0].saved = kSectorBytes;
  std::string name;
  const bool ok = Repair_Commit(u, d, writes, BackupKind::None, ss, name);
  Repair_CloseDrive(d);
  if (!ok) {
    Undelete_Log(u, "Failed to write MBR with new active partition.");
    return 0;
  }
  if (Repair_DryRun()) return 1;
  for (FoundPartition& p : u->foundPartitions) {
    if (p.type == 0 || p.tableOffset.get() != 0) continue;
    p.flags = static_cast<std::uint8_t>(p.flags & ~0x80u);
  }
  if (!wasActive)
    u->foundPartitions[index].flags =
        static_cast<std::uint8_t>(u->foundPartitions[index].flags | 0x80u);
  return 1;
}

constexpr std::size_t kStoreLimit = 64u << 20;

/// The disk signature a boot store on one of the disk's volumes names, 0 when none does. The
/// store names the disk its loader lives on; a new MBR keeps that number so the store still
/// finds it. A mounted volume's store is read through its mount point; the disk is written only
/// with every volume unmounted, so then the volumes are read directly.
std::uint32_t bcdSignature(Undelete* u, int drive) {
  for (unsigned i = 0; i < u->partitionCount && i < kMaxPartitions; ++i) {
    const PartitionRecord& r = u->partitions[i];
    if (r.drive != drive || r.letter < 'A' || r.letter > 'Z') continue;
    const std::string path = Host_ResolveDrivePath(std::string(1, r.letter) + ":\\Boot\\BCD");
    if (path.empty()) continue;
    const int fd = Host_OpenRegularFile(path.c_str());
    if (fd < 0) continue;
    std::vector<std::uint8_t> data;
    std::uint8_t buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && data.size() < kStoreLimit)
      data.insert(data.end(), buf, buf + n);
    ::close(fd);
    if (const std::uint32_t sig = Repair_StoreSignature(data); sig != 0) return sig;
  }
  std::uint32_t sig = 0;
  (void)Repair_ForEachBootStore(u, drive, kStoreLimit, [&](const std::vector<std::uint8_t>& data) {
    sig = Repair_StoreSignature(data);
    return sig != 0;
  });
  return sig;  // no registry on this platform
}

int fixBootCode(Undelete* u, int drive) {
  Repair_Begin();
  if (drive < 0) return 0;
  CachedDrive* d = Repair_OpenDrive(static_cast<std::uint32_t>(drive), true);
  if (d == nullptr) return 0;
  const std::uint32_t chosen = bcdSignature(u, drive);
  const auto old = Repair_Read(d, 0, kSectorBytes);
  if (!old) {
    Repair_CloseDrive(d);
    return 0;
  }
  std::vector<RepairWrite> writes(1);
  RepairWrite& w = writes[0];
  w.before = *old;
  w.after = *old;
  std::copy(kMbrBootCode.begin(), kMbrBootCode.end(), w.after.begin());
  // Without a boot store's number the disk keeps its own: systems find their disks by it.
  std::copy_n(old->begin() + 0x1B8, 4, w.after.begin() + 0x1B8);
  if (chosen != 0)
    for (unsigned b = 0; b < 4; ++b)
      w.after[0x1B8 + b] = static_cast<std::uint8_t>(chosen >> (8 * b));
  w.after[510] = 0x55;
  w.after[511] = 0xAA;
  w.saved = kSectorBytes;
  Undelete_Log(u, "Writing new MBR at offset 0.\n");
  std::string name;
  if (!Repair_Commit(u, d, writes, BackupKind::Mbr, kSectorBytes, name))
    Undelete_Log(u, "Failed to write new MBR, error code = %d.\n",
                 static_cast<int>(Host_GetLastError()));
  Repair_CloseDrive(d);
  return 1;
}

}  // namespace

extern "C" {

int Undelete_FixMBR(Undelete* u, unsigned index) noexcept {
  if (u == nullptr) return 0;
  try {
    return fixMbr(u, index);
  } catch (...) {
    u->error = kErrMemory;
    return 1;
  }
}

int Undelete_CanMakeActive(Undelete* u, unsigned index) noexcept {
  return u == nullptr ? 0 : canMakeActive(u, index);
}

int Undelete_MakeActive(Undelete* u, unsigned index) noexcept {
  if (u == nullptr) return 0;
  try {
    return makeActive(u, index);
  } catch (...) {
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_FixMBRBootCode(Undelete* u, int drive) noexcept {
  if (u == nullptr) return 0;
  try {
    return fixBootCode(u, drive);
  } catch (...) {
    u->error = kErrMemory;
    return 0;
  }
}

}  // extern "C"
