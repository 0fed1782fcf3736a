// Fuzz target: a whole exFAT volume in memory: recognition, directory search, state estimation,
// recovery of what was found, description and the saved table entry. Nothing may be read outside
// the volume, and the volume is not written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"
#include "host/host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  if (!Undelete_Create(&u)) return 0;
  u->filesReserve = 1u << 24;  // small regions: a fuzz run makes few records
  u->stringsReserve = 1u << 24;
  u->foldersReserve = 1u << 22;
  // Recovered files go to a folder of this process and are removed at once.
  static const std::string dir = [] {
    char tmpl[] = "/tmp/fuzz-exfat-XXXXXX";
    const char* made = mkdtemp(tmpl);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  if (CachedDrive_Create(&drive) &&
      CachedDrive_OpenDevice(drive, Host_OpenMemory(image, false), kHostDriveFixed) &&
      Storage_Reserve(u)) {
    u->drive = drive;
    std::uint32_t root = 0;
    if (Storage_AddFolder(u, u"R", kNoParent, 0xFFFF, 0, false, false, &root)) {
      u->rootFolder = root;
      if (EXFAT_RecognizeDrive(u, drive) && CachedDrive_SelectFileSystem(drive, 0)) {
        (void)EXFAT_SearchFiles(u);
        char text[256];
        (void)EXFAT_DescribeVolume(drive, text, false);
        const std::uint32_t count = u->fileCount;
        const std::uint32_t n = count < 8 ? count : 8u;
        for (std::uint32_t i = 0; i < n; ++i) {
          const std::string target = dir + "/f" + std::to_string(i);
          (void)EXFAT_RecoverFile(u, Storage_File(u, i), target.c_str(), &u->bytesDone);
          ::unlink(target.c_str());
        }
        void* block = nullptr;
        std::uint32_t blockSize = 0;
        if (EXFAT_SaveVolumeInfo(drive, &block, &blockSize)) std::free(block);
      }
    }
  }
  u->drive = nullptr;
  Undelete_Delete(u);
  if (drive != nullptr) CachedDrive_Destroy(drive);
  return 0;
}
