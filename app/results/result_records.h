// What the results tree reads: the engine's file and folder records by pointer, and the texts
// behind their string references. Filled from the engine after a scan, or by tests and benchmarks.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "undelete/undelete.h"

namespace results {

struct ResultRecords {
  std::vector<const FileRecord*> files;      // file index i
  std::vector<const FolderRecord*> folders;  // folder index j
  /// The NUL-terminated UTF-16 entry of a string reference; null for 0 or a bad reference.
  std::function<const char16_t*(std::uint32_t ref)> string;
  /// The engine's name of state 0..5; null past the last.
  std::function<const char*(unsigned state)> stateName;
  /// The size column's text of a byte count.
  std::function<QString(std::uint64_t bytes)> sizeText;

  /// The text of @p ref, empty for none. Views the engine's storage: valid while the records are.
  [[nodiscard]] std::u16string_view text(std::uint32_t ref) const {
    const char16_t* s = ref != 0 && string ? string(ref) : nullptr;
    if (s == nullptr) return {};
    std::size_t n = 0;
    while (n < kMaxName && s[n] != 0) ++n;  // the cap guards against a damaged storage only
    return {s, n};
  }
  static constexpr std::size_t kMaxName = 32768;
};

}  // namespace results
