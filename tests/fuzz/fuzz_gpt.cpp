// Fuzz target: a GPT header (the first 512 bytes) and the entry array it describes (the rest).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "partitions/partitions_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  GptHeaderInfo h;
  const auto header = in.first(size < 512 ? size : 512);
  // Any own-LBA: take the one the header claims, so that the parse goes past that check.
  const std::uint64_t claimed =
      size >= 32 ? (std::uint64_t{data[24]} | std::uint64_t{data[25]} << 8) : 1;
  if (Gpt_ParseHeader(header, claimed, h) != Parse::Ok) return 0;
  std::vector<GptPartition> parts;
  std::uint32_t corrupt = 0;
  Gpt_ParseEntries(in.subspan(header.size()), h.entryCount, h.entrySize, parts, corrupt);
  (void)Gpt_Crc32(in.subspan(header.size()));
  char text[40];
  for (const auto& p : parts) Guid_Format(p.typeGuid.data(), text);
  return 0;
}
