// Devices for the drive tests: memory with a pattern, counting every request it serves.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/cached_drive.h"
#include "host/host.h"

namespace drivetest {

/// Byte i of the test pattern: varies within a sector and from sector to sector.
inline std::uint8_t patternByte(std::uint64_t i) {
  return static_cast<std::uint8_t>((i * 7 + (i >> 9) * 13 + (i >> 17)) & 0xFF);
}

inline std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = patternByte(i);
  return v;
}

struct Request {
  std::uint64_t offset;
  std::uint32_t count;
};

/// Memory device that records requests; @p unit > 1 refuses reads not in whole aligned units.
class CountingDevice final : public HostDevice {
 public:
  CountingDevice(std::vector<std::uint8_t>* bytes, std::vector<Request>* log,
                 std::uint32_t unit = 1)
      : m_bytes(bytes), m_log(log), m_unit(unit) {}
  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    m_log->push_back({offset, count});
    *got = 0;
    if (count % m_unit != 0 || offset % m_unit != 0) return false;
    if (offset >= m_bytes->size()) return true;
    const auto n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(count, m_bytes->size() - offset));
    std::memcpy(buffer, m_bytes->data() + offset, n);
    *got = n;
    return true;
  }
  bool write(std::uint64_t offset, const void* buffer, std::uint32_t count,
             std::uint32_t* written) noexcept override {
    *written = 0;
    if (offset > m_bytes->size() || count > m_bytes->size() - offset) return false;
    std::memcpy(m_bytes->data() + offset, buffer, count);
    *written = count;
    return true;
  }
  std::uint64_t size() const noexcept override { return m_bytes->size(); }

 private:
  std::vector<std::uint8_t>* m_bytes;
  std::vector<Request>* m_log;
  std::uint32_t m_unit;
};

struct DriveDeleter {
  void operator()(CachedDrive* d) const { CachedDrive_Destroy(d); }
};
using DrivePtr = std::unique_ptr<CachedDrive, DriveDeleter>;

inline DrivePtr makeDrive() {
  CachedDrive* d = nullptr;
  if (!CachedDrive_Create(&d)) return nullptr;
  return DrivePtr(d);
}

}  // namespace drivetest
