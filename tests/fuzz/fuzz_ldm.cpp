// Fuzz target: the dynamic-disk database records: PRIVHEAD, TOCBLOCK and VMDB sectors, then VBLK
// blocks of the size the VMDB gives (the input: PRIVHEAD 512, TOCBLOCK 512, VMDB 512, blocks).
// The blocks are also walked as the repair walks them, and a volume is added to a copy of them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "partitions/ldm_records.h"
#include "partitions/partitions_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  const auto part = [&](std::size_t at, std::size_t n) {
    return at < size ? in.subspan(at, size - at < n ? size - at : n) : in.subspan(size);
  };
  LdmPrivheadInfo ph;
  (void)Ldm_ParsePrivhead(part(0, 512), ph);
  LdmTocInfo toc;
  (void)Ldm_ParseTocBlock(part(512, 512), toc);
  LdmVmdbInfo vmdb;
  std::size_t block = 128;
  if (Ldm_ParseVmdb(part(1024, 512), vmdb) == Parse::Ok) block = vmdb.vblkSize;
  for (std::size_t at = 1536; at < size; at += block) {
    LdmVblk v;
    (void)Ldm_ParseVblk(part(at, block), v);
  }

  const auto blocks = part(1536, size);
  std::vector<std::uint8_t> area(blocks.begin(), blocks.end());
  LdmDatabase db;
  Ldm_ReadDatabase(area, static_cast<std::uint32_t>(block), db);
  if (!db.disks.empty()) {
    LdmNewVolume v;
    v.disk = &db.disks.back();
    v.startSector = ph.logicalDiskStart;
    v.sizeSectors = ph.logicalDiskSize;
    v.commitId = ph.configSize;
    LdmAdded added;
    const std::vector<std::uint8_t> before = area;
    if (!Ldm_AddVolume(area, static_cast<std::uint32_t>(block), db, v, added)) {
      if (area != before) __builtin_trap();  // a failed addition leaves the database alone
    } else {
      // What was added reads back as the database's own records.
      LdmDatabase again;
      Ldm_ReadDatabase(area, static_cast<std::uint32_t>(block), again);
      if (again.partitionNames.count(added.partitionName) == 0) __builtin_trap();
    }
  }
  const auto vmdbBytes = part(1024, 512);
  std::vector<std::uint8_t> sector(vmdbBytes.begin(), vmdbBytes.end());
  (void)Ldm_CountNewVolume(sector);
  return 0;
}
