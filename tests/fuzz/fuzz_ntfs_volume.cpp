// Fuzz target: a whole NTFS volume in memory through recognition, the MFT scan (folder map,
// extension records, state estimate). The input is the boot sector followed by MFT records; the
// geometry fields are pinned (512-byte clusters, 1 KiB records, MFT at cluster 64) so that the
// fuzzer spends its time on the records, run lists and fix-ups rather than on finding the MFT.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "ntfs/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kVolume = 1u << 20, kMftAt = 64 * 512;
  if (size < 512 || size > kVolume - kMftAt) return 0;
  static std::vector<std::uint8_t> volume;
  volume.assign(kVolume, 0);
  std::memcpy(volume.data(), data, 512);
  std::memcpy(volume.data() + 3, "NTFS    ", 8);
  storeLe<std::uint16_t>(volume.data() + 0x0B, 512);
  volume[0x0D] = 1;
  volume[0x10] = 0;
  storeLe<std::uint64_t>(volume.data() + 0x30, 64);
  volume[0x40] = 0xF6;
  std::memcpy(volume.data() + kMftAt, data + 512, size - 512);

  Undelete* u = nullptr;
  if (!Undelete_Create(&u)) return 0;
  u->filesReserve = 1u << 24;
  u->stringsReserve = 1u << 24;
  u->foldersReserve = 1u << 22;
  CachedDrive* drive = nullptr;
  if (Storage_Reserve(u) && CachedDrive_Create(&drive) &&
      CachedDrive_OpenDevice(drive, Host_OpenMemory(volume, false), kHostDriveFixed)) {
    u->drive = drive;
    std::memset(u->scanMarks, 0xFF, sizeof u->scanMarks);
    if (Storage_AddFolder(u, u"F", kNoParent, 0xFFFF, 0, false, false, &u->rootFolder) &&
        NTFS_RecognizeDrive(drive, u) && CachedDrive_SelectFileSystem(drive, 0)) {
      u->rootName = Storage_Folder(u, u->rootFolder)->name.get();
      (void)NTFS_SearchFiles(u);
      for (std::uint32_t i = 0; i < u->fileCount.load(); ++i) {
        (void)NTFS_ListStreams(u, Storage_File(u, i));
      }
    }
  }
  if (drive != nullptr) {
    CachedDrive_Close(drive);
    CachedDrive_Destroy(drive);
  }
  Undelete_Done(u);
  Undelete_Delete(u);
  return 0;
}
