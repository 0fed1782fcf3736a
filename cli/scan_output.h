// Output of kvx scan: which files are listed (filters), how their paths are written, and the
// listing as a table, TSV, one JSON document or JSON lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "scan_session.h"

namespace kvx {

enum class ListFormat : std::uint8_t { Table, Tsv, Json, Jsonl };
/// Native: relative to the volume root, '/' between names, "p2/" before the paths of a disk's
/// second volume. Windows: the engine's own form, "D:\dir\name".
enum class PathStyle : std::uint8_t { Native, Windows };

/// Which files a listing or a recovery takes. Replaced records and files of hidden folders are
/// never taken.
struct FileFilter {
  bool deletedOnly = false;     // --deleted
  bool includeExisting = true;  // false for recover unless --all
  std::vector<std::string> patterns;
  std::optional<std::uint32_t> states;  // bit set of accepted states
  std::vector<std::uint32_t> ids;       // sorted; empty = any
  /// Whether a pattern needs the whole path (it holds '/').
  [[nodiscard]] bool needsPath() const;
  /// @p nativePath is only read when needsPath().
  [[nodiscard]] bool matches(std::uint32_t index, const FileRecord& r, std::string_view name,
                             std::string_view nativePath) const;
};

/// --deleted, --pattern, --state, --id (and --all when @p recover) from @p args. False with
/// @p error set on a bad value.
bool filterFromArgs(const Args& args, bool recover, FileFilter& filter, std::string* error);

struct ListingOptions {
  ListFormat format = ListFormat::Table;
  PathStyle paths = PathStyle::Native;
  FileFilter filter;
};

/// --json, --jsonl, --tsv, --path-style and the filters from @p args.
bool listingFromArgs(const Args& args, ListingOptions& listing, std::string* error);

/// Paths of a scan's folders in both styles, remembered for the next file (files come folder by
/// folder, so one folder is worked out once).
class PathMaker {
 public:
  explicit PathMaker(const ScanSession& s) : m_s(s) {}
  /// Folder path in @p style ("" for a volume's root in native style).
  const std::string& folder(std::uint32_t folder, PathStyle style);
  /// The folder's path below the volume root, '\\'-separated (the JSON's "location").
  const std::string& location(std::uint32_t folder);
  bool hidden(std::uint32_t folder);
  /// Path of a file named @p name in @p folder.
  std::string file(std::uint32_t folder, std::string_view name, PathStyle style);

 private:
  void load(std::uint32_t folder);
  const ScanSession& m_s;
  std::uint32_t m_folder = 0xFFFFFFFFu;
  std::string m_native, m_windows, m_location;
  bool m_hidden = false;
};

/// The JSON document {"source", "drives", "files", "folders", "error"}; records are written as
/// they are read, so memory does not grow with the number of files. Returns the files written.
std::uint64_t writeScanJson(const ScanSession& s, std::uint32_t errorCode,
                            const std::string& errorMessage, std::FILE* out,
                            const ListingOptions& listing = {}, const std::string& source = {});
/// One JSON object per line, one line per listed file.
std::uint64_t writeScanJsonLines(const ScanSession& s, std::FILE* out,
                                 const ListingOptions& listing = {});
/// The table (fixed columns, path last) or with ListFormat::Tsv tab-separated fields.
std::uint64_t writeScanTable(const ScanSession& s, std::FILE* out,
                             const ListingOptions& listing = {});

}  // namespace kvx
