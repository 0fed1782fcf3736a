// What every step of the lost-partition scan shares: sector reads, the boot-signature search,
// the found table's slots and GUIDs.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <random>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "partitions/partitions.h"

namespace {

constexpr std::uint64_t kMiB = 0x100000;
constexpr std::uint64_t kCylinder = 255ull * 63 * kSectorBytes;  // the usual CHS geometry
constexpr std::uint64_t kTrack = 63ull * kSectorBytes;
constexpr std::uint32_t kChunk = 0x10000;  // full search: bytes examined per read

std::uint64_t nextMultiple(std::uint64_t pos, std::uint64_t unit, std::uint64_t offset = 0) {
  if (pos <= offset) return offset;
  const std::uint64_t k = (pos - offset + unit - 1) / unit;
  return offset + k * unit;
}

/// Quick search: the next place at or after @p pos where partitions are put by the usual tools
/// (1 MiB alignment, cylinder starts, one track into a cylinder as logical partitions are).
std::uint64_t nextQuickCandidate(std::uint64_t pos) {
  return std::min({nextMultiple(pos, kMiB), nextMultiple(pos, kCylinder),
                   nextMultiple(pos, kCylinder, kTrack)});
}

bool hasSignature(const std::uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

/// @p pos moved past a hole of a sparse image (never past @p limit); holes hold no signatures.
void skipHole(PartScan& s, std::uint64_t& pos, std::uint64_t limit) {
  if (!s.drive->device) return;
  const std::uint64_t base = s.drive->windowStart;
  const std::uint64_t next = s.drive->device->nextData(base + pos);
  if (next <= base + pos) return;
  const std::uint64_t rel = (next - base) / kSectorBytes * kSectorBytes;
  if (rel > pos) pos = std::min(rel, limit);
}

/// One sector straight from the device: quick probes lie far apart, and a cache refill per probe
/// would read most of the disk.
bool probeSector(PartScan& s, std::uint64_t offset, Sector& out) {
  if (!fitsIn<std::uint64_t>(offset, kSectorBytes, s.diskSize) || !s.drive->device) return false;
  std::uint32_t got = 0;
  return s.drive->device->read(s.drive->windowStart + offset, out.data(), kSectorBytes, &got) &&
         got == kSectorBytes;
}

}  // namespace

bool Part_Read(PartScan& s, std::uint64_t offset, void* buffer, std::uint32_t count) {
  if (!fitsIn<std::uint64_t>(offset, count, s.diskSize)) return false;
  std::uint32_t got = 0;
  return CachedDrive_Read(s.drive, offset, count, buffer, &got) && got == count;
}

bool Part_ReadSector(PartScan& s, std::uint64_t offset, Sector& out) {
  return Part_Read(s, offset, out.data(), kSectorBytes);
}

bool Part_Cancelled(const PartScan& s) { return isCancelled(s.u); }

void Part_SetPosition(PartScan& s, std::uint64_t pos) {
  s.u->partScanPos.store(pos, std::memory_order_relaxed);
}

bool Part_ScanForBootSignature(PartScan& s, std::uint64_t& pos, std::uint64_t limit, Sector& out) {
  limit = std::min(limit, s.diskSize);
  if (s.quick) {
    // The first sector of the area and the next track boundary (volumes laid end to end on the
    // old grid), then the usual partition starts.
    const std::uint64_t track = nextMultiple(pos, kTrack);
    int first = 2;
    while (pos < limit) {
      const std::uint64_t at = first == 2                   ? pos
                               : first == 1 && track >= pos ? track
                                                            : nextQuickCandidate(pos);
      first = std::max(first - 1, 0);
      if (at >= limit || at + kSectorBytes > limit) break;
      std::uint64_t data = at;
      skipHole(s, data, limit);
      if (data > at) {
        pos = data;  // the candidates up to there lie in a hole
        continue;
      }
      if (!probeSector(s, at, out)) break;
      Part_SetPosition(s, at);
      if (Part_Cancelled(s)) {
        pos = at;
        return false;
      }
      if (hasSignature(out.data())) {
        pos = at;
        return true;
      }
      pos = at + kSectorBytes;
    }
    pos = limit;
    return false;
  }
  std::vector<std::uint8_t> chunk;
  try {
    chunk.resize(kChunk);
  } catch (...) {
    pos = limit;
    return false;
  }
  while (pos < limit && limit - pos >= kSectorBytes) {
    skipHole(s, pos, limit);
    if (limit - pos < kSectorBytes) break;
    const auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kChunk, (limit - pos) / kSectorBytes * kSectorBytes));
    if (!Part_Read(s, pos, chunk.data(), n)) break;
    for (std::uint32_t at = 0; at < n; at += kSectorBytes) {
      if (hasSignature(chunk.data() + at)) {
        pos += at;
        std::memcpy(out.data(), chunk.data() + at, kSectorBytes);
        Part_SetPosition(s, pos);
        return true;
      }
    }
    pos += n;
    Part_SetPosition(s, pos);
    if (Part_Cancelled(s)) return false;
  }
  pos = limit;
  return false;
}

FoundPartition* Part_Found(PartScan& s) { return s.u->foundPartitions; }

unsigned Part_FirstEmpty(const FoundPartition* table) {
  unsigned i = 0;
  while (i < kMaxFoundPartitions && table[i].type != 0) ++i;
  return i;
}

std::optional<unsigned> Part_AddFound(PartScan& s, std::uint8_t kind, std::uint8_t status,
                                      std::uint64_t tableOffset, std::uint64_t start,
                                      std::uint64_t length, std::uint64_t relStart) {
  FoundPartition* t = Part_Found(s);
  const unsigned i = Part_FirstEmpty(t);
  if (i >= kMaxFoundPartitions) return std::nullopt;
  t[i].type = kind;
  t[i].origType = kind;
  Part_SetStatus(t[i], status);
  t[i].tableOffset.set(tableOffset);
  t[i].start.set(start);
  t[i].length.set(length);
  t[i].relStart.set(relStart);
  return i;
}

void Part_SetStatus(FoundPartition& p, std::uint8_t status) {
  p.flags = static_cast<std::uint8_t>((p.flags & ~0x07u) | (status & 0x07u));
}

void Part_SetCopies(FoundPartition& p, unsigned copies) {
  p.flags = static_cast<std::uint8_t>((p.flags & ~0x78u) | ((std::min(copies, 15u) & 0x0Fu) << 3));
}

void Part_SortFound(FoundPartition* t) {
  // Stable, so that entries at one place keep the order they were found in.
  std::stable_sort(t, t + kMaxFoundPartitions,
                   [](const FoundPartition& a, const FoundPartition& b) {
                     if ((a.type == 0) != (b.type == 0)) return b.type == 0;
                     if (a.type == 0) return false;
                     if (a.tableOffset.get() != b.tableOffset.get())
                       return a.tableOffset.get() < b.tableOffset.get();
                     return a.start.get() < b.start.get();
                   });
}

void Part_SetName(FoundPartition& p, const char* ascii) {
  std::size_t i = 0;
  for (; i < 63 && ascii[i] != 0; ++i) p.name[i].set(static_cast<unsigned char>(ascii[i]));
  for (; i < 64; ++i) p.name[i].set(0);
}

void Part_NewGuid(std::uint8_t* out) {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  for (int i = 0; i < 16; i += 8) {
    const std::uint64_t v = gen();
    std::memcpy(out + i, &v, 8);
  }
  out[7] = static_cast<std::uint8_t>((out[7] & 0x0F) | 0x40);  // version 4 (mixed-endian field)
  out[8] = static_cast<std::uint8_t>((out[8] & 0x3F) | 0x80);  // variant 1
}

void Part_ClearFound(PartScan& s) {
  std::memset(static_cast<void*>(Part_Found(s)), 0, sizeof(FoundPartition) * kMaxFoundPartitions);
}

std::uint32_t Part_TableSectorSize(CachedDrive* drive, std::uint64_t diskSize) {
  // A block device says what its tables count in (reads of 512 bytes succeed on a 4096-byte
  // disk too, so the probed size cannot tell).
  if (drive->device) {
    const std::uint32_t logical = drive->device->logicalSectorSize();
    if (logical >= 512 && logical <= 4096 && std::has_single_bit(logical)) return logical;
  }
  const std::uint32_t own = drive->sectorSize == 0 ? 512 : drive->sectorSize;
  if (own != 512 || diskSize < 2 * 4096) return own;
  PartScan probe;
  probe.drive = drive;
  probe.diskSize = diskSize;
  Sector a{}, b{};
  // GPT header at LBA 1 of a 4096-byte disk, none at LBA 1 of a 512-byte one.
  if (Part_ReadSector(probe, 512, a) && Part_ReadSector(probe, 4096, b) &&
      std::memcmp(a.data(), "EFI PART", 8) != 0 && std::memcmp(b.data(), "EFI PART", 8) == 0)
    return 4096;
  // An MBR whose extended entry leads to a table, or whose volume entry leads to a boot sector
  // of 4096-byte sectors, only when counted in 4096-byte sectors.
  if (!Part_ReadSector(probe, 0, a)) return own;
  MbrTable mbr;
  if (Mbr_ParseSector(a, mbr) != Parse::Ok || !mbr.signature) return own;
  for (const MbrEntry& e : mbr.entries) {
    if (e.type == 0 || e.startLba.get() == 0) continue;
    const std::uint64_t lba = e.startLba.get();
    const bool at512 = Part_ReadSector(probe, lba * 512, a) && hasSignature(a.data());
    if (at512 || !Part_ReadSector(probe, lba * 4096, b) || !hasSignature(b.data())) continue;
    if (Mbr_IsExtendedType(e.type)) return 4096;
    ByteReader r(b);
    const auto boot = r.read<BootSectorHead>();
    if (boot && boot->jump[0] == 0xEB && boot->bytesPerSector.get() == 4096) return 4096;
  }
  return own;
}
