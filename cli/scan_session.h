// What `kvx scan` and `kvx recover` share: scan options, the source (drive letter, image or
// device), running a scan with progress and Ctrl-C, reading the results, and the small text
// helpers (times, attributes, patterns, state lists, safe file names).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "undelete/undelete.h"

namespace kvx {

struct ScanOptions {
  std::string source;
  std::uint32_t engineOptions = 0;  // kOpt* flags
  bool json = false;
  bool report = false;
  // The engine's questions during the scan (session_prompt.h); null: not asked.
  UndeleteQueryCallback saveCallback = nullptr;
  UndeleteQueryCallback memoryCallback = nullptr;
  void* callbackArg = nullptr;
  bool resume = false;  // continue the saved session instead of starting a scan of source
  // Whole-disk sources: which volume (1.. as numbered by kvx partitions; 0 all), or a byte offset.
  unsigned partition = 0;
  std::optional<std::uint64_t> offset;
};

/// Takes the scan options (scanOptionDecls) and --json/--report from @p args into @p options.
/// False with @p error set when a value is bad.
bool scanOptionsFromArgs(const Args& args, ScanOptions& options, std::string* error);

/// Held by whatever writes to stderr while a scan runs (progress, report lines, questions).
std::mutex& terminalMutex();

/// Counts Ctrl-C presses while alive (the previous SIGINT handling comes back afterwards).
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  [[nodiscard]] int count() const;
};

/// Progress output on stderr: rewritten in place on a terminal, plain lines at most once a
/// second elsewhere. Report lines from the engine go through it so that they do not tear.
class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();
  void update(const std::string& text, bool force = false);
  void line(std::string_view text);  // a whole line above the progress line
  void done();                       // ends the progress line
 private:
  bool m_tty;
  bool m_shown = false;
  std::uint64_t m_lastMs = 0;
  std::string m_last;
};

/// One engine object and the drive it scans.
class ScanSession {
 public:
  ScanSession();
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  [[nodiscard]] Undelete* engine() const { return m_u; }
  /// Resolves SOURCE: "E:" is a letter of the drive table; anything else is an image or device
  /// mapped to a free letter for this run. False with @p error set.
  bool resolveSource(const std::string& source, std::string* error);
  /// The same for scans: a whole-disk image or device is scanned volume by volume (each under a
  /// root folder p1, p2 ...), or the volume @p options pick; a disk with a partition table but no
  /// volume fails with what was found, unless a deep scan of the whole disk is asked for.
  bool resolveSource(const ScanOptions& options, std::string* error);
  /// Folder name below the destination for a root folder: "p2" for a disk's volume; empty for a
  /// drive's own root (its files go straight into the destination).
  [[nodiscard]] std::string rootDirectory(std::uint32_t rootFolder) const;
  [[nodiscard]] char letter() const { return m_letter; }

  /// Runs the scan to its end with progress on stderr. False when it could not start
  /// (@p error set). @p cancelled tells whether Ctrl-C stopped it.
  bool run(const ScanOptions& options, bool* cancelled, std::string* error);

  /// Engine error as "message" (or "error 0x2000000F" when it has none); empty for no error.
  [[nodiscard]] std::string engineError() const;

  // Results (after run()).
  [[nodiscard]] std::uint32_t fileCount() const;
  [[nodiscard]] std::uint32_t folderCount() const;
  [[nodiscard]] const FileRecord* file(std::uint32_t index) const;
  [[nodiscard]] const FolderRecord* folder(std::uint32_t index) const;
  /// UTF-8 text of a UTF-16 string reference ("" for none).
  [[nodiscard]] std::string text(std::uint32_t ref) const;
  /// Folder indexes from the drive's root down to @p folder; empty when the parent chain is
  /// broken or loops.
  [[nodiscard]] std::vector<std::uint32_t> folderChain(std::uint32_t folder) const;
  /// Full path of a folder, names joined by '\\', root first.
  [[nodiscard]] std::string folderPath(std::uint32_t folder) const;
  /// True when the folder or one of its parents is hidden.
  [[nodiscard]] bool folderHidden(std::uint32_t folder) const;

 private:
  Undelete* m_u = nullptr;
  char m_letter = 0;
  std::vector<std::uint32_t> m_specs;  // partition drive specs of a whole disk
  std::vector<std::pair<std::string, std::string>> m_roots;  // root name -> "pN"
};

/// The system's reason for the last failure of an export in this thread, "" when none.
std::string failureDetail();

/// Whether a scan that ran to its end with engine error @p code failed (exit 1): any error but a
/// cancel, except an unrecognised volume searched by content (--deep).
bool scanFailed(std::uint32_t code, std::uint32_t engineOptions);

// Text helpers (pure).

/// FILETIME (the wall-clock time the records keep, taken as this machine's local time) as
/// ISO 8601 UTC, "2020-01-02T03:04:06Z"; empty for 0.
std::string fileTimeToIsoUtc(std::uint64_t fileTime);
/// FILETIME as ISO 8601 in this machine's zone with its offset, "2020-01-02T03:04:06+01:00";
/// empty for 0.
std::string fileTimeToIsoLocal(std::uint64_t fileTime);
/// FILETIME as the wall-clock time it holds, "2020-01-02 03:04:06"; empty for 0.
std::string fileTimeToText(std::uint64_t fileTime);
/// The set letters of "ARHSCE" (archive, read-only, hidden, system, compressed, encrypted).
std::string attributeLetters(std::uint8_t attributes);
/// Name of a file-system kind: "raw", "FAT", "NTFS", "UDF", "CDFS".
const char* kindName(std::uint32_t kind);
/// State number of a record's status byte (bits 1..5).
inline std::uint32_t stateOf(const FileRecord& r) { return (r.status >> 1) & 0x1Fu; }

/// Wildcard match of one pattern (* any run, ? one character), case-insensitive for letters.
bool wildcardMatch(std::string_view pattern, std::string_view name);
/// True when @p name matches any of the ';'-separated @p patterns.
bool matchesAnyPattern(std::string_view patterns, std::string_view name);
/// Bit set (1 << state) of a comma-separated list of state names; nullopt on an unknown name.
std::optional<std::uint32_t> parseStateList(std::string_view list);
/// A name that is safe as one path component: no '/', no NUL or control characters, not "." or
/// "..", not empty, at most 255 bytes.
std::string safeComponent(std::string_view name);
/// @p text for a terminal line: valid UTF-8 with control characters shown as '?'.
std::string printable(std::string_view text);
/// @p name with " (n)" before its extension: "a.txt", 2 -> "a (2).txt".
std::string numberedName(std::string_view name, unsigned n);

}  // namespace kvx
