// The engine object's life cycle and the small frame exports: errors, names, strings.
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"

namespace {

struct ErrorText {
  std::uint32_t code;
  const char* text;
};
constexpr std::array<ErrorText, 19> kErrorTexts{{
    {kErrNone, "No errors."},
    {kErrFreeSpace, "Unable to determine free space."},
    {kErrOpenDrive, "Failed to open drive."},
    {kErrAccessDenied, "Failed to open drive - access denied."},
    {kErrBootSector, "Failed to read boot sector."},
    {kErrUnrecognized, "Failed to recognize file system."},
    {kErrBootInfo, "Invalid boot information."},
    {kErrReadFat, "Error reading FAT."},
    {kErrMemory, "Failed to reserve memory."},
    {kErrUserAbort, "User abort."},
    {kErrMftDescription, "Unable to obtain MFT description."},
    {kErrInvalidParameter, "Invalid parameter passed."},
    {kErrCreateFile, "Unable to create file."},
    {kErrCrypted, "Unable to recover crypted file."},
    {kErrWriteFile, "Unable to write to file."},
    {kErrReadSource, "Unable to read source drive."},
    {kErrOsTooOld, "Windows version is too low, at least Windows 95 OSR2 required."},
    {kErrDriveSize, "Unable to obtain drive size."},
    {kErrNullPointer, "NULL pointer passed."},
}};

bool envIsOne(const char* name) noexcept {
  const char* v = std::getenv(name);
  return v != nullptr && std::strcmp(v, "1") == 0;
}

/// The session file lives in the directory that is current now. Should the current directory be
/// unreadable (removed, or a path beyond PATH_MAX), the name alone is kept: it then resolves
/// against whatever directory is current when the session is used.
std::string sessionPathHere() {
  std::string dir(4096, '\0');
  if (getcwd(dir.data(), dir.size()) == nullptr) return "LastSession.Results";
  dir.resize(std::strlen(dir.c_str()));
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + "LastSession.Results";
}

void joinIfFinished(Undelete* u) noexcept {
  try {
    if (u->searchThread.joinable() && !u->searchRunning.load() &&
        u->searchThread.get_id() != std::this_thread::get_id())
      u->searchThread.join();
    if (u->wipeThread.joinable() && !u->wipeRunning.load() &&
        u->wipeThread.get_id() != std::this_thread::get_id())
      u->wipeThread.join();
  } catch (...) {
  }
}

/// Releases the drives of the last scan and the table that holds them.
void releaseDrives(Undelete* u) noexcept {
  if (u->driveTable == nullptr) return;
  for (std::uint16_t i = 0; i < u->driveCount; ++i) {
    CachedDrive* d = u->driveTable[i].drive;
    if (d == nullptr) continue;
    if (u->drive == d) u->drive = nullptr;
    CachedDrive_Destroy(d);
    u->driveTable[i].drive = nullptr;
  }
  delete[] u->driveTable;
  u->driveTable = nullptr;
  u->driveCount = 0;
  u->driveIndex = 0;
}

}  // namespace

extern "C" {

int Undelete_Create(Undelete** out) noexcept {
  if (out == nullptr) return 0;
  try {
    auto* u = new Undelete;
    // The constructor has cleared the counters and regions, set the reserves and the partition
    // flag word; the events start clear.
    const long page = sysconf(_SC_PAGESIZE);
    u->pageSize = static_cast<std::uint32_t>(page > 0 ? page : 4096) & ~kOutOfMemory;
    u->traceOn = envIsOne("KVX_TRACE") ? 1 : 0;
    u->sessionPath = sessionPathHere();
    *out = u;
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int Undelete_Done(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  // Releasing the regions under a running search thread would pull its memory away; the caller
  // cancels and waits for the thread first.
  if (u->searchRunning.load()) {
    Undelete_Log(u, "Undelete_Done: Search thread still running.\n");
    return 0;
  }
  if (u->wipeRunning.load()) return 0;  // the wipe thread works on the drive table
  u->cancelEvent.reset();
  u->totalCancelEvent.reset();
  joinIfFinished(u);
  releaseDrives(u);
  Storage_Release(u);
  u->progress = 0;
  u->bytesDone = 0;
  return 1;
}

int Undelete_Delete(Undelete* u) noexcept {
  if (u == nullptr) return 0;
  // A thread still running here would outlive its object: stop it and wait.
  if (u->searchThread.joinable() || u->wipeThread.joinable()) {
    u->cancelEvent.set();
    u->totalCancelEvent.set();
    try {
      if (u->searchThread.joinable() && u->searchThread.get_id() != std::this_thread::get_id())
        u->searchThread.join();
      if (u->wipeThread.joinable() && u->wipeThread.get_id() != std::this_thread::get_id())
        u->wipeThread.join();
    } catch (...) {
    }
    u->searchRunning = false;
    u->wipeRunning = false;
  }
  Undelete_Done(u);
  Undelete_Log(u, "Undelete_Delete: Destroying Undelete object.\n");
  if (u->searchThread.joinable()) u->searchThread.detach();  // only when called from that thread
  if (u->wipeThread.joinable()) u->wipeThread.detach();
  delete u;
  return 1;
}

int Undelete_SetVerbose(Undelete* u, UndeleteReportCallback callback, void* context) noexcept {
  if (u == nullptr) return 0;
  u->reportCallback = callback;
  u->reportContext = context;
  return 1;
}

int Undelete_GetError(Undelete* u, std::uint32_t* out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  *out = u->error;
  return 1;
}

int Undelete_GetErrorMessage(Undelete* u, const char** out) noexcept {
  if (u == nullptr || out == nullptr) return 0;
  const std::uint32_t code = u->error;
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) {
      *out = e.text;
      return 1;
    }
  }
  return 0;
}

// The platform offers everything the engine needs (free-space queries are statvfs).
int Undelete_IsGoodOS() noexcept { return 1; }

int Undelete_FileSystemIndexToName(Undelete*, std::uint32_t type, const char** out) noexcept {
  const FsTypeInfo* info = nullptr;
  if (out == nullptr || Fs_OfType(type, &info) == nullptr) return 0;
  *out = info->name;
  return 1;
}

int Undelete_FileSystemKindToName(std::uint32_t kind, const char** out) noexcept {
  const FsDescriptor* fs = Fs_OfKind(kind);
  if (out == nullptr || fs == nullptr) return 0;
  *out = fs->name;
  return 1;
}

int Undelete_GetString(Undelete* u, std::uint32_t ref, const void** out) noexcept {
  if (out == nullptr) return 0;
  const void* p = Storage_At(u, ref);
  if (p == nullptr) return 0;
  *out = p;
  return 1;
}

}  // extern "C"
