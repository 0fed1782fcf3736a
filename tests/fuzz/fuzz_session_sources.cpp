// Fuzz target: the sidecar that keeps the sources of a session's drives.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto sources = Session_ParseSources(text);
  if (sources.size() > kSessionMaxDrives) __builtin_trap();
  for (const auto& s : sources) {
    if (s.source.empty() || s.source[0] != '/' || s.source.find('\n') != std::string::npos)
      __builtin_trap();
    if (s.disk ? s.number >= 128 : (s.number < 'A' || s.number > 'Z')) __builtin_trap();
  }
  return 0;
}
