// Fuzz target: exFAT boot region to geometry, then cluster walks over a table and bitmap taken
// from the rest of the input, and the up-case table decoder over the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exfat/exfat_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  std::vector<char16_t> upcase(kExfatUpcaseChars);
  (void)EXFAT_ExpandUpcase(in,
                           std::span<char16_t, kExfatUpcaseChars>(upcase.data(), upcase.size()));
  (void)EXFAT_TableChecksum(in);
  ExfatBoot boot;
  if (EXFAT_ParseBootSector(in, boot) != Parse::Ok) return 0;
  (void)EXFAT_ParseBootRegion(in, boot);
  ExfatVolumeInfo info;
  EXFAT_MakeVolumeInfo(boot, info);
  // The bytes after the boot region stand for the table, then the bitmap.
  const std::size_t regionBytes = std::size_t{boot.sectorSize} * kExfatBootRegionSectors;
  const auto tail = size > regionBytes ? in.subspan(regionBytes) : std::span<const std::uint8_t>();
  info.fatBytes.set(static_cast<std::uint32_t>(tail.size() / 2));
  info.bitmapBytes.set(static_cast<std::uint32_t>(tail.size() - tail.size() / 2));
  ExfatGeometry g;
  if (!EXFAT_GeometryFrom(info, tail, g)) return 0;
  for (const bool noChain : {false, true}) {
    ExfatClusterWalk walk(g, g.rootCluster, noChain, std::uint64_t{1} << 22, !noChain);
    std::uint32_t c = 0;
    for (int steps = 0; steps < 2048 && walk.next(c); ++steps) {
      (void)EXFAT_ClusterSector(g, c);
      (void)EXFAT_ClusterInUse(g, c);
    }
  }
  return 0;
}
