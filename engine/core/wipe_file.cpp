// Wiping found files and folders: an existing file through its mount path (overwrite, truncate,
// random name, delete), a deleted file through its file system's wiper on the volume opened
// exclusively, an empty folder by renaming and removing it; the method setting and progress.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "core/fs_dispatch.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "core/wipe_target.h"
#include "host/host.h"
#include "host/host_output.h"
#include "host/host_volume_control.h"
#include "undelete/undelete.h"

namespace {

constexpr std::size_t kPathMax = 8192;

std::string utf8Of(const char16_t* s) {
  std::string out;
  for (; s != nullptr && *s != 0; ++s) {
    char32_t c = *s;
    if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
      ++s;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

/// Folder @p index as a path on its drive ("E:\dir\"), resolved through the drive's mount;
/// empty when the path is too long or the drive is not mounted.
std::string mountedFolderPath(const Undelete* u, std::uint32_t folder) {
  std::vector<char16_t> path(kPathMax);
  if (!Storage_FolderPath(u, folder, path.data(), path.size())) return {};
  return Host_ResolveDrivePath(utf8Of(path.data()));
}

/// The random name of a component: every character but '.' replaced by a random capital, then
/// extended with random capitals to at least 8 characters.
std::string randomName(const std::string& current) {
  std::string out;
  for (const char c : current) {
    if (static_cast<unsigned char>(c) >= 0x80 && (static_cast<unsigned char>(c) & 0xC0) == 0x80)
      continue;  // continuation bytes: one letter per character
    out += c == '.' ? '.' : static_cast<char>('A' + Wipe_RandomByte() % 26);
  }
  while (out.size() < 8) out += static_cast<char>('A' + Wipe_RandomByte() % 26);
  return out;
}

/// Renames @p name in @p dir to a random name (up to 10 tries, never replacing anything).
/// Returns the new name, or @p name when every try failed.
std::string renameRandomly(int dir, const std::string& name) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::string candidate = randomName(name);
    if (::renameat2(dir, name.c_str(), dir, candidate.c_str(), RENAME_NOREPLACE) == 0)
      return candidate;
    // Drivers without the no-replace flag (some FUSE file systems): look first, then rename.
    struct stat st {};
    if (errno == EINVAL && ::fstatat(dir, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT && ::renameat(dir, name.c_str(), dir, candidate.c_str()) == 0)
      return candidate;
  }
  return name;
}

std::u16string utf16Of(const std::string& s) {
  std::u16string out;
  for (const char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;  // random names are ASCII
}

/// Runs @p change with the result lists writable.
template <class Fn>
void withWritableLists(Undelete* u, Fn&& change) {
  const bool wasReadOnly = u->storageReadOnly;
  if (wasReadOnly) Storage_SetReadOnly(u, false);
  change();
  if (wasReadOnly) Storage_SetReadOnly(u, true);
}

void setState(FileRecord* r, std::uint8_t state) noexcept {
  r->status = static_cast<std::uint8_t>((r->status & 0xC1u) | (state << 1));
}

bool wipeDeleted(Undelete* u, FileRecord* stored);

/// Overwrites, truncates, renames and deletes an existing file through the volume's mount.
bool wipeExisting(Undelete* u, FileRecord* stored, bool exclusive) {
  const std::string folder = mountedFolderPath(u, stored->folder.get());
  const std::string name = utf8Of(static_cast<const char16_t*>(Storage_At(u, stored->name.get())));
  if (folder.empty() || name.empty() || name.find('/') != std::string::npos) {
    Undelete_Log(u, "Undelete_WipeFile: The file's volume is not mounted.\n");
    Host_SetLastError(kErrCreateFile);
    return false;
  }
  const int dir = ::open(folder.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    Host_SetLastError(kErrCreateFile);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closeDir{dir};

  if ((stored->attributes & kAttrReadOnly) != 0) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fchmodat(dir, name.c_str(), st.st_mode | S_IWUSR, 0) != 0) {
      Host_SetLastError(kErrAccessDenied);
      return false;
    }
    withWritableLists(u, [&] { stored->attributes &= static_cast<std::uint8_t>(~kAttrReadOnly); });
  }
  // Existing only, never through a link: the file the scan listed, not whatever a name points to.
  const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Host_SetLastError(errno == EACCES || errno == EPERM ? kErrAccessDenied : kErrCreateFile);
    return false;
  }
  bool ok = true;
  {
    struct Closer closeFile {
      fd
    };
    struct stat st {};
    if (!S_ISREG((::fstat(fd, &st), st.st_mode))) {
      Host_SetLastError(kErrInvalidParameter);
      return false;
    }
    // No write sharing: other writers are kept out while the passes run.
    if (exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      Host_SetLastError(kErrAccessDenied);
      return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if ((stored->attributes & kAttrCompressed) == 0) {
      const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
      std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(size, kWipeChunk));
      std::uint64_t at = 0;
      while (at < size && ok && !u->cancelEvent.isSet()) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - at, kWipeChunk));
        for (std::uint32_t p = 0; p < passes && ok && !u->cancelEvent.isSet(); ++p) {
          Wipe_FillPattern(p, method, buffer.data(), n);
          ok = ::lseek(fd, static_cast<off_t>(at), SEEK_SET) >= 0 &&
               Host_WriteAll(fd, buffer.data(), n) && ::fdatasync(fd) == 0;
        }
        at += n;
        u->bytesDone.store(at, std::memory_order_relaxed);
      }
    }
    // The passes must be on the disk before the file lets its clusters go.
    if (ok) ok = ::fdatasync(fd) == 0;
    if (::ftruncate(fd, 0) != 0 || ::fsync(fd) != 0) ok = false;
    if (!ok) Host_SetLastError(kErrWriteFile);
  }
  if (!ok || u->cancelEvent.isSet()) return false;  // a cancelled wipe leaves the file in place

  const std::string current = renameRandomly(dir, name);
  if (::unlinkat(dir, current.c_str(), 0) != 0 || ::fsync(dir) != 0) {
    Host_SetLastError(kErrAccessDenied);
    return false;
  }
  bool result = true;
  withWritableLists(u, [&] {
    stored->status = static_cast<std::uint8_t>(stored->status & ~kStatusExisting);
    u->deletedCount.fetch_add(1);
    if (current != name) {
      std::uint32_t ref = 0;
      const std::u16string n16 = utf16Of(current);
      if (Storage_AddString(u, n16.c_str(), &ref)) stored->name.set(ref);
    }
    setState(stored, kStateUnrecoverable);
    stored->size.set(0);
  });
  // What a compressed file kept may lie in clusters the overwrite never reached.
  if ((stored->attributes & kAttrCompressed) != 0) result = wipeDeleted(u, stored);
  return result;
}

/// Overwrites what remains of a deleted file with its file system's wiper.
bool wipeDeleted(Undelete* u, FileRecord* stored) {
  const std::uint16_t location = stored->location.get();
  const std::uint32_t slotIndex = location & 0xFFFu;
  const std::uint32_t kind = (location >> 12) & 7u;
  const FsDescriptor* fs = Fs_OfKind(kind);
  if (fs == nullptr || fs->wipeFile == nullptr) {  // optical media cannot be written
    Host_SetLastError(kErrInvalidParameter);
    return false;
  }
  if (u->driveTable == nullptr || slotIndex >= u->driveCount) {
    Host_SetLastError(kErrInvalidParameter);
    return false;
  }
  DriveSlot& slot = u->driveTable[slotIndex];
  std::uint64_t windowStart = 0;
  if (slot.drive != nullptr) CachedDrive_GetWindowStart(&windowStart, slot.drive);
  if (kind != kKindRaw && stored->volumeOffset.get() != windowStart) {
    // A file system found inside the volume (not at its start) has no volume of its own to open.
    Host_SetLastError(kErrInvalidParameter);
    return false;
  }
  WipeTarget target;
  if (!Wipe_OpenTarget(u, slot, true, target)) return false;
  const std::uint32_t cb = target.volume->bitmap().clusterBytes;
  // A file of one kind on a volume that now holds another has nothing left to find there.
  if (kind != kKindRaw && (target.fs == nullptr || target.fs->kind != kind)) {
    Host_SetLastError(kErrUnrecognized);
    return false;
  }
  HostScratchFile* scratch =
      target.volume->createScratch(fs->wipeOneClusterScratch ? cb : kWipeChunk);
  if (scratch == nullptr) return false;
  FileRecord record = *stored;
  CachedDrive* previous = u->drive;
  u->drive = target.drive;
  if (fs->wipeLog != nullptr) Undelete_Log(u, "%s", fs->wipeLog);
  bool ok = fs->wipeFile(u, &record, target.volume.get(), scratch, &u->bytesDone);
  u->drive = previous;
  // Success means on the disk: the writes are flushed before it is reported.
  if (!target.close()) ok = false;
  if (slot.drive != nullptr) slot.drive->cacheStart = ~std::uint64_t{0};
  if (ok && !u->cancelEvent.isSet())
    withWritableLists(u, [&] { setState(stored, kStateUnrecoverable); });
  return ok && !u->cancelEvent.isSet();
}

bool wipeFile(Undelete* u, std::uint32_t index, bool exclusive) {
  Undelete_Log(u, "Undelete_WipeFile: Wiping file %d.\n", static_cast<int>(index));
  u->cancelEvent.reset();
  u->totalCancelEvent.reset();
  FileRecord* stored =
      (u->files != nullptr && index < u->fileCount.load()) ? Storage_File(u, index) : nullptr;
  if (stored == nullptr) {
    Undelete_Log(u, "Undelete_WipeFile: Files or strings or both storages are NULL.\n");
    u->error = kErrInvalidParameter;
    return false;
  }
  u->bytesDone = 0;
  u->error = kErrNone;
  Host_SetLastError(kErrNone);
  const bool ok = (stored->status & kStatusExisting) != 0 ? wipeExisting(u, stored, exclusive)
                                                          : wipeDeleted(u, stored);
  if (!ok) u->error = u->cancelEvent.isSet() ? kErrUserAbort : Host_GetLastError();
  u->bytesDone = 0;
  return ok;
}

bool wipeFolder(Undelete* u, std::uint32_t index) {
  FolderRecord* folder = Storage_Folder(u, index);
  if (folder == nullptr) return false;
  if ((folder->flags.get() & kFolderDeleted) != 0) return true;
  if (folder->parent.get() == kNoParent) return false;  // a drive's root is not removed
  const std::string parent = mountedFolderPath(u, folder->parent.get());
  const std::string name = utf8Of(static_cast<const char16_t*>(Storage_At(u, folder->name.get())));
  if (parent.empty() || name.empty() || name.find('/') != std::string::npos) return false;
  const int dir = ::open(parent.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closeDir{dir};
  // Only an empty folder is wiped (rmdir would refuse anything else too).
  {
    const int fd = ::openat(dir, name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (listing == nullptr) {
      if (fd >= 0) ::close(fd);
      return false;
    }
    bool empty = true;
    while (const dirent* e = ::readdir(listing)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    }
    ::closedir(listing);
    if (!empty) return false;
  }
  const std::string current = renameRandomly(dir, name);
  if (::unlinkat(dir, current.c_str(), AT_REMOVEDIR) != 0) {
    if (current != name)
      (void)::renameat2(dir, current.c_str(), dir, name.c_str(), RENAME_NOREPLACE);
    return false;
  }
  ::fsync(dir);
  withWritableLists(u, [&] {
    folder->flags.set(folder->flags.get() | kFolderDeleted);
    if (current != name) {
      std::uint32_t ref = 0;
      const std::u16string n16 = utf16Of(current);
      if (Storage_AddString(u, n16.c_str(), &ref)) folder->name.set(ref);
    }
  });
  return true;
}

}  // namespace

int Undelete_SetWipeMethod(Undelete* u, std::uint32_t method, std::uint32_t passes) noexcept {
  if (u == nullptr || method >= kWipeMethods) return 0;
  u->wipeFlags = (u->wipeFlags & 3u) | (method << 2);
  u->wipePasses = passes;
  return 0;
}

int Undelete_GetWipeProgress(Undelete* u, std::uint32_t* position, std::uint32_t* total) noexcept {
  if (u == nullptr || !u->wipeRunning.load()) return 0;
  if (position != nullptr) *position = u->wipeProgress.load(std::memory_order_relaxed);
  if (total != nullptr) *total = 10000;
  return 1;
}

int Undelete_WipeFile(Undelete* u, std::uint32_t index, std::uint32_t exclusive) noexcept {
  if (u == nullptr) return 0;
  try {
    return wipeFile(u, index, exclusive != 0) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    u->bytesDone = 0;
    u->error = kErrMemory;
    return 0;
  }
}

int Undelete_WipeFolder(Undelete* u, std::uint32_t index) noexcept {
  if (u == nullptr) return 0;
  try {
    return wipeFolder(u, index) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    u->error = kErrMemory;
    return 0;
  }
}
