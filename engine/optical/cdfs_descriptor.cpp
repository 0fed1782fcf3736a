// CDFS's row of the file-system table: ISO 9660 on 2048-byte optical media.
#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "optical/cdfs.h"
#include "optical/cdfs_ondisk.h"
#include "optical/cdfs_parse.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {{kFsCdfs, "CDFS",
                                  "Undelete_Search: Searching for files on CDFS.\n",
                                  "\tScanning file system %d, CDFS.\n", sizeof(CdfsVolumeInfo)}};

// The byte offset of the first extent: its block number times the block size.
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader r(in.locator);
  auto block = r.read<le32>();
  if (block && block->get() == kCdfsMultiExtentMark) {
    const auto count = r.read<le32>();
    block = count && count->get() != 0 ? r.read<le32>() : std::nullopt;
  }
  if (!block) return {};
  return {kUndeleteLocationOffset, std::uint64_t{block->get()} * kCdfsBlock};
}
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
    .fileLocation = fileLocation,
    .saveEntry = CDFS_SaveVolumeInfo,
    .loadEntry = nullptr,  // the 2916-byte record is taken as it stands
    .recognizeFileSystem = nullptr,
    // No wipe members: nothing is wiped on optical media.
};
