// A drive slot's volume opened for wiping: exclusively for writing (refused while mounted), with
// its file system recognised on a read view and its allocation bitmap handed to the volume
// controls.
#pragma once

#include <cstdint>
#include <memory>

#include "host/host_volume_control.h"

struct Undelete;
struct DriveSlot;
struct CachedDrive;
struct FsDescriptor;

struct WipeTarget {
  std::unique_ptr<HostVolume> volume;
  CachedDrive* drive = nullptr;      // reads the volume; file system entry 0 selected (if any)
  std::uint32_t type = 0;            // file-system type number of entry 0, 0 when none
  const FsDescriptor* fs = nullptr;  // the kind of entry 0, null when none

  WipeTarget() = default;
  WipeTarget(const WipeTarget&) = delete;
  WipeTarget& operator=(const WipeTarget&) = delete;
  ~WipeTarget() { close(); }
  /// Flushes and closes the volume (the stand-in for dismounting); false when the flush failed.
  bool close() noexcept;
};

/// Opens @p slot's volume. Without a FAT or NTFS file system the volume has a bitmap only when
/// @p rawAllowed (every sector-sized cluster free: an unformatted volume holds nothing in use).
/// False with the last error set.
[[nodiscard]] bool Wipe_OpenTarget(Undelete* u, const DriveSlot& slot, bool rawAllowed,
                                   WipeTarget& out) noexcept;
