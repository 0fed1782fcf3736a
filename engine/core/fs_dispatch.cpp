// The file-system table. The modules are built in parallel and linked as they land, so every
// module function is referenced weakly: a module that is not in the build leaves its entries
// null, and its adapters answer false. N.B. a weak reference does not pull an object out of a
// static archive; programs that link the engine archive must link it whole (as the shared
// library does) or the modules are missing from them.
#include "core/fs_dispatch.h"

#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>

#include "core/last_error.h"
#include "undelete/undelete.h"

// Module functions, declared as their modules define them (argument orders are the modules' own).
#define KVX_WEAK __attribute__((weak))
bool Unformated_RecognizeDrive(CachedDrive* drive) noexcept KVX_WEAK;
bool Unformated_SearchFiles(Undelete* u) noexcept KVX_WEAK;
bool Unformated_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                            std::atomic<std::uint64_t>* bytesDone) noexcept KVX_WEAK;
bool Unformated_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept KVX_WEAK;

bool FAT_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept KVX_WEAK;
bool FAT_SearchFiles(Undelete* u) noexcept KVX_WEAK;
bool FAT_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept KVX_WEAK;
bool FAT_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept KVX_WEAK;
bool FAT_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept KVX_WEAK;

bool NTFS_RecognizeDrive(CachedDrive* drive, Undelete* u) noexcept KVX_WEAK;
bool NTFS_SearchFiles(Undelete* u) noexcept KVX_WEAK;
bool NTFS_RecoverFile(FileRecord* record, std::atomic<std::uint64_t>* bytesDone, Undelete* u,
                      const char* target) noexcept KVX_WEAK;
bool NTFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept KVX_WEAK;
bool NTFS_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept KVX_WEAK;

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
    {"Unformated", []() noexcept { return Unformated_SearchFiles != nullptr; },
     [](Undelete*, CachedDrive* d) noexcept { return call(Unformated_RecognizeDrive, d); },
     [](Undelete* u) noexcept { return call(Unformated_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(Unformated_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept {
       return call(Unformated_DescribeVolume, d, text, s);
     },
     [](Undelete*, std::uint64_t) { return false; }},
    {"FAT", []() noexcept { return FAT_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(FAT_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(FAT_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(FAT_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept { return call(FAT_DescribeVolume, d, text, s); },
     [](Undelete* u, std::uint64_t off) { return callHook(FAT_RecognizeFileSystem, u, off); }},
    {"NTFS", []() noexcept { return NTFS_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(NTFS_RecognizeDrive, d, u); },
     [](Undelete* u) noexcept { return call(NTFS_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(NTFS_RecoverFile, r, &u->bytesDone, u, t);
     },
     [](CachedDrive* d, char* text, bool s) noexcept { return call(NTFS_DescribeVolume, d, text, s); },
     [](Undelete* u, std::uint64_t off) { return callHook(NTFS_RecognizeFileSystem, u, off); }},
    {"UDF", []() noexcept { return UDF_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(UDF_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(UDF_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(UDF_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept { return call(UDF_DescribeVolume, d, text, s); },
     [](Undelete* u, std::uint64_t off) { return callHook(UDF_RecognizeFileSystem, u, off); }},
    {"CDFS", []() noexcept { return CDFS_SearchFiles != nullptr; },
     [](Undelete* u, CachedDrive* d) noexcept { return call(CDFS_RecognizeDrive, u, d); },
     [](Undelete* u) noexcept { return call(CDFS_SearchFiles, u); },
     [](Undelete* u, FileRecord* r, const char* t) noexcept {
       return call(CDFS_RecoverFile, u, r, t, &u->bytesDone);
     },
     [](CachedDrive* d, char* text, bool s) noexcept { return call(CDFS_DescribeVolume, d, text, s); },
     [](Undelete*, std::uint64_t) { return false; }},
};
static_assert(std::size(kOps) == kKindCdfs + 1);

}  // namespace

const FileSystemOps* Fs_OpsOfKind(std::uint32_t kind) noexcept {
  return kind < std::size(kOps) ? &kOps[kind] : nullptr;
}

std::uint32_t Fs_KindOfType(std::uint32_t type) noexcept {
  switch (type) {
    case kFsUnknown: return kKindRaw;
    case kFsCdfs: return kKindCdfs;
    case kFsUdf: return kKindUdf;
    case kFsNtfs: return kKindNtfs;
    case kFsFat12:
    case kFsFat16:
    case kFsFat32: return kKindFat;
    default: return 0xFFFFFFFFu;
  }
}
