// Fuzz target: ISO 9660 volume descriptors, directory records (8-bit and Joliet names), recording
// times and the locator of a CDFS file, over one block of input.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "optical/cdfs_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  CdfsDescriptor d;
  (void)CDFS_ParseDescriptor(in, d);
  for (const bool joliet : {false, true}) {
    std::size_t at = 0;
    for (int n = 0; n < 4096 && at < in.size(); ++n) {
      CdfsEntry e;
      if (CDFS_ParseDirRecord(in, at, joliet, e) != Parse::Ok) break;
      (void)CDFS_RecordingTime(e.recorded);
      at += e.recordLength;
    }
  }
  std::vector<CdfsExtent> extents;
  if (size >= 8) (void)CDFS_DecodeLocator(in.subspan(8), data[0] | (data[1] << 8), extents);
  return 0;
}
