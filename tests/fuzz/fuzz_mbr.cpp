// Fuzz target: MBR/EBR table sectors and the boot sectors the gap search classifies.
#include <cstddef>
#include <cstdint>
#include <span>

#include "partitions/partitions_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  for (std::size_t at = 0; at < size; at += 512) {
    const auto sector = in.subspan(at);
    MbrTable table;
    if (Mbr_ParseSector(sector, table) == Parse::Ok) {
      for (const MbrEntry& e : table.entries) (void)Mbr_IsExtendedType(e.type);
      // The room left comes from the input too (its first 8 bytes), so the fit test meets every
      // edge up to 2^64 - 1.
      ByteReader r(sector);
      const auto room = r.read<le64>();
      (void)Mbr_LooksLikeEbr(table, room ? room->get() : 0);
    }
    (void)Partition_ClassifyBootSector(sector);
  }
  return 0;
}
