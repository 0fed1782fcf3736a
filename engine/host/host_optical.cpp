// Optical sources: reads in whole 2048-byte blocks only, and the CD table of contents.
#include <linux/cdrom.h>
#include <sys/ioctl.h>

#include "host/host_internal.h"

namespace {

constexpr std::uint32_t kBlock = 2048;
constexpr std::uint32_t kMaxTracks = 100;

class OpticalDevice final : public HostDevice {
 public:
  explicit OpticalDevice(std::unique_ptr<HostDevice> inner) noexcept : m_inner(std::move(inner)) {}

  bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
            std::uint32_t* got) noexcept override {
    if (got != nullptr) *got = 0;
    // An optical drive transfers whole blocks: anything else is an invalid request.
    if (count == 0 || offset % kBlock != 0 || count % kBlock != 0) return false;
    return m_inner->read(offset, buffer, count, got);
  }

  bool write(std::uint64_t, const void*, std::uint32_t, std::uint32_t* written) noexcept override {
    if (written != nullptr) *written = 0;
    return false;  // read-only media as far as this program is concerned
  }

  std::uint64_t size() const noexcept override { return m_inner->size(); }

  bool readToc(std::vector<std::uint32_t>& trackStarts) noexcept override {
    return m_inner->readToc(trackStarts);
  }

 private:
  std::unique_ptr<HostDevice> m_inner;
};

}  // namespace

namespace host {

std::unique_ptr<HostDevice> wrapOptical(std::unique_ptr<HostDevice> inner) {
  if (!inner) return nullptr;
  try {
    return std::make_unique<OpticalDevice>(std::move(inner));
  } catch (...) {
    return nullptr;
  }
}

bool readCdToc(int fd, std::vector<std::uint32_t>& trackStarts) noexcept {
  cdrom_tochdr header{};
  if (::ioctl(fd, CDROMREADTOCHDR, &header) != 0) return false;
  if (header.cdth_trk1 < header.cdth_trk0) return false;
  const std::uint32_t count = std::uint32_t{header.cdth_trk1} - header.cdth_trk0 + 1;
  try {
    trackStarts.clear();
    for (std::uint32_t i = 0; i < count && i < kMaxTracks; ++i) {
      cdrom_tocentry entry{};
      entry.cdte_track = static_cast<std::uint8_t>(header.cdth_trk0 + i);
      entry.cdte_format = CDROM_MSF;
      if (::ioctl(fd, CDROMREADTOCENTRY, &entry) != 0) return false;
      // Minutes/seconds/frames to a block address: 75 frames a second, 2 seconds of lead-in.
      const auto& msf = entry.cdte_addr.msf;
      const std::int64_t block =
          std::int64_t{msf.minute} * 4500 + std::int64_t{msf.second} * 75 + msf.frame - 150;
      trackStarts.push_back(block < 0 ? 0u : static_cast<std::uint32_t>(block));
    }
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace host
