// CachedDrive: opening volumes and disks, the windowed read cache, write-through and the CD path.
#include "core/cached_drive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/last_error.h"
#include "core/log.h"
#include "host/host.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint64_t kEmptyCache = 0xFFFFFFFFFFDFFFFFull;    // + 2 MiB ends at all ones
constexpr std::uint64_t kEmptyCdCache = 0xFFFFFFFFFFFEFFFFull;  // + 64 KiB ends at all ones
constexpr std::uint32_t kKeepOnRefill = 0x8000;                 // tail kept by a sequential refill
constexpr std::uint32_t kCdBlock = 2048;
constexpr std::uint32_t kCdCommand = 0x8000;  // bytes per optical read command
constexpr std::uint32_t kProbeFirst = 512;
constexpr std::uint32_t kProbeLast = 16384;
constexpr std::uint64_t kMaxFileOffset = 0x7FFFFFFFFFFFFFFFull;

bool isCd(const CachedDrive* d) { return d->driveType == kDriveTypeCdRom; }

void resetCache(CachedDrive* d) {
  if (isCd(d)) {
    d->cacheCapacity = kCdCacheSize;
    d->cacheStart = kEmptyCdCache;
  } else {
    d->cacheCapacity = kCacheSize;
    d->cacheStart = kEmptyCache;
  }
  d->cacheSize = d->cacheCapacity;
}

std::uint64_t cacheEnd(const CachedDrive* d) {
  std::uint64_t end = 0;
  return __builtin_add_overflow(d->cacheStart, std::uint64_t{d->cacheSize}, &end) ? ~0ull : end;
}

/// Device read counted for tests and benchmarks.
bool deviceRead(CachedDrive* d, std::uint64_t offset, void* buffer, std::uint32_t count,
                std::uint32_t* got) {
  ++d->deviceReads;
  d->deviceBytes += count;
  return d->device->read(offset, buffer, count, got);
}

/// Optical read at a block offset: 32 KiB commands; after a failed command the blocks are read one
/// at a time up to the first that fails. Succeeds when at least one command did.
bool cdRead(CachedDrive* d, std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer,
            std::uint32_t* got) {
  std::uint64_t at = offset / kCdBlock * kCdBlock;
  std::uint32_t wanted = count, done = 0;
  bool any = false;
  while (wanted >= kCdBlock) {
    const std::uint32_t n = std::min(wanted, kCdCommand);
    std::uint32_t r = 0;
    if (n % kCdBlock != 0 || !deviceRead(d, at, buffer + done, n, &r) || r != n) {
      while (wanted >= kCdBlock) {
        if (!deviceRead(d, at, buffer + done, kCdBlock, &r) || r != kCdBlock) break;
        any = true;
        done += kCdBlock;
        wanted -= kCdBlock;
        at += kCdBlock;
      }
      CachedDrive_Log(d, "CachedDrive_Read: ReadCDSectors error.\n");
      break;
    }
    any = true;
    done += n;
    wanted -= n;
    at += n;
  }
  *got = done;
  return any;
}

/// Read of absolute [offset, offset + count) from the device, without the cache.
bool rawRead(CachedDrive* d, std::uint64_t offset, std::uint32_t count, std::uint8_t* buffer,
             std::uint32_t* got) {
  *got = 0;
  if (isCd(d)) return cdRead(d, offset, count, buffer, got);
  if (offset > kMaxFileOffset) {
    CachedDrive_Log(d, "CachedDrive_Read: Error positioning for read.\n");
    return false;
  }
  std::uint32_t n = 0;
  if (!deviceRead(d, offset, buffer, count, &n) || n != count) {
    std::memset(buffer, 0, count);
    CachedDrive_Log(d, "CachedDrive_Read: ReadFile error.\n");
    return false;
  }
  *got = count;
  return true;
}

/// Optical read that starts inside a block: whole blocks into a scratch buffer, then the part
/// asked for. Without this the block rounding would hand out the bytes of the block start.
bool cdReadUnaligned(CachedDrive* d, std::uint64_t offset, std::uint32_t count,
                     std::uint8_t* buffer, std::uint32_t* got) {
  const auto lead = static_cast<std::uint32_t>(offset % kCdBlock);
  const std::uint64_t span = (std::uint64_t{lead} + count + kCdBlock - 1) / kCdBlock * kCdBlock;
  std::vector<std::uint8_t> scratch;
  try {
    scratch.resize(static_cast<std::size_t>(span));
  } catch (...) {
    return false;
  }
  std::uint32_t n = 0;
  if (!cdRead(d, offset - lead, static_cast<std::uint32_t>(span), scratch.data(), &n)) return false;
  *got = n > lead ? std::min(count, n - lead) : 0;
  std::memcpy(buffer, scratch.data() + lead, *got);
  return true;
}

bool probeSectorSize(CachedDrive* d) {
  for (std::uint32_t size = kProbeFirst; size <= kProbeLast; size += kProbeFirst) {
    std::uint32_t got = 0;
    if (rawRead(d, 0, size, d->cache, &got) && got == size) {
      d->sectorSize = size;
      resetCache(d);  // the probe used the cache as scratch space
      return true;
    }
  }
  d->sectorSize = 0;
  resetCache(d);
  return false;
}

void failOpen(CachedDrive* d) {
  CachedDrive_Log(d, "CachedDrive_Open: Create file error.\n");
  if (Host_GetLastError() == kErrAccessDenied) {
    CachedDrive_Log(d, "CachedDrive_Open: Access denied.\n");
    Host_SetLastError(kErrAccessDenied);
  } else {
    Host_SetLastError(kErrOpenDrive);
  }
}

/// Size and sector size of a freshly opened device; the cache comes back after a Close.
bool finishOpen(CachedDrive* d, std::unique_ptr<HostDevice> device) {
  if (d->cache == nullptr) {
    d->cache = static_cast<std::uint8_t*>(std::malloc(kCacheSize));
    if (d->cache == nullptr) {
      Host_SetLastError(kErrMemory);
      return false;
    }
  }
  d->device = std::move(device);
  resetCache(d);
  const std::uint64_t size = d->device->size();
  if (size == 0) {
    d->device.reset();
    CachedDrive_Log(d, "CachedDrive_Open: Unable to determine drive size.\n");
    Host_SetLastError(kErrDriveSize);  // a failure must not leave a stale error behind
    return false;
  }
  d->deviceSize = size;
  d->windowEnd = size;
  if (!probeSectorSize(d)) {
    d->device.reset();
    Host_SetLastError(kErrOpenDrive);
    return false;
  }
  return true;
}

}  // namespace

bool CachedDrive_Create(CachedDrive** out) noexcept {
  if (out == nullptr) return false;
  *out = nullptr;
  auto* d = new (std::nothrow) CachedDrive;
  if (d == nullptr) return false;
  d->cache = static_cast<std::uint8_t*>(std::malloc(kCacheSize));
  if (d->cache == nullptr) {
    delete d;
    return false;
  }
  const char* trace = std::getenv("KVX_TRACE_DRIVE");
  d->traceOn = (trace != nullptr && std::strcmp(trace, "1") == 0) ? 1 : 0;
  resetCache(d);
  *out = d;
  return true;
}

bool CachedDrive_Destroy(CachedDrive* drive) noexcept {
  if (drive == nullptr) return false;
  CachedDrive_Close(drive);
  delete drive;
  return true;
}

bool CachedDrive_Close(CachedDrive* drive) noexcept {
  if (drive == nullptr) return false;
  CachedDrive_FreeMap(drive);
  for (std::uint32_t i = 0; i < drive->fsCount; ++i) {
    std::free(drive->fsTable[i]);
    drive->fsTable[i] = nullptr;
    drive->fsSizes[i] = 0;
  }
  drive->fsCount = 0;
  drive->fsCurrent = 0;
  std::free(drive->cache);
  drive->cache = nullptr;
  drive->device.reset();
  resetCache(drive);
  return true;
}

bool CachedDrive_Open(CachedDrive* drive, char letter, bool writeAccess) noexcept {
  if (drive == nullptr) return false;
  try {
    drive->device.reset();
    drive->windowStart = 0;
    std::snprintf(drive->prefix, sizeof drive->prefix, "%c_", letter);
    drive->driveType = Host_GetDriveType(letter);
    CachedDrive_Log(drive, "CachedDrive_Open: Opening drive on NT family.\n");
    // Optical drives are opened read-only: their reads need no write access on this platform.
    auto device = Host_OpenDrive(letter, writeAccess && !isCd(drive));
    if (!device) {
      failOpen(drive);
      return false;
    }
    return finishOpen(drive, std::move(device));
  } catch (...) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}

bool CachedDrive_OpenPhysical(bool writeAccess, CachedDrive* drive,
                              std::uint32_t diskNumber) noexcept {
  if (drive == nullptr) return false;
  try {
    drive->device.reset();
    std::snprintf(drive->prefix, sizeof drive->prefix, "%u_", diskNumber % 1000u);
    drive->driveType = 0;
    CachedDrive_Log(drive, "CachedDrive_Open: Opening physical drive on NT family.\n");
    drive->windowStart = 0;
    auto device = Host_OpenDisk(diskNumber, writeAccess);
    if (!device) {
      failOpen(drive);
      return false;
    }
    return finishOpen(drive, std::move(device));
  } catch (...) {
    Host_SetLastError(kErrMemory);
    return false;
  }
}

bool CachedDrive_OpenDevice(CachedDrive* drive, std::unique_ptr<HostDevice> device,
                            std::uint32_t driveType) noexcept {
  if (drive == nullptr || !device) return false;
  drive->device.reset();
  drive->windowStart = 0;
  drive->driveType = driveType;
  return finishOpen(drive, std::move(device));
}

bool CachedDrive_SetWindow(CachedDrive* drive, std::uint64_t start, std::uint64_t length) noexcept {
  if (drive == nullptr || start >= drive->deviceSize) return false;
  drive->windowStart = start;
  drive->windowEnd = length > drive->deviceSize - start ? drive->deviceSize : start + length;
  return true;
}

bool CachedDrive_GetWindowStart(std::uint64_t* out, const CachedDrive* drive) noexcept {
  if (out == nullptr || drive == nullptr) return false;
  *out = drive->windowStart;
  return true;
}

bool CachedDrive_GetSize(const CachedDrive* drive, std::uint64_t* out) noexcept {
  if (out == nullptr || drive == nullptr) return false;
  *out = drive->windowEnd - drive->windowStart;
  return true;
}

bool CachedDrive_Read(CachedDrive* drive, std::uint64_t offset, std::uint32_t count, void* buffer,
                      std::uint32_t* got) noexcept {
  if (drive == nullptr || got == nullptr) return false;
  *got = 0;
  std::uint64_t start = 0, end = 0;
  if (__builtin_add_overflow(offset, drive->windowStart, &start) ||
      __builtin_add_overflow(start, std::uint64_t{count}, &end) || end > drive->windowEnd) {
    CachedDrive_Log(drive, "CachedDrive_Read: Last byte to read is out of drive.\n");
    return false;
  }
  if (count == 0) return true;
  if (buffer == nullptr || !drive->device) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const bool cd = isCd(drive);

  if (drive->cache != nullptr && start >= drive->cacheStart && end <= cacheEnd(drive)) {
    std::memcpy(out, drive->cache + (start - drive->cacheStart), count);
    *got = count;
    return true;
  }
  if (drive->cache == nullptr) return false;

  const std::uint32_t capacity = drive->cacheCapacity;
  const std::uint32_t lead = cd ? static_cast<std::uint32_t>(start % kCdBlock) : 0;
  if (count > capacity || std::uint64_t{count} + lead > capacity) {
    // Larger than the cache: straight into the caller's buffer, the cache stays as it is.
    if (lead != 0) return cdReadUnaligned(drive, start, count, out, got);
    return rawRead(drive, start, count, out, got);
  }

  std::uint64_t readAt = start;
  std::uint32_t fresh = 0, keep = 0;
  if (start == cacheEnd(drive) && lead == 0) {
    // Sequential: keep the tail of the previous contents (normally 32 KiB) in front.
    fresh = std::max(capacity - kKeepOnRefill, count);
    if (cd) fresh = (fresh + kCdBlock - 1) / kCdBlock * kCdBlock;
    fresh = static_cast<std::uint32_t>(std::min<std::uint64_t>(fresh, drive->windowEnd - start));
    // Never more than the cache really holds (it holds less after a read cut at the window end).
    keep = std::min(capacity - fresh, drive->cacheSize);
    std::memmove(drive->cache, drive->cache + (drive->cacheSize - keep), keep);
  } else {
    // Random access: a whole cache from the request on (from its block start on optical media).
    readAt = start - lead;
    fresh =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, drive->windowEnd - readAt));
  }
  std::uint32_t n = 0;
  if (!rawRead(drive, readAt, fresh, drive->cache + keep, &n)) {
    resetCache(drive);  // the kept tail was moved: the old mapping no longer holds
    return false;
  }
  drive->cacheSize = keep + n;
  drive->cacheStart = readAt - keep;
  const std::uint64_t have = cacheEnd(drive) > start ? cacheEnd(drive) - start : 0;
  const auto copy = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, have));
  std::memcpy(out, drive->cache + (start - drive->cacheStart), copy);
  *got = copy;
  return true;
}

bool CachedDrive_Write(std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* written, CachedDrive* drive) noexcept {
  if (drive == nullptr || written == nullptr) return false;
  *written = 0;
  std::uint64_t start = 0, end = 0;
  if (__builtin_add_overflow(offset, drive->windowStart, &start) ||
      __builtin_add_overflow(start, std::uint64_t{count}, &end) || end > drive->windowEnd) {
    CachedDrive_Log(drive, "CachedDrive_Read: Last byte to read is out of drive.\n");
    return false;
  }
  if (!drive->device || (buffer == nullptr && count != 0)) return false;
  if (start > kMaxFileOffset) {
    CachedDrive_Log(drive, "CachedDrive_Read: Error positioning.\n");
    return false;
  }
  std::uint32_t n = 0;
  const bool ok = drive->device->write(start, buffer, count, &n);
  *written = n;
  // Keep cached bytes equal to the device: a re-read after a repair must see the new sectors.
  if (n != 0 && drive->cache != nullptr) {
    const std::uint64_t lo = std::max(start, drive->cacheStart);
    const std::uint64_t hi = std::min(start + n, cacheEnd(drive));
    if (lo < hi)
      std::memcpy(drive->cache + (lo - drive->cacheStart),
                  static_cast<const std::uint8_t*>(buffer) + (lo - start), hi - lo);
  }
  if (!ok || n != count) {
    CachedDrive_Log(drive, "CachedDrive_Read: WriteFile error.\n");
    return false;
  }
  return true;
}

bool CachedDrive_ReadToc(CachedDrive* drive, std::uint32_t* trackCount,
                         std::uint32_t* trackStarts) noexcept {
  if (drive == nullptr || trackCount == nullptr || trackStarts == nullptr || !drive->device)
    return false;
  std::vector<std::uint32_t> starts;
  try {
    if (!drive->device->readToc(starts)) return false;
  } catch (...) {
    return false;
  }
  const std::size_t n = std::min<std::size_t>(starts.size(), 100);
  *trackCount = static_cast<std::uint32_t>(starts.size());
  std::copy_n(starts.begin(), n, trackStarts);
  return true;
}

bool CachedDrive_AddFileSystem(CachedDrive* drive, std::uint32_t size,
                               const void* record) noexcept {
  // Every entry starts with its u32 file-system type: shorter records would be read past.
  if (drive == nullptr || record == nullptr || size < sizeof(std::uint32_t)) return false;
  if (drive->fsCount >= kMaxFileSystems) return false;
  void* copy = std::malloc(size);
  if (copy == nullptr) return false;
  std::memcpy(copy, record, size);
  drive->fsTable[drive->fsCount] = copy;
  drive->fsSizes[drive->fsCount] = size;
  ++drive->fsCount;
  CachedDrive_Log(drive, "Added file system %d.\n", static_cast<int>(drive->fsCount));
  return true;
}

bool CachedDrive_SelectFileSystem(CachedDrive* drive, std::uint32_t index) noexcept {
  if (drive == nullptr || index >= drive->fsCount) return false;
  drive->fsCurrent = index;
  return true;
}

bool CachedDrive_GetFileSystem(const CachedDrive* drive, void** out) noexcept {
  if (drive == nullptr || out == nullptr || drive->fsCurrent >= drive->fsCount) return false;
  *out = drive->fsTable[drive->fsCurrent];
  return true;
}
