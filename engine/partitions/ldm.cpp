// Dynamic-disk discovery: the PRIVHEAD of an MBR dynamic disk, the database's partition records,
// and the rebuilding of the three GPT entries of a dynamic GPT disk whose GPT header is lost.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/checked.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"

namespace {

constexpr std::uint32_t kMaxVblks = 0x10000;  // far more than any disk group holds

void setState(PartScan& s, std::uint32_t bits) {
  std::atomic_ref<std::uint32_t>(s.u->partitionFlags).fetch_or(bits);
}

void addLdmPartition(PartScan& s, const LdmVblk& v, std::uint64_t data) {
  FoundPartition* t = Part_Found(s);
  const auto rel = checkedMul<std::uint64_t>(v.start, s.sectorSize);
  const auto length = checkedMul<std::uint64_t>(v.size, s.sectorSize);
  const auto start = rel ? checkedAdd<std::uint64_t>(*rel, data) : std::nullopt;
  if (!start || !length) return;
  for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i) {
    // Another copy of the database already gave this volume part.
    if (t[i].origType == 0xFD && t[i].start.get() == *start) {
      Part_SetCopies(t[i], foundCopies(t[i]) + 1u);
      return;
    }
  }
  const auto idx = Part_AddFound(s, 0xFD, kPartMissing, 0, *start, *length, 0);
  if (!idx) return;
  FoundPartition& p = t[*idx];
  Part_SetName(p, v.name);
  Part_SetCopies(p, 2);
  std::copy(kGuidBasicData.begin(), kGuidBasicData.end(), p.typeGuid);
  Part_NewGuid(p.uniqueGuid);
  Sector sec{};
  if (Part_ReadSector(s, *start, sec)) {
    if (const auto boot = Partition_ClassifyBootSector(sec)) {
      p.type = boot->kind;
      Part_SetStatus(p, kPartExisting);
      Undelete_Log(s.u, "Found partition, offset = %llu, size = %llu\n",
                   static_cast<unsigned long long>(*start),
                   static_cast<unsigned long long>(*length));
    }
  }
}

/// Boot sectors before each found entry and after the last one.
void searchLdmGaps(PartScan& s) {
  FoundPartition* t = Part_Found(s);
  Part_SortFound(t);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> areas;
  for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i)
    areas.emplace_back(t[i].start.get(), t[i].start.get() + t[i].length.get());
  std::sort(areas.begin(), areas.end());
  areas.emplace_back(s.diskSize, s.diskSize);
  std::uint64_t pos = 0x4000;
  Sector sec{};
  for (const auto& [start, end] : areas) {
    while (pos < start && !Part_Cancelled(s)) {
      if (!Part_ScanForBootSignature(s, pos, start, sec)) break;
      const auto boot = sec[0] == 0xEB ? Partition_ClassifyBootSector(sec) : std::nullopt;
      if (!boot || boot->size > start - pos) {
        pos += kSectorBytes;
        continue;
      }
      Undelete_Log(s.u, "Found partition, offset = %llu, size = %llu\n",
                   static_cast<unsigned long long>(pos),
                   static_cast<unsigned long long>(boot->size));
      if (!Part_AddFound(s, boot->kind, kPartFound, 0, pos, boot->size, 0)) return;
      pos += boot->size;
    }
    if (Part_Cancelled(s)) return;
    pos = std::max(pos, end);
  }
}

}  // namespace

bool Part_ReadLdmDatabase(PartScan& s, std::uint64_t config, std::uint64_t data,
                          const Guid* diskGuid) {
  Sector sec{};
  LdmTocInfo toc;
  // The table of contents is kept twice at the front of the configuration area.
  const bool tocOk =
      (Part_ReadSector(s, config + 1024, sec) && Ldm_ParseTocBlock(sec, toc) == Parse::Ok) ||
      (Part_ReadSector(s, config + 512, sec) && Ldm_ParseTocBlock(sec, toc) == Parse::Ok);
  if (!tocOk) return false;
  const auto vmdbRel = checkedMul<std::uint64_t>(toc.bitmap1Start, s.sectorSize);
  const auto vmdbAt = vmdbRel ? checkedAdd<std::uint64_t>(config, *vmdbRel) : std::nullopt;
  if (!vmdbAt) return false;
  setState(s, kStateDynamic);
  s.u->ldmDatabaseOffset = *vmdbAt;
  LdmVmdbInfo vmdb;
  if (!Part_ReadSector(s, *vmdbAt, sec) || Ldm_ParseVmdb(sec, vmdb) != Parse::Ok) return false;

  const std::uint32_t count =
      std::min(vmdb.lastSequence > 4 ? vmdb.lastSequence - 4 : 0, kMaxVblks);
  std::vector<LdmVblk> partitions, disks;
  std::vector<std::uint8_t> block(vmdb.vblkSize);
  std::uint64_t at = *vmdbAt + vmdb.firstVblkOffset;
  for (std::uint32_t i = 0; i < count && !Part_Cancelled(s); ++i, at += vmdb.vblkSize) {
    if (!Part_Read(s, at, block.data(), vmdb.vblkSize)) break;
    LdmVblk v;
    if (Ldm_ParseVblk(block, v) != Parse::Ok) continue;
    (v.kind == LdmVblk::Kind::Partition ? partitions : disks).push_back(v);
  }
  // This disk's partitions: those on the disk record whose GUID is the PRIVHEAD's. Without that
  // match, the partitions of the group's first disk ("Disk1-..") are taken.
  std::optional<std::uint64_t> thisDisk;
  if (diskGuid != nullptr)
    for (const LdmVblk& d : disks)
      if (d.hasDiskGuid && d.diskGuid == *diskGuid) thisDisk = d.objectId;
  for (const LdmVblk& p : partitions) {
    const bool mine = thisDisk ? p.diskId == *thisDisk : p.name[4] == '1';
    if (mine) addLdmPartition(s, p, data);
  }
  return true;
}

int Part_DiscoverLdm(PartScan& s, const MbrTable& mbr) {
  Sector sec{};
  LdmPrivheadInfo ph;
  if (!Part_ReadSector(s, 6ull * s.sectorSize, sec) || Ldm_ParsePrivhead(sec, ph) != Parse::Ok)
    return 0;
  const auto config = checkedMul<std::uint64_t>(ph.configStart, s.sectorSize);
  const auto data = checkedMul<std::uint64_t>(ph.logicalDiskStart, s.sectorSize);
  if (!config || !data ||
      !Part_ReadLdmDatabase(s, *config, *data, ph.hasDiskGuid ? &ph.diskGuid : nullptr))
    return 0;
  s.u->ldmDataStart = static_cast<std::uint32_t>(ph.logicalDiskStart);
  s.u->ldmDataSize =
      ph.logicalDiskSize >> 32 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ph.logicalDiskSize);
  const MbrEntry& e = mbr.entries[0];
  const bool mbrOk = mbr.signature && e.type == 0x42 && ph.logicalDiskStart >> 32 == 0 &&
                     ph.logicalDiskSize >> 32 == 0 && e.startLba.get() == ph.logicalDiskStart &&
                     e.sectorCount.get() >= ph.logicalDiskSize && mbr.entries[1].type == 0 &&
                     mbr.entries[2].type == 0 && mbr.entries[3].type == 0;
  if (!mbrOk) setState(s, kStateFixProtective);
  searchLdmGaps(s);
  Part_SortFound(Part_Found(s));
  return 1;
}

bool Part_RecoverLdmOnGpt(PartScan& s) {
  const std::uint32_t ss = s.sectorSize;
  Sector sec{};
  LdmTocInfo toc;
  if (!Part_ReadSector(s, 0x4800, sec) || Ldm_ParseTocBlock(sec, toc) != Parse::Ok) return false;
  const auto last = checkedAdd<std::uint64_t>(toc.bitmap2Start, toc.bitmap2Size);
  const auto b = last && *last > 0 ? checkedMul<std::uint64_t>(*last - 1, ss) : std::nullopt;
  if (!b) return false;
  std::optional<std::uint64_t> v;
  LdmPrivheadInfo ph;
  for (std::uint64_t at = 0x4400 + *b; at < 0x2D200 + *b && !Part_Cancelled(s); at += ss) {
    Sector next{};
    if (!Part_ReadSector(s, at, sec)) break;
    if (std::memcmp(sec.data(), "TOCBLOCK", 8) == 0 && Part_ReadSector(s, at + 2ull * ss, next) &&
        Ldm_ParsePrivhead(next, ph) == Parse::Ok) {
      v = at;
      break;
    }
  }
  if (!v) return false;
  const auto dataStart = checkedMul<std::uint64_t>(ph.logicalDiskStart, ss);
  const auto dataLength = checkedMul<std::uint64_t>(ph.logicalDiskSize, ss);
  if (!dataStart || !dataLength || *dataStart < *v + 1024 + ss) return false;
  Part_ClearFound(s);
  struct Rebuilt {
    const Guid* type;
    const char* name;
    std::uint64_t start, length;
  };
  const Rebuilt entries[3] = {
      {&kGuidLdmMetadata, "LDM metadata partition", 0x4400, *v + ss - 0x4400},
      {&kGuidMsReserved, "Microsoft reserved partition", *v + 1024, *dataStart - ss - (*v + 1024)},
      {&kGuidLdmData, "LDM data partition", *dataStart, *dataLength}};
  for (const Rebuilt& r : entries) {
    const auto idx = Part_AddFound(s, 0xFF, kPartFound, 0, r.start, r.length, 0);
    if (!idx) return false;
    FoundPartition& p = Part_Found(s)[*idx];
    std::copy(r.type->begin(), r.type->end(), p.typeGuid);
    Part_NewGuid(p.uniqueGuid);
    Part_SetName(p, r.name);
  }
  return Part_ReadLdmDatabase(s, 0x4400, *dataStart, ph.hasDiskGuid ? &ph.diskGuid : nullptr);
}
