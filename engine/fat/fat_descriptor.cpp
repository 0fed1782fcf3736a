// FAT's row of the file-system table: FAT12, FAT16 and FAT32 entries, one recoverer.
#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "core/wipe.h"
#include "fat/fat.h"
#include "host/host_volume_control.h"

namespace {
constexpr FsTypeInfo kTypes[] = {
    {kFsFat12, "FAT12", "Undelete_Search: Searching for files on FAT partition.\n",
     "\tScanning file system %d, FAT12.\n", 0},
    {kFsFat16, "FAT16", "Undelete_Search: Searching for files on FAT partition.\n",
     "\tScanning file system %d, FAT16.\n", 0},
    {kFsFat32, "FAT32", "Undelete_Search: Searching for files on FAT partition.\n",
     "\tScanning file system %d, FAT32.\n", 0},
};

// The first cluster the entry names; a file placed by the deep scan has a byte offset instead
// (0xFFFFFFFF, then the offset).
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader r(in.locator);
  const auto first = r.read<le32>();
  if (!first) return {};
  if (first->get() == 0xFFFFFFFFu) {
    const auto offset = r.read<le64>();
    return offset ? FsLocation{kUndeleteLocationOffset, offset->get()} : FsLocation{};
  }
  if (first->get() < 2) return {};  // no data cluster: an empty file
  return {kUndeleteLocationFirstCluster, first->get()};
}
}  // namespace

extern const FsDescriptor kFatDescriptor{
    .kind = kKindFat,
    .name = "FAT",
    .types = kTypes,
    .recognize512 = FAT_RecognizeDrive,
    .recognize2048 = nullptr,
    .recognizedReport = "\tFAT file system recognized.\n",
    .notRecognizedLog = "Undelete_RecognizeDrive: FAT file system not recognized.\n",
    .searchFiles = FAT_SearchFiles,
    .recoverFile = FAT_RecoverFile,
    .recoverLog = "Undelete_RecoverFile: Calling FAT_RecoverFile to recover file.\n",
    .selectBeforeRecover = true,
    .describeVolume = FAT_DescribeVolume,
    .fileLocation = fileLocation,
    .saveEntry = FAT_SaveVolumeInfo,
    .loadEntry = FAT_LoadVolumeInfo,
    .recognizeFileSystem = FAT_RecognizeFileSystem,
    .readVolumeBitmap = FAT_ReadVolumeBitmap,
    .wipeFile =
        [](Undelete* u, FileRecord* r, HostVolume* v, HostScratchFile* s,
           std::atomic<std::uint64_t>* done) noexcept {
          return FAT_WipeFile(u, v, s, r, v->bitmap().clusterBytes, done);
        },
    .wipeLog = "Undelete_WipeFile: Calling FAT_Wipe to recover file.\n",
    .wipeOneClusterScratch = false,
    .wipeEntries = FAT_WipeEntries,
    .wipeFreeSpace =
        [](Undelete* u, HostVolume* v, std::uint64_t before) noexcept {
          return FAT_WipeFreeSpace(u, v, static_cast<std::uint32_t>(v->bitmap().clusterCount),
                                   before);
        },
};
