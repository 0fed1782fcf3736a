// Whole disks for kvx: the lost-partition scan of a disk image, device or physical-drive number,
// and the volumes of its partition list, numbered as `kvx partitions` shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "undelete/undelete.h"

namespace kvx {

/// One area of a disk's partition list. Areas holding a recognised file system are the disk's
/// volumes, numbered 1, 2 ... in disk order (the pN folders and --partition N); others have 0.
struct DiskArea {
  unsigned volume = 0;
  std::uint32_t listIndex = 0;  // index in the engine's partition list (the low bits of the drive's number)
  PartitionRecord record{};
};

/// Physical-drive number of DISK: a number of the table, or an image/device added to it.
bool diskNumber(const std::string& disk, std::uint32_t* number, std::string* error);
/// Runs the lost-partition scan of @p number to its end, with a progress line on stderr when
/// @p progress is set.
bool scanDisk(Undelete* u, std::uint32_t number, bool quick, bool progress, std::string* error);
/// True when the last scan found a partition table (MBR with signature, GPT or dynamic disk)
/// rather than a volume starting at sector 0 or nothing at all.
bool diskHasTable(Undelete* u);
/// The disk's areas in the partition list, in disk order.
std::vector<DiskArea> diskAreas(Undelete* u, std::uint32_t number);
/// "index start+length type status" lines of the found table (what a scan saw on the disk).
std::string foundSummary(Undelete* u);

}  // namespace kvx
