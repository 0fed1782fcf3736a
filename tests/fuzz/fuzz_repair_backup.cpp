// Fuzz target: the backup files of the table repairs: record files (".gpt" and whole-table
// backups), the names that say what an undo checks, and the boot store's disk-signature search.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "partitions/repair.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  if (const auto records = Repair_ParseRecords(in, 4096)) {
    std::size_t total = 0;
    for (const auto& r : *records) total += r.data.size();
    if (total > size) __builtin_trap();  // records never hold more than the file
  }
  const std::string_view name(reinterpret_cast<const char*>(data), size < 300 ? size : 300);
  if (const auto pieces = Repair_ParseMbrName(name))
    if (pieces->empty() || pieces->size() * 24 + 4 != name.size()) __builtin_trap();
  (void)Repair_ParseGptName(name);
  (void)Repair_ByteSum(in);
  (void)Repair_StoreSignature(in);
  return 0;
}
