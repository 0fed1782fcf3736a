// Fuzz target: the checks that decide whether a free cluster is a lost directory (its head with
// "." and "..", or a later cluster of entries), and the geometry guessed for an earlier FAT file
// system from where a directory sector lies. The first 16 bytes choose the numbers.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/le.h"
#include "fat/fat_lost.h"
#include "fat/fat_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  const bool fat32 = (data[0] & 1) != 0;
  const std::uint32_t cluster = loadLe<std::uint32_t>(data);
  const std::uint32_t limit = loadLe<std::uint32_t>(data + 4);
  const std::uint64_t volume = loadLe<std::uint64_t>(data + 8);
  const std::span<const std::uint8_t> bytes(data + 16, size - 16);
  std::uint32_t parent = 0;
  if (FAT_CheckDirectoryHead(bytes, fat32, cluster, limit, parent) == Parse::Ok &&
      (parent >= limit || parent == cluster))
    __builtin_trap();
  (void)FAT_CheckDirectoryBody(bytes, fat32, limit, volume);

  // Sector size 512 << (0..3); the sector and cluster from the input.
  const std::uint32_t sectorBytes = 512u << (data[1] & 3);
  FatVolumeInfo info{};
  if (FAT_GuessFormatGeometry(sectorBytes, volume, limit, cluster, info)) {
    FatGeometry g;
    // A guess always places the directory's cluster on the sector it was found in.
    if (!FAT_GeometryFrom(info, nullptr, sectorBytes, g) || FAT_ClusterSector(g, cluster) != limit)
      __builtin_trap();
  }
  std::uint64_t fatSectors = 0;
  (void)FAT_GuessGeometry(sectorBytes, volume, 4u + data[2] % 3u, 512ull << (data[3] & 7),
                          &fatSectors);
  return 0;
}
