// Volume controls of an unmounted volume: the stand-ins for the volume bitmap, the move-file
// request and dismounting. A scratch cluster is only ever placed on a cluster that the bitmap
// shows free, so writes through the scratch file (and writeFree) cannot reach data in use.
#include "host/host_volume_control.h"

#include <algorithm>
#include <new>
#include <string>

#include "host/host_internal.h"
#include "undelete/undelete.h"

namespace {

/// Reads through the volume's device; refuses every write.
class ReadView final : public HostDevice {
 public:
  explicit ReadView(HostDevice* const* device) noexcept : m_device(device) {}
  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    if (*m_device == nullptr) {
      if (got != nullptr) *got = 0;
      return false;
    }
    return (*m_device)->read(offset, buffer, count, got);
  }
  bool write(std::uint64_t, const void*, std::uint32_t, std::uint32_t* written) noexcept override {
    if (written != nullptr) *written = 0;
    return false;
  }
  std::uint64_t size() const noexcept override {
    return *m_device != nullptr ? (*m_device)->size() : 0;
  }

 private:
  HostDevice* const* m_device;
};

}  // namespace

// --- scratch file -------------------------------------------------------------------------------

HostScratchFile::HostScratchFile(HostVolume& volume, std::uint64_t clusters,
                                 std::uint32_t clusterBytes)
    : m_volume(volume), m_clusterBytes(clusterBytes), m_lcn(clusters, -1) {}

std::int64_t HostScratchFile::placement(std::uint64_t vcn) const noexcept {
  return vcn < m_lcn.size() ? m_lcn[vcn] : -1;
}

bool HostScratchFile::write(std::uint64_t offset, const void* data, std::uint32_t count) noexcept {
  const std::uint64_t total = size();
  if (offset > total || count > total - offset) {
    host::fail(kErrWriteFile, "scratch file: write past its end");
    return false;
  }
  const auto* in = static_cast<const std::uint8_t*>(data);
  std::uint64_t at = offset;
  std::uint32_t left = count;
  while (left > 0) {
    const std::uint64_t vcn = at / m_clusterBytes;
    const std::uint32_t within = static_cast<std::uint32_t>(at % m_clusterBytes);
    const std::uint32_t piece = std::min(left, m_clusterBytes - within);
    const std::int64_t lcn = m_lcn[vcn];
    if (lcn >= 0) {
      const std::uint64_t target = m_volume.m_bitmap.firstClusterOffset +
                                   static_cast<std::uint64_t>(lcn) * m_clusterBytes + within;
      if (!m_volume.writeDevice(target, in, piece)) return false;
    }
    in += piece;
    at += piece;
    left -= piece;
  }
  return true;
}

// --- volume -------------------------------------------------------------------------------------

HostVolume::HostVolume(std::unique_ptr<HostDevice> device) noexcept
    : m_device(std::move(device)), m_raw(m_device.get()) {}

HostVolume::~HostVolume() { dismount(); }

std::uint64_t HostVolume::size() const noexcept { return m_device ? m_device->size() : 0; }

std::unique_ptr<HostDevice> HostVolume::readView() {
  // The view looks through this pointer, so it sees the volume closed after dismount().
  return std::make_unique<ReadView>(&m_raw);
}

void HostVolume::setBitmap(HostVolumeBitmap bitmap) noexcept {
  m_scratch.reset();
  m_held.clear();
  m_bitmap = std::move(bitmap);
  if (m_bitmap.bits.size() * 8 < m_bitmap.clusterCount)
    m_bitmap.clusterCount = m_bitmap.bits.size() * 8;
  // A cluster area reaching past the device would let writes run off the volume.
  const std::uint64_t dev = size();
  if (m_bitmap.clusterBytes == 0 || m_bitmap.firstClusterOffset > dev) {
    m_bitmap.clusterCount = 0;
  } else {
    const std::uint64_t fit = (dev - m_bitmap.firstClusterOffset) / m_bitmap.clusterBytes;
    m_bitmap.clusterCount = std::min(m_bitmap.clusterCount, fit);
  }
}

bool HostVolume::clusterFree(std::uint64_t lcn) const noexcept {
  if (!hasBitmap() || m_bitmap.used(lcn)) return false;
  return m_held.find(lcn) == m_held.end();
}

bool HostVolume::getBitmap(std::uint64_t startLcn, std::uint8_t* out, std::uint32_t bytes,
                           std::uint64_t* first, std::uint64_t* count, bool* more) const noexcept {
  if (!isOpen() || !hasBitmap() || out == nullptr || bytes == 0) {
    host::fail(kErrInvalidParameter, "volume bitmap: not available");
    return false;
  }
  const std::uint64_t start = startLcn & ~std::uint64_t{7};
  if (start >= m_bitmap.clusterCount) {
    host::fail(kErrInvalidParameter, "volume bitmap: start past the last cluster");
    return false;
  }
  const std::uint64_t n =
      std::min<std::uint64_t>(std::uint64_t{bytes} * 8, m_bitmap.clusterCount - start);
  std::fill(out, out + bytes, std::uint8_t{0});
  for (std::uint64_t i = 0; i < n; ++i) {
    // Clusters the scratch file holds are in use, as the file system would report them.
    if (!clusterFree(start + i))
      out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1u << (i % 8)));
  }
  *first = start;
  *count = n;
  *more = start + n < m_bitmap.clusterCount;
  return true;
}

HostScratchFile* HostVolume::createScratch(std::uint64_t bytes) {
  if (!isOpen() || !hasBitmap()) {
    host::fail(kErrCreateFile, "scratch file: the volume has no bitmap");
    return nullptr;
  }
  m_scratch.reset();
  m_held.clear();
  const std::uint64_t clusters = (bytes + m_bitmap.clusterBytes - 1) / m_bitmap.clusterBytes;
  m_scratch.reset(
      new HostScratchFile(*this, std::max<std::uint64_t>(clusters, 1), m_bitmap.clusterBytes));
  return m_scratch.get();
}

bool HostVolume::moveFile(HostScratchFile& file, std::uint64_t vcn, std::uint64_t lcn,
                          std::uint32_t count) noexcept {
  if (!isOpen() || &file != m_scratch.get() || count == 0 || vcn > file.clusters() ||
      count > file.clusters() - vcn || lcn > m_bitmap.clusterCount ||
      count > m_bitmap.clusterCount - lcn) {
    host::fail(kErrInvalidParameter, "move file: clusters out of range");
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (m_bitmap.used(lcn + i)) {
      host::fail(kErrAccessDenied, "move file: cluster " + std::to_string(lcn + i) + " is in use");
      return false;
    }
    const auto held = m_held.find(lcn + i);
    if (held != m_held.end() && held->second != vcn + i) {
      host::fail(kErrAccessDenied, "move file: cluster " + std::to_string(lcn + i) + " is in use");
      return false;
    }
  }
  try {
    for (std::uint32_t i = 0; i < count; ++i) {
      std::int64_t& slot = file.m_lcn[vcn + i];
      if (slot >= 0) m_held.erase(static_cast<std::uint64_t>(slot));
      slot = static_cast<std::int64_t>(lcn + i);
      m_held[lcn + i] = vcn + i;
    }
  } catch (const std::bad_alloc&) {
    host::fail(kErrMemory, "move file: out of memory");
    return false;
  }
  return true;
}

bool HostVolume::writeDevice(std::uint64_t offset, const void* data, std::uint32_t count) noexcept {
  if (!isOpen()) {
    host::fail(kErrWriteFile, "volume: not open");
    return false;
  }
  std::uint32_t written = 0;
  m_dirty = true;
  if (!m_device->write(offset, data, count, &written) || written != count) {
    host::fail(kErrWriteFile, "volume: write failed at offset " + std::to_string(offset));
    return false;
  }
  return true;
}

bool HostVolume::writeFree(std::uint64_t offset, const void* data, std::uint32_t count) noexcept {
  if (!hasBitmap() || count == 0 || offset < m_bitmap.firstClusterOffset) {
    host::fail(kErrAccessDenied, "volume: write outside the free clusters refused");
    return false;
  }
  const std::uint64_t rel = offset - m_bitmap.firstClusterOffset;
  const std::uint64_t firstLcn = rel / m_bitmap.clusterBytes;
  const std::uint64_t lastLcn = (rel + count - 1) / m_bitmap.clusterBytes;
  for (std::uint64_t c = firstLcn; c <= lastLcn; ++c) {
    if (!clusterFree(c)) {
      host::fail(kErrAccessDenied, "volume: cluster " + std::to_string(c) + " is in use");
      return false;
    }
  }
  return writeDevice(offset, data, count);
}

bool HostVolume::writeRaw(std::uint64_t offset, const void* data, std::uint32_t count) noexcept {
  return writeDevice(offset, data, count);
}

bool HostVolume::read(std::uint64_t offset, void* data, std::uint32_t count) noexcept {
  std::uint32_t got = 0;
  if (!isOpen() || !m_device->read(offset, data, count, &got) || got != count) {
    host::fail(kErrReadSource, "volume: read failed at offset " + std::to_string(offset));
    return false;
  }
  return true;
}

bool HostVolume::flush() noexcept {
  if (!isOpen()) return false;
  if (!m_dirty) return true;
  if (!m_device->flush()) {
    host::fail(kErrWriteFile, "volume: flushing the writes failed");
    return false;
  }
  m_dirty = false;
  return true;
}

bool HostVolume::dismount() noexcept {
  if (!isOpen()) return true;
  const bool flushed = flush();
  m_scratch.reset();
  m_held.clear();
  m_raw = nullptr;
  m_device.reset();
  return flushed;
}

std::unique_ptr<HostVolume> Host_OpenVolumeExclusive(char letter) {
  auto device = Host_OpenDriveExclusive(letter, true);
  if (!device) return nullptr;
  return std::make_unique<HostVolume>(std::move(device));
}

std::unique_ptr<HostVolume> Host_OpenPartitionExclusive(std::uint32_t disk, std::uint64_t start,
                                                        std::uint64_t length) {
  const auto d = Host_FindDisk(disk);
  if (!d) {
    host::fail(kErrOpenDrive, "physical drive " + std::to_string(disk) + ": not in the table");
    return nullptr;
  }
  auto device = Host_OpenPathWith(d->path, HostOpenOptions{true, false, true});
  if (!device) return nullptr;
  device = host::wrapWindow(std::move(device), start, length);
  if (!device) return nullptr;
  return std::make_unique<HostVolume>(std::move(device));
}
