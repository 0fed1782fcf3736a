// The raw kind's row of the file-system table: volumes nothing else recognises, and every file the
// deep scan finds (on any volume), which it recovers as consecutive sectors.
#include "core/fs_dispatch.h"
#include "core/reader.h"
#include "core/wipe.h"
#include "raw/unformated.h"
#include "undelete/undelete.h"

namespace {
constexpr FsTypeInfo kTypes[] = {
    {kFsUnknown, "Unknown FS",
     "Undelete_Search: Searching for files on unrecognized or unformatted partition.\n",
     "\tScanning file system %d, unrecognized file system.\n", 4},
};

// A find of the deep scan: the low 32 bits of its first sector are kept with it, the whole
// byte offset in its scan key (the offset the scan found it at). The key is taken when it agrees
// with the sector; else the sector, which is exact below 2^32 sectors.
FsLocation fileLocation(const FsLocationInput& in) noexcept {
  ByteReader r(in.locator);
  const auto first = r.read<le32>();
  if (!first) return {};
  const std::uint64_t key = in.record.scanKey.get();
  for (const std::uint64_t sector :
       {std::uint64_t{in.sectorSize}, std::uint64_t{512}, std::uint64_t{2048}}) {
    if (sector != 0 && key % sector == 0 &&
        static_cast<std::uint32_t>(key / sector) == first->get())
      return {kUndeleteLocationOffset, key};
  }
  if (in.sectorSize == 0) return {};
  return {kUndeleteLocationOffset, std::uint64_t{first->get()} * in.sectorSize};
}
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
    .fileLocation = fileLocation,
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
