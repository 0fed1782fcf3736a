// A device over caller-owned memory, for tests and fuzzers.
#include <algorithm>
#include <cstring>

#include "host/host_internal.h"

namespace {

class MemoryDevice final : public HostDevice {
 public:
  MemoryDevice(std::span<std::uint8_t> bytes, bool writable) noexcept
      : m_bytes(bytes), m_writable(writable) {}

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    const std::uint64_t size = m_bytes.size();
    const std::uint64_t n = offset >= size ? 0 : std::min<std::uint64_t>(count, size - offset);
    if (n != 0) std::memcpy(buffer, m_bytes.data() + offset, static_cast<std::size_t>(n));
    if (got != nullptr) *got = static_cast<std::uint32_t>(n);
    return true;
  }

  bool write(std::uint64_t offset, const void* buffer, std::uint32_t count,
             std::uint32_t* written) noexcept override {
    if (written != nullptr) *written = 0;
    const std::uint64_t size = m_bytes.size();
    if (!m_writable || offset > size || count > size - offset) return false;
    if (count != 0) std::memcpy(m_bytes.data() + offset, buffer, count);
    if (written != nullptr) *written = count;
    return true;
  }

  std::uint64_t size() const noexcept override { return m_bytes.size(); }

 private:
  std::span<std::uint8_t> m_bytes;
  bool m_writable;
};

}  // namespace

std::unique_ptr<HostDevice> Host_OpenMemory(std::span<std::uint8_t> bytes, bool writable,
                                            bool optical) {
  std::unique_ptr<HostDevice> device;
  try {
    device = std::make_unique<MemoryDevice>(bytes, writable);
  } catch (...) {
    return nullptr;
  }
  return optical ? host::wrapOptical(std::move(device)) : std::move(device);
}
