// GPT repair from the found table of the last lost-partition scan: protective MBR (when the scan
// found it damaged), both headers and both entry arrays, with a ".gpt" backup of what they
// replace.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"

namespace {

bool isZero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

void setHeaderCrc(GptHeader& h) {
  h.headerCrc.set(0);
  std::uint8_t raw[sizeof h];
  std::memcpy(raw, &h, sizeof h);
  h.headerCrc.set(Gpt_Crc32(raw));
}

std::vector<std::uint8_t> headerSector(const GptHeader& h, std::uint32_t ss) {
  std::vector<std::uint8_t> out(ss, 0);
  std::memcpy(out.data(), &h, sizeof h);
  return out;
}

/// The entry array from the found table. @p onlyGpt: entries of GPT type only.
std::vector<std::uint8_t> buildArray(Undelete* u, unsigned index, std::uint32_t ss,
                                     std::uint32_t count, std::uint32_t size, std::size_t bytes,
                                     bool onlyGpt, bool& changed) {
  std::vector<std::uint8_t> array(bytes, 0);
  std::uint32_t slot = 0;
  changed = false;
  for (unsigned i = 0; i < kMaxFoundPartitions; ++i) {
    FoundPartition& p = u->foundPartitions[i];
    if (p.type == 0 || isZero(p.typeGuid, 16)) break;
    if (std::memcmp(p.typeGuid, kGuidLdmMetadata.data(), 16) == 0 ||
        std::memcmp(p.typeGuid, kGuidLdmData.data(), 16) == 0)
      continue;
    if (onlyGpt && p.type != 0xFF) continue;
    if (p.length.get() < ss) continue;
    // A volume that overlaps a listed one would give the table overlapping partitions.
    if (foundStatus(p) == kPartOverlaps && i != index) continue;
    if ((i == index && foundStatus(p) == kPartFound) || p.type != p.origType) changed = true;
    if (slot >= count) break;
    GptEntry e{};
    std::memcpy(e.typeGuid, p.typeGuid, 16);
    // The partition keeps the GUID it is known by (mounts, boot entries); new ones only for
    // volumes the scan found without an entry.
    if (isZero(p.uniqueGuid, 16))
      Part_NewGuid(e.uniqueGuid);
    else
      std::memcpy(e.uniqueGuid, p.uniqueGuid, 16);
    e.firstLba.set(p.start.get() / ss);
    e.lastLba.set((p.start.get() + p.length.get()) / ss - 1);
    std::memcpy(e.name, p.name, sizeof e.name);
    std::memcpy(array.data() + std::size_t{slot} * size, &e, sizeof e);
    ++slot;
  }
  return array;
}

int fixGpt(Undelete* u, unsigned index) {
  Repair_Begin();
  Undelete_Report(u, "Fixing GPT.\n");
  CachedDrive* d = Repair_OpenScanned(u);
  if (d == nullptr) return 0;
  struct Close {
    CachedDrive* d;
    ~Close() { Repair_CloseDrive(d); }
  } close{d};
  std::uint64_t size = 0;
  (void)CachedDrive_GetSize(d, &size);
  const std::uint32_t ss = Part_TableSectorSize(d, size);
  if (size / ss < 68) return 0;
  const std::uint64_t lastLba = size / ss - 1;
  const std::uint64_t reserve = 0x3FFF / ss + 1;  // sectors of a 128 x 128 entry array

  const auto sector0 = Repair_Read(d, 0, ss);
  const auto primary = Repair_Read(d, ss, ss);
  if (!sector0 || !primary) return 0;
  GptHeaderInfo info;
  GptHeader h{};
  if (Gpt_ParseHeader(*primary, 1, info) == Parse::Ok) {
    std::memcpy(&h, primary->data(), sizeof h);
  } else {
    // A new header; the disk keeps its GUID when the backup header still names it.
    std::memcpy(h.signature, "EFI PART", 8);
    h.firstUsableLba.set(reserve + 2);
    h.lastUsableLba.set(lastLba - reserve - 1);
    h.entryCount.set(128);
    h.entrySize.set(128);
    h.alternateLba.set(lastLba);
    Part_NewGuid(h.diskGuid);
    const auto backup = Repair_Read(d, lastLba * ss, ss);
    GptHeaderInfo b;
    if (backup && Gpt_ParseHeader(*backup, lastLba, b) == Parse::Ok)
      std::memcpy(h.diskGuid, b.diskGuid.data(), 16);
  }
  h.revision.set(0x00010000);
  h.headerSize.set(0x5C);
  h.reserved.set(0);
  h.myLba.set(1);
  std::uint64_t alternate = h.alternateLba.get();
  if (alternate <= 1 || alternate > lastLba) alternate = lastLba;
  h.alternateLba.set(alternate);
  h.entriesLba.set(2);
  const std::uint32_t count = h.entryCount.get(), entrySize = h.entrySize.get();
  const std::size_t arrayBytes = std::size_t{count} * entrySize;
  const std::size_t arraySectors = (arrayBytes + ss - 1) / ss;
  if (arraySectors + 2 >= alternate) return 0;
  const std::uint64_t backupArrayLba = alternate - std::max<std::uint64_t>(arraySectors, reserve);

  bool changed = false;
  std::vector<std::uint8_t> array =
      buildArray(u, index, ss, count, entrySize, arraySectors * ss, false, changed);
  if (!changed)
    array = buildArray(u, index, ss, count, entrySize, arraySectors * ss, true, changed);
  h.entriesCrc.set(Gpt_Crc32(ByteSpan(array).first(arrayBytes)));
  setHeaderCrc(h);
  GptHeader h2 = h;
  h2.myLba.set(alternate);
  h2.alternateLba.set(1);
  h2.entriesLba.set(backupArrayLba);
  setHeaderCrc(h2);

  std::vector<RepairWrite> writes(5);
  const bool protective =
      (std::atomic_ref<std::uint32_t>(u->partitionFlags).load() & kStateFixProtective) != 0;
  writes[0].offset = 0;
  writes[0].before = *sector0;
  writes[0].after = *sector0;
  writes[0].saved = kSectorBytes;
  writes[0].write = protective;
  if (protective) {
    std::fill(writes[0].after.begin(), writes[0].after.begin() + kSectorBytes, 0);
    MbrSector m{};
    MbrEntry& e = m.entries[0];
    e.bootIndicator = 0x80;
    e.chsFirst[0] = 0;
    e.chsFirst[1] = 2;
    e.chsFirst[2] = 0;
    e.type = 0xEE;
    e.chsLast[0] = e.chsLast[1] = e.chsLast[2] = 0xFF;
    e.startLba.set(1);
    // Counted in the disk's own sectors, as every MBR entry is.
    const std::uint64_t sectors = lastLba;
    e.sectorCount.set(sectors > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sectors));
    m.signature[0] = 0x55;
    m.signature[1] = 0xAA;
    std::memcpy(writes[0].after.data(), &m, sizeof m);
  }
  const auto place = [&](RepairWrite& w, std::uint64_t offset, std::vector<std::uint8_t> after) {
    w.offset = offset;
    const auto old = Repair_Read(d, offset, static_cast<std::uint32_t>(after.size()));
    if (!old) return false;
    w.before = *old;
    w.after = std::move(after);
    // Whole old sectors are kept (not only the header's 0x5C bytes): undo gives back exactly
    // what was there.
    w.saved = static_cast<std::uint32_t>(w.after.size());
    return true;
  };
  if (!place(writes[1], ss, headerSector(h, ss)) ||
      !place(writes[2], alternate * ss, headerSector(h2, ss)) ||
      !place(writes[3], 2ull * ss, array) || !place(writes[4], backupArrayLba * ss, array))
    return 0;

  if (protective) Undelete_Log(u, "Restoring protective MBR.");
  Undelete_Log(u, "Updating GPT header 1.\n");
  std::string name;
  const bool ok = Repair_Commit(u, d, writes, BackupKind::Gpt, ss, name);
  if (Repair_DryRun()) return ok ? 1 : 0;
  static constexpr const char* kDone[] = {"Protective MBR restored.", "GPT header 1 updated.\n",
                                          "GPT header 2 updated.\n", "GPT 1 updated.\n",
                                          "GPT 2 updated.\n"};
  static constexpr const char* kFailed[] = {
      "", "Failed to update GPT header 1.\n", "Failed to update GPT header 2.\n",
      "Failed to update GPT 1.\n", "Failed to update GPT 2.\n"};
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (!writes[i].write) continue;
    if (!writes[i].written) {
      Undelete_Log(u, "%s", kFailed[i]);
      break;
    }
    Undelete_Log(u, "%s", kDone[i]);
  }
  if (ok && index < kMaxFoundPartitions && u->foundPartitions[index].type != 0)
    Part_SetStatus(u->foundPartitions[index], kPartExisting);
  return ok ? 1 : 0;
}

}  // namespace

extern "C" int Undelete_FixGPT(Undelete* u, unsigned index) noexcept {
  if (u == nullptr) return 0;
  try {
    return fixGpt(u, index);
  } catch (...) {
    u->error = kErrMemory;
    return 0;
  }
}
