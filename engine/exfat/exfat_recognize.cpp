// exFAT recognition: checks the boot region (the backup one when the main one is damaged), copies
// the active FAT and the allocation bitmap, checks the up-case table, reads the volume label, and
// adds the volume record to the drive's file-system table.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "exfat/exfat.h"

namespace {

constexpr std::uint32_t kReadPiece = 1u << 20;             // the drive's cache holds 2 MiB
constexpr std::uint64_t kMaxUpcaseBytes = 2 * 65536 + 64;  // an uncompressed table and a margin

bool readAll(CachedDrive* drive, std::uint64_t offset, std::uint8_t* out, std::uint64_t bytes) {
  for (std::uint64_t done = 0; done < bytes;) {
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes - done, kReadPiece));
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, offset + done, piece, out + done, &got) || got != piece)
      return false;
    done += piece;
  }
  return true;
}

/// Reads a boot region of @p sectorSize sectors at @p offset and parses it.
Parse tryRegion(CachedDrive* drive, std::uint64_t offset, std::uint32_t sectorSize, ExfatBoot& boot,
                std::uint32_t* checksum) {
  std::vector<std::uint8_t> region(std::size_t{sectorSize} * kExfatBootRegionSectors);
  if (!readAll(drive, offset, region.data(), region.size())) return Parse::NotThis;
  const Parse p = EXFAT_ParseBootRegion(region, boot);
  if (p == Parse::Ok && boot.sectorSize != sectorSize) return Parse::Corrupt;
  if (checksum != nullptr) *checksum = EXFAT_BootChecksum(region, sectorSize);
  return p;
}

/// Reads @p bytes of the stream that starts at @p first (FAT chain, or straight on) into @p out.
bool readStream(CachedDrive* drive, const ExfatGeometry& g, std::uint32_t first, std::uint8_t* out,
                std::uint64_t bytes) {
  ExfatClusterWalk walk(g, first, false, bytes);
  std::uint32_t c = 0;
  for (std::uint64_t done = 0; done < bytes;) {
    if (!walk.next(c)) return false;
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes - done, g.clusterBytes));
    if (!readAll(drive, EXFAT_ClusterSector(g, c) * g.sectorSize, out + done, piece)) return false;
    done += piece;
  }
  return true;
}

struct RootFinds {
  bool haveBitmap = false;
  std::uint32_t bitmapCluster = 0;
  std::uint64_t bitmapLength = 0;
  bool haveUpcase = false;
  std::uint32_t upcaseCluster = 0;
  std::uint64_t upcaseLength = 0;
  std::uint32_t upcaseChecksum = 0;
  char16_t label[12] = {};
  std::uint32_t labelLength = 0;
};

/// Looks through the root directory for the bitmap (the one of the active FAT), the up-case
/// table and the label, until the end-of-directory entry.
void scanRoot(CachedDrive* drive, const ExfatGeometry& g, RootFinds& f) {
  const std::uint32_t activeFat = (g.flags & kExfatInfoSecondFat) != 0 ? 1 : 0;
  ExfatClusterWalk walk(g, g.rootCluster, false, kExfatMaxDirectoryBytes, true);
  std::vector<std::uint8_t> cluster(g.clusterBytes);
  std::uint32_t c = 0;
  while (walk.next(c)) {
    if (!readAll(drive, EXFAT_ClusterSector(g, c) * g.sectorSize, cluster.data(), cluster.size()))
      return;
    for (std::size_t at = 0; at + 32 <= cluster.size(); at += 32) {
      const std::span<const std::uint8_t> entry(cluster.data() + at, 32);
      ByteReader r(entry);
      switch (entry[0]) {
        case 0:
          return;  // end of the directory
        case kExfatEntryBitmap: {
          const auto b = r.read<ExfatBitmapEntry>();
          if (b && (!f.haveBitmap || (b->flags & 1u) == activeFat)) {
            f.haveBitmap = true;
            f.bitmapCluster = b->firstCluster.get();
            f.bitmapLength = b->dataLength.get();
          }
          break;
        }
        case kExfatEntryUpcase: {
          const auto t = r.read<ExfatUpcaseEntry>();
          if (t && !f.haveUpcase) {
            f.haveUpcase = true;
            f.upcaseCluster = t->firstCluster.get();
            f.upcaseLength = t->dataLength.get();
            f.upcaseChecksum = t->tableChecksum.get();
          }
          break;
        }
        case kExfatEntryLabel:
          (void)EXFAT_ParseLabel(entry, f.label, f.labelLength);
          break;
        default:
          break;
      }
    }
  }
}

bool allZero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

bool EXFAT_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept {
  if (drive == nullptr || drive->fsCount != 0) return false;
  Undelete_Log(u, "EXFAT_RecognizeDrive: Testing drive for exFAT presence.\n");
  std::uint8_t sector[512];
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, 0, sizeof sector, sector, &got) || got != sizeof sector)
    return false;
  try {
    ExfatBoot boot;
    const Parse mainSector = EXFAT_ParseBootSector(sector, boot);
    std::uint32_t flags = 0;
    Parse chosen = Parse::NotThis;
    if (mainSector == Parse::Ok) {
      std::uint32_t mainSum = 0, backupSum = 0;
      ExfatBoot backup;
      chosen = tryRegion(drive, 0, boot.sectorSize, boot, &mainSum);
      const Parse b = tryRegion(drive, std::uint64_t{boot.sectorSize} * kExfatBootRegionSectors,
                                boot.sectorSize, backup, &backupSum);
      if (chosen != Parse::Ok && b == Parse::Ok) {
        Undelete_Log(u, "EXFAT_RecognizeDrive: Main boot region is damaged, using the backup.\n");
        boot = backup;
        flags |= kExfatInfoBackupBoot;
        chosen = Parse::Ok;
      } else if (chosen != Parse::Ok) {
        // Both checksums fail: the boot sector alone still describes the volume.
        Undelete_Log(u, "EXFAT_RecognizeDrive: Boot region checksum mismatch.\n");
        chosen = Parse::Ok;
      } else if (b == Parse::Ok && backupSum != mainSum) {
        Undelete_Log(u, "EXFAT_RecognizeDrive: Main and backup boot regions differ.\n");
        flags |= kExfatInfoBootMismatch;
      }
    } else if (mainSector == Parse::Corrupt || allZero(sector, sizeof sector)) {
      // Sector 0 is a damaged exFAT boot sector or was wiped: the backup region may stand in.
      // Any other sector 0 (FAT, NTFS, a partition table) is never looked behind.
      for (std::uint32_t ss = 512; ss <= 4096 && chosen != Parse::Ok; ss *= 2) {
        if (tryRegion(drive, std::uint64_t{ss} * kExfatBootRegionSectors, ss, boot, nullptr) ==
            Parse::Ok) {
          Undelete_Log(u, "EXFAT_RecognizeDrive: Main boot region is damaged, using the backup.\n");
          flags |= kExfatInfoBackupBoot;
          chosen = Parse::Ok;
        }
      }
      if (chosen != Parse::Ok && mainSector == Parse::Corrupt) {
        Undelete_Log(u, "EXFAT_RecognizeDrive: Incompatible bootsector field values.\n");
        Host_SetLastError(kErrBootInfo);
        return false;
      }
    }
    if (chosen != Parse::Ok) {
      Undelete_Log(u, "EXFAT_RecognizeDrive: Not found exFAT signature in the bootsector.\n");
      Undelete_Log(u, "EXFAT_RecognizeDrive: Fail.\n");
      return false;
    }
    Undelete_Log(u, "EXFAT_RecognizeDrive: Found exFAT boot sector.\n");

    std::uint64_t driveBytes = 0;
    if (!CachedDrive_GetSize(drive, &driveBytes) || driveBytes == 0) {
      Undelete_Log(u, "EXFAT_RecognizeDrive: Unable to get drive size.\n");
      Host_SetLastError(kErrDriveSize);
      return false;
    }
    ExfatVolumeInfo info;
    EXFAT_MakeVolumeInfo(boot, info);
    info.flags.set(info.flags.get() | flags);
    const std::uint64_t tableBytes =
        std::min<std::uint64_t>(std::uint64_t{boot.fatLength} * boot.sectorSize,
                                (std::uint64_t{boot.clusterCount} + 2) * 4);
    const std::uint32_t activeFat = (info.flags.get() & kExfatInfoSecondFat) != 0 ? 1 : 0;
    const std::uint64_t fatStart =
        (std::uint64_t{boot.fatOffset} + std::uint64_t{activeFat} * boot.fatLength) *
        boot.sectorSize;
    const std::uint64_t bitmapBytes = (std::uint64_t{boot.clusterCount} + 7) / 8;
    // The table must lie on the drive; it and the bitmap are held in memory with the record.
    if (fatStart > driveBytes || tableBytes > driveBytes - fatStart ||
        sizeof info + tableBytes + bitmapBytes > 0xFFFFFFFFull) {
      Undelete_Log(u, "EXFAT_RecognizeDrive: Bootsector geometry does not fit the volume.\n");
      Host_SetLastError(kErrBootInfo);
      return false;
    }
    std::vector<std::uint8_t> entry(sizeof info + tableBytes + bitmapBytes);
    if (!readAll(drive, fatStart, entry.data() + sizeof info, tableBytes)) {
      Undelete_Log(u, "EXFAT_RecognizeDrive: Unable to read the allocation table.\n");
      Host_SetLastError(kErrReadFat);
      return false;
    }
    info.fatBytes.set(static_cast<std::uint32_t>(tableBytes));
    info.bitmapBytes.set(0);
    ExfatGeometry g;
    if (!EXFAT_GeometryFrom(info, std::span<const std::uint8_t>(entry).subspan(sizeof info), g))
      return false;

    RootFinds finds;
    scanRoot(drive, g, finds);
    if (finds.haveBitmap && g.valid(finds.bitmapCluster) && finds.bitmapLength >= bitmapBytes &&
        readStream(drive, g, finds.bitmapCluster, entry.data() + sizeof info + tableBytes,
                   bitmapBytes)) {
      info.bitmapBytes.set(static_cast<std::uint32_t>(bitmapBytes));
      info.bitmapCluster.set(finds.bitmapCluster);
    } else {
      // Without it every state rests on what the listed files claim.
      Undelete_Log(u, "EXFAT_RecognizeDrive: Allocation bitmap not found.\n");
      entry.resize(sizeof info + tableBytes);
    }
    if (finds.haveUpcase && g.valid(finds.upcaseCluster) && finds.upcaseLength != 0 &&
        finds.upcaseLength <= kMaxUpcaseBytes) {
      std::vector<std::uint8_t> table(finds.upcaseLength);
      if (readStream(drive, g, finds.upcaseCluster, table.data(), table.size())) {
        info.upcaseCluster.set(finds.upcaseCluster);
        info.upcaseBytes.set(static_cast<std::uint32_t>(table.size()));
        if (EXFAT_TableChecksum(table) == finds.upcaseChecksum)
          info.flags.set(info.flags.get() | kExfatInfoUpcaseOk);
        else
          Undelete_Log(u, "EXFAT_RecognizeDrive: Up-case table checksum mismatch.\n");
      }
    }
    for (std::uint32_t i = 0; i < 11; ++i) info.label[i].set(finds.label[i]);
    info.labelLength.set(static_cast<std::uint16_t>(finds.labelLength));
    std::memcpy(entry.data(), &info, sizeof info);
    if (!CachedDrive_AddFileSystem(drive, static_cast<std::uint32_t>(entry.size()), entry.data()))
      return false;
    drive->sectorSize = boot.sectorSize;
    Undelete_Log(u, "EXFAT_RecognizeDrive: Success.\n");
    return true;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}

bool EXFAT_GetVolumeInfo(const CachedDrive* drive, ExfatVolumeInfo& out) noexcept {
  if (drive == nullptr || drive->fsCurrent >= drive->fsCount ||
      drive->fsCurrent >= kMaxFileSystems) {
    return false;
  }
  const auto* block = static_cast<const std::uint8_t*>(drive->fsTable[drive->fsCurrent]);
  if (block == nullptr || drive->fsSizes[drive->fsCurrent] < sizeof out) return false;
  std::memcpy(&out, block, sizeof out);
  return out.type.get() == kFsExfat;
}

bool EXFAT_GetGeometry(const CachedDrive* drive, ExfatGeometry& out) noexcept {
  ExfatVolumeInfo info;
  if (!EXFAT_GetVolumeInfo(drive, info)) return false;
  const auto* block = static_cast<const std::uint8_t*>(drive->fsTable[drive->fsCurrent]);
  const std::span<const std::uint8_t> tail(block + sizeof info,
                                           drive->fsSizes[drive->fsCurrent] - sizeof info);
  return EXFAT_GeometryFrom(info, tail, out);
}
