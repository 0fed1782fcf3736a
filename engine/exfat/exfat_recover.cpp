// exFAT file recovery: reads the file's clusters as the state estimation walks them (contiguous
// with the no-FAT-chain flag, else the chain while it lasts and then straight on) and writes them
// through the host layer's write loop. Bytes past the valid data length are zeros, as the file
// reads. Runs of consecutive clusters are read in pieces of up to 1 MiB.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/cached_drive.h"
#include "core/filetime.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/recover_output.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"
#include "host/host_output.h"

namespace {

constexpr std::uint32_t kPieceBytes = 1u << 20;
enum class Outcome : std::uint8_t { Done, ReadError, WriteError };

class Copier {
 public:
  Copier(Undelete* u, const ExfatGeometry& g, int fd, std::uint64_t size, std::uint64_t valid,
         std::atomic<std::uint64_t>* bytesDone, std::uint8_t* buffer)
      : m_u(u),
        m_g(g),
        m_fd(fd),
        m_size(size),
        m_valid(std::min(valid, size)),
        m_bytesDone(bytesDone),
        m_buffer(buffer) {}

  [[nodiscard]] std::uint64_t left() const noexcept { return m_size - m_written; }

  /// Reads @p count clusters from @p first on and writes what the size still needs of them.
  Outcome clusters(std::uint32_t first, std::uint32_t count) noexcept {
    const std::uint64_t bytes =
        std::min<std::uint64_t>(std::uint64_t{count} * m_g.clusterBytes, left());
    const auto n = static_cast<std::uint32_t>(bytes);
    // Past the valid data length the file reads as zeros, whatever the clusters hold.
    const std::uint64_t fromDisk = m_written >= m_valid ? 0 : std::min(bytes, m_valid - m_written);
    if (fromDisk != 0) {
      const std::uint64_t at = EXFAT_ClusterSector(m_g, first) * m_g.sectorSize;
      const auto readBytes = static_cast<std::uint32_t>((fromDisk + m_g.clusterBytes - 1) /
                                                        m_g.clusterBytes * m_g.clusterBytes);
      std::uint32_t got = 0;
      if (!CachedDrive_Read(m_u->drive, at, readBytes, m_buffer, &got) || got != readBytes) {
        if (count == 1) return Outcome::ReadError;
        // Cluster by cluster, so that what can be read is written before failing.
        for (std::uint32_t k = 0; k < count; ++k) {
          const std::uint64_t wanted = std::min<std::uint64_t>(m_g.clusterBytes, left());
          if (wanted == 0) return Outcome::Done;
          const Outcome o = clusters(first + k, 1);
          if (o != Outcome::Done) return o;
        }
        return Outcome::Done;
      }
    }
    std::memset(m_buffer + fromDisk, 0, n - fromDisk);
    if (!Host_WriteAll(m_fd, m_buffer, n)) return Outcome::WriteError;
    m_written += n;
    if (m_bytesDone != nullptr) m_bytesDone->store(m_written, std::memory_order_relaxed);
    return Outcome::Done;
  }

 private:
  Undelete* m_u;
  const ExfatGeometry& m_g;
  int m_fd;
  std::uint64_t m_size;
  std::uint64_t m_valid;
  std::uint64_t m_written = 0;
  std::atomic<std::uint64_t>* m_bytesDone;
  std::uint8_t* m_buffer;
};

Outcome copyClusters(Undelete* u, const ExfatGeometry& g, Copier& copy, const ExfatLocator& loc,
                     std::uint64_t size) {
  const bool noFatChain = (loc.flags.get() & kExfatFlagNoFatChain) != 0;
  ExfatClusterWalk walk(g, loc.firstCluster.get(), noFatChain, size);
  const std::uint32_t maxRun = std::max(1u, kPieceBytes / g.clusterBytes);
  std::uint32_t runFirst = 0, runCount = 0, c = 0;
  bool logged = false;
  while (copy.left() > 0 && !isCancelled(u)) {
    const bool more = walk.next(c);
    if (walk.chainEnded() && !logged) {
      Undelete_Log(u,
                   "EXFAT_RecoverFile: cluster chain end, continue reading clusters after last "
                   "cluster read.\n");
      logged = true;
    }
    if (more && runCount != 0 && c == runFirst + runCount && runCount < maxRun) {
      ++runCount;
      continue;
    }
    if (runCount != 0) {
      const Outcome o = copy.clusters(runFirst, runCount);
      if (o != Outcome::Done) return o;
    }
    if (!more) break;
    runFirst = c;
    runCount = 1;
  }
  // Clusters the volume does not have (a first cluster out of range, or a walk off the heap).
  return copy.left() > 0 && !isCancelled(u) ? Outcome::ReadError : Outcome::Done;
}

}  // namespace

bool EXFAT_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                       std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || target == nullptr) return false;
  CachedDrive* drive = u->drive;
  // A new file only, where the recovery dispatch says: never through a link, never over a file.
  HostOutputFile out;
  if (!Recover_CreateOutput(u, out, target, "EXFAT_RecoverFile: Unable to create recover file.\n"))
    return false;
  const int fd = out.fd();
  // The window stays the volume's own length: reading on past it would read another partition.
  const std::uint64_t volumeOffset = record->volumeOffset.get();
  if (drive != nullptr && drive->windowStart != volumeOffset) {
    const std::uint64_t length = drive->windowEnd - drive->windowStart;
    (void)CachedDrive_SetWindow(drive, volumeOffset, length);
  }

  Outcome outcome = Outcome::Done;
  const std::uint64_t size = record->size.get();
  const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, record->locator.get(), sizeof(ExfatLocator)));
  ExfatGeometry g;
  if (size != 0) {
    if (!EXFAT_GetGeometry(drive, g) || loc == nullptr) {
      outcome = Outcome::ReadError;
    } else {
      ExfatLocator locator;
      std::memcpy(&locator, loc, sizeof locator);
      const std::uint32_t bufferBytes = std::max(kPieceBytes, g.clusterBytes);
      std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[bufferBytes]);
      if (buffer == nullptr) {
        Host_SetLastError(kErrMemory);
        u->error = kErrMemory;
        return Recover_EndOutput(u, out, false, false);
      }
      Copier copy(u, g, fd, size, locator.validDataLength.get(), bytesDone, buffer.get());
      outcome = copyClusters(u, g, copy, locator, size);
    }
  }
  if (outcome == Outcome::ReadError) {
    Undelete_Log(u, "EXFAT_RecoverFile: Error reading deleted file cluster.\n");
    Host_SetLastError(kErrReadSource);
    u->error = kErrReadSource;
  } else if (outcome == Outcome::WriteError) {
    Undelete_Log(u, "EXFAT_RecoverFile: Error writing recover file.\n");
    Host_SetLastError(kErrWriteFile);
    u->error = kErrWriteFile;
  }

  const timespec times[2] = {FileTime_ToTimespec(record->accessed.get()),
                             FileTime_ToTimespec(record->modified.get())};
  (void)::futimens(fd, times);
  // What could be read of a damaged source is kept as partial; a write error leaves nothing.
  const bool complete = outcome == Outcome::Done;
  if (!Recover_EndOutput(u, out, complete, outcome == Outcome::ReadError)) {
    if (complete) Undelete_Log(u, "EXFAT_RecoverFile: Error writing recover file.\n");
    return false;
  }
  return true;
}
