// UDF's row of the file-system table. UDF is recognised on 2048-byte optical media and, after
// FAT and NTFS, on disks of 512-byte sectors (hard disks and memory sticks formatted with UDF).
#include "core/fs_dispatch.h"
#include "optical/udf.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {{kFsUdf, "UDF", "Undelete_Search: Searching for files on UDF.\n",
                                  "\tScanning file system %d, UDF.\n", sizeof(UdfVolumeInfo)}};
}  // namespace

extern const FsDescriptor kUdfDescriptor{
    .kind = kKindUdf,
    .name = "UDF",
    .types = kTypes,
    .recognize512 = UDF_RecognizeDrive,
    .recognize2048 = UDF_RecognizeDrive,
    .recognizedReport = "UDF file system recognized.\n",
    .notRecognizedLog = "Undelete_RecognizeDrive: UDF file system not recognized.\n",
    .searchFiles = UDF_SearchFiles,
    .recoverFile = UDF_RecoverFile,
    .recoverLog = "Undelete_RecoverFile: Calling UDF_RecoverFile to recover file.\n",
    .selectBeforeRecover = true,
    .describeVolume = UDF_DescribeVolume,
    .saveEntry = UDF_SaveVolumeInfo,
    .loadEntry = nullptr,  // the 40-byte record is taken as it stands
    .recognizeFileSystem = [](Undelete* u,
                              std::uint64_t offset) { return UDF_RecognizeFileSystem(u, offset); },
    // No wipe members: nothing is wiped on optical media.
};
