// A window of another device ("disk.img@OFFSET+LENGTH"): offsets are relative to the window start
// and nothing outside the window can be read or written.
#include <algorithm>

#include "host/host_internal.h"

namespace {

class WindowDevice final : public HostDevice {
 public:
  WindowDevice(std::unique_ptr<HostDevice> inner, std::uint64_t offset, std::uint64_t size) noexcept
      : m_inner(std::move(inner)), m_offset(offset), m_size(size) {}

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    if (got != nullptr) *got = 0;
    if (offset >= m_size) return true;  // past the end: nothing more, as pread reports it
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, m_size - offset));
    return m_inner->read(m_offset + offset, buffer, n, got);
  }

  bool write(std::uint64_t offset, const void* buffer, std::uint32_t count,
             std::uint32_t* written) noexcept override {
    if (written != nullptr) *written = 0;
    if (offset > m_size || count > m_size - offset) return false;
    return m_inner->write(m_offset + offset, buffer, count, written);
  }

  std::uint64_t size() const noexcept override { return m_size; }
  bool flush() noexcept override { return m_inner->flush(); }

 private:
  std::unique_ptr<HostDevice> m_inner;
  std::uint64_t m_offset;
  std::uint64_t m_size;
};

}  // namespace

namespace host {

std::unique_ptr<HostDevice> wrapWindow(std::unique_ptr<HostDevice> inner, std::uint64_t offset,
                                       std::optional<std::uint64_t> length) {
  if (!inner) return nullptr;
  const std::uint64_t total = inner->size();
  const std::uint64_t start = std::min(offset, total);
  std::uint64_t size = total - start;
  if (length) size = std::min(size, *length);
  try {
    return std::make_unique<WindowDevice>(std::move(inner), start, size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace host
