// Fuzz target: exFAT directory entries as the scanner reads them: entry sets (live, deleted,
// damaged) at every position, their plausibility, names, hashes and times, and labels.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exfat/exfat_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> in(data + 1, size - 1);
  static const std::vector<char16_t> upcase = [] {  // identity: one table for every run
    std::vector<char16_t> t(kExfatUpcaseChars);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<char16_t>(i);
    return t;
  }();
  const char16_t* table = (data[0] & 1) != 0 ? upcase.data() : nullptr;
  ExfatGeometry g;
  g.sectorSize = 512;
  g.clusterBytes = 512u << (data[0] >> 5);
  g.sectorsPerCluster = g.clusterBytes / 512;
  g.clusterCount = 1u + data[0] * 977u;
  for (std::size_t at = 0; at + 32 <= in.size(); at += 32) {
    ExfatEntrySet set;
    if (EXFAT_ParseEntrySet(in.subspan(at), table, set) == Parse::Ok) {
      (void)EXFAT_PlausibleSet(g, set);
      (void)EXFAT_MapAttributes(set.attributes);
      (void)EXFAT_NameHash(set.name, set.nameLength, upcase.data());
      bool utc = false;
      (void)EXFAT_TimeToFileTime(set.file.modified.get(), set.file.modified10ms,
                                 set.file.modifiedUtc, utc);
    }
    char16_t label[12];
    std::uint32_t length = 0;
    (void)EXFAT_ParseLabel(in.subspan(at, 32), label, length);
  }
  return 0;
}
