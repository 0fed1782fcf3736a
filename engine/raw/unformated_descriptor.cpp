// The raw kind's row of the file-system table: volumes nothing else recognises, and every file the
// deep scan finds (on any volume), which it recovers as consecutive sectors.
#include "core/fs_dispatch.h"
#include "core/wipe.h"
#include "raw/unformated.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {
    {kFsUnknown, "Unknown FS",
     "Undelete_Search: Searching for files on unrecognized or unformatted partition.\n",
     "\tScanning file system %d, unrecognized file system.\n", 4},
};
}  // namespace

extern const FsDescriptor kUnformatedDescriptor{
    .kind = kKindRaw,
    .name = "Unformated",
    .types = kTypes,
    // The fallback of 512-byte drives: called once every other recogniser has declined.
    .recognize512 = [](Undelete*, CachedDrive* d) noexcept { return Unformated_RecognizeDrive(d); },
    .recognize2048 = nullptr,
    .recognizedReport = nullptr,
    .notRecognizedLog = nullptr,
    .searchFiles = Unformated_SearchFiles,
    .recoverFile = Unformated_RecoverFile,
    .recoverLog = "Undelete_RecoverFile: Calling Unformated_RecoverFile to recover file.\n",
    .selectBeforeRecover = false,
    .describeVolume = Unformated_DescribeVolume,
    .saveEntry = Unformated_SaveVolumeInfo,
    .loadEntry = nullptr,
    .recognizeFileSystem = nullptr,
    .readVolumeBitmap = nullptr,
    .wipeFile =
        [](Undelete* u, FileRecord* r, HostVolume* v, HostScratchFile* s,
           std::atomic<std::uint64_t>* done) noexcept {
          return Unformated_WipeFile(u, v, s, r, done);
        },
    .wipeLog = "Undelete_WipeFile: Calling Unformated_WipeFile to recover file.\n",
    .wipeOneClusterScratch = true,
    .wipeEntries = nullptr,
    .wipeFreeSpace = nullptr,
};
