// Fuzz target: FAT boot sector to geometry, and table-entry decoding over the rest of the input.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fat/fat_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  FatBoot boot;
  if (FAT_ParseBootSector(in.first(size < 512 ? size : 512), boot) != Parse::Ok) return 0;
  // The volume size comes from the drive; take it from the input so every branch is reachable.
  const std::uint64_t volumeBytes =
      size >= 8 ? (std::uint64_t{data[0]} << 32 | std::uint64_t{data[1]} << 24 |
                   std::uint64_t{data[2]} << 16 | std::uint64_t{data[3]} << 8 | data[4])
                : size;
  FatVolumeInfo info{};
  if (FAT_MakeVolumeInfo(boot, volumeBytes, info) != FatGeometryCheck::Ok) return 0;
  // Use the bytes after the boot sector as (the start of) the table.
  const std::size_t tableBytes = size > 512 ? size - 512 : 0;
  if (info.fatBytes.get() > tableBytes) info.fatBytes.set(static_cast<std::uint32_t>(tableBytes));
  FatGeometry g;
  if (!FAT_GeometryFrom(info, tableBytes != 0 ? data + 512 : nullptr,
                        static_cast<std::uint32_t>(boot.bytesPerSector), g)) {
    return 0;
  }
  (void)FAT_RootSector(g);
  std::uint32_t next = 0, c = 2;
  for (std::uint32_t steps = 0; steps < 4096 && c < g.clusterLimit; ++steps) {
    (void)FAT_ClusterSector(g, c);
    if (!FAT_TableEntry(g, c, next) || FAT_EndOfChainValue(g.kind, next)) break;
    c = next;
  }
  return 0;
}
