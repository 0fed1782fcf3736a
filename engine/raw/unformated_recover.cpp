// Recovery of a deep-scan find: size bytes from consecutive sectors starting at the sector its
// locator names.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/recover_output.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host_output.h"
#include "raw/unformated.h"

namespace {

constexpr std::size_t kWriteBatch = 1u << 20;


}  // namespace

bool Unformated_RecoverFile(Undelete* u, FileRecord* record, const char* outputPath,
                            std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || outputPath == nullptr || u->drive == nullptr)
    return false;
  CachedDrive* drive = u->drive;
  const void* locator = Storage_Block(u, record->locator.get(), sizeof(std::uint32_t));
  if (locator == nullptr) {
    Host_SetLastError(kErrInvalidParameter);
    return false;
  }
  std::uint32_t first = 0;
  std::memcpy(&first, locator, sizeof first);

  HostOutputFile out;
  if (!Recover_CreateOutput(u, out, outputPath,
                            "Unformated_RecoverFile: Unable to create recover file.\n"))
    return false;
  const int fd = out.fd();
  const std::uint64_t windowSize = drive->windowEnd - drive->windowStart;
  (void)CachedDrive_SetWindow(drive, record->volumeOffset.get(), windowSize);

  const std::uint32_t sectorSize = drive->sectorSize;
  std::vector<std::uint8_t> batch;
  try {
    batch.resize(kWriteBatch + sectorSize);
  } catch (const std::bad_alloc&) {
    // Nothing could be copied: say so rather than leave an empty file that looks recovered.
    Host_SetLastError(kErrMemory);
    return Recover_EndOutput(u, out, false, false);
  }
  const std::uint64_t size = record->size.get();
  std::uint64_t copied = 0;
  std::size_t pending = 0;
  std::uint64_t s = first;
  bool ok = true;
  bool readError = false;
  auto flush = [&]() {
    if (pending > 0 && !Host_WriteAll(fd, batch.data(), pending)) {
      Undelete_Log(u, "Unformated_RecoverFile: Error writing recover file.\n");
      Host_SetLastError(kErrWriteFile);
      ok = false;
    }
    pending = 0;
  };
  while (ok && sectorSize != 0 && copied < size && !isCancelled(u)) {
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, s * sectorSize, sectorSize, batch.data() + pending, &got) ||
        got != sectorSize) {
      Undelete_Log(u, "Unformated_RecoverFile: Error reading deleted file sector.\n");
      Host_SetLastError(kErrReadSource);
      ok = false;
      readError = true;
      break;
    }
    const std::uint64_t take = std::min<std::uint64_t>(size - copied, sectorSize);
    pending += static_cast<std::size_t>(take);
    copied += take;
    if (bytesDone != nullptr) bytesDone->store(copied, std::memory_order_relaxed);
    if (pending >= kWriteBatch) flush();
    ++s;
  }
  if (ok || pending > 0) {
    // Keep what was read before a failure: a partial file, named so, is more use than none.
    const bool before = ok;
    flush();
    if (before && !ok) readError = false;  // the write failed, not the read
    ok = ok && before;
  }
  if (ok && copied < size) {  // stopped by a cancel
    Host_SetLastError(kErrUserAbort);
    ok = false;
  }
  return Recover_EndOutput(u, out, ok, readError);
}
