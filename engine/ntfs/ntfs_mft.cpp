// Reading the Master File Table: its description (the $MFT record, from the mirror when the MFT
// copy is unreadable) and its records one after another through the MFT's run list.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cached_drive.h"
#include "core/checked.h"
#include "ntfs/ntfs.h"

namespace {

/// Marks the whole sectors of [offset, offset + length) used (within the map).
void markRead(CachedDrive* drive, std::uint64_t offset, std::uint64_t length) noexcept {
  if (drive->map == nullptr || drive->sectorSize == 0 || length == 0) return;
  const std::uint64_t first = (offset + drive->sectorSize - 1) / drive->sectorSize;
  const std::uint64_t end = (offset + length) / drive->sectorSize;
  if (end > first) CachedDrive_SetMapRange(drive, first, end - first);
}

bool readRecordZero(CachedDrive* drive, const NtfsVolume& volume, std::uint64_t cluster,
                    NtfsParsedRecord& mft) {
  const std::uint32_t cb = volume.info.clusterBytes.get();
  const std::uint32_t rb = volume.info.recordBytes.get();
  const std::uint32_t clusters = (rb + cb - 1) / cb;
  std::uint8_t list[11] = {0x81, static_cast<std::uint8_t>(clusters)};
  storeLe<std::uint64_t>(list + 2, cluster);
  NtfsRecordReader reader;
  reader.cursor.load(list);
  std::vector<std::uint8_t> record(rb);
  std::uint64_t at = 0;
  if (!NTFS_ReadFileRecord(drive, volume, reader, record, &at)) return false;
  if (NTFS_ParseFileRecord(record, mft) != Parse::Ok) return false;
  // The description is the unnamed data's run list; a resident or unkept one describes nothing.
  return mft.runListLength != 0 && mft.dataLength != 0 && mft.size != 0;
}

}  // namespace

bool NTFS_ReadFileRecord(CachedDrive* drive, const NtfsVolume& volume, NtfsRecordReader& reader,
                         std::span<std::uint8_t> record, std::uint64_t* recordOffset) noexcept {
  const std::uint32_t cb = volume.info.clusterBytes.get();
  if (drive == nullptr || cb == 0) return false;
  const bool bootVolume = volume.info.mirrorCluster.get() != kNtfsUnknownCluster;
  std::size_t have = 0;
  bool begun = false;
  while (have < record.size()) {
    if (reader.bytesLeft == 0) {
      std::uint64_t cluster = 0;
      if (reader.cursor.next(&cluster)) {
        const auto at = checkedMul<std::uint64_t>(cluster, cb);
        const auto abs =
            at ? checkedAdd<std::uint64_t>(*at, volume.info.volumeStart.get()) : std::nullopt;
        if (!abs) return false;
        reader.offset = *abs;
      } else if (!bootVolume) {
        return false;  // no boot sector vouches for what follows the list
      }
      reader.bytesLeft = cb;
    }
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::size_t>(reader.bytesLeft, record.size() - have));
    if (!begun) {
      *recordOffset = reader.offset;
      begun = true;
    }
    markRead(drive, reader.offset, piece);
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, reader.offset, piece, record.data() + have, &got) ||
        got != piece) {
      return false;
    }
    have += piece;
    reader.offset += piece;
    reader.bytesLeft -= piece;
  }
  return true;
}

bool NTFS_ReadMftDescription(CachedDrive* drive, const NtfsVolume& volume,
                             NtfsParsedRecord& mft) noexcept {
  try {
    if (volume.info.mftCluster.get() != kNtfsUnknownCluster &&
        readRecordZero(drive, volume, volume.info.mftCluster.get(), mft)) {
      return true;
    }
    const std::uint64_t mirror = volume.info.mirrorCluster.get();
    return mirror != kNtfsUnknownCluster && readRecordZero(drive, volume, mirror, mft);
  } catch (...) {
    return false;
  }
}
