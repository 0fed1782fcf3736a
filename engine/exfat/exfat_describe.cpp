// One-line description of an exFAT volume: its size text, the file system and, in the long form,
// the cluster size, the number of FATs and the volume label.
#include <algorithm>
#include <cstdio>
#include <string>

#include "core/cached_drive.h"
#include "core/size_text.h"
#include "exfat/exfat.h"

namespace {

/// UTF-8 of the label's UTF-16 units (an unpaired surrogate becomes U+FFFD).
std::string labelText(const ExfatVolumeInfo& info) {
  std::string out;
  const std::uint32_t n = std::min<std::uint32_t>(info.labelLength.get(), 11);
  for (std::uint32_t i = 0; i < n; ++i) {
    char32_t c = info.label[i].get();
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      const char32_t lo = info.label[i + 1].get();
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

bool EXFAT_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept {
  if (text == nullptr) return false;
  ExfatVolumeInfo info;
  if (!EXFAT_GetVolumeInfo(drive, info)) return false;
  constexpr std::size_t kCapacity = 256;  // callers hand buffers of at least this size
  std::uint64_t size = 0;
  if (!CachedDrive_GetSize(drive, &size)) size = 0;
  const std::size_t n = formatSizeText(size, text, kCapacity);
  if (shortForm) {
    std::snprintf(text + n, kCapacity - n, ", exFAT");
    return true;
  }
  const int m = std::snprintf(text + n, kCapacity - n, ", exFAT, Cluster size: %d, FATs count: %d",
                              static_cast<int>(info.clusterBytes.get()),
                              static_cast<int>(info.fatCount.get()));
  try {
    const std::string label = labelText(info);
    if (!label.empty() && m > 0 && n + static_cast<std::size_t>(m) < kCapacity) {
      const std::size_t at = n + static_cast<std::size_t>(m);
      std::snprintf(text + at, kCapacity - at, ", Label: %s", label.c_str());
    }
  } catch (...) {
    // The description stands without its label.
  }
  return true;
}
