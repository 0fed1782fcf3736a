// NTFS recognition: reads the boot sector and adds the volume's entry to the drive's table.
#include <cstdint>
#include <cstring>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/log.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

NtfsVolume* NTFS_CurrentVolume(CachedDrive* drive) noexcept {
  if (drive == nullptr) return nullptr;
  const auto entry = Fs_SelectedEntry(drive);
  if (!entry || entry->type != kFsNtfs || entry->bytes.size() < sizeof(NtfsVolume)) return nullptr;
  return reinterpret_cast<NtfsVolume*>(entry->bytes.data());
}

bool NTFS_RecognizeDrive(CachedDrive* drive, Undelete* u) noexcept {
  Undelete_Log(u, "NTFS_RecognizeDrive: Testing if drive is NTFS.\n");
  if (drive == nullptr) return false;
  std::uint8_t sector[512];
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, 0, sizeof sector, sector, &got) || got != sizeof sector)
    return false;
  NtfsBootGeometry g;
  if (NTFS_ParseBootSector(sector, g) != Parse::Ok) return false;
  Undelete_Log(u, "NTFS_RecognizeDrive: Drive is NTFS.\n");
  drive->sectorSize = g.bytesPerSector;
  Undelete_Log(u, "NTFS_RecognizeDrive: Bytes per cluster: %d.\n",
               static_cast<int>(g.clusterBytes));
  Undelete_Log(u, "NTFS_RecognizeDrive: File record size: %d.\n", static_cast<int>(g.recordBytes));
  Undelete_Log(u, "NTFS_RecognizeDrive: MFT starting cluster: %d.\n",
               static_cast<int>(g.mftCluster));
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size) || size == 0) {
    Undelete_Log(u, "NTFS_RecognizeDrive: Unable to obtain drive size.\n");
    return false;
  }
  NtfsVolume volume{};
  volume.info.type.set(kFsNtfs);
  volume.info.clusterBytes.set(g.clusterBytes);
  volume.info.recordBytes.set(g.recordBytes);
  volume.info.clusterCount.set(size / g.clusterBytes);
  volume.info.mftCluster.set(g.mftCluster);
  volume.info.mirrorCluster.set(g.mirrorCluster);
  volume.info.volumeStart.set(0);
  Undelete_Log(u, "NTFS_RecognizeDrive: Drive cluster count: %d.\n",
               static_cast<int>(size / g.clusterBytes));
  return CachedDrive_AddFileSystem(drive, sizeof volume, &volume);
}

bool NTFS_RecognizeFileSystem(Undelete*, std::uint64_t) noexcept { return false; }
