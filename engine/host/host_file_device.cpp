// Image files and block devices as HostDevice: pread/pwrite on a descriptor opened read-only
// unless writing was asked for. Writing to a mounted block device or mounted image is refused.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "host/host_internal.h"
#include "undelete/undelete.h"

bool HostDevice::readToc(std::vector<std::uint32_t>& trackStarts) noexcept {
  // Images and plain devices have no table of contents: one track (one session) at block 0.
  try {
    trackStarts.assign(1, 0);
  } catch (...) {
    return false;
  }
  return true;
}

namespace {

bool isCdDevicePath(const std::string& path) {
  char resolved[PATH_MAX];
  const std::string real = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
  return real.rfind("/dev/sr", 0) == 0;
}

class FileDevice final : public HostDevice {
 public:
  FileDevice(int fd, std::uint64_t size, bool cdrom, std::uint32_t sectorSize) noexcept
      : m_fd(fd), m_size(size), m_cdrom(cdrom), m_sectorSize(sectorSize) {}
  ~FileDevice() override { ::close(m_fd); }
  FileDevice(const FileDevice&) = delete;
  FileDevice& operator=(const FileDevice&) = delete;

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    std::uint32_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (done < count) {
      const std::uint64_t at = offset + done;
      if (at < offset || at > static_cast<std::uint64_t>(INT64_MAX)) break;  // past any file
      const ssize_t n = ::pread(m_fd, out + done, count - done, static_cast<off_t>(at));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (got != nullptr) *got = done;
        return false;
      }
      if (n == 0) break;  // end of file or device
      done += static_cast<std::uint32_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
  }

  bool write(std::uint64_t offset, const void* buffer, std::uint32_t count,
             std::uint32_t* written) noexcept override {
    std::uint32_t done = 0;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (done < count) {
      const std::uint64_t at = offset + done;
      if (at < offset || at > static_cast<std::uint64_t>(INT64_MAX)) break;
      const ssize_t n = ::pwrite(m_fd, in + done, count - done, static_cast<off_t>(at));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (written != nullptr) *written = done;
        return false;
      }
      if (n == 0) break;
      done += static_cast<std::uint32_t>(n);
    }
    if (written != nullptr) *written = done;
    return done == count;
  }

  std::uint64_t size() const noexcept override { return m_size; }
  std::uint32_t logicalSectorSize() const noexcept override { return m_sectorSize; }

  std::uint64_t nextData(std::uint64_t offset) noexcept override {
    if (offset >= m_size || offset > static_cast<std::uint64_t>(INT64_MAX)) return offset;
    const off_t at = ::lseek(m_fd, static_cast<off_t>(offset), SEEK_DATA);
    if (at >= 0)
      return static_cast<std::uint64_t>(at) > offset ? static_cast<std::uint64_t>(at) : offset;
    return errno == ENXIO ? m_size : offset;  // ENXIO: only a hole up to the end
  }

  bool flush() noexcept override { return ::fdatasync(m_fd) == 0; }

  bool readToc(std::vector<std::uint32_t>& trackStarts) noexcept override {
    if (!m_cdrom) return HostDevice::readToc(trackStarts);
    return host::readCdToc(m_fd, trackStarts);
  }

 private:
  int m_fd;
  std::uint64_t m_size;
  bool m_cdrom;
  std::uint32_t m_sectorSize;
};

}  // namespace

std::unique_ptr<HostDevice> Host_OpenPathWith(const std::string& path,
                                              const HostOpenOptions& options) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    host::failErrno(path, errno);
    return nullptr;
  }
  const bool block = S_ISBLK(st.st_mode);
  if (!block && !S_ISREG(st.st_mode)) {
    host::fail(kErrOpenDrive, path + ": not an image file or block device");
    return nullptr;
  }
  if (!block) {
    // Several files read as one image (split raw, EWF): their own read-only device.
    bool handled = false;
    auto set = host::openImageSet(path, options, handled);
    if (handled) {
      if (set && options.optical) set = host::wrapOptical(std::move(set));
      return set;
    }
  }
  if (options.write) {
    // Writing under a mounted file system would corrupt it behind the kernel's back.
    const auto span =
        block ? host::spanOfBlock(st.st_rdev) : host::spanOfPath(path, 0, std::nullopt);
    if (span && host::spanIsMounted(*span)) {
      host::fail(kErrAccessDenied, path + ": mounted; refusing to open it for writing");
      return nullptr;
    }
  }
  int flags = (options.write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (block && options.exclusive) flags |= O_EXCL;
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);  // O_NOATIME: owner only
  if (fd < 0) {
    host::failErrno(path, errno);
    return nullptr;
  }
  if (!block && options.exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    host::fail(kErrOpenDrive,
               path + ": in use by another program" +
                   (err == EWOULDBLOCK ? std::string() : std::string(" (lock failed)")));
    return nullptr;
  }
  std::uint64_t size = 0;
  int sectorSize = 0;
  if (block) {
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize < 0) sectorSize = 0;
  } else {
    size = static_cast<std::uint64_t>(st.st_size);
  }
  std::unique_ptr<HostDevice> device;
  try {
    device = std::make_unique<FileDevice>(fd, size, block && isCdDevicePath(path),
                                          static_cast<std::uint32_t>(sectorSize));
  } catch (...) {
    ::close(fd);
    host::fail(kErrMemory, path + ": out of memory");
    return nullptr;
  }
  if (options.optical) device = host::wrapOptical(std::move(device));
  if (!device) host::fail(kErrMemory, path + ": out of memory");
  return device;
}

std::unique_ptr<HostDevice> Host_OpenPath(const std::string& path, bool writeAccess, bool optical) {
  return Host_OpenPathWith(path, HostOpenOptions{writeAccess, optical, false});
}
