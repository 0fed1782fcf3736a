// Images stored as more than one file, opened as one read-only source: split raw images
// (disk.001, disk.002 ...) and EWF images (disk.E01, disk.E02 ..., read through libewf).
#include <fcntl.h>
#include <libewf.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_internal.h"
#include "undelete/undelete.h"

namespace {

// A set with more segments than this is refused rather than holding thousands of descriptors.
constexpr std::size_t kMaxSegments = 4096;

/// O_NONBLOCK: a segment swapped for a FIFO after it was looked at must not hang the open (it is
/// then refused as no regular file); regular files ignore the flag.
int openReadOnly(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(path.c_str(), kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), kFlags);  // O_NOATIME: owner only
  return fd;
}

/// Takes the advisory lock an exclusive open asks for on @p fd (see HostOpenOptions).
bool lockExclusive(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  host::fail(kErrOpenDrive, path + ": in use by another program");
  return false;
}

/// Both image kinds are read-only here: nothing may write through them.
class ReadOnlyDevice : public HostDevice {
 public:
  bool write(std::uint64_t, const void*, std::uint32_t, std::uint32_t* written) noexcept final {
    if (written != nullptr) *written = 0;
    return false;
  }
  std::uint64_t size() const noexcept final { return m_size; }

 protected:
  std::uint64_t m_size = 0;
};

// --- split raw ----------------------------------------------------------------------------------

struct Segment {
  int fd = -1;
  std::uint64_t start = 0;  // offset of the segment's first byte in the whole image
  std::uint64_t size = 0;
};

class SplitDevice final : public ReadOnlyDevice {
 public:
  explicit SplitDevice(std::vector<Segment> segments) noexcept : m_segments(std::move(segments)) {
    m_size = m_segments.empty() ? 0 : m_segments.back().start + m_segments.back().size;
  }
  ~SplitDevice() override {
    for (const auto& s : m_segments) ::close(s.fd);
  }
  SplitDevice(const SplitDevice&) = delete;
  SplitDevice& operator=(const SplitDevice&) = delete;

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    std::uint32_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    // The segment holding @p offset: the last one starting at or before it.
    auto it = std::upper_bound(m_segments.begin(), m_segments.end(), offset,
                               [](std::uint64_t v, const Segment& s) { return v < s.start; });
    if (it != m_segments.begin()) --it;
    while (done < count && offset < m_size && it != m_segments.end()) {
      const std::uint64_t at = offset - it->start;
      if (at >= it->size) {
        ++it;
        continue;
      }
      const auto want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, it->size - at));
      const ssize_t n = ::pread(it->fd, out + done, want, static_cast<off_t>(at));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (got != nullptr) *got = done;
        return false;
      }
      if (n == 0) break;  // the segment shrank since it was opened: end of the readable bytes
      done += static_cast<std::uint32_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
  }

 private:
  std::vector<Segment> m_segments;
};

std::unique_ptr<HostDevice> openSplit(const std::vector<std::string>& names, bool exclusive) {
  std::vector<Segment> segments;
  auto closeAll = [&] {
    for (const auto& s : segments) ::close(s.fd);
  };
  std::uint64_t start = 0;
  for (const auto& name : names) {
    const int fd = openReadOnly(name);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      closeAll();
      if (fd >= 0)
        host::fail(kErrOpenDrive, name + ": segment of a split image is not a regular file");
      else
        host::failErrno(name, err);
      return nullptr;
    }
    segments.push_back({fd, start, static_cast<std::uint64_t>(st.st_size)});
    start += static_cast<std::uint64_t>(st.st_size);
    if (segments.size() == 1 && exclusive && !lockExclusive(fd, name)) {
      closeAll();
      return nullptr;
    }
  }
  try {
    return std::make_unique<SplitDevice>(std::move(segments));
  } catch (...) {
    closeAll();
    host::fail(kErrMemory, names.front() + ": out of memory");
    return nullptr;
  }
}

// --- EWF ----------------------------------------------------------------------------------------

std::string ewfErrorText(libewf_error_t*& error) {
  std::string text = "unreadable EWF image";
  if (error != nullptr) {
    std::array<char, 512> buf{};
    if (libewf_error_sprint(error, buf.data(), buf.size()) > 0) {
      text = buf.data();
      // The library's messages end in a newline and name its own functions; keep the last line.
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      const auto nl = text.find_last_of('\n');
      if (nl != std::string::npos) text.erase(0, nl + 1);
    }
    libewf_error_free(&error);
  }
  return text;
}

class EwfDevice final : public ReadOnlyDevice {
 public:
  EwfDevice(libewf_handle_t* handle, std::uint64_t size, int lockFd) noexcept
      : m_handle(handle), m_lockFd(lockFd) {
    m_size = size;
  }
  ~EwfDevice() override {
    libewf_handle_close(m_handle, nullptr);
    libewf_handle_free(&m_handle, nullptr);
    if (m_lockFd >= 0) ::close(m_lockFd);
  }
  EwfDevice(const EwfDevice&) = delete;
  EwfDevice& operator=(const EwfDevice&) = delete;

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    if (got != nullptr) *got = 0;
    if (offset >= m_size || count == 0) return true;  // past the end: nothing, as pread says
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, m_size - offset));
    // One handle keeps one chunk cache and file position: readers take turns.
    std::lock_guard lock(m_mutex);
    std::uint32_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (done < want) {
      libewf_error_t* error = nullptr;
      const ssize_t n = libewf_handle_read_random(m_handle, out + done, want - done,
                                                  static_cast<off64_t>(offset + done), &error);
      if (n < 0) {
        // A chunk that fails its checksum or cannot be inflated: an I/O error of this source.
        libewf_error_free(&error);
        if (got != nullptr) *got = done;
        errno = EIO;
        return false;
      }
      if (n == 0) break;
      done += static_cast<std::uint32_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
  }

 private:
  libewf_handle_t* m_handle;
  int m_lockFd;
  std::mutex m_mutex;
};

std::unique_ptr<HostDevice> openEwf(const std::string& path, bool exclusive) {
  libewf_error_t* error = nullptr;
  char** names = nullptr;
  int count = 0;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1 ||
      count <= 0) {
    host::fail(kErrOpenDrive, path + ": " + ewfErrorText(error));
    return nullptr;
  }
  if (static_cast<std::size_t>(count) > kMaxSegments) {
    libewf_glob_free(names, count, nullptr);
    host::fail(kErrOpenDrive, path + ": too many segment files");
    return nullptr;
  }
  // The library opens the segments itself: each must be a regular file (a FIFO would block it).
  for (int i = 0; i < count; ++i) {
    struct stat st {};
    if (::stat(names[i], &st) != 0 || !S_ISREG(st.st_mode)) {
      const std::string name = names[i];
      libewf_glob_free(names, count, nullptr);
      host::fail(kErrOpenDrive, name + ": segment of an EWF image is not a regular file");
      return nullptr;
    }
  }
  libewf_handle_t* handle = nullptr;
  bool opened = false;
  if (libewf_handle_initialize(&handle, &error) == 1)
    opened = libewf_handle_open(handle, names, count, libewf_get_access_flags_read(), &error) == 1;
  libewf_glob_free(names, count, nullptr);
  size64_t size = 0;
  if (opened && libewf_handle_get_media_size(handle, &size, &error) != 1) {
    libewf_handle_close(handle, nullptr);
    opened = false;
  }
  // A set with a segment missing or cut short still opens; its reads past the gap would fail
  // one by one (or read as nothing) in the middle of a scan. Say so at once instead.
  if (opened && libewf_handle_segment_files_corrupted(handle, nullptr) == 1) {
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
    host::fail(kErrOpenDrive, path + ": a segment file of the EWF image is missing or damaged");
    return nullptr;
  }
  if (!opened) {
    if (handle != nullptr) libewf_handle_free(&handle, nullptr);
    host::fail(kErrOpenDrive, path + ": " + ewfErrorText(error));
    return nullptr;
  }
  int lockFd = -1;
  if (exclusive) {
    lockFd = openReadOnly(path);
    if (lockFd < 0 || !lockExclusive(lockFd, path)) {
      if (lockFd < 0) host::failErrno(path, errno);
      if (lockFd >= 0) ::close(lockFd);
      libewf_handle_close(handle, nullptr);
      libewf_handle_free(&handle, nullptr);
      return nullptr;
    }
  }
  try {
    return std::make_unique<EwfDevice>(handle, static_cast<std::uint64_t>(size), lockFd);
  } catch (...) {
    if (lockFd >= 0) ::close(lockFd);
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
    host::fail(kErrMemory, path + ": out of memory");
    return nullptr;
  }
}

/// The EWF signatures (version 1 "EVF", version 2 "EVF2"); logical evidence ("LVF") holds files,
/// not a volume, and is left to the raw reader.
bool hasEwfSignature(const std::string& path) {
  const int fd = openReadOnly(path);
  if (fd < 0) return false;
  std::array<std::uint8_t, 8> head{};
  const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
  ::close(fd);
  if (n != static_cast<ssize_t>(head.size())) return false;
  static constexpr std::array<std::uint8_t, 8> kV1{'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
  static constexpr std::array<std::uint8_t, 8> kV2{'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
  return head == kV1 || head == kV2;
}

}  // namespace

namespace host {

std::vector<std::string> splitImageSegments(const std::string& path,
                                            const std::function<bool(const std::string&)>& exists) {
  // "NAME.001" (or ".000"): a dot, then three or more digits naming the first segment.
  const auto dot = path.find_last_of("./");
  if (dot == std::string::npos || path[dot] != '.') return {};
  const std::string digits = path.substr(dot + 1);
  if (digits.size() < 3 || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  const unsigned long first = std::stoul(digits);
  if (first > 1) return {};  // a later segment named on its own is read as the plain file it is
  const std::string stem = path.substr(0, dot + 1);
  auto nameOf = [&](unsigned long n) {
    std::string s = std::to_string(n);
    if (s.size() < digits.size()) s.insert(0, digits.size() - s.size(), '0');
    return stem + s;
  };
  std::vector<std::string> out{path};
  for (unsigned long n = first + 1; out.size() <= kMaxSegments; ++n) {
    const std::string next = nameOf(n);
    if (next.size() != path.size() || !exists(next)) break;  // the counter outgrew its width
    out.push_back(next);
  }
  if (out.size() < 2) return {};  // one file alone is a plain raw image
  return out;
}

std::unique_ptr<HostDevice> openImageSet(const std::string& path, const HostOpenOptions& options,
                                         bool& handled) {
  handled = false;
  const bool ewf = hasEwfSignature(path);
  std::vector<std::string> segments;
  if (!ewf) {
    segments = splitImageSegments(path, [](const std::string& name) {
      struct stat st {};
      return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    });
    if (segments.empty()) return nullptr;
  }
  handled = true;
  if (segments.size() > kMaxSegments) {
    host::fail(kErrOpenDrive, path + ": too many segment files");
    return nullptr;
  }
  if (options.write) {
    host::fail(kErrAccessDenied, path + (ewf ? ": EWF images" : ": split images") +
                                     " are opened read-only; writing to them is not supported");
    return nullptr;
  }
  return ewf ? openEwf(path, options.exclusive) : openSplit(segments, options.exclusive);
}

}  // namespace host
