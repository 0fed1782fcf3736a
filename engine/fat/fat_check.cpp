// Content check of one listed FAT file: the format detector over its first 50 KiB, then the
// extension check, which may mark the file Bad, give it a note and rename it.
#include <algorithm>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "fat/fat.h"

namespace {
constexpr std::uint32_t kCheckBytes = 51200;
}  // namespace

bool FAT_CheckRealType(Undelete* u, FileRecord* record, bool renameFlag, std::uint32_t firstCluster,
                       char16_t* name, std::size_t nameCapacity) noexcept {
  const std::uint64_t size = record->size.get();
  FatGeometry g;
  if (size == 0 || !FAT_GetGeometry(u->drive, g)) return false;
  const bool existing = (record->status & kStatusExisting) != 0;
  const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kCheckBytes));
  std::vector<std::uint8_t> data;
  try {
    data.resize(want);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::uint32_t have = 0;
  if (existing) {
    // Along the chain until enough is gathered, the chain ends or an entry is missing.
    std::uint32_t c = firstCluster;
    for (std::uint32_t steps = 0;
         have < want && c >= 2 && c < g.clusterLimit && steps < g.clusterLimit; ++steps) {
      const std::uint32_t piece = std::min(want - have, g.clusterBytes);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(u->drive, FAT_ClusterSector(g, c) * g.sectorSize, piece,
                            data.data() + have, &got) ||
          got != piece) {
        break;
      }
      have += piece;
      std::uint32_t next = 0;
      if (!FAT_TableEntry(g, c, next)) break;
      c = next;
    }
  } else if (firstCluster >= 2 && firstCluster < g.clusterLimit) {
    std::uint32_t got = 0;
    if (CachedDrive_Read(u->drive, FAT_ClusterSector(g, firstCluster) * g.sectorSize, want,
                         data.data(), &got)) {
      have = got;
    }
  }
  if (have == 0) return false;
  FormatResult result;
  if (!FileFormat_DetectBytes(std::span<const std::uint8_t>(data.data(), have), result))
    return true;
  (void)FileFormat_CheckExtension(record, result.identifier, renameFlag, u, name, nameCapacity);
  return true;
}
