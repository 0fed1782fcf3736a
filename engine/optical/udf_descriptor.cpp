// UDF's row of the file-system table. UDF is recognised on 2048-byte optical media and, after
// FAT and NTFS, on disks of 512-byte sectors (hard disks and memory sticks formatted with UDF).
#include <vector>

#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "optical/udf.h"
#include "optical/udf_ondisk.h"
#include "optical/udf_parse.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {{kFsUdf, "UDF", "Undelete_Search: Searching for files on UDF.\n",
                                  "\tScanning file system %d, UDF.\n", sizeof(UdfVolumeInfo)}};

// The byte offset of the first recorded extent in the volume (the partition's start plus the
// block); none when the data sits inside the file's entry or the first extent holds nothing.
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader entry(in.entry);
  const auto info = entry.read<UdfVolumeInfo>();
  if (!info || info->kind.get() != kFsUdf) return {};
  std::vector<UdfPiece> pieces;
  try {
    if (!UDF_DecodeLocator(in.locator, pieces) || pieces.empty()) return {};
  } catch (...) {
    return {};
  }
  const UdfPiece& p = pieces.front();
  if (p.embedded || p.type != 0) return {};
  const std::uint64_t blockBytes = info->blockBytes.get();
  return {kUndeleteLocationOffset,
          (std::uint64_t{info->partitionStart.get()} + p.block) * blockBytes};
}
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
    .fileLocation = fileLocation,
    .saveEntry = UDF_SaveVolumeInfo,
    .loadEntry = nullptr,  // the 40-byte record is taken as it stands
    .recognizeFileSystem = [](Undelete* u,
                              std::uint64_t offset) { return UDF_RecognizeFileSystem(u, offset); },
    // No wipe members: nothing is wiped on optical media.
};
