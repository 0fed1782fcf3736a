// Fuzz target: the text the host layer parses (KVX_DRIVES lists, drives.ini, mountinfo) and the
// tables built from it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/host_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto list = host::parseAssignmentList(text);
  const auto ini = host::parseIni(text);
  (void)host::parseMountInfo(text);
  std::vector<host::Discovered> found;
  for (const auto& a : list) found.push_back({a.key, a.value, a.key.size() % 2 == 0, false});
  const auto drives = host::buildDriveTable(list, ini, {}, found);
  const auto disks = host::buildDiskTable(list, ini, {}, found);
  for (const auto& d : drives)
    if (d.letter < 'A' || d.letter > 'Z') __builtin_trap();
  for (const auto& d : disks)
    if (d.number >= 128) __builtin_trap();
  return 0;
}
