// Fuzz target: a whole FAT volume in memory: recognition, directory search, state estimation and
// recovery of what was found. Nothing may be read outside the volume, and the volume is not
// written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "host/host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  if (!Undelete_Create(&u)) return 0;
  u->filesReserve = 1u << 24;  // small regions: a fuzz run makes few records
  u->stringsReserve = 1u << 24;
  u->foldersReserve = 1u << 22;
  if (CachedDrive_Create(&drive) &&
      CachedDrive_OpenDevice(drive, Host_OpenMemory(image, false), kHostDriveFixed) &&
      Storage_Reserve(u)) {
    u->drive = drive;
    std::uint32_t root = 0;
    if (Storage_AddFolder(u, u"R", kNoParent, 0xFFFF, 0, false, false, &root)) {
      u->rootFolder = root;
      if (FAT_RecognizeDrive(u, drive) && CachedDrive_SelectFileSystem(drive, 0)) {
        (void)FAT_SearchFiles(u);
        char text[256];
        (void)FAT_DescribeVolume(drive, text, false);
        const std::uint32_t count = u->fileCount;
        const std::uint32_t n = count < 8 ? count : 8u;
        for (std::uint32_t i = 0; i < n; ++i) {
          (void)FAT_RecoverFile(u, Storage_File(u, i), "/dev/null", &u->bytesDone);
        }
        void* block = nullptr;
        std::uint32_t blockSize = 0;
        if (FAT_SaveVolumeInfo(drive, &block, &blockSize)) std::free(block);
      }
    }
  }
  u->drive = nullptr;
  Undelete_Delete(u);
  if (drive != nullptr) CachedDrive_Destroy(drive);
  return 0;
}
