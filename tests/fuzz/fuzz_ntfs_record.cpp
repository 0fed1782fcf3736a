// Fuzz target: one MFT file record through the record parser, then its run lists through the
// cursor, as the scanner and the recoverer would use them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ntfs/ntfs.h"

namespace {
void walk(const std::vector<std::uint8_t>& list) {
  RunCursor c;
  c.load(list, 1u << 20);
  std::uint64_t first = 0, count = 0, n = 0;
  bool sparse = false;
  for (int i = 0; i < 256 && c.nextRun(&first, &count, &sparse); ++i) {
  }
  c.load(list);
  for (int i = 0; i < 4096; ++i) {
    if (c.skipSparse(&n)) continue;
    if (!c.next(&first)) break;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Record sizes are 1024 or 4096 bytes on real volumes; the input decides which, short inputs
  // are padded with zeros.
  std::vector<std::uint8_t> record(size > 1024 ? 4096 : 1024, 0);
  std::memcpy(record.data(), data, size < record.size() ? size : record.size());
  NtfsParsedRecord rec;
  if (NTFS_ParseFileRecord(record, rec) != Parse::Ok) return 0;
  if (rec.runListLength != 0) walk(rec.data);
  if (!rec.laterExtents.empty()) {
    std::vector<NtfsParsedRecord::Extent> extents{{0, rec.dataHighestVcn, rec.data}};
    extents.insert(extents.end(), rec.laterExtents.begin(), rec.laterExtents.end());
    std::vector<std::uint8_t> joined;
    if (NTFS_JoinRunLists(extents, joined)) walk(joined);
  }
  for (std::size_t i = 0; i < rec.streamCount; ++i) {
    if (rec.streams[i].runListLength != 0) walk(rec.streams[i].data);
  }
  return 0;
}
