// NTFS's row of the file-system table; adapts the module's argument orders to the table's.
#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "core/wipe.h"
#include "host/host_volume_control.h"
#include "ntfs/ntfs.h"
#include "ntfs/ntfs_ondisk.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {
    {kFsNtfs, "NTFS", "Undelete_Search: Searching for files on NTFS partition.\n",
     "\tScanning file system %d, NTFS.\n", 0},
};

// The MFT record (the inode number of fls and istat); a file known only by its data (no record)
// keeps that data's byte offset in the two length fields.
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader r(in.locator);
  const auto info = r.read<NtfsFileInfo>();
  if (!info) return {};
  if (info->recordNumber.get() != kNtfsNoRecord)
    return {kUndeleteLocationMftRecord, info->recordNumber.get()};
  return {kUndeleteLocationOffset,
          info->dataLength.get() | std::uint64_t{info->runListLength.get()} << 32};
}
}  // namespace

extern const FsDescriptor kNtfsDescriptor{
    .kind = kKindNtfs,
    .name = "NTFS",
    .types = kTypes,
    .recognize512 = [](Undelete* u, CachedDrive* d) noexcept { return NTFS_RecognizeDrive(d, u); },
    .recognize2048 = nullptr,
    .recognizedReport = "\tNTFS file system recognized.\n",
    .notRecognizedLog = "Undelete_RecognizeDrive: NTFS file system not recognized.\n",
    .searchFiles = NTFS_SearchFiles,
    .recoverFile =
        [](Undelete* u, FileRecord* r, const char* target,
           std::atomic<std::uint64_t>* done) noexcept {
          return NTFS_RecoverFile(r, done, u, target);
        },
    .recoverLog = "Undelete_RecoverFile: Calling NTFS_RecoverFile to recover file.\n",
    .selectBeforeRecover = true,
    .describeVolume = NTFS_DescribeVolume,
    .fileLocation = fileLocation,
    .saveEntry = NTFS_SaveVolumeInfo,
    .loadEntry = NTFS_LoadVolumeInfo,
    .recognizeFileSystem = NTFS_RecognizeFileSystem,
    .readVolumeBitmap = NTFS_ReadVolumeBitmap,
    .wipeFile =
        [](Undelete* u, FileRecord* r, HostVolume* v, HostScratchFile* s,
           std::atomic<std::uint64_t>* done) noexcept {
          return NTFS_WipeFile(u, r, v, s, v->bitmap().clusterBytes, done);
        },
    .wipeLog = "Undelete_WipeFile: Calling NTFS_Wipe to recover file.\n",
    .wipeOneClusterScratch = false,
    .wipeEntries = NTFS_FillFreeRecords,
    .wipeFreeSpace =
        [](Undelete* u, HostVolume* v, std::uint64_t before) noexcept {
          return NTFS_WipeFreeClusters(u, v, v->bitmap().clusterBytes, before);
        },
};
