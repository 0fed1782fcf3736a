// FAT recognition: reads the boot sector and the first FAT and adds the volume record to the
// drive's file-system table. Also the cluster arithmetic over the selected record.
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "fat/fat.h"

namespace {

// The table copy is read in pieces no larger than the drive's cache.
constexpr std::uint32_t kFatReadPiece = 1u << 20;

const char* kindText(std::uint32_t kind) noexcept {
  return kind == kFsFat12 ? "FAT12" : kind == kFsFat16 ? "FAT16" : "FAT32";
}

}  // namespace

bool FAT_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept {
  if (drive == nullptr || drive->fsCount != 0) return false;
  Undelete_Log(u, "FAT_RecognizeDrive: Testing drive for FAT presence.\n");
  std::uint8_t sector[512];
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, 0, sizeof sector, sector, &got) || got != sizeof sector)
    return false;

  FatBoot boot;
  if (FAT_ParseBootSector(sector, boot) != Parse::Ok) {
    Undelete_Log(u, "FAT_RecognizeDrive: Not found FAT signature in the bootsector.\n");
    Undelete_Log(u, "FAT_RecognizeDrive: Fail.\n");
    return false;
  }
  Undelete_Log(u, "FAT_RecognizeDrive: Found bootsector signature for %s.\n", kindText(boot.kind));

  std::uint64_t volumeBytes = 0;
  if (!CachedDrive_GetSize(drive, &volumeBytes) || volumeBytes == 0) {
    Undelete_Log(u, "FAT_RecognizeDrive: Unable to get drive size.\n");
    Host_SetLastError(kErrDriveSize);
    return false;
  }
  if (boot.rootEntriesField == 0) {
    Undelete_Log(u, "FAT_RecognizeDrive: Root directory entries count = %u.\n",
                 boot.kind == kFsFat32 ? 65536u : 512u);
  }
  Undelete_Log(u, "FAT_RecognizeDrive: Sectors per fat: %u.\n",
               boot.sectorsPerFat16 != 0 ? boot.sectorsPerFat16 : boot.sectorsPerFat32);

  FatVolumeInfo info{};
  switch (FAT_MakeVolumeInfo(boot, volumeBytes, info)) {
    case FatGeometryCheck::Ok:
      break;
    case FatGeometryCheck::Incompatible:
      Undelete_Log(u, "FAT_RecognizeDrive: Incompatible bootsector field values.\n");
      Host_SetLastError(kErrBootInfo);
      return false;
    case FatGeometryCheck::OutOfRange:
      // Sizes that would divide by zero or place the tables outside the volume.
      Undelete_Log(u, "FAT_RecognizeDrive: Bootsector geometry does not fit the volume.\n");
      Host_SetLastError(kErrBootInfo);
      return false;
  }
  if (boot.kind == kFsFat32) {
    Undelete_Log(u, "FAT_RecognizeDrive: Root dir start cluster: %u.\n", info.rootCluster.get());
  }

  const std::uint32_t sectorSize = static_cast<std::uint32_t>(boot.bytesPerSector);
  const std::uint32_t fatBytes = info.fatBytes.get();
  // The table entry is the record followed by the table: one block, released with the entry.
  std::vector<std::uint8_t> entry;
  try {
    entry.resize(sizeof(FatVolumeInfo) + std::size_t{fatBytes});
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  std::memcpy(entry.data(), &info, sizeof info);
  const std::uint64_t fatStart = std::uint64_t{info.reservedSectors.get()} * sectorSize;
  for (std::uint32_t done = 0; done < fatBytes;) {
    const std::uint32_t piece = fatBytes - done < kFatReadPiece ? fatBytes - done : kFatReadPiece;
    got = 0;
    if (!CachedDrive_Read(drive, fatStart + done, piece, entry.data() + sizeof info + done, &got) ||
        got != piece) {
      Undelete_Log(u, "FAT_RecognizeDrive: Unable to allocate memory for examined clusters map.\n");
      Host_SetLastError(kErrReadFat);
      return false;
    }
    done += piece;
  }
  drive->sectorSize = sectorSize;
  // N.B. the copy is owned by the table and only ever read through const pointers.
  if (!CachedDrive_AddFileSystem(drive, static_cast<std::uint32_t>(entry.size()), entry.data())) {
    return false;
  }
  Undelete_Log(u, "FAT_RecognizeDrive: Success.\n");
  return true;
}

bool FAT_GetGeometry(const CachedDrive* drive, FatGeometry& out) noexcept {
  const auto entry = Fs_SelectedEntry(drive);
  if (!entry || entry->bytes.size() < sizeof(FatVolumeInfo)) return false;
  const std::uint8_t* block = entry->bytes.data();
  const auto size = static_cast<std::uint32_t>(entry->bytes.size());
  FatVolumeInfo info;
  std::memcpy(&info, block, sizeof info);
  if (info.fatBytes.get() > size - sizeof(FatVolumeInfo)) return false;
  return FAT_GeometryFrom(info, block + sizeof info, drive->sectorSize, out);
}

std::uint64_t FAT_ClusterToSector(const CachedDrive* drive, std::uint32_t cluster) noexcept {
  FatGeometry g;
  return FAT_GetGeometry(drive, g) ? FAT_ClusterSector(g, cluster) : 0;
}

std::uint64_t FAT_RootDirSector(const CachedDrive* drive) noexcept {
  FatGeometry g;
  return FAT_GetGeometry(drive, g) ? FAT_RootSector(g) : 0;
}

bool FAT_GetFatEntry(const CachedDrive* drive, std::uint32_t cluster,
                     std::uint32_t* next) noexcept {
  FatGeometry g;
  if (next == nullptr || !FAT_GetGeometry(drive, g)) return false;
  return FAT_TableEntry(g, cluster, *next);
}

bool FAT_IsEndOfChain(const CachedDrive* drive, std::uint32_t value) noexcept {
  FatGeometry g;
  return !FAT_GetGeometry(drive, g) || FAT_EndOfChainValue(g.kind, value);
}
