// The results filter. Every test is a plain conjunction, so the cheap field tests run first and
// the name (a string lookup per file) only when they pass.
#include "results/file_filter.h"

namespace results {
namespace {

constexpr char16_t fold(char16_t c) noexcept {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

std::u16string folded(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = fold(c);
  return out;
}

/// @p pattern already folded.
bool matchFolded(std::u16string_view pattern, std::u16string_view name) noexcept {
  // Iterative match that backtracks to the last star only: linear in practice, never exponential.
  std::size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool compare(Compare mode, std::uint64_t value, std::uint64_t limit) noexcept {
  switch (mode) {
    case Compare::Less:
      return value < limit;
    case Compare::LessOrEqual:
      return value <= limit;
    case Compare::Equal:
      return value == limit;
    case Compare::Greater:
      return value > limit;
    case Compare::GreaterOrEqual:
      return value >= limit;
  }
  return false;  // a mode past the five (a damaged options file) keeps nothing
}

}  // namespace

bool wildcardMatches(std::u16string_view pattern, std::u16string_view name) noexcept {
  return matchFolded(folded(pattern), name);
}

FileFilter::FileFilter(const FilterRule& rule) : m_rule(rule) {
  std::u16string_view rest = rule.patterns;
  if (const auto nul = rest.find(u'\0'); nul != std::u16string_view::npos)
    rest = rest.substr(0, nul);
  while (!rest.empty()) {
    const std::size_t semi = rest.find(u';');
    const std::u16string_view one = rest.substr(0, semi);
    // "*.jpg;" or ";;" leave empty pieces, which would only match an empty name: skip them.
    if (!one.empty()) m_patterns.push_back(folded(one));
    if (semi == std::u16string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
}

bool FileFilter::matchesName(std::u16string_view name) const {
  for (const std::u16string& p : m_patterns)
    if (matchFolded(p, name)) return true;
  return false;
}

bool FileFilter::keepsFields(const FileRecord& r) const noexcept {
  const std::uint32_t flags = m_rule.flags;
  const std::uint64_t size = r.size.get();
  if ((flags & kFilterShowEmpty) == 0 && size == 0) return false;
  if ((flags & kFilterDeletedOnly) != 0 && (r.status & kStatusExisting) != 0) return false;
  if ((flags & kFilterDate) != 0) {
    // The chosen day runs from D (its midnight) to E (its last tick). "Before the day" keeps
    // what ends before D and "after the day" what starts past E: a file stamped exactly at the
    // day's midnight belongs to that day and to neither of the strict comparisons.
    const std::uint64_t t = r.modified.get(), d = m_rule.date;
    const std::uint64_t e = d > UINT64_MAX - kTicksPerDay ? UINT64_MAX : d + (kTicksPerDay - 1);
    bool keep = false;
    switch (static_cast<Compare>(m_rule.dateMode)) {
      case Compare::Less:
        keep = t < d;
        break;
      case Compare::LessOrEqual:
        keep = t <= e;
        break;
      case Compare::Equal:
        keep = d <= t && t <= e;
        break;
      case Compare::Greater:
        keep = t > e;
        break;
      case Compare::GreaterOrEqual:
        keep = t >= d;
        break;
    }
    if (!keep) return false;
  }
  if ((flags & kFilterSize) != 0 &&
      !compare(static_cast<Compare>(m_rule.sizeMode), size >> 10, m_rule.sizeKB))
    return false;
  if (!m_rule.stateShown(stateOf(r))) return false;
  for (int k = 0; k < 6; ++k) {
    const bool set = (r.attributes & (1u << k)) != 0;
    switch (m_rule.attrMode(k)) {
      case AttrMode::Clear:
        if (set) return false;
        break;
      case AttrMode::Set:
        if (!set) return false;
        break;
      case AttrMode::Either:
        break;
      case AttrMode::Reject:
        return false;
    }
  }
  return true;
}

}  // namespace results
