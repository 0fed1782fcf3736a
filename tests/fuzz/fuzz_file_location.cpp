// Fuzz target: where a listed file lives, through every row's location hook, from locator and
// file-system entry bytes as a session file could hold them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/fs_dispatch.h"
#include "undelete/undelete.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // [0] sector size choice, [1..8] scan key, [9] entry length, then the entry, then the locator;
  // each copied into a buffer of its own size so that a read past either end is caught.
  if (size < 10) return 0;
  constexpr std::uint32_t kSectors[] = {0, 512, 2048, 4096};
  const std::uint32_t sectorSize = kSectors[data[0] & 3u];
  FileRecord record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(record.scanKey.raw, data + 1, 8);
  const std::size_t entryLength = std::min<std::size_t>(data[9], size - 10);
  const std::vector<std::uint8_t> entry(data + 10, data + 10 + entryLength);
  const std::vector<std::uint8_t> locator(data + 10 + entryLength, data + size);
  for (const FsDescriptor* fs : Fs_Table()) {
    if (fs == nullptr || fs->fileLocation == nullptr) continue;
    const FsLocation where = fs->fileLocation({record, locator, entry, sectorSize});
    if (where.kind > kUndeleteLocationOffset) __builtin_trap();
  }
  return 0;
}
