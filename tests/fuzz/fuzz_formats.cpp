// Every format recogniser over arbitrary bytes: each table entry on its own (whatever the
// signature says), the detector over the bytes in memory, and the detector over a drive whose
// extents cut the bytes in two and swap the halves.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "core/cached_drive.h"
#include "core/extent_reader.h"
#include "deepscan/deepscan.h"
#include "host/host.h"

namespace {

void check(const FormatResult& r, bool accepted) {
  if (!accepted) return;
  if (r.identifier > kFormatCount || r.completeness > kComplExcellent) std::abort();
}

void overDrive(const std::uint8_t* data, std::size_t size) {
  if (size < 1024) return;
  const std::size_t usable = size / 512 * 512;
  std::vector<std::uint8_t> copy(data, data + usable);
  CachedDrive* drive = nullptr;
  if (!CachedDrive_Create(&drive)) return;
  ExtentReader* reader = nullptr;
  if (CachedDrive_OpenDevice(drive, Host_OpenMemory(copy, false), 0) &&
      ExtentReader_Create(&reader) &&
      ExtentReader_Init(nullptr, nullptr, drive, reader, 512, 0, usable)) {
    const std::uint64_t half = usable / 1024 * 512;
    if (ExtentList_Append(reader, half, usable - half) && ExtentList_Append(reader, 0, half)) {
      std::uint32_t id = 0, completeness = 0;
      std::uint64_t length = 0;
      const char* note = nullptr;
      if (FileFormat_Detect(reader, &id, &completeness, &length, &note) &&
          (id == 0 || id > kFormatCount || completeness > kComplExcellent || note == nullptr))
        std::abort();
    }
  }
  if (reader != nullptr) ExtentReader_Destroy(reader);
  CachedDrive_Destroy(drive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> window(data, size);
  for (const FormatRecogniser& r : kFormatRecognisers) {
    SpanFormatReader reader(window);
    FormatResult result;
    check(result, r.recognize(reader, result));
  }
  FormatResult result;
  check(result, FileFormat_DetectBytes(window, result));
  overDrive(data, size);
  return 0;
}
