// Recovered files of optical media: created exclusively, written block by block, and kept under
// a ".partial" name when some of their blocks could not be read.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "host/host_output.h"

struct Undelete;

/// Records @p code as the engine's error and the thread's last error; returns false.
bool Optical_Fail(Undelete* u, std::uint32_t code) noexcept;
/// The locator bytes behind @p ref that may be read: up to the end of the used strings storage.
std::span<const std::uint8_t> Optical_LocatorBytes(const Undelete* u, std::uint32_t ref) noexcept;

class OpticalOutput {
 public:
  /// Creates @p target where the recovery dispatch says (u->outputPlace): exclusively, never
  /// through a symbolic link.
  OpticalOutput(Undelete* u, const char* target, std::atomic<std::uint64_t>* bytesDone) noexcept;
  ~OpticalOutput();
  OpticalOutput(const OpticalOutput&) = delete;
  OpticalOutput& operator=(const OpticalOutput&) = delete;

  [[nodiscard]] bool opened() const noexcept { return m_opened; }
  /// Appends @p n bytes; false on a write error (the output is then failed).
  [[nodiscard]] bool write(const void* data, std::uint64_t n) noexcept;
  [[nodiscard]] std::uint64_t written() const noexcept { return m_written; }
  /// Closes the file. A failed recovery keeps what was read as "<target>.partial" (removed when
  /// that name is taken) so that nothing incomplete sits under the final name.
  [[nodiscard]] bool finish(bool ok) noexcept;

 private:
  Undelete* m_u;
  HostOutputFile m_file;
  bool m_opened = false;
  std::uint64_t m_written = 0;
  std::atomic<std::uint64_t>* m_bytesDone;
};

enum class CopyEnd : std::uint8_t { Done, WriteError, Cancelled };

/// Copies @p length bytes at volume offset @p offset of the engine's drive to @p out, reading
/// whole @p unit blocks in large pieces. A piece that fails is read again block by block; a block
/// that still fails is written as zeros and sets @p readFailed, so that the rest of the file is
/// still had. Polls the cancel event per piece.
CopyEnd Optical_CopyRange(Undelete* u, OpticalOutput& out, std::uint64_t offset,
                          std::uint64_t length, std::uint32_t unit, bool& readFailed) noexcept;
