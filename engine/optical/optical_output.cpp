// Recovered files of optical media.
#include "optical/optical_output.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "core/last_error.h"
#include "core/recover_output.h"
#include "core/storage.h"
#include "host/host_output.h"

OpticalOutput::OpticalOutput(Undelete* u, const char* target,
                             std::atomic<std::uint64_t>* bytesDone) noexcept
    : m_u(u), m_bytesDone(bytesDone) {
  m_opened = u != nullptr && target != nullptr &&
             Recover_CreateOutput(u, m_file, target, "Optical: Unable to create recover file.\n");
}

OpticalOutput::~OpticalOutput() {
  if (m_opened) (void)finish(false);
}

bool OpticalOutput::write(const void* data, std::uint64_t n) noexcept {
  if (!m_opened || !m_file.write(data, static_cast<std::size_t>(n))) return false;
  m_written += n;
  if (m_bytesDone != nullptr) m_bytesDone->store(m_written, std::memory_order_relaxed);
  return true;
}

bool OpticalOutput::finish(bool ok) noexcept {
  if (!m_opened) return false;
  m_opened = false;
  // A failed recovery keeps what was read under a ".partial" name.
  return Recover_EndOutput(m_u, m_file, ok, true);
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

bool Optical_Fail(Undelete* u, std::uint32_t code) noexcept {
  Host_SetLastError(code);
  u->error = code;
  return false;
}

std::span<const std::uint8_t> Optical_LocatorBytes(const Undelete* u, std::uint32_t ref) noexcept {
  return Storage_BytesAt(u, ref);
}
