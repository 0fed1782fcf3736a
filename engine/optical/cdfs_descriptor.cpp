// CDFS's row of the file-system table: ISO 9660 on 2048-byte optical media.
#include "core/fs_dispatch.h"
#include "optical/cdfs.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {{kFsCdfs, "CDFS",
                                  "Undelete_Search: Searching for files on CDFS.\n",
                                  "\tScanning file system %d, CDFS.\n", sizeof(CdfsVolumeInfo)}};
}  // namespace

extern const FsDescriptor kCdfsDescriptor{
    .kind = kKindCdfs,
    .name = "CDFS",
    .types = kTypes,
    .recognize512 = nullptr,
    .recognize2048 = CDFS_RecognizeDrive,
    .recognizedReport = "\tCDFS file system recognized.\n",
    .notRecognizedLog = nullptr,
    .searchFiles = CDFS_SearchFiles,
    .recoverFile = CDFS_RecoverFile,
    .recoverLog = "Undelete_RecoverFile: Calling CDFS_RecoverFile to recover file.\n",
    .selectBeforeRecover = true,
    .describeVolume = CDFS_DescribeVolume,
    .saveEntry = CDFS_SaveVolumeInfo,
    .loadEntry = nullptr,  // the 2916-byte record is taken as it stands
    .recognizeFileSystem = nullptr,
    // No wipe members: nothing is wiped on optical media.
};
