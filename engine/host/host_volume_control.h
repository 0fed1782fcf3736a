// Volume controls for a volume that nothing has mounted (an image, or a device opened
// exclusively): the cluster bitmap, a scratch file whose clusters can be placed onto free clusters
// only, raw writes that never touch a cluster in use, and dismounting (closing the volume).
// The file-system modules read the allocation state and hand it over; this layer enforces it.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/host.h"

/// Allocation state of a volume in logical clusters (LCN 0 lies at firstClusterOffset).
struct HostVolumeBitmap {
  std::uint32_t clusterBytes = 0;
  std::uint64_t firstClusterOffset = 0;  // byte offset of LCN 0 within the volume
  std::uint64_t clusterCount = 0;
  std::vector<std::uint8_t> bits;  // bit (lcn % 8) of byte lcn / 8 set: in use

  [[nodiscard]] bool used(std::uint64_t lcn) const noexcept {
    if (lcn >= clusterCount || lcn / 8 >= bits.size()) return true;  // outside: never free
    return ((bits[lcn / 8] >> (lcn % 8)) & 1u) != 0;
  }
  void setUsed(std::uint64_t lcn) noexcept {
    if (lcn / 8 < bits.size())
      bits[lcn / 8] = static_cast<std::uint8_t>(bits[lcn / 8] | (1u << (lcn % 8)));
  }
};

class HostVolume;

/// A temporary file on the volume: @c clusters() virtual clusters, each placed on one logical
/// cluster or nowhere yet. Writes to a placed cluster land on the volume; writes to an unplaced one
/// go nowhere (its bytes would lie in some free cluster of the file system's choosing).
class HostScratchFile {
 public:
  [[nodiscard]] std::uint64_t size() const noexcept { return m_lcn.size() * m_clusterBytes; }
  [[nodiscard]] std::uint64_t clusters() const noexcept { return m_lcn.size(); }
  /// Writes @p count bytes at @p offset of the file; false (last error set) when the range
  /// leaves the file or the volume refuses the write.
  [[nodiscard]] bool write(std::uint64_t offset, const void* data, std::uint32_t count) noexcept;
  /// Logical cluster of virtual cluster @p vcn, or -1 when it is not placed.
  [[nodiscard]] std::int64_t placement(std::uint64_t vcn) const noexcept;

 private:
  friend class HostVolume;
  HostScratchFile(HostVolume& volume, std::uint64_t clusters, std::uint32_t clusterBytes);
  HostVolume& m_volume;
  std::uint32_t m_clusterBytes;
  std::vector<std::int64_t> m_lcn;
};

class HostVolume {
 public:
  /// @p device is the volume alone (offsets relative to its start), open for writing.
  explicit HostVolume(std::unique_ptr<HostDevice> device) noexcept;
  ~HostVolume();
  HostVolume(const HostVolume&) = delete;
  HostVolume& operator=(const HostVolume&) = delete;

  [[nodiscard]] bool isOpen() const noexcept { return m_device != nullptr; }
  [[nodiscard]] std::uint64_t size() const noexcept;

  /// A device that reads the same volume and refuses writes, for recognising its file system.
  /// It must not outlive this object; after dismount() its reads fail.
  [[nodiscard]] std::unique_ptr<HostDevice> readView();

  /// Takes the file system's allocation state; without one no cluster counts as free.
  void setBitmap(HostVolumeBitmap bitmap) noexcept;
  [[nodiscard]] bool hasBitmap() const noexcept { return m_bitmap.clusterBytes != 0; }
  [[nodiscard]] const HostVolumeBitmap& bitmap() const noexcept { return m_bitmap; }
  /// Free in the bitmap and not holding a scratch cluster.
  [[nodiscard]] bool clusterFree(std::uint64_t lcn) const noexcept;

  /// The volume-bitmap request: bits of clusters from @p startLcn (rounded down to a multiple of
  /// 8) into @p out, at most @p bytes bytes; @p first and @p count get the clusters described.
  /// @p more is set when clusters remain after these. False past the end or without a bitmap.
  [[nodiscard]] bool getBitmap(std::uint64_t startLcn, std::uint8_t* out, std::uint32_t bytes,
                               std::uint64_t* first, std::uint64_t* count,
                               bool* more) const noexcept;

  /// Creates the scratch file (replacing an earlier one) of @p bytes rounded up to whole
  /// clusters, none of them placed. Null without a bitmap.
  HostScratchFile* createScratch(std::uint64_t bytes);
  /// The move-file request: places virtual clusters [vcn, vcn + count) of @p file onto logical
  /// clusters [lcn, lcn + count). Refused as a whole (nothing changes, last error set) unless
  /// every target is free or already holds the same virtual cluster.
  [[nodiscard]] bool moveFile(HostScratchFile& file, std::uint64_t vcn, std::uint64_t lcn,
                              std::uint32_t count) noexcept;

  /// Writes into free clusters only: refused (nothing written) when any byte of the range lies
  /// outside the cluster area or in a cluster in use.
  [[nodiscard]] bool writeFree(std::uint64_t offset, const void* data,
                               std::uint32_t count) noexcept;
  /// Writes anywhere on the volume: for the file system's own structures (entries of deleted
  /// files) that the caller has checked.
  [[nodiscard]] bool writeRaw(std::uint64_t offset, const void* data, std::uint32_t count) noexcept;
  [[nodiscard]] bool read(std::uint64_t offset, void* data, std::uint32_t count) noexcept;
  /// Pushes every write to the medium; false when the device reports an error.
  [[nodiscard]] bool flush() noexcept;
  /// Dismounting: closes the volume (flushing first). Later calls fail.
  bool dismount() noexcept;

 private:
  friend class HostScratchFile;
  [[nodiscard]] bool writeDevice(std::uint64_t offset, const void* data,
                                 std::uint32_t count) noexcept;

  std::unique_ptr<HostDevice> m_device;
  HostDevice* m_raw = nullptr;  // m_device while open; what read views look through
  HostVolumeBitmap m_bitmap;
  std::unique_ptr<HostScratchFile> m_scratch;
  std::unordered_map<std::uint64_t, std::uint64_t> m_held;  // lcn -> vcn of the scratch file
  bool m_dirty = false;
};

/// Opens a letter's volume exclusively for writing (refused while it is mounted or held).
[[nodiscard]] std::unique_ptr<HostVolume> Host_OpenVolumeExclusive(char letter);
/// Opens [start, start + length) of a physical drive exclusively for writing.
[[nodiscard]] std::unique_ptr<HostVolume> Host_OpenPartitionExclusive(std::uint32_t disk,
                                                                      std::uint64_t start,
                                                                      std::uint64_t length);
