// The whole-file content checks over arbitrary bytes: as given, and behind each signature they
// know, so that every format's check sees arbitrary bodies. A verdict never claims more bytes than
// there are.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "deepscan/deepscan.h"

namespace {

void check(std::span<const std::uint8_t> data) {
  FormatCheck c;
  if (!FileFormat_Validate(data, c)) std::abort();
  if (c.good > data.size() || c.identifier > kFormatCount) std::abort();
  if (data.size() >= 16) {
    (void)FileFormat_CanValidate(std::span<const std::uint8_t, 16>(data.data(), 16));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(std::span<const std::uint8_t>(data, size));
  static constexpr std::string_view kHeads[] = {std::string_view("\xFF\xD8\xFF", 3),
                                                std::string_view("\x89PNG\r\n\x1A\n", 8),
                                                "GIF89a",
                                                std::string_view("PK\x03\x04", 4),
                                                "%PDF-1.4\n",
                                                std::string_view("Rar!\x1A\x07\x00", 7),
                                                "BM"};
  if (size == 0) return 0;
  const std::string_view head = kHeads[data[0] % std::size(kHeads)];
  std::vector<std::uint8_t> framed(head.begin(), head.end());
  framed.insert(framed.end(), data + 1, data + size);
  check(framed);
  return 0;
}
