// The file-system table: one entry per file-system kind, adapting each module's argument order.
// Modules not in the build (UDF, CDFS) are referenced weakly: their entries stay null and their
// adapters answer false.
#include "core/fs_dispatch.h"

#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>

#include "core/last_error.h"
#include "undelete/undelete.h"

// Declared by the modules' own headers, so a changed parameter list fails to compile instead of
// leaving an entry silently empty.
#include "fat/fat.h"
#include "ntfs/ntfs.h"
#include "raw/unformated.h"

#define KVX_WEAK __attribute__((weak))
bool UDF_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept KVX_WEAK;
bool UDF_SearchFiles(Undelete* u) noexcept KVX_WEAK;
bool UDF_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept KVX_WEAK;
bool UDF_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept KVX_WEAK;
bool UDF_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept KVX_WEAK;

bool CDFS_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept KVX_WEAK;
bool CDFS_SearchFiles(Undelete* u) noexcept KVX_WEAK;
bool CDFS_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                      std::atomic<std::uint64_t>* bytesDone) noexcept KVX_WEAK;
bool CDFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept KVX_WEAK;
#undef KVX_WEAK

// Needed for u->bytesDone in the recover adapters.
#include "core/undelete_object.h"

namespace {

/// Runs a module call; a missing function or an allocation failure inside it answers false.
template <class Fn, class... Args>
bool call(Fn* fn, Args... args) noexcept {
  if (fn == nullptr) return false;
  try {
    return fn(args...);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
  } catch (...) {
  }
  return false;
}

/// The deep-scan hook's tries are not wrapped: the hook catches and reports failures itself.
template <class Fn>
bool callHook(Fn* fn, Undelete* u, std::uint64_t offset) {
  return fn != nullptr && fn(u, offset);
}

constexpr FileSystemOps kOps[] = {
    {"Unformated", []() noexcept { return true; },
     [](Undelete*, CachedDrive* d) noexcept { return call(Unformated_RecognizeDrive, d); },
     [](Undelete* u) noexcept { return call(Unformated_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(Unformated_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(Unformated_DescribeVolume, d, text, s);
     },
     [](Undelete*, std::uint64_t) { return false; }},
    {"FAT", []() noexcept { return true; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(FAT_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(FAT_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(FAT_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(FAT_DescribeVolume, d, text, s);
     },
     [](Undelete* u, std::uint64_t off) { return callHook(FAT_RecognizeFileSystem, u, off); }},
    {"NTFS", []() noexcept { return true; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(NTFS_RecognizeDrive, d, u); },
     [](Undelete* u) noexcept { return call(NTFS_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(NTFS_RecoverFile, r, &u->bytesDone, u, t);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(NTFS_DescribeVolume, d, text, s);
     },
     [](Undelete* u, std::uint64_t off) { return callHook(NTFS_RecognizeFileSystem, u, off); }},
    {"UDF", []() noexcept { return UDF_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(UDF_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(UDF_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(UDF_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(UDF_DescribeVolume, d, text, s);
     },
     [](Undelete* u, std::uint64_t off) { return callHook(UDF_RecognizeFileSystem, u, off); }},
    {"CDFS", []() noexcept { return CDFS_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(CDFS_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(CDFS_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(CDFS_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(CDFS_DescribeVolume, d, text, s);
     },
     [](Undelete*, std::uint64_t) { return false; }},
};
static_assert(std::size(kOps) == kKindCdfs + 1);

}  // namespace

const FileSystemOps* Fs_OpsOfKind(std::uint32_t kind) noexcept {
  return kind < std::size(kOps) ? &kOps[kind] : nullptr;
}

std::uint32_t Fs_KindOfType(std::uint32_t type) noexcept {
  switch (type) {
    case kFsUnknown:
      return kKindRaw;
    case kFsCdfs:
      return kKindCdfs;
    case kFsUdf:
      return kKindUdf;
    case kFsNtfs:
      return kKindNtfs;
    case kFsFat12:
    case kFsFat16:
    case kFsFat32:
      return kKindFat;
    default:
      return 0xFFFFFFFFu;
  }
}
