// Dynamic-disk repair: the MBR that marks the disk as dynamic, written back when the scan found it
// damaged.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "partitions/partitions.h"
#include "partitions/repair.h"

void Ldm_PlanRepair(Undelete* u, CachedDrive* drive, unsigned index,
                    std::vector<RepairWrite>& writes) {
  (void)index;
  if ((std::atomic_ref<std::uint32_t>(u->partitionFlags).load() & kStateFixProtective) == 0) return;
  const auto old = Repair_Read(drive, 0, kSectorBytes);
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
}
