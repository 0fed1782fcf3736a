// FAT file recovery: a live file is read along its cluster chain; a deleted file (whose chain is
// freed) from the clusters the layout model gives it, the same clusters its state was counted
// from (fat_layout.h). Deep-scan finds are read from their byte offset. Contiguous clusters are
// read and written in pieces of up to 1 MiB.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/recover_output.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat/fat_layout.h"
#include "host/host_output.h"

namespace {

constexpr std::uint32_t kPieceBytes = 1u << 20;
constexpr std::uint32_t kMaxUnit = 1u << 20;  // a read is rounded up to whole clusters or sectors
constexpr std::uint32_t kDeepScanLocator = 0xFFFFFFFFu;

/// One piece buffer per thread, kept between files: recovering many small files must not pay
/// for allocating and clearing a megabyte each time.
std::uint8_t* pieceBuffer() noexcept {
  thread_local std::unique_ptr<std::uint8_t[]> buffer;
  if (!buffer) buffer.reset(new (std::nothrow) std::uint8_t[kPieceBytes + kMaxUnit]);
  return buffer.get();
}

enum class Outcome : std::uint8_t { Done, ReadError, WriteError };

/// Copies the file's bytes into @p fd.
class Copier {
 public:
  Copier(Undelete* u, const FatGeometry& g, int fd, std::uint64_t size,
         std::atomic<std::uint64_t>* bytesDone, std::uint8_t* buffer)
      : m_u(u), m_g(g), m_fd(fd), m_size(size), m_bytesDone(bytesDone), m_buffer(buffer) {}

  [[nodiscard]] std::uint64_t left() const noexcept { return m_size - m_written; }

  /// Reads @p count clusters from @p first on and writes what the size still needs of them.
  Outcome clusters(std::uint32_t first, std::uint32_t count) noexcept {
    const std::uint64_t bytes =
        std::min<std::uint64_t>(std::uint64_t{count} * m_g.clusterBytes, left());
    return bytesAt(FAT_ClusterSector(m_g, first) * m_g.sectorSize, bytes, m_g.clusterBytes);
  }

  /// Reads @p bytes at volume offset @p offset, in whole @p unit reads, and writes them.
  Outcome bytesAt(std::uint64_t offset, std::uint64_t bytes, std::uint32_t unit) noexcept {
    // Pieces are whole units so that the next piece starts where this one's data ends.
    const std::uint64_t limit = std::max<std::uint64_t>(unit, kPieceBytes / unit * unit);
    while (bytes > 0) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, limit));
      const std::uint32_t readBytes = (n + unit - 1) / unit * unit;
      std::uint32_t got = 0;
      if (!CachedDrive_Read(m_u->drive, offset, readBytes, m_buffer, &got) || got != readBytes) {
        // Write what could be read unit by unit before failing, as a unit-wise reader would.
        return salvage(offset, n, unit);
      }
      if (!Host_WriteAll(m_fd, m_buffer, n)) return Outcome::WriteError;
      progress(n);
      offset += readBytes;
      bytes -= n;
    }
    return Outcome::Done;
  }

 private:
  Outcome salvage(std::uint64_t offset, std::uint32_t n, std::uint32_t unit) noexcept {
    for (std::uint32_t done = 0; done < n; done += unit) {
      const std::uint32_t take = std::min(unit, n - done);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(m_u->drive, offset + done, unit, m_buffer, &got) || got != unit) {
        return Outcome::ReadError;
      }
      if (!Host_WriteAll(m_fd, m_buffer, take)) return Outcome::WriteError;
      progress(take);
    }
    return Outcome::Done;
  }

  void progress(std::uint32_t n) noexcept {
    m_written += n;
    if (m_bytesDone != nullptr)
      m_bytesDone->store(m_written & 0xFFFFFFFFull, std::memory_order_relaxed);
  }

  Undelete* m_u;
  const FatGeometry& m_g;
  int m_fd;
  std::uint64_t m_size;
  std::uint64_t m_written = 0;
  std::atomic<std::uint64_t>* m_bytesDone;
  std::uint8_t* m_buffer;
};

/// Along the chain, then straight on. Runs of consecutive clusters go in one piece.
Outcome recoverClusters(Undelete* u, const FatGeometry& g, Copier& copy, std::uint32_t first) {
  const std::uint32_t maxRun = std::max(1u, kPieceBytes / g.clusterBytes);
  std::uint32_t c = first;
  std::uint32_t last = 0;
  bool chainEnded = false;
  // The chain: a run is extended while the next entry is the next cluster.
  while (copy.left() > 0 && !isCancelled(u)) {
    if (c < 2 || c >= g.clusterLimit) {
      // An end-of-chain or damaged entry while bytes remain: go on straight after the last
      // cluster read, as for a freed chain.
      chainEnded = last != 0;
      break;
    }
    std::uint32_t run = 1;
    std::uint32_t next = 0;
    bool haveNext = FAT_TableEntry(g, c, next);
    std::uint64_t runBytes = g.clusterBytes;
    while (haveNext && next == c + run && run < maxRun && runBytes < copy.left() &&
           next < g.clusterLimit) {
      ++run;
      runBytes += g.clusterBytes;
      haveNext = FAT_TableEntry(g, c + run - 1, next);
    }
    const Outcome o = copy.clusters(c, run);
    if (o != Outcome::Done) return o;
    last = c + run - 1;
    if (!haveNext) {
      chainEnded = true;
      break;
    }
    c = next;
  }
  if (!chainEnded || copy.left() == 0 || isCancelled(u)) return Outcome::Done;

  Undelete_Log(
      u,
      "FAT_RecoverFile: cluster chain end, continue reading clusters after last cluster read.\n");
  while (copy.left() > 0 && !isCancelled(u)) {
    const std::uint64_t start = std::uint64_t{last} + 1;
    if (start >= g.clusterLimit) return Outcome::ReadError;  // past the last cluster of the volume
    const std::uint64_t wanted = (copy.left() + g.clusterBytes - 1) / g.clusterBytes;
    const auto run = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({wanted, maxRun, g.clusterLimit - start}));
    const Outcome o = copy.clusters(static_cast<std::uint32_t>(start), run);
    if (o != Outcome::Done) return o;
    last = static_cast<std::uint32_t>(start + run - 1);
  }
  return Outcome::Done;
}

/// The clusters of a deleted file's layout, in order; clusters the size needs beyond the volume
/// end the copy with a read error.
Outcome recoverLayout(Undelete* u, const FatGeometry& g, Copier& copy, const FatLayout& layout) {
  const std::uint32_t maxRun = std::max(1u, kPieceBytes / g.clusterBytes);
  for (const FatRun& r : layout.runs) {
    for (std::uint32_t done = 0; done < r.count && copy.left() > 0;) {
      if (isCancelled(u)) return Outcome::Done;
      const std::uint32_t n = std::min(maxRun, r.count - done);
      const Outcome o = copy.clusters(r.first + done, n);
      if (o != Outcome::Done) return o;
      done += n;
    }
  }
  return copy.left() > 0 ? Outcome::ReadError : Outcome::Done;
}

}  // namespace

bool FAT_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || target == nullptr) return false;
  CachedDrive* drive = u->drive;
  HostOutputFile out;
  if (!Recover_CreateOutput(u, out, target, "FAT_RecoverFile: Unable to create recover file.\n"))
    return false;
  const int fd = out.fd();
  // The window stays the volume's own length: reading on past the volume would read another
  // partition's data.
  const std::uint64_t volumeOffset = record->volumeOffset.get();
  if (drive != nullptr && drive->windowStart != volumeOffset) {
    const std::uint64_t length = drive->windowEnd - drive->windowStart;
    (void)CachedDrive_SetWindow(drive, volumeOffset, length);
  }

  Outcome outcome = Outcome::Done;
  FatGeometry g;
  const std::uint64_t size = record->size.get() & 0xFFFFFFFFull;
  std::uint64_t left = size;
  std::uint8_t* buffer = pieceBuffer();
  // A directory entry keeps its first cluster; a deep-scan find adds its byte offset.
  const std::span<const std::uint8_t> locBytes = Storage_BytesAt(u, record->locator.get());
  const std::uint8_t* locator = locBytes.size() >= 4 ? locBytes.data() : nullptr;
  if (buffer == nullptr && size != 0) {
    Undelete_Log(u, "FAT_RecoverFile: Unable to allocate memory for cluster read.\n");
    Host_SetLastError(kErrMemory);
    u->error = kErrMemory;
    return Recover_EndOutput(u, out, false, false);
  }
  if (size != 0) {
    if (!FAT_GetGeometry(drive, g) || locator == nullptr) {
      outcome = Outcome::ReadError;
    } else {
      Copier copy(u, g, fd, size, bytesDone, buffer);
      const std::uint32_t first = loadLe<std::uint32_t>(locator);
      if (first == kDeepScanLocator && locBytes.size() < 12) {
        outcome = Outcome::ReadError;
      } else if (first == kDeepScanLocator) {
        Undelete_Log(u, "FAT_RecoverFile: restoring file found by deep scan.\n");
        const std::uint64_t offset = loadLe<std::uint64_t>(locator + 4);
        outcome = copy.bytesAt(offset, size, g.sectorSize);
      } else if (first < 2) {
        // No data cluster: the directory entry is inconsistent; nothing is read.
        outcome = Outcome::ReadError;
      } else if (FatLayout layout; (record->status & kStatusExisting) == 0 &&
                                   FAT_LayoutForRecovery(u, record, g, layout)) {
        outcome = recoverLayout(u, g, copy, layout);
      } else {
        outcome = recoverClusters(u, g, copy, first);
      }
      left = copy.left();
    }
  }
  if (outcome == Outcome::ReadError) {
    Undelete_Log(u, "FAT_RecoverFile: Error reading deleted file cluster.\n");
    Host_SetLastError(kErrReadSource);
    u->error = kErrReadSource;
  } else if (outcome == Outcome::WriteError) {
    Undelete_Log(u, "FAT_RecoverFile: Error writing recover file.\n");
    Host_SetLastError(kErrWriteFile);
    u->error = kErrWriteFile;
  } else if (left != 0) {
    // Only a cancel stops the copy early without an error of its own.
    Host_SetLastError(kErrUserAbort);
    u->error = kErrUserAbort;
  }

  // Creation and access times only when both are recorded (FAT12 has neither).
  const std::uint64_t created = record->created.get(), accessed = record->accessed.get();
  timespec times[2];
  times[1] = FileTime_ToTimespec(record->modified.get());
  times[0] = (created >> 32) != 0 && (accessed >> 32) != 0 ? FileTime_ToTimespec(accessed)
                                                           : timespec{0, UTIME_OMIT};
  (void)::futimens(fd, times);
  const bool complete = outcome == Outcome::Done && left == 0;
  // What could be read of a damaged source is kept as partial; a write error or a cancel leaves
  // nothing, as the source still holds the data.
  if (!Recover_EndOutput(u, out, complete, outcome == Outcome::ReadError)) {
    if (complete) Undelete_Log(u, "FAT_RecoverFile: Error writing recover file.\n");
    return false;
  }
  return true;
}
