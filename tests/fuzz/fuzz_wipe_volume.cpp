// Fuzz target: the wipe of a whole FAT or NTFS volume in memory: the allocation bitmap, the
// entries of deleted files (FAT directories, NTFS free records) and the free clusters. Nothing may
// be read or written outside the volume, and nothing is written into a cluster the bitmap marks
// in use except the entries' own directory and record bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "fat/fat.h"
#include "host/host.h"
#include "host/host_volume_control.h"
#include "ntfs/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  if (!Undelete_Create(&u)) return 0;
  {
    HostVolume volume(Host_OpenMemory(image, true));
    if (CachedDrive_Create(&drive) &&
        CachedDrive_OpenDevice(drive, volume.readView(), kHostDriveFixed)) {
      u->drive = drive;
      const bool fat = FAT_RecognizeDrive(u, drive);
      const bool ntfs = !fat && NTFS_RecognizeDrive(drive, u);
      HostVolumeBitmap bitmap;
      if ((fat || ntfs) && CachedDrive_SelectFileSystem(drive, 0) &&
          (fat ? FAT_ReadVolumeBitmap(drive, bitmap) : NTFS_ReadVolumeBitmap(drive, bitmap))) {
        volume.setBitmap(bitmap);
        u->wipeFlags = 1;  // entries first, then the free space; method 0, one pass
        u->wipePasses = 1;
        u->wipeTotal = image.size();
        if (fat) {
          (void)FAT_WipeEntries(u, &volume);
          (void)FAT_WipeFreeSpace(u, &volume, static_cast<std::uint32_t>(bitmap.clusterCount), 0);
        } else {
          (void)NTFS_FillFreeRecords(u, &volume);
          (void)NTFS_WipeFreeClusters(u, &volume, bitmap.clusterBytes, 0);
        }
      }
    }
    u->drive = nullptr;
    if (drive != nullptr) {
      CachedDrive_Close(drive);
      CachedDrive_Destroy(drive);
    }
  }
  Undelete_Delete(u);
  return 0;
}
