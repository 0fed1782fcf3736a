// The results filter: which found files the tree shows, from the options record's filter fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "undelete/undelete.h"

namespace results {

// Options flag bits the filter reads (the rest of the word belongs to the scan options).
inline constexpr std::uint32_t kFilterDate = 1u << 0;
inline constexpr std::uint32_t kFilterSize = 1u << 1;
inline constexpr std::uint32_t kFilterDeletedOnly = 1u << 2;
inline constexpr std::uint32_t kFilterShowEmpty = 1u << 3;
inline constexpr int kFilterStateShift = 7;  // bits 7..12: states 0..5 shown
inline constexpr int kFilterAttrShift = 13;  // bits 13..24: 2-bit modes for A R H S C E
/// All six states shown, every attribute "either", nothing else.
inline constexpr std::uint32_t kFilterDefaultFlags = 0x1555F80;

enum class Compare : std::uint8_t { Less, LessOrEqual, Equal, Greater, GreaterOrEqual };
enum class AttrMode : std::uint8_t { Clear = 0, Set = 1, Either = 2, Reject = 3 };

/// One day of FILETIME ticks.
inline constexpr std::uint64_t kTicksPerDay = 864000000000ull;

/// The filter fields of the options record, as the dialogs edit them.
struct FilterRule {
  std::uint32_t flags = kFilterDefaultFlags;
  std::uint8_t dateMode = 0;  // Compare
  std::uint8_t sizeMode = 0;  // Compare
  std::u16string patterns;    // "*.jpg;*.png"; empty: no name filter
  std::uint64_t date = 0;     // FILETIME of the chosen day at 00:00
  std::uint32_t sizeKB = 0;

  [[nodiscard]] bool deletedOnly() const noexcept { return (flags & kFilterDeletedOnly) != 0; }
  [[nodiscard]] AttrMode attrMode(int k) const noexcept {
    return static_cast<AttrMode>((flags >> (kFilterAttrShift + 2 * k)) & 3u);
  }
  void setAttrMode(int k, AttrMode m) noexcept {
    const int shift = kFilterAttrShift + 2 * k;
    flags = (flags & ~(3u << shift)) | (static_cast<std::uint32_t>(m) << shift);
  }
  [[nodiscard]] bool stateShown(unsigned s) const noexcept {
    return s <= kStateExisting && (flags & (1u << (kFilterStateShift + s))) != 0;
  }
  [[nodiscard]] bool anyStateShown() const noexcept {
    return (flags & (0x3Fu << kFilterStateShift)) != 0;
  }
};

/// "*" any run, "?" any one unit, A-Z folded to a-z only; the whole name must match.
[[nodiscard]] bool wildcardMatches(std::u16string_view pattern, std::u16string_view name) noexcept;

/// A FilterRule made ready for testing many files: patterns split and folded once.
class FileFilter {
 public:
  explicit FileFilter(const FilterRule& rule);

  /// Whether the tree shows file @p r; @p name is its name (read only when patterns are set).
  template <class NameFn>
  [[nodiscard]] bool keeps(const FileRecord& r, NameFn&& name) const {
    if (!keepsFields(r)) return false;
    return m_patterns.empty() || matchesName(name());
  }
  [[nodiscard]] bool keepsFields(const FileRecord& r) const noexcept;
  [[nodiscard]] bool matchesName(std::u16string_view name) const;
  [[nodiscard]] const FilterRule& rule() const noexcept { return m_rule; }

 private:
  FilterRule m_rule;
  std::vector<std::u16string> m_patterns;  // folded, none empty
};

/// The state index of a record (status bits 1..5).
[[nodiscard]] constexpr unsigned stateOf(const FileRecord& r) noexcept {
  return (r.status >> 1) & 0x1Fu;
}

}  // namespace results
