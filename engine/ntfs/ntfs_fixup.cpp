// Update sequence (fix-up) of NTFS multi-sector records: the last word of every 512-byte block
// was replaced on disk by the sequence number, and the real words sit in the array.
#include <cstdint>
#include <span>

#include "core/checked.h"
#include "core/le.h"
#include "core/reader.h"
#include "ntfs/ntfs.h"

bool NTFS_ApplyFixup(std::span<std::uint8_t> record, std::uint32_t stride) noexcept {
  const auto header = ByteReader(record).read<NtfsFixupHeader>();
  if (!header || stride < 2) return false;
  const std::size_t usa = header->usaOffset.get();
  const std::size_t count = header->usaCount.get();
  if (usa > record.size()) return false;
  if (count < 2) return true;
  // Both the array and every protected block must lie inside the record: the header values are
  // as untrusted as the rest.
  if (!fitsIn<std::size_t>(usa, count * 2, record.size())) return false;
  if ((count - 1) > record.size() / stride) return false;
  const std::uint16_t sequence = loadLe<std::uint16_t>(record.data() + usa);
  for (std::size_t i = 1; i < count; ++i) {
    if (loadLe<std::uint16_t>(record.data() + i * stride - 2) != sequence) return false;
  }
  for (std::size_t i = 1; i < count; ++i) {
    std::uint8_t* end = record.data() + i * stride - 2;
    end[0] = record[usa + 2 * i];
    end[1] = record[usa + 2 * i + 1];
  }
  return true;
}
