// Fuzz target: a whole optical volume in memory, recognised as UDF or ISO 9660, searched and its
// first files recovered. The input's first byte chooses UDF (bit 0) and the deep scan with the
// lost-directory lookup (bit 1); then it lists blocks of a 600 KiB disc: a little-endian u16
// block number and 2048 bytes, again and again; unlisted blocks are zero. Nothing may be read
// outside the volume.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "optical/cdfs.h"
#include "optical/udf.h"

namespace {
constexpr std::size_t kBlock = 2048;
constexpr std::size_t kBlocks = 300;  // the anchor of a UDF volume is block 256
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool udf = (data[0] & 1) != 0;
  const bool deep = (data[0] & 2) != 0;
  std::vector<std::uint8_t> image(kBlock * kBlocks, 0);
  for (std::size_t at = 1; at + 2 <= size;) {
    const std::size_t block = (data[at] | (data[at + 1] << 8)) % kBlocks;
    at += 2;
    const std::size_t n = size - at < kBlock ? size - at : kBlock;
    std::memcpy(image.data() + block * kBlock, data + at, n);
    at += n;
  }
  char target[64];
  std::snprintf(target, sizeof target, "/tmp/kvx-fuzz-optical-%d", static_cast<int>(getpid()));
  {
    Undelete* u = nullptr;
    CachedDrive* drive = nullptr;
    if (!Undelete_Create(&u)) return 0;
    u->filesReserve = 1u << 24;  // small regions: a fuzz run makes few records
    u->stringsReserve = 1u << 24;
    u->foldersReserve = 1u << 22;
    u->options = (deep ? kOptDeepScan : 0u) | kOptTestExtension | kOptTestAll;
    if (CachedDrive_Create(&drive) &&
        CachedDrive_OpenDevice(drive, Host_OpenMemory(image, false, true), kDriveTypeCdRom) &&
        Storage_Reserve(u)) {
      drive->sectorSize = 2048;
      u->drive = drive;
      u->recognizeHook = UDF_RecognizeFileSystem;
      std::memset(u->scanMarks, 0xFF, sizeof u->scanMarks);
      std::memset(u->scanScratch, 0xFF, sizeof u->scanScratch);
      std::uint32_t root = 0;
      const bool found = udf ? UDF_RecognizeDrive(u, drive) : CDFS_RecognizeDrive(u, drive);
      if (Storage_AddFolder(u, u"R", kNoParent, 0xFFFF, 0, false, false, &root) && found &&
          CachedDrive_SelectFileSystem(drive, 0)) {
        u->rootFolder = root;
        (void)(udf ? UDF_SearchFiles(u) : CDFS_SearchFiles(u));
        char text[256];
        (void)(udf ? UDF_DescribeVolume(drive, text, false)
                   : CDFS_DescribeVolume(drive, text, false));
        const std::uint32_t n = u->fileCount < 4 ? u->fileCount.load() : 4u;
        for (std::uint32_t i = 0; i < n; ++i) {
          FileRecord* r = Storage_File(u, i);
          (void)(udf ? UDF_RecoverFile(u, r, target, &u->bytesDone)
                     : CDFS_RecoverFile(u, r, target, &u->bytesDone));
          (void)::unlink(target);
          std::snprintf(text, sizeof text, "%s.partial", target);
          (void)::unlink(text);
        }
        void* block = nullptr;
        std::uint32_t blockSize = 0;
        if (udf ? UDF_SaveVolumeInfo(drive, &block, &blockSize)
                : CDFS_SaveVolumeInfo(drive, &block, &blockSize))
          std::free(block);
      }
    }
    u->drive = nullptr;
    Undelete_Delete(u);
    if (drive != nullptr) CachedDrive_Destroy(drive);
  }
  return 0;
}
