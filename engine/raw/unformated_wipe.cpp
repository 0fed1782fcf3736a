// Wipe of one find of the deep scan: the clusters under its sectors, one at a time through a
// one-cluster scratch file. A find whose sectors another file now holds is only partly wiped, and
// that is reported.
#include <algorithm>
#include <new>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/le.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "core/wipe.h"
#include "host/host_volume_control.h"
#include "raw/unformated.h"

bool Unformated_WipeFile(Undelete* u, HostVolume* volume, HostScratchFile* scratch,
                         FileRecord* record, std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || volume == nullptr || scratch == nullptr || record == nullptr ||
      !volume->isOpen() || !volume->hasBitmap())
    return false;
  const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, record->locator.get(), 4));
  const std::uint64_t size = record->size.get();
  if (loc == nullptr || size == 0) return true;
  const std::uint32_t sectorSize =
      u->drive != nullptr && u->drive->sectorSize != 0 ? u->drive->sectorSize : 512;
  const HostVolumeBitmap& bitmap = volume->bitmap();
  const std::uint32_t cb = bitmap.clusterBytes;
  const std::uint64_t start = std::uint64_t{loadLe<std::uint32_t>(loc)} * sectorSize;
  // The find is placed by bytes; the clusters that hold those bytes are what a move can reach
  // (a cluster of the file system, not the scratch file's size, is the unit).
  if (start < bitmap.firstClusterOffset || size > ~std::uint64_t{0} - start) {
    Host_SetLastError(kErrInvalidParameter);
    return false;
  }
  const std::uint64_t firstLcn = (start - bitmap.firstClusterOffset) / cb;
  const std::uint64_t lastLcn = (start + size - 1 - bitmap.firstClusterOffset) / cb;
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(cb);
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
    return false;
  }
  bool allMoved = true, written = true;
  std::uint64_t done = 0;
  for (std::uint64_t lcn = firstLcn; lcn <= lastLcn && !u->cancelEvent.isSet() && written; ++lcn) {
    if (volume->moveFile(*scratch, 0, lcn, 1)) {
      for (std::uint32_t p = 0; p < passes && written; ++p) {
        Wipe_FillPattern(p, method, buffer.data(), cb);
        written = scratch->write(0, buffer.data(), cb);
      }
    } else {
      allMoved = false;
    }
    done = std::min<std::uint64_t>(size, done + cb);
    if (bytesDone != nullptr) bytesDone->store(done, std::memory_order_relaxed);
  }
  if (u->drive != nullptr) u->drive->cacheStart = ~std::uint64_t{0};
  if (!allMoved && written) Host_SetLastError(kErrAccessDenied);
  return allMoved && written;
}
