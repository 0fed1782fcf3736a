// Writing recovered files.
#include "host/host_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

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
