// Fuzz target: CachedDrive and ExtentReader over a memory device made of the input. The first
// bytes are a script of windows, reads and extent reads; every byte handed out must equal the
// device's byte at that place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/extent_reader.h"
#include "host/host.h"

namespace {

struct Script {
  const std::uint8_t* p;
  std::size_t n;
  std::uint64_t next(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes && n > 0; ++i, ++p, --n) v = (v << 8) | *p;
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::size_t scriptSize = std::min<std::size_t>(size / 2, 256);
  Script s{data, scriptSize};
  std::vector<std::uint8_t> image(data + scriptSize, data + size);
  const bool optical = (s.next(1) & 1) != 0;
  CachedDrive* drive = nullptr;
  if (!CachedDrive_Create(&drive)) return 0;
  if (!CachedDrive_OpenDevice(drive, Host_OpenMemory(image, false, optical),
                              optical ? kDriveTypeCdRom : 3)) {
    CachedDrive_Destroy(drive);
    return 0;
  }
  std::vector<std::uint8_t> out(1 << 16);
  ExtentReader* reader = nullptr;
  if (!ExtentReader_Create(&reader)) {
    CachedDrive_Destroy(drive);
    return 0;
  }
  (void)ExtentReader_Init(nullptr, nullptr, drive, reader,
                          1 + static_cast<std::uint32_t>(s.next(1)), 0, 0);
  while (s.n > 0) {
    switch (s.next(1) % 5) {
      case 0:
        (void)CachedDrive_SetWindow(drive, s.next(2), s.next(2));
        break;
      case 1: {
        const std::uint64_t offset = s.next(2);
        const auto count = static_cast<std::uint32_t>(s.next(2));
        std::uint32_t got = 0;
        if (CachedDrive_Read(drive, offset, count, out.data(), &got)) {
          const std::uint64_t abs = offset + drive->windowStart;
          if (got > count || abs + got > image.size() ||
              std::memcmp(out.data(), image.data() + abs, got) != 0)
            __builtin_trap();
        }
        break;
      }
      case 2:
        (void)ExtentList_Append(reader, s.next(2), s.next(1));
        break;
      case 3:
        (void)ExtentReader_Rewind(reader);
        (void)ExtentReader_Skip(reader, s.next(1));
        break;
      case 4:
        (void)ExtentReader_Read(reader, out.data(), s.next(1));
        break;
    }
  }
  ExtentReader_Destroy(reader);
  CachedDrive_Destroy(drive);
  return 0;
}
