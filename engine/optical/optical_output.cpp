// Recovered files of optical media.
#include "optical/optical_output.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "host/host_output.h"

OpticalOutput::OpticalOutput(const char* target, std::atomic<std::uint64_t>* bytesDone) noexcept
    : m_target(target), m_bytesDone(bytesDone) {
  if (target != nullptr)
    m_fd = ::open(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

OpticalOutput::~OpticalOutput() {
  if (m_fd >= 0) (void)finish(false);
}

bool OpticalOutput::write(const void* data, std::uint64_t n) noexcept {
  if (m_fd < 0 || !Host_WriteAll(m_fd, data, static_cast<std::size_t>(n))) return false;
  m_written += n;
  if (m_bytesDone != nullptr) m_bytesDone->store(m_written, std::memory_order_relaxed);
  return true;
}

bool OpticalOutput::finish(bool ok) noexcept {
  if (m_fd < 0) return false;
  ok = ::close(m_fd) == 0 && ok;
  m_fd = -1;
  if (ok) return true;
  try {
    const std::string partial = std::string(m_target) + ".partial";
    if (::renameat2(AT_FDCWD, m_target, AT_FDCWD, partial.c_str(), RENAME_NOREPLACE) != 0)
      (void)::unlink(m_target);
  } catch (...) {
    (void)::unlink(m_target);
  }
  return false;
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/cached_drive.h"
#include "core/undelete_object.h"

namespace {
constexpr std::uint32_t kPieceBytes = 512 * 1024;

std::uint8_t* pieceBuffer() noexcept {
  thread_local std::unique_ptr<std::uint8_t[]> buffer;
  if (!buffer) buffer.reset(new (std::nothrow) std::uint8_t[kPieceBytes]);
  return buffer.get();
}
}  // namespace

CopyEnd Optical_CopyRange(Undelete* u, OpticalOutput& out, std::uint64_t offset,
                          std::uint64_t length, std::uint32_t unit, bool& readFailed) noexcept {
  std::uint8_t* buffer = pieceBuffer();
  if (buffer == nullptr || unit == 0 || unit > kPieceBytes) {
    readFailed = true;
    return CopyEnd::Done;
  }
  const std::uint32_t piece = kPieceBytes / unit * unit;
  while (length > 0) {
    if (isCancelled(u)) return CopyEnd::Cancelled;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, piece));
    const std::uint32_t readBytes = (n + unit - 1) / unit * unit;
    std::uint32_t got = 0;
    if (!CachedDrive_Read(u->drive, offset, readBytes, buffer, &got) || got != readBytes) {
      for (std::uint32_t at = 0; at < readBytes; at += unit) {
        std::uint32_t one = 0;
        if (!CachedDrive_Read(u->drive, offset + at, unit, buffer + at, &one) || one != unit) {
          std::memset(buffer + at, 0, unit);
          readFailed = true;
        }
      }
    }
    if (!out.write(buffer, n)) return CopyEnd::WriteError;
    offset += readBytes;
    length -= n;
  }
  return CopyEnd::Done;
}
