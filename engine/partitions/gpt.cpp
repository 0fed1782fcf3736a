// GPT discovery for the lost-partition scan: both copies of the table, the backup alone when the
// primary header is lost, and boot sectors in the gaps between the entries.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/checked.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"

namespace {

constexpr std::uint64_t kMiB = 0x100000;

bool sameGuid(const std::uint8_t* a, const Guid& b) { return std::memcmp(a, b.data(), 16) == 0; }

struct GptDiscovery {
  PartScan& s;
  int ldmMetadata = -1;  // found-table index of the LDM metadata partition

  bool readHeader(std::uint64_t lba, GptHeaderInfo& out) {
    const auto at = checkedMul<std::uint64_t>(lba, s.sectorSize);
    if (!at) return false;
    std::vector<std::uint8_t> sector(s.sectorSize);
    return Part_Read(s, *at, sector.data(), s.sectorSize) &&
           Gpt_ParseHeader(sector, lba, out) == Parse::Ok;
  }

  /// Adds the entries of one copy; a partition already listed by the other copy only counts.
  bool readTable(const GptHeaderInfo& h) {
    const std::uint64_t bytes = std::uint64_t{h.entryCount} * h.entrySize;  // <= 16 MiB
    const std::uint64_t rounded = (bytes + s.sectorSize - 1) / s.sectorSize * s.sectorSize;
    const auto at = checkedMul<std::uint64_t>(h.entriesLba, s.sectorSize);
    std::vector<std::uint8_t> array(static_cast<std::size_t>(rounded));
    if (!at || !Part_Read(s, *at, array.data(), static_cast<std::uint32_t>(rounded))) return false;
    std::vector<GptPartition> parts;
    std::uint32_t corrupt = 0;
    Gpt_ParseEntries(array, h.entryCount, h.entrySize, parts, corrupt);
    if (corrupt != 0)
      Undelete_Log(s.u, "GPT at LBA %llu: %u damaged entries skipped.\n",
                   static_cast<unsigned long long>(h.myLba), corrupt);
    FoundPartition* t = Part_Found(s);
    for (const GptPartition& g : parts) {
      const auto start = checkedMul<std::uint64_t>(g.firstLba, s.sectorSize);
      const auto length = checkedMul<std::uint64_t>(g.lastLba - g.firstLba + 1, s.sectorSize);
      if (!start || !length) continue;
      bool listed = false;
      for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i) {
        if (t[i].type == 0xFF && t[i].start.get() == *start) {
          Part_SetCopies(t[i], foundCopies(t[i]) + 1u);
          listed = true;
          break;
        }
      }
      if (listed) continue;
      const auto idx = Part_AddFound(s, 0xFF, kPartExisting, 0, *start, *length, 0);
      if (!idx) break;
      FoundPartition& p = t[*idx];
      Part_SetCopies(p, 1);
      std::copy(g.typeGuid.begin(), g.typeGuid.end(), p.typeGuid);
      std::copy(g.uniqueGuid.begin(), g.uniqueGuid.end(), p.uniqueGuid);
      for (std::size_t c = 0; c < 64; ++c) p.name[c].set(c < 36 ? g.name[c] : 0);
      test(*idx);
    }
    return true;
  }

  void test(unsigned idx) {
    FoundPartition* t = Part_Found(s);
    FoundPartition& p = t[idx];
    if (sameGuid(p.typeGuid, kGuidMsReserved)) return;  // holds no volume: existing as listed
    if (sameGuid(p.typeGuid, kGuidLdmMetadata)) {
      ldmMetadata = static_cast<int>(idx);
      Part_SetStatus(p, kPartMissing);
      return;
    }
    if (sameGuid(p.typeGuid, kGuidLdmData)) {
      Part_SetStatus(p, kPartMissing);
      if (ldmMetadata < 0) return;
      FoundPartition& meta = t[ldmMetadata];
      // This disk's own PRIVHEAD sits in the last sector of the metadata partition.
      Guid disk{};
      const Guid* diskGuid = nullptr;
      Sector sec{};
      LdmPrivheadInfo ph;
      const std::uint64_t metaEnd = meta.start.get() + meta.length.get();
      if (metaEnd >= s.sectorSize && Part_ReadSector(s, metaEnd - s.sectorSize, sec) &&
          Ldm_ParsePrivhead(sec, ph) == Parse::Ok && ph.hasDiskGuid) {
        disk = ph.diskGuid;
        diskGuid = &disk;
      }
      const std::uint64_t metaStart = meta.start.get(), dataStart = p.start.get();
      if (Part_ReadLdmDatabase(s, metaStart, dataStart, diskGuid)) {
        // The database may have added entries: find both again by their starts.
        for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i)
          if (t[i].type == 0xFF && (t[i].start.get() == metaStart || t[i].start.get() == dataStart))
            Part_SetStatus(t[i], kPartExisting);
      }
      return;
    }
    Sector sec{};
    Part_SetStatus(p, Part_ReadSector(s, p.start.get(), sec) && Mbr_HasSignature(sec)
                          ? kPartExisting
                          : kPartMissing);
  }

  /// Boot sectors of volumes that no GPT entry describes, in the gaps between entries.
  void searchGaps() {
    FoundPartition* t = Part_Found(s);
    std::uint64_t pos = 0x4000 + 2ull * s.sectorSize;  // past the primary entry array
    Sector sec{};
    while (!Part_Cancelled(s) && s.diskSize > kMiB && pos < s.diskSize - kMiB) {
      // Past every entry that covers the position; then the gap up to the next entry.
      bool moved = true;
      while (moved) {
        moved = false;
        for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i) {
          if (sameGuid(t[i].typeGuid, kGuidLdmData)) continue;
          const std::uint64_t a = t[i].start.get(), b = a + t[i].length.get();
          if (a <= pos && pos < b && b > a) {
            pos = b;
            moved = true;
          }
        }
      }
      std::uint64_t gapEnd = s.diskSize - kMiB;  // the backup table lives in the last MiB
      for (unsigned i = 0; i < kMaxFoundPartitions && t[i].type != 0; ++i)
        if (!sameGuid(t[i].typeGuid, kGuidLdmData) && t[i].length.get() > 0 &&
            t[i].start.get() >= pos)
          gapEnd = std::min(gapEnd, t[i].start.get());
      if (pos >= gapEnd) break;  // only the disk's last MiB is left
      if (!Part_ScanForBootSignature(s, pos, gapEnd, sec)) {
        if (Part_Cancelled(s)) return;
        pos = gapEnd;
        // Nothing in this gap: on to the end of the next entry.
        continue;
      }
      const auto boot = sec[0] == 0xEB ? Partition_ClassifyBootSector(sec) : std::nullopt;
      if (!boot || boot->size > gapEnd - pos) {
        pos += kSectorBytes;
        continue;
      }
      Undelete_Log(s.u, "Found partition, offset = %llu\n", static_cast<unsigned long long>(pos));
      const auto idx = Part_AddFound(s, 0xFF, kPartFound, 0, pos, boot->size, 0);
      if (!idx) return;
      FoundPartition& p = t[*idx];
      p.origType = 0x07;
      std::copy(kGuidBasicData.begin(), kGuidBasicData.end(), p.typeGuid);
      Part_NewGuid(p.uniqueGuid);
      Part_SetName(p, "Basic data partition recovered");
      pos += boot->size;
    }
  }
};

}  // namespace

int Part_DiscoverGpt(PartScan& s) {
  Part_ClearFound(s);
  GptDiscovery d{s};
  GptHeaderInfo primary, backup;
  const std::uint64_t lastLba = s.diskSize / s.sectorSize - 1;
  const bool primaryOk = d.readHeader(1, primary);
  if (!primaryOk) {
    if (Part_RecoverLdmOnGpt(s)) {
      std::atomic_ref<std::uint32_t>(s.u->partitionFlags).fetch_or(kStateGpt);
      return 1;
    }
    // The primary header is the copy that is lost most often; the backup at the disk's last
    // sector describes the same partitions.
    Part_ClearFound(s);
    if (!d.readHeader(lastLba, backup) || !d.readTable(backup)) return 0;
    Undelete_Log(s.u, "GPT primary header lost, partitions taken from the backup.\n");
  } else {
    (void)d.readTable(primary);
    const bool backupOk = d.readHeader(primary.alternateLba, backup) ||
                          (primary.alternateLba != lastLba && d.readHeader(lastLba, backup));
    if (backupOk) (void)d.readTable(backup);
  }
  const bool signature =
      (std::atomic_ref<std::uint32_t>(s.u->partitionFlags).load() & kStateMbrSignature) != 0;
  if (signature || Part_FirstEmpty(Part_Found(s)) >= 2) d.searchGaps();
  Part_SortFound(Part_Found(s));
  return 1;
}
