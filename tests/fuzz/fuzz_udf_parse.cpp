// Fuzz target: UDF descriptors over one block of input: volume descriptors with their partition
// maps, file entries and their allocation descriptors, file identifiers, virtual allocation
// tables and the locator of a UDF file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "optical/udf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  UdfVolume v;
  bool end = false;
  (void)UDF_ParseVolumeDescriptor(in, v, end);
  UdfEntry e;
  if (UDF_ParseFileEntry(in, e) == Parse::Ok) {
    std::vector<UdfExtent> x;
    UdfExtent next{};
    if (e.allocation < 3) (void)UDF_ParseAllocation(e.descriptors, e.allocation, 0, x, &next);
    (void)UDF_TimestampToFileTime(e.modification);
    const auto locator = UDF_EncodeLocator(x, e.descriptors, e.allocation == 3);
    std::vector<UdfPiece> pieces;
    (void)UDF_DecodeLocator(locator, pieces);
  }
  for (std::uint8_t allocation = 0; allocation < 3; ++allocation) {
    std::vector<UdfExtent> x;
    (void)UDF_ParseAllocation(in, allocation, 0, x, nullptr);
  }
  std::size_t at = 0;
  for (int n = 0; n < 100000 && at + 38 <= in.size(); ++n) {
    UdfIdentifier id;
    const Parse p = UDF_ParseIdentifier(in, at, id);
    if (p == Parse::NotThis) break;
    at += p == Parse::Ok ? id.length : 4;
  }
  std::vector<std::uint32_t> vat;
  (void)UDF_ParseVat(in, true, vat);
  (void)UDF_ParseVat(in, false, vat);
  std::vector<UdfPiece> pieces;
  (void)UDF_DecodeLocator(in, pieces);
  return 0;
}
