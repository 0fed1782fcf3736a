// exFAT's row of the file-system table: one entry type, one recoverer.
#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "exfat/exfat.h"
#include "exfat/exfat_ondisk.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {
    {kFsExfat, "exFAT", "Undelete_Search: Searching for files on exFAT partition.\n",
     "\tScanning file system %d, exFAT.\n", 0},
};

// The first cluster of the stream; 0 for a file without data.
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader r(in.locator);
  const auto locator = r.read<ExfatLocator>();
  if (!locator || locator->firstCluster.get() < 2) return {};
  return {kUndeleteLocationFirstCluster, locator->firstCluster.get()};
}
}  // namespace

extern const FsDescriptor kExfatDescriptor{
    .kind = kKindExfat,
    .name = "EXFAT",
    .types = kTypes,
    // Tried after FAT and NTFS; its boot-sector test (name, zeroed parameter block, checksum)
    // takes neither of theirs, and theirs take no exFAT boot sector.
    .recognize512 = EXFAT_RecognizeDrive,
    .recognize2048 = nullptr,
    .recognizedReport = "\texFAT file system recognized.\n",
    .notRecognizedLog = "Undelete_RecognizeDrive: exFAT file system not recognized.\n",
    .searchFiles = EXFAT_SearchFiles,
    .recoverFile = EXFAT_RecoverFile,
    .recoverLog = "Undelete_RecoverFile: Calling EXFAT_RecoverFile to recover file.\n",
    .selectBeforeRecover = true,
    .describeVolume = EXFAT_DescribeVolume,
    .fileLocation = fileLocation,
    .saveEntry = EXFAT_SaveVolumeInfo,
    .loadEntry = EXFAT_LoadVolumeInfo,
    .recognizeFileSystem = nullptr,  // exFAT volumes are not looked for by the deep scan
    // No wipe members: exFAT volumes are not wiped yet.
};
