// Fuzz target: the whole lost-partition walk over a small disk in memory: MBR and EBR chains
// (loops, links outside the disk), GPT copies and dynamic-disk databases, quick and full. The
// input is laid at the disk's start and, repeated, at each 64 KiB of a 256 KiB disk so that
// links find tables.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "partitions/partitions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kDisk = 1u << 18, kStride = 1u << 16;
  if (size == 0 || size > kStride) return 0;
  static std::vector<std::uint8_t> disk;
  disk.assign(kDisk, 0);
  for (std::size_t at = 0; at < kDisk; at += kStride) std::memcpy(disk.data() + at, data, size);

  // One engine for every input: the walk clears the found table and disk state it fills.
  static Undelete* u = [] {
    Undelete* made = nullptr;
    return Undelete_Create(&made) ? made : nullptr;
  }();
  if (u == nullptr) return 0;
  CachedDrive* drive = nullptr;
  if (CachedDrive_Create(&drive) &&
      CachedDrive_OpenDevice(drive, Host_OpenMemory(disk, false), kHostDriveFixed)) {
    for (const bool quick : {true, false}) {
      std::memset(static_cast<void*>(u->foundPartitions), 0, sizeof u->foundPartitions);
      PartScan s;
      s.u = u;
      s.drive = drive;
      s.diskSize = kDisk;
      s.quick = quick;
      s.sectorSize = Part_TableSectorSize(drive, kDisk);
      (void)Part_ScanDisk(s);
      std::vector<LayoutEntry> layout;
      (void)Partition_ReadLayout(drive, kDisk, layout);
    }
  }
  if (drive != nullptr) {
    CachedDrive_Close(drive);
    CachedDrive_Destroy(drive);
  }
  return 0;
}
