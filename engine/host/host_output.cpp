// Files created for the user: the write loop, safe folders, exclusive creation with bounded free
// names, removal or partial naming of incomplete files, and atomic replacement.
#include "host/host_output.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/last_error.h"
#include "host/host_internal.h"
#include "undelete/undelete.h"

namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* kPartialSuffix = ".partial";

void failAt(std::uint32_t code, std::string_view name, int err) noexcept {
  try {
    host::fail(code, std::string(name) + ": " + std::strerror(err));
  } catch (...) {
    host::fail(code, {});
  }
}

/// Calls @p attempt with @p name, then (when @p numbered) "name (2)", "name (3)" ... while it
/// fails with EEXIST; any other error ends the search at once. Returns what attempt returned
/// last (>= 0 success) and leaves the name used in @p chosen; errno holds the last error.
template <class Attempt>
int withFreeName(std::string_view name, bool numbered, std::string& chosen, Attempt attempt) {
  chosen.assign(name);
  for (unsigned n = 2;; ++n) {
    const int r = attempt(chosen);
    if (r >= 0 || errno != EEXIST || !numbered || n > kHostFreeNameTries) return r;
    chosen = Host_NumberedName(name, n);
  }
}

/// One path component that may be created: not empty, no '/', not "." or "..", short enough.
bool plainName(std::string_view name) noexcept {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

/// Renames @p from to @p to in @p dir without replacing anything already there.
int renameNoReplace(int dir, const std::string& from, const std::string& to) noexcept {
  if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the flag: a hard link fails on an existing name just the same.
  if (::linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) return -1;
  (void)::unlinkat(dir, from.c_str(), 0);
  return 0;
}

}  // namespace

bool Host_WriteAll(int fd, const void* data, std::size_t length) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Host_NumberedName(std::string_view name, unsigned n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  std::size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string_view::npos) dot = name.size();  // ".profile": no extension
  std::string_view stem = name.substr(0, dot), ext = name.substr(dot);
  if (ext.size() + suffix.size() >= kHostNameMax) {  // an "extension" that long is no extension
    stem = name;
    ext = {};
  }
  if (stem.size() + suffix.size() + ext.size() > kHostNameMax) {
    std::size_t keep = kHostNameMax - suffix.size() - ext.size();
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem = stem.substr(0, keep);
  }
  return std::string(stem) + suffix + std::string(ext);
}

int Host_OpenOutputRoot(const char* path) noexcept {
  if (path == nullptr || *path == '\0') {
    host::fail(kErrCreateFile, "no destination folder given");
    return -1;
  }
  try {
    // Create the missing parents as the user named them (mkdir -p), then open the last one
    // without following a link.
    const std::string full(path);
    for (std::size_t at = 1; at <= full.size(); ++at) {
      if (at != full.size() && full[at] != '/') continue;
      const std::string prefix = full.substr(0, at);
      if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
        failAt(kErrCreateFile, prefix, errno);
        return -1;
      }
    }
    const int fd = ::open(path, kFolderFlags);
    if (fd < 0) {
      const int err = errno;
      if (err == ELOOP || err == ENOTDIR)
        host::fail(kErrCreateFile,
                   full + ": not a folder (a symbolic link or a file); name the folder itself");
      else
        failAt(kErrCreateFile, full, err);
    }
    return fd;
  } catch (...) {
    host::fail(kErrMemory, {});
    return -1;
  }
}

int Host_OpenOutputFolder(int parent, std::string_view name, bool numbered,
                          std::string* chosen) noexcept {
  try {
    if (!plainName(name) || name.size() > kHostNameMax) {
      host::fail(kErrCreateFile, std::string(name) + ": not a usable folder name");
      return -1;
    }
    std::string used;
    const int fd = withFreeName(name, numbered, used, [&](const std::string& n) {
      if (::mkdirat(parent, n.c_str(), 0755) != 0 && errno != EEXIST) return -1;
      const int dir = ::openat(parent, n.c_str(), kFolderFlags);
      // A file or a link under that name is "taken" for the search.
      if (dir < 0 && (errno == ENOTDIR || errno == ELOOP)) errno = EEXIST;
      return dir;
    });
    if (fd < 0) {
      failAt(kErrCreateFile, used, errno);
      return -1;
    }
    if (chosen != nullptr) *chosen = used;
    return fd;
  } catch (...) {
    host::fail(kErrMemory, {});
    return -1;
  }
}

// --- HostOutputFile -----------------------------------------------------------------------------

HostOutputFile::~HostOutputFile() {
  if (m_fd >= 0) fail(false);
  closeAll();
}

void HostOutputFile::closeAll() noexcept {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (m_ownDir && m_dir >= 0) ::close(m_dir);
  m_dir = -1;
  m_ownDir = false;
}

bool HostOutputFile::create(const HostOutputPlace& place, std::string_view target) noexcept {
  closeAll();
  m_numbered = place.numbered;
  try {
    std::string_view name = target;
    if (place.folder >= 0) {
      m_dir = place.folder;
    } else {
      // A path: its folder is opened here, refusing a link as its last component.
      const std::size_t slash = target.rfind('/');
      const std::string folder = slash == std::string_view::npos ? std::string(".")
                                 : slash == 0                    ? std::string("/")
                                              : std::string(target.substr(0, slash));
      name = slash == std::string_view::npos ? target : target.substr(slash + 1);
      m_dir = ::open(folder.c_str(), kFolderFlags);
      if (m_dir < 0) {
        failAt(kErrCreateFile, folder, errno);
        return false;
      }
      m_ownDir = true;
    }
    if (!plainName(name)) {
      host::fail(kErrCreateFile, std::string(name) + ": not a usable file name");
      return false;
    }
    m_fd = withFreeName(name, m_numbered, m_name, [&](const std::string& n) {
      return ::openat(m_dir, n.c_str(), kCreateFlags, 0644);
    });
    if (m_fd < 0) {
      failAt(kErrCreateFile, m_name, errno);
      return false;
    }
    return true;
  } catch (...) {
    host::fail(kErrMemory, {});
    return false;
  }
}

bool HostOutputFile::createSibling(const HostOutputFile& base, std::string_view suffix) noexcept {
  closeAll();
  m_numbered = base.m_numbered;
  if (base.m_dir < 0) {
    host::fail(kErrCreateFile, "no folder");
    return false;
  }
  m_dir = ::fcntl(base.m_dir, F_DUPFD_CLOEXEC, 0);  // the base may be finished first
  if (m_dir < 0) {
    failAt(kErrCreateFile, base.m_name, errno);
    return false;
  }
  m_ownDir = true;
  try {
    const std::string name = base.m_name + ":" + std::string(suffix);
    if (!plainName(name) || name.size() > kHostNameMax) {
      host::fail(kErrCreateFile, name + ": not a usable file name");
      return false;
    }
    // Numbers go on the stream's part, so the name still starts with its file's.
    std::string stream;
    m_fd = withFreeName(suffix, m_numbered, stream, [&](const std::string& n) {
      m_name = base.m_name + ":" + n;
      return ::openat(m_dir, m_name.c_str(), kCreateFlags, 0644);
    });
    if (m_fd < 0) {
      failAt(kErrCreateFile, m_name, errno);
      return false;
    }
    return true;
  } catch (...) {
    host::fail(kErrMemory, {});
    return false;
  }
}

bool HostOutputFile::write(const void* data, std::size_t length) noexcept {
  return m_fd >= 0 && Host_WriteAll(m_fd, data, length);
}

bool HostOutputFile::finish() noexcept {
  if (m_fd < 0) return false;
  const int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) {
    failAt(kErrWriteFile, m_name, errno);
    (void)::unlinkat(m_dir, m_name.c_str(), 0);
    closeAll();
    return false;
  }
  closeAll();
  return true;
}

bool HostOutputFile::fail(bool keepPartial) noexcept {
  if (m_fd < 0) return false;
  // The file's size, not a count kept here: recoverers also write to fd() themselves.
  struct stat st {};
  const bool hasBytes = ::fstat(m_fd, &st) == 0 && st.st_size > 0;
  ::close(m_fd);
  m_fd = -1;
  bool kept = false;
  if (keepPartial && hasBytes) {
    try {
      std::string partial;
      const int r = withFreeName(m_name + kPartialSuffix, true, partial, [&](const std::string& n) {
        return renameNoReplace(m_dir, m_name, n);
      });
      if (r == 0) {
        m_name = partial;
        kept = true;
      }
    } catch (...) {
    }
  }
  if (!kept) (void)::unlinkat(m_dir, m_name.c_str(), 0);
  closeAll();
  return kept;
}

// --- Atomic replacement -------------------------------------------------------------------------

bool Host_WriteFileAtomically(
    const char* path,
    const std::function<bool(const std::function<bool(const void*, std::size_t)>&)>&
        produce) noexcept {
  if (path == nullptr || *path == '\0') return false;
  static std::atomic<unsigned> s_counter{0};
  try {
    const std::string full(path);
    const std::size_t slash = full.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : full.substr(0, slash);
    const std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    if (!plainName(name)) {
      host::fail(kErrCreateFile, full + ": not a usable file name");
      return false;
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      failAt(kErrCreateFile, folder, errno);
      return false;
    }
    // A fresh name each try: whatever someone planted under a fixed one is never opened.
    std::string temp;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
      temp = "." + name + ".partial-" + std::to_string(::getpid()) + "-" +
             std::to_string(s_counter.fetch_add(1));
      if (temp.size() > kHostNameMax)
        temp =
            ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter.fetch_add(1));
      fd = ::openat(dir, temp.c_str(), kCreateFlags, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      failAt(kErrCreateFile, temp, errno);
      ::close(dir);
      return false;
    }
    bool ok = produce([fd](const void* data, std::size_t n) { return Host_WriteAll(fd, data, n); });
    if (!ok) host::fail(kErrWriteFile, full + ": could not be written completely");
    if (ok && ::fsync(fd) != 0) {
      failAt(kErrWriteFile, full, errno);
      ok = false;
    }
    if (::close(fd) != 0 && ok) {
      failAt(kErrWriteFile, full, errno);
      ok = false;
    }
    // rename replaces a link under the final name rather than writing through it.
    if (ok && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
      failAt(kErrWriteFile, full, errno);
      ok = false;
    }
    if (!ok)
      (void)::unlinkat(dir, temp.c_str(), 0);
    else
      (void)::fsync(dir);
    ::close(dir);
    return ok;
  } catch (...) {
    host::fail(kErrMemory, {});
    return false;
  }
}

int Host_OpenRegularFile(const char* path) noexcept {
  // Non-blocking, so that opening a FIFO does not wait for a writer; the flag is cleared once
  // the file is known to be regular.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}
