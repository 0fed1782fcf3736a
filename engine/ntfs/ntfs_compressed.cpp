// Compressed NTFS data: units of 16 clusters, each stored raw (16 clusters), compressed (fewer
// clusters followed by a sparse run padding the unit) or wholly sparse (all zeros).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"
#include "host/host_output.h"

namespace {

constexpr std::uint64_t kUnitClusters = 16;


struct Sink {
  Undelete* u;
  int fd;
  std::uint64_t limit;
  std::uint64_t written = 0;
  std::atomic<std::uint64_t>* bytesDone;
  bool failed = false;

  /// Writes up to @p length bytes of @p data, cut at the limit.
  void put(const std::uint8_t* data, std::uint64_t length, bool threadError) noexcept {
    const std::uint64_t piece = std::min(length, limit - written);
    if (piece == 0) return;
    if (!Host_WriteAll(fd, data, piece)) {
      Undelete_Log(u, "NTFS_RecoverCompressed: Destination file write error.\n");
      if (threadError) {
        Host_SetLastError(kErrWriteFile);
      } else {
        u->error = kErrWriteFile;
      }
      failed = true;
    }
    written += piece;
    if (bytesDone != nullptr) bytesDone->store(written, std::memory_order_relaxed);
  }
  /// Writes @p clusters clusters of zeros (cut at the limit) from a one-unit zero buffer, so a
  /// long sparse tail costs no memory.
  void zeros(const std::vector<std::uint8_t>& zero, std::uint64_t bytes,
             bool threadError) noexcept {
    while (bytes > 0 && written < limit) {
      const std::uint64_t piece = std::min<std::uint64_t>(bytes, zero.size());
      put(zero.data(), piece, threadError);
      bytes -= piece;
    }
  }
};

}  // namespace

bool NTFS_RecoverCompressed(Undelete* u, RunCursor& cursor, FileRecord* record, int fd,
                            std::atomic<std::uint64_t>* bytesDone) noexcept {
  return NTFS_RecoverCompressedTo(u, cursor, record, fd, bytesDone, record->size.get());
}

bool NTFS_RecoverCompressedTo(Undelete* u, RunCursor& cursor, FileRecord* record, int fd,
                              std::atomic<std::uint64_t>* bytesDone, std::uint64_t limit) noexcept {
  (void)record;
  CachedDrive* drive = u->drive;
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  if (volume == nullptr) return false;
  const std::uint64_t cb = volume->info.clusterBytes.get();
  const std::uint64_t start = volume->info.volumeStart.get();
  const std::uint64_t unitBytes = cb * kUnitClusters;
  Sink sink{u, fd, limit, 0, bytesDone};
  std::vector<std::uint8_t> zero, packed, output;
  try {
    zero.assign(unitBytes, 0);
    packed.reserve(unitBytes);
    output.reserve(unitBytes);
  } catch (...) {
    Undelete_Log(u, "NTFS_RecoverCompressed: Unable to resize memory block.\n");
    return false;
  }
  std::uint64_t sparse = 0;
  if (cursor.skipSparse(&sparse)) sink.zeros(zero, sparse * cb, false);

  /// Decodes (or copies) the gathered clusters of one unit and writes it, then @p tail zero bytes.
  auto flush = [&](std::uint64_t tailClusters) {
    const std::uint64_t gathered = packed.size() / cb;
    output.assign(unitBytes, 0);
    std::uint64_t produced = unitBytes;
    if (gathered < kUnitClusters) {
      if (NTFS_Decompress(static_cast<std::uint32_t>(packed.size()), packed.data(),
                          static_cast<std::uint32_t>(unitBytes), output.data()) != 0) {
        Undelete_Log(u, "NTFS_RecoverCompressed: NTFS_Decompress error.\n");
        Host_SetLastError(kErrDecompress);
        sink.failed = true;
      }
      produced =
          (gathered + tailClusters) * cb < unitBytes ? (gathered + tailClusters) * cb : unitBytes;
    } else {
      std::memcpy(output.data(), packed.data(), unitBytes);
    }
    sink.put(output.data(), produced, true);
    // Clusters of the sparse run past this unit are whole zero units.
    const std::uint64_t covered = std::max<std::uint64_t>(gathered, kUnitClusters);
    if (gathered + tailClusters > covered)
      sink.zeros(zero, (gathered + tailClusters - covered) * cb, true);
    packed.clear();
    output.clear();
  };

  std::uint64_t cluster = 0;
  // Cluster 0 is data like any other when the list says so (the boot file's run starts there).
  while (sink.written < limit && !sink.failed && !isCancelled(u)) {
    if (!cursor.next(&cluster)) break;
    const std::size_t at = packed.size();
    try {
      packed.resize(at + cb, 0);
    } catch (...) {
      Undelete_Log(u, "NTFS_RecoverCompressed: Unable to resize memory block.\n");
      Host_SetLastError(kErrMemory);
      sink.failed = true;
      break;
    }
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, cluster * cb + start, static_cast<std::uint32_t>(cb),
                          packed.data() + at, &got) ||
        got != cb) {
      Undelete_Log(u, "NTFS_RecoverCompressed: Unable to read source drive.\n");
      u->error = kErrReadSource;
      sink.failed = true;
      break;
    }
    std::uint64_t n = 0;
    if (!cursor.skipSparse(&n)) n = 0;
    if (n == 0 && packed.size() / cb < kUnitClusters) continue;
    flush(n);
  }
  // A unit left open when the list ends without its padding run is still data: decode it.
  if (!packed.empty() && sink.written < limit && !sink.failed && !isCancelled(u)) flush(0);
  if (!sink.failed && sink.written < limit) {
    // The list ended (or a cancel came) before the file's size: the file is not whole.
    if (isCancelled(u)) {
      Host_SetLastError(kErrUserAbort);
    } else {
      Undelete_Log(u, "NTFS_RecoverCompressed: Run list ends before the end of the file.\n");
      Host_SetLastError(kErrReadSource);
    }
    sink.failed = true;
  }
  return !sink.failed;
}
