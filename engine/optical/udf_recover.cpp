// UDF recovery: the file's extents in order (or its embedded bytes), cut to its size.
#include <algorithm>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "optical/optical_output.h"
#include "optical/udf.h"

namespace {

bool writeZeros(OpticalOutput& out, std::uint64_t n) {
  static const std::uint8_t kZeros[4096] = {};
  while (n > 0) {
    const std::uint64_t k = std::min<std::uint64_t>(n, sizeof kZeros);
    if (!out.write(kZeros, k)) return false;
    n -= k;
  }
  return true;
}

}  // namespace

bool UDF_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept {
  if (u == nullptr || record == nullptr || target == nullptr) return false;
  OpticalOutput out(u, target, bytesDone);
  if (!out.opened()) {
    Undelete_Log(u, "UDF_RecoverFile: Unable to create recover file.\n");
    return Optical_Fail(u, kErrCreateFile);
  }
  CachedDrive* drive = u->drive;
  const std::uint64_t volumeOffset = record->volumeOffset.get();
  if (drive != nullptr && drive->windowStart != volumeOffset)
    (void)CachedDrive_SetWindow(drive, volumeOffset, drive->windowEnd - drive->windowStart);
  if (bytesDone != nullptr) *bytesDone = 0;

  UdfContext ctx;
  std::vector<UdfPiece> pieces;
  bool ok = false;
  try {
    ok = drive != nullptr && UDF_GetContext(drive, ctx) &&
         UDF_DecodeLocator(Optical_LocatorBytes(u, record->locator.get()), pieces);
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    (void)out.finish(false);
    return Optical_Fail(u, kErrReadSource);
  }
  // The extents hold whole blocks; the file is as long as its entry says.
  std::uint64_t left = record->size.get();
  bool readFailed = false;
  for (const UdfPiece& p : pieces) {
    if (left == 0) break;
    const std::uint64_t n = std::min<std::uint64_t>(p.length, left);
    bool written = true;
    if (p.embedded) {
      written = out.write(p.bytes.data(), n);
    } else if (p.type != 0) {
      written = writeZeros(out, n);  // allocated or not, nothing was recorded there
    } else {
      const CopyEnd end = Optical_CopyRange(u, out, ctx.offsetOf(p.block), n,
                                            ctx.info.blockBytes.get(), readFailed);
      if (end == CopyEnd::Cancelled) {
        (void)out.finish(false);
        return Optical_Fail(u, kErrUserAbort);
      }
      written = end == CopyEnd::Done;
    }
    if (!written) {
      Undelete_Log(u, "UDF_RecoverFile: Error writing recover file.\n");
      (void)out.finish(false);
      return Optical_Fail(u, kErrWriteFile);
    }
    left -= n;
  }
  // Fewer bytes described than the entry's size, or blocks that could not be read: not whole.
  if (readFailed || left != 0) {
    (void)out.finish(false);
    return Optical_Fail(u, kErrReadSource);
  }
  if (!out.finish(true)) {
    Undelete_Log(u, "UDF_RecoverFile: Error writing recover file.\n");
    return Optical_Fail(u, kErrWriteFile);
  }
  return true;
}
