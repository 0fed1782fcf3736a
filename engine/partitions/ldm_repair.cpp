// Dynamic-disk repair: the MBR that marks the disk as dynamic, written back when the scan found it
// damaged, and a volume the scan found that the database no longer lists, put back as its volume,
// component and partition records with the VMDB counting them.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/ldm_records.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"

namespace {

constexpr std::uint64_t kMaxDatabaseBytes = 8u << 20;  // a database is about 1 MiB
constexpr std::uint32_t kReadChunk = 64u << 10;

enum class Target : std::uint8_t { Mbr, Vblk, Vmdb };

std::uint32_t diskState(const Undelete* u) {
  return std::atomic_ref<const std::uint32_t>(u->partitionFlags).load();
}

/// The MBR for the database's data area: one entry of type 0x42; boot program and disk
/// signature stay.
void planMbr(Undelete* u, CachedDrive* d, std::vector<RepairWrite>& writes,
             std::vector<Target>& targets) {
  const auto old = Repair_Read(d, 0, kSectorBytes);
  if (!old) return;
  MbrSector m;
  std::memcpy(&m, old->data(), sizeof m);
  std::memset(m.entries, 0, sizeof m.entries);
  Repair_PutEntry(m.entries[0], 0, 0x42, u->ldmDataStart, u->ldmDataSize);
  m.signature[0] = 0x55;
  m.signature[1] = 0xAA;
  RepairWrite w;
  w.before = *old;
  w.after.resize(kSectorBytes);
  std::memcpy(w.after.data(), &m, sizeof m);
  w.saved = kSectorBytes;
  Undelete_Log(u, "Writing new MBR at offset 0.\n");
  writes.push_back(std::move(w));
  targets.push_back(Target::Mbr);
}

/// The disk record of the scanned disk: the one with the GUID its private header names, else the
/// one named "Disk1" (the first disk of the group). Matching the name by its fifth character
/// alone would take "Disk10" as well and put the volume on another disk.
const LdmDiskRecord* diskRecord(const LdmDatabase& db, CachedDrive* d) {
  if (const auto sector = Repair_Read(d, 6ull * kSectorBytes, kSectorBytes)) {
    LdmPrivheadInfo ph;
    if (Ldm_ParsePrivhead(*sector, ph) == Parse::Ok && ph.hasDiskGuid) {
      for (const LdmDiskRecord& r : db.disks)
        if (r.hasGuid && r.guid == ph.diskGuid) return &r;
    }
  }
  for (const LdmDiskRecord& r : db.disks)
    if (r.name == "Disk1") return &r;
  return nullptr;
}

/// Adds the records of found entry @p index to the database; false when it is not added.
bool planRecords(Undelete* u, CachedDrive* d, unsigned index, std::uint32_t ss,
                 std::vector<RepairWrite>& writes, std::vector<Target>& targets) {
  FoundPartition& F = u->foundPartitions[index];
  if (foundStatus(F) != kPartFound) return false;  // only what the scan found and nothing lists
  // The data area comes from an MBR disk's private header; a GPT disk's database is not ours here.
  if ((diskState(u) & kStateGpt) != 0 || u->ldmDataStart == 0) return false;
  const std::uint64_t vmdbAt = u->ldmDatabaseOffset;
  const auto vmdbSector =
      vmdbAt % kSectorBytes == 0 ? Repair_Read(d, vmdbAt, kSectorBytes) : std::nullopt;
  LdmVmdbInfo vmdb;
  if (!vmdbSector || Ldm_ParseVmdb(*vmdbSector, vmdb) != Parse::Ok) {
    Undelete_Log(u, "No VMDB at offset %llu; the database is left as it is.\n",
                 static_cast<unsigned long long>(vmdbAt));
    return false;
  }
  const std::uint32_t firstSeq = vmdb.firstVblkOffset / vmdb.vblkSize;
  const std::uint64_t blocks =
      std::min<std::uint64_t>({vmdb.lastSequence > firstSeq ? vmdb.lastSequence - firstSeq : 0,
                               kLdmMaxBlocks, kMaxDatabaseBytes / vmdb.vblkSize});
  std::vector<std::uint8_t> bytes;  // from the VMDB's sector to the end of the last VBLK
  const std::uint64_t wanted = vmdb.firstVblkOffset + blocks * vmdb.vblkSize;
  while (bytes.size() < wanted) {
    const std::uint64_t left = wanted - bytes.size();
    const std::uint32_t n =
        static_cast<std::uint32_t>((std::min<std::uint64_t>(left, kReadChunk) + kSectorBytes - 1) /
                                   kSectorBytes * kSectorBytes);
    const auto chunk = Repair_Read(d, vmdbAt + bytes.size(), n);
    if (!chunk) break;  // the end of the disk: the blocks before it are what there is
    bytes.insert(bytes.end(), chunk->begin(), chunk->end());
  }
  if (bytes.size() <= vmdb.firstVblkOffset) return false;
  const std::vector<std::uint8_t> before = bytes;
  const std::span<std::uint8_t> area = std::span<std::uint8_t>(bytes).subspan(vmdb.firstVblkOffset);

  LdmDatabase found;
  Ldm_ReadDatabase(area, vmdb.vblkSize, found);
  const LdmDiskRecord* disk = diskRecord(found, d);
  const std::uint64_t start = F.start.get() / ss, size = F.length.get() / ss;
  const bool inData =
      start >= u->ldmDataStart && F.start.get() % ss == 0 &&
      (u->ldmDataSize == 0xFFFFFFFFu || start - u->ldmDataStart + size <= u->ldmDataSize);
  if (disk == nullptr || !inData || size == 0) {
    Undelete_Log(u, "The database has no place for the partition at offset %llu.\n",
                 static_cast<unsigned long long>(F.start.get()));
    return false;
  }
  LdmNewVolume v;
  v.startSector = start - u->ldmDataStart;
  v.sizeSectors = size;
  v.disk = disk;
  ByteReader r(*vmdbSector);
  v.commitId = r.read<LdmVmdb>()->committedSequence.get();  // read above: a whole sector
  Part_NewGuid(v.volumeGuid.data());
  v.volumeGuid[6] = static_cast<std::uint8_t>((v.volumeGuid[6] & 0x0F) | 0x40);  // stored in order
  LdmAdded added;
  if (!Ldm_AddVolume(area, vmdb.vblkSize, found, v, added) ||
      !Ldm_CountNewVolume(std::span<std::uint8_t>(bytes).first(kSectorBytes))) {
    Undelete_Log(u, "No room in the database for a new volume.\n");
    return false;
  }
  Undelete_Log(u, "Adding %s (%s) to the database.\n", added.volumeName.c_str(),
               added.partitionName.c_str());
  // One write per changed sector, VBLKs first: the VMDB counts them only once they are there.
  for (std::size_t at = kSectorBytes; at + kSectorBytes <= bytes.size(); at += kSectorBytes) {
    if (std::equal(before.begin() + static_cast<std::ptrdiff_t>(at),
                   before.begin() + static_cast<std::ptrdiff_t>(at + kSectorBytes),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at)))
      continue;
    RepairWrite w;
    w.offset = vmdbAt + at;
    w.before.assign(before.begin() + static_cast<std::ptrdiff_t>(at),
                    before.begin() + static_cast<std::ptrdiff_t>(at + kSectorBytes));
    w.after.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + kSectorBytes));
    w.saved = kSectorBytes;
    writes.push_back(std::move(w));
    targets.push_back(Target::Vblk);
  }
  RepairWrite w;
  w.offset = vmdbAt;
  w.before.assign(before.begin(), before.begin() + kSectorBytes);
  w.after.assign(bytes.begin(), bytes.begin() + kSectorBytes);
  w.saved = kSectorBytes;
  writes.push_back(std::move(w));
  targets.push_back(Target::Vmdb);
  return true;
}

}  // namespace

void Ldm_Repair(Undelete* u, CachedDrive* d, unsigned index, std::uint32_t ss) {
  std::vector<RepairWrite> writes;
  std::vector<Target> targets;
  if ((diskState(u) & kStateFixProtective) != 0) planMbr(u, d, writes, targets);
  const bool records = planRecords(u, d, index, ss, writes, targets);
  if (writes.empty()) return;
  std::string name;
  const bool ok = Repair_Commit(u, d, writes, BackupKind::Mbr, ss, name);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (ok || writes[i].written || Repair_DryRun()) continue;
    static constexpr const char* kFailed[] = {"Failed to write new MBR.\n",
                                              "Unable to update VBLK structure.\n",
                                              "Unable to update VMDB structure.\n"};
    Undelete_Log(u, "%s", kFailed[static_cast<int>(targets[i])]);
    break;
  }
  if (ok && records && !Repair_DryRun()) {
    FoundPartition& F = u->foundPartitions[index];
    Part_SetStatus(F, kPartExisting);
    F.origType = 0;
  }
  if (!name.empty()) Undelete_Report(u, "\tSaving sector backup.\n");
}
