// The engine's size text, shared by the session description and the volume summaries.
#include "core/size_text.h"

#include <cstdio>

namespace {

struct SizeUnit {
  unsigned shift;  // bytes >> shift gives the unit
  const char* format;
};
// Each unit is used below 1024 of itself; tenths are rounded to nearest.
constexpr SizeUnit kUnits[] = {
    {10, "%u.%u KB"}, {20, "%u.%u MB"}, {30, "%u.%u GB"}, {40, "%u.%u TB"}};

std::size_t emit(char* out, std::size_t cap, int n) noexcept {
  if (n < 0) {
    if (cap > 0) out[0] = '\0';
    return 0;
  }
  const auto len = static_cast<std::size_t>(n);
  return cap == 0 ? 0 : (len < cap ? len : cap - 1);
}

}  // namespace

std::size_t formatSizeText(std::uint64_t bytes, char* out, std::size_t cap) noexcept {
  if (cap > 0) out[0] = '\0';
  if (bytes < 1024) return emit(out, cap, std::snprintf(out, cap, "%u B", unsigned(bytes)));
  for (const SizeUnit& unit : kUnits) {
    if (bytes >= (std::uint64_t{1} << (unit.shift + 10))) continue;
    // bytes < 2^50 here, so bytes * 10 cannot overflow.
    const std::uint64_t t = (bytes * 10 + (std::uint64_t{1} << (unit.shift - 1))) >> unit.shift;
    return emit(out, cap, std::snprintf(out, cap, unit.format, unsigned(t / 10), unsigned(t % 10)));
  }
  return 0;
}
