// A disk's partition layout as the system's partition manager reports it: read from the disk's
// own MBR and EBR chain, or from its GPT.
#include <algorithm>
#include <cstring>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "partitions/partitions.h"

namespace {

constexpr unsigned kMaxEbrs =
    128;  // logical partitions a chain may hold before it counts as a loop

bool readAt(CachedDrive* drive, std::uint64_t diskSize, std::uint64_t offset, void* out,
            std::uint32_t count) {
  if (!fitsIn<std::uint64_t>(offset, count, diskSize)) return false;
  std::uint32_t got = 0;
  return CachedDrive_Read(drive, offset, count, out, &got) && got == count;
}

bool readGpt(CachedDrive* drive, std::uint64_t diskSize, std::uint32_t ss,
             std::vector<LayoutEntry>& out) {
  std::vector<std::uint8_t> sector(ss);
  GptHeaderInfo h;
  const std::uint64_t lastLba = diskSize / ss - 1;
  const bool primary =
      readAt(drive, diskSize, ss, sector.data(), ss) && Gpt_ParseHeader(sector, 1, h) == Parse::Ok;
  // Without the primary header the backup at the last sector describes the same partitions.
  if (!primary && !(readAt(drive, diskSize, lastLba * ss, sector.data(), ss) &&
                    Gpt_ParseHeader(sector, lastLba, h) == Parse::Ok))
    return false;
  const std::uint64_t bytes = std::uint64_t{h.entryCount} * h.entrySize;
  const std::uint64_t rounded = (bytes + ss - 1) / ss * ss;
  const auto at = checkedMul<std::uint64_t>(h.entriesLba, ss);
  std::vector<std::uint8_t> array(static_cast<std::size_t>(rounded));
  if (!at || !readAt(drive, diskSize, *at, array.data(), static_cast<std::uint32_t>(rounded)))
    return false;
  std::vector<GptPartition> parts;
  std::uint32_t corrupt = 0;
  Gpt_ParseEntries(array, h.entryCount, h.entrySize, parts, corrupt);
  for (const GptPartition& p : parts) {
    LayoutEntry e;
    e.start = p.firstLba * ss;
    e.length = (p.lastLba - p.firstLba + 1) * ss;
    e.number = p.index;
    e.type = 0xFF;
    out.push_back(e);
  }
  return true;
}

}  // namespace

bool Part_RecognizedType(std::uint8_t type) {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return true;
    default:
      return false;
  }
}

bool Partition_ReadLayout(CachedDrive* drive, std::uint64_t diskSize,
                          std::vector<LayoutEntry>& out) {
  out.clear();
  const std::uint32_t ss = Part_TableSectorSize(drive, diskSize);
  Sector sec{};
  MbrTable mbr;
  if (!readAt(drive, diskSize, 0, sec.data(), kSectorBytes) ||
      Mbr_ParseSector(sec, mbr) != Parse::Ok)
    return false;
  if (mbr.entries[0].type == 0xEE || !mbr.signature) {
    // No table at all still is a layout: one without entries, so that the whole disk is listed.
    if (!readGpt(drive, diskSize, ss, out)) out.clear();
    return true;
  }
  if (mbr.firstByte == 0xEB) return true;  // a volume without a table: no entries

  std::uint32_t number = 0;
  std::uint64_t extBase = 0, nextEbr = 0;
  auto add = [&](const MbrEntry& e, std::uint64_t base) {
    LayoutEntry l;
    if (e.type != 0) {
      l.start = base + std::uint64_t{e.startLba.get()} * ss;
      l.length = std::uint64_t{e.sectorCount.get()} * ss;
      l.type = e.type;
      l.recognized = Part_RecognizedType(e.type) ? 1 : 0;
    }
    l.number = number++;
    out.push_back(l);
  };
  for (const MbrEntry& e : mbr.entries) {
    add(e, 0);
    if (Mbr_IsExtendedType(e.type) && extBase == 0) extBase = nextEbr = out.back().start;
  }
  // The chain: each EBR holds a logical partition and the link to the next EBR.
  std::vector<std::uint64_t> seen;
  for (unsigned i = 0; i < kMaxEbrs && nextEbr != 0; ++i) {
    if (std::find(seen.begin(), seen.end(), nextEbr) != seen.end()) break;  // a loop
    seen.push_back(nextEbr);
    MbrTable ebr;
    if (!readAt(drive, diskSize, nextEbr, sec.data(), kSectorBytes) ||
        Mbr_ParseSector(sec, ebr) != Parse::Ok || !ebr.signature)
      break;
    const std::uint64_t here = nextEbr;
    nextEbr = 0;
    for (const MbrEntry& e : ebr.entries) {
      if (Mbr_IsExtendedType(e.type)) {
        add(e, extBase);
        if (nextEbr == 0 && e.startLba.get() != 0) nextEbr = out.back().start;
      } else {
        add(e, here);
      }
    }
  }
  return true;
}
