// Fuzz target: the dynamic-disk database records: PRIVHEAD, TOCBLOCK and VMDB sectors, then VBLK
// blocks of the size the VMDB gives (the input: PRIVHEAD 512, TOCBLOCK 512, VMDB 512, blocks).
#include <cstddef>
#include <cstdint>
#include <span>

#include "partitions/partitions_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  const auto part = [&](std::size_t at, std::size_t n) {
    return at < size ? in.subspan(at, size - at < n ? size - at : n) : in.subspan(size);
  };
  LdmPrivheadInfo ph;
  (void)Ldm_ParsePrivhead(part(0, 512), ph);
  LdmTocInfo toc;
  (void)Ldm_ParseTocBlock(part(512, 512), toc);
  LdmVmdbInfo vmdb;
  std::size_t block = 128;
  if (Ldm_ParseVmdb(part(1024, 512), vmdb) == Parse::Ok) block = vmdb.vblkSize;
  for (std::size_t at = 1536; at < size; at += block) {
    LdmVblk v;
    (void)Ldm_ParseVblk(part(at, block), v);
  }
  return 0;
}
