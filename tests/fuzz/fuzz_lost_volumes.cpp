// Fuzz target: a 64 KiB drive of unknown bytes offered sector by sector to the deep scan's
// recogniser hook, as the deep scan does with unclaimed sectors that look like file-system
// metadata: lost NTFS file records and lost FAT directories, then the finishing call.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/search.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kVolume = 1u << 16;
  if (size > kVolume) return 0;
  static std::vector<std::uint8_t> volume;
  volume.assign(kVolume, 0);
  if (size != 0) std::memcpy(volume.data(), data, size);

  Undelete* u = nullptr;
  if (!Undelete_Create(&u)) return 0;
  u->filesReserve = 1u << 20;
  u->stringsReserve = 1u << 20;
  u->foldersReserve = 1u << 18;
  CachedDrive* drive = nullptr;
  if (Storage_Reserve(u) && CachedDrive_Create(&drive) &&
      CachedDrive_OpenDevice(drive, Host_OpenMemory(volume, false), kHostDriveFixed)) {
    u->drive = drive;
    drive->sectorSize = 512;
    std::memset(u->scanMarks, 0xFF, sizeof u->scanMarks);
    if (Storage_AddFolder(u, u"F", kNoParent, 0xFFFF, 0, false, false, &u->rootFolder) &&
        CachedDrive_InitMap(drive, kVolume / 512, nullptr, 0)) {
      u->rootName = Storage_Folder(u, u->rootFolder)->name.get();
      for (std::uint64_t s = 0; s < kVolume / 512; ++s) {
        if (CachedDrive_TestMapBit(drive, s)) continue;
        const std::uint8_t* head = volume.data() + s * 512;
        if (std::memcmp(head, "FILE", 4) != 0 && std::memcmp(head, ".   ", 4) != 0) continue;
        u->scanKey = s * 512;
        (void)Undelete_RecognizeFileSystem(u, s * 512);
      }
      (void)Undelete_RecognizeFileSystem(u, ~std::uint64_t{0});
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
