// Shared by kvx scan and kvx recover: source resolution, the scan loop with progress and Ctrl-C,
// result reading and the text helpers.
#include "scan_session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "disk_partitions.h"
#include "json_writer.h"

namespace kvx {

bool scanOptionsFromArgs(const Args& args, ScanOptions& options, std::string* error) {
  const auto number = [&](const char* flag, std::uint64_t& out) {
    const auto v = args.value(flag);
    if (!v) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(v->c_str(), &end, 0);
    if (v->empty() || (*v)[0] == '-' || end == nullptr || *end != 0 || errno != 0) {
      *error = std::string(flag) + " takes a number, not '" + *v + "'";
      return false;
    }
    return true;
  };
  std::uint64_t v = 0;
  if (number("--partition", v)) {
    if (v == 0 || v >= 1000) {
      *error = "--partition takes a volume number 1..999 (see kvx partitions)";
      return false;
    }
    options.partition = static_cast<unsigned>(v);
  } else if (args.has("--partition")) {
    return false;
  }
  if (number("--offset", v)) options.offset = v;
  else if (args.has("--offset")) return false;
  if (args.has("--partition") && args.has("--offset")) {
    *error = "--partition and --offset pick the volume two ways; give one";
    return false;
  }
  if (args.has("--deep")) options.engineOptions |= kOptDeepScan;
  if (args.has("--test-ext")) options.engineOptions |= kOptTestExtension;
  if (args.has("--rename-ext")) options.engineOptions |= kOptRenameExtension;
  if (args.has("--test-all")) options.engineOptions |= kOptTestAll;
  options.json = args.has("--json");
  options.report = args.has("--report");
  return true;
}

// --- Ctrl-C -------------------------------------------------------------------------------------

namespace {
volatile sig_atomic_t g_interrupts = 0;
struct sigaction g_previous;
void onInterrupt(int) { g_interrupts = g_interrupts + 1; }

std::uint64_t nowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::mutex g_stderrMutex;  // progress (main thread) and report lines (search thread)
}  // namespace

std::mutex& terminalMutex() { return g_stderrMutex; }

InterruptGuard::InterruptGuard() {
  g_interrupts = 0;
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &g_previous);
}
InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &g_previous, nullptr); }
int InterruptGuard::count() const { return g_interrupts; }

// --- Progress -----------------------------------------------------------------------------------

ProgressLine::ProgressLine() : m_tty(::isatty(STDERR_FILENO) == 1) {}
ProgressLine::~ProgressLine() { done(); }

void ProgressLine::update(const std::string& text, bool force) {
  const std::uint64_t now = nowMs();
  std::lock_guard lock(g_stderrMutex);
  if (m_tty) {
    if (!force && text == m_last && m_shown) return;
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    m_shown = true;
  } else {
    // Logs and pipes get a plain line at most once a second.
    if (text == m_last || (!force && now - m_lastMs < 1000)) return;
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  std::fflush(stderr);
  m_last = text;
  m_lastMs = now;
}

void ProgressLine::line(std::string_view text) {
  std::lock_guard lock(g_stderrMutex);
  if (m_tty && m_shown) std::fputs("\r\033[K", stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  if (m_tty && m_shown) std::fprintf(stderr, "%s\033[K", m_last.c_str());
  std::fflush(stderr);
}

void ProgressLine::done() {
  std::lock_guard lock(g_stderrMutex);
  if (m_tty && m_shown) std::fputc('\n', stderr);
  m_shown = false;
}

// --- Session ------------------------------------------------------------------------------------

ScanSession::ScanSession() {
  if (Undelete_Create(&m_u) == 0) m_u = nullptr;
}

ScanSession::~ScanSession() {
  if (m_u == nullptr) return;
  // A scan still running (only after an early return) is stopped before the object goes.
  std::uint32_t code = 0;
  if (Undelete_IsSearching(m_u, &code)) Undelete_TotalCancel(m_u);
  while (Undelete_IsSearching(m_u, &code))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Undelete_Delete(m_u);
}

bool ScanSession::resolveSource(const std::string& source, std::string* error) {
  if (source.size() == 2 && source[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(source[0]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(source[0])));
    if (!Undelete_FindDrive(letter, nullptr)) {
      *error = std::string("no drive ") + letter + ": in the drive table (see kvx --help)";
      return false;
    }
    m_letter = letter;
    return true;
  }
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) {
    *error = source + ": no such file or device";
    return false;
  }
  m_letter = 0;
  if (!Undelete_AddDrive(source.c_str(), 0, &m_letter)) m_letter = 0;
  if (m_letter == 0) {
    // The host layer's reason names the path and what the system said about it.
    std::uint32_t code = 0;
    char reason[1024];
    (void)Undelete_GetHostError(&code, reason, sizeof reason);
    *error = source + ": cannot be used as a drive";
    if (reason[0] != '\0') {
      *error = std::string("cannot be used as a drive: ") + reason;
    } else if (code != 0) {
      char buf[32];
      std::snprintf(buf, sizeof buf, " (error 0x%08X)", code);
      *error += buf;
    }
    return false;
  }
  return true;
}

bool ScanSession::resolveSource(const ScanOptions& options, std::string* error) {
  const std::string& source = options.source;
  m_specs.clear();
  m_roots.clear();
  const bool letter = source.size() == 2 && source[1] == ':';
  std::error_code ec;
  const bool optical =
      source.ends_with(".iso") || source.ends_with(".udf") || source.rfind("/dev/sr", 0) == 0;
  if (letter || optical || source.find('@') != std::string::npos || m_u == nullptr ||
      !std::filesystem::exists(source, ec))
    return resolveSource(source, error);
  if (options.offset) {
    // A window of the image from that byte on, under a letter of its own for this run.
    const std::string window = source + "@" + std::to_string(*options.offset);
    m_letter = 0;
    if (Undelete_AddDrive(window.c_str(), 0, &m_letter) == 0 || m_letter == 0) {
      *error = window + ": cannot be used as a drive";
      return false;
    }
    return true;
  }
  std::uint32_t disk = 0;
  // What cannot be read as a disk is tried as a single volume, whose failure names the host
  // layer's reason.
  std::string diskError;
  if (!diskNumber(source, &disk, &diskError) || !scanDisk(m_u, disk, true, false, &diskError))
    return resolveSource(source, error);
  if (!diskHasTable(m_u)) {
    if (options.partition != 0) {
      *error = source + ": no partition table, so no --partition";
      return false;
    }
    return resolveSource(source, error);  // a volume of its own (or nothing recognisable)
  }
  for (const DiskArea& a : diskAreas(m_u, disk)) {
    if (a.volume == 0 || (options.partition != 0 && a.volume != options.partition)) continue;
    m_specs.push_back(1u << 24 | a.listIndex);
    m_roots.emplace_back(a.record.description, "p" + std::to_string(a.volume));
  }
  if (!m_specs.empty()) return true;
  if (options.partition != 0) {
    *error = source + ": no volume " + std::to_string(options.partition) + " (see kvx partitions)";
    return false;
  }
  if ((options.engineOptions & kOptDeepScan) != 0) return resolveSource(source, error);
  *error = source +
           ": a partition table but no recognisable volume (a deep scan of the whole "
           "disk: --deep). Found:\n" +
           foundSummary(m_u);
  return false;
}

namespace {
/// Where the engine's report lines go: all of them with --report, its warnings always.
struct ReportSink {
  ProgressLine* progress = nullptr;
  bool all = false;
};

int reportToStderr(void* context, const char* line) {
  const auto* sink = static_cast<ReportSink*>(context);
  std::string_view text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (!sink->all) {
    const auto at = text.find("Warning: ");
    if (at == std::string_view::npos) return 1;
    text.remove_prefix(at);
  }
  sink->progress->line(text);
  return 1;
}

std::string progressText(Undelete* u, std::uint32_t position) {
  const char* stage = nullptr;
  if (!Undelete_GetScanStage(u, &stage) || stage == nullptr || stage[0] == '\0') stage = "Scanning";
  std::uint32_t files = 0, deleted = 0;
  Undelete_GetFilesCount(u, &files);
  Undelete_GetDeletedCount(u, &deleted);
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s: %u.%02u%%, %u files, %u deleted", stage, position / 100,
                position % 100, files, deleted);
  return buf;
}
}  // namespace

bool ScanSession::run(const ScanOptions& options, bool* cancelled, std::string* error) {
  *cancelled = false;
  if (m_u == nullptr) {
    *error = "cannot create the engine object";
    return false;
  }
  ProgressLine progress;
  ReportSink sink{&progress, options.report};
  Undelete_SetVerbose(m_u, reportToStderr, &sink);
  const std::uint32_t driveSpec = static_cast<std::uint32_t>(m_letter - 'A');
  const std::uint32_t* specs = m_specs.empty() ? &driveSpec : m_specs.data();
  const auto count = static_cast<std::uint16_t>(m_specs.empty() ? 1 : m_specs.size());
  InterruptGuard interrupts;
  const int started =
      options.resume
          ? Undelete_RestoreSession(m_u, 0, options.saveCallback, options.callbackArg)
          : Undelete_SearchMultiple(m_u, specs, count, options.engineOptions, options.saveCallback,
                                    options.memoryCallback, options.callbackArg);
  if (started == 0) {
    Undelete_SetVerbose(m_u, nullptr, nullptr);
    *error = engineError();
    if (error->empty()) *error = "the scan could not start";
    // The system's reason names the source and what went wrong with it.
    char detail[1024];
    if (Undelete_GetHostError(nullptr, detail, sizeof detail) && detail[0] != '\0')
      *error += std::string(" (") + detail + ")";
    return false;
  }
  int handled = 0;
  std::uint32_t position = 0, code = 0;
  // The end of the scan is noticed within a few milliseconds (a short scan should not wait out a
  // display interval); the progress line is refreshed every 100 ms.
  constexpr int kPollsPerRefresh = 20;
  int polls = 0;
  while (Undelete_IsSearching(m_u, &code)) {
    if (polls++ % kPollsPerRefresh != 0 && interrupts.count() == handled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const int presses = interrupts.count();
    if (presses > handled) {
      // First Ctrl-C stops the search; a second one stops the state estimation too.
      if (handled == 0) {
        Undelete_Cancel(m_u);
        progress.line("kvx: cancelling (Ctrl-C again to stop at once)");
      } else if (handled == 1) {
        Undelete_TotalCancel(m_u);
      }
      handled = presses;
      *cancelled = true;
    }
    std::uint32_t total = 0;
    std::uint64_t done = 0, all = 0;
    if (Undelete_GetProgress(m_u, &total, &position, &done, &all) == 0) position = 0;
    progress.update(progressText(m_u, position));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!*cancelled) progress.update(progressText(m_u, 10000), true);
  progress.done();
  Undelete_SetVerbose(m_u, nullptr, nullptr);
  return true;
}

std::string ScanSession::engineError() const {
  std::uint32_t code = 0;
  if (m_u == nullptr || Undelete_GetError(m_u, &code) == 0 || code == 0) return {};
  const char* message = nullptr;
  if (Undelete_GetErrorMessage(m_u, &message) && message != nullptr) return message;
  char buf[32];
  std::snprintf(buf, sizeof buf, "error 0x%08X", code);
  return buf;
}

std::string failureDetail() {
  char detail[1024];
  return Undelete_GetHostError(nullptr, detail, sizeof detail) ? std::string(detail)
                                                               : std::string();
}

bool scanFailed(std::uint32_t code, std::uint32_t engineOptions) {
  if (code == 0 || code == kErrUserAbort) return false;
  // With --deep an unrecognised volume is searched by content: that search is the scan asked for.
  return !(code == kErrUnrecognized && (engineOptions & kOptDeepScan) != 0);
}

std::uint32_t ScanSession::fileCount() const {
  std::uint32_t n = 0;
  Undelete_GetFilesCount(m_u, &n);
  return n;
}

std::uint32_t ScanSession::folderCount() const {
  std::uint32_t n = 0;
  Undelete_GetFolderCount(m_u, &n);
  return n;
}

const FileRecord* ScanSession::file(std::uint32_t index) const {
  const FileRecord* r = nullptr;
  return Undelete_GetFileInfo(m_u, index, &r) ? r : nullptr;
}

const FolderRecord* ScanSession::folder(std::uint32_t index) const {
  const FolderRecord* r = nullptr;
  return Undelete_GetFolderInfo(m_u, index, &r) ? r : nullptr;
}

std::string ScanSession::text(std::uint32_t ref) const {
  const void* p = nullptr;
  if (ref == 0 || Undelete_GetString(m_u, ref, &p) == 0 || p == nullptr) return {};
  // Entries are NUL-terminated; the cap only guards against a damaged storage.
  const auto* s = static_cast<const char16_t*>(p);
  std::size_t n = 0;
  while (n < 65536 && s[n] != 0) ++n;
  return utf16ToUtf8(std::u16string_view(s, n));
}

std::vector<std::uint32_t> ScanSession::folderChain(std::uint32_t index) const {
  std::vector<std::uint32_t> chain;
  const std::uint32_t limit = folderCount();
  while (index != kNoParent) {
    const FolderRecord* f = folder(index);
    if (f == nullptr || chain.size() > limit) return {};  // broken link or a loop
    chain.push_back(index);
    index = f->parent.get();
  }
  return {chain.rbegin(), chain.rend()};
}

std::string ScanSession::folderPath(std::uint32_t index) const {
  std::string path;
  for (const std::uint32_t i : folderChain(index)) {
    if (!path.empty()) path += '\\';
    const std::string root = path.empty() ? rootDirectory(i) : std::string();
    path += root.empty() ? text(folder(i)->name.get()) : root;
  }
  return path;
}

std::string ScanSession::rootDirectory(std::uint32_t rootFolder) const {
  if (m_roots.empty()) return {};
  const FolderRecord* f = folder(rootFolder);
  if (f == nullptr) return {};
  const std::string name = text(f->name.get());
  for (const auto& [title, dir] : m_roots)
    if (title == name) return dir;
  return {};
}

bool ScanSession::folderHidden(std::uint32_t index) const {
  for (const std::uint32_t i : folderChain(index))
    if ((folder(i)->flags.get() & kFolderHidden) != 0) return true;
  return false;
}

// --- Text helpers -------------------------------------------------------------------------------

namespace {
/// Calendar fields of a FILETIME read as a wall-clock time.
bool wallClock(std::uint64_t fileTime, std::tm* tm, unsigned* millis) {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;
  if (!UndeleteFileTimeToUnix(fileTime, &seconds, &nanos)) return false;
  *millis = nanos / 1000000u;
  const std::time_t t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, tm) != nullptr;
}
}  // namespace

namespace {
/// Seconds to subtract from a local wall-clock time (as seconds since 1970 read as UTC) to get
/// UTC, for the hour that holds it. mktime is slow (it consults the zone rules on every call);
/// zone offsets change on hour boundaries, so one answer per hour serves every file in it.
std::int64_t localOffsetOfHour(std::int64_t wallSeconds) {
  static std::unordered_map<std::int64_t, std::int64_t> cache;
  static std::string zone;
  const char* tz = std::getenv("TZ");
  if ((tz != nullptr ? tz : "") != zone) {  // a changed zone (tests switch it) empties the cache
    zone = tz != nullptr ? tz : "";
    cache.clear();
  }
  const std::int64_t hour = wallSeconds >= 0 ? wallSeconds / 3600 : (wallSeconds - 3599) / 3600;
  // Files of one folder mostly share an hour: the last answer is kept beside the map.
  static std::int64_t lastHour = INT64_MIN, lastOffset = 0;
  if (hour == lastHour && !cache.empty()) return lastOffset;
  if (const auto it = cache.find(hour); it != cache.end()) {
    lastHour = hour;
    lastOffset = it->second;
    return it->second;
  }
  std::tm wall{};
  const std::time_t probe = static_cast<std::time_t>(hour * 3600);
  std::int64_t offset = 0;
  if (gmtime_r(&probe, &wall) != nullptr) {
    wall.tm_isdst = -1;
    const std::time_t utc = std::mktime(&wall);
    if (utc != static_cast<std::time_t>(-1)) offset = hour * 3600 - static_cast<std::int64_t>(utc);
  }
  if (cache.size() > 100000) cache.clear();
  cache.emplace(hour, offset);
  lastHour = hour;
  lastOffset = offset;
  return offset;
}
}  // namespace

namespace {
/// "YYYY-MM-DDTHH:MM:SS" of @p seconds since 1970 (UTC calendar), written without printf: a
/// listing formats three times for every file. Years outside 0..9999 give false.
bool isoDateTime(std::int64_t seconds, std::string& out) {
  std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t secs = seconds - days * 86400;
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 0 || year > 9999) return false;
  char buf[19];
  const auto two = [&](int at, std::int64_t v) {
    buf[at] = static_cast<char>('0' + v / 10);
    buf[at + 1] = static_cast<char>('0' + v % 10);
  };
  two(0, year / 100);
  two(2, year % 100);
  buf[4] = '-';
  two(5, month);
  buf[7] = '-';
  two(8, day);
  buf[10] = 'T';
  two(11, secs / 3600);
  buf[13] = ':';
  two(14, secs / 60 % 60);
  buf[16] = ':';
  two(17, secs % 60);
  out.assign(buf, sizeof buf);
  return true;
}
}  // namespace

std::string fileTimeToIsoUtc(std::uint64_t fileTime) {
  if (fileTime == 0) return {};
  // The records keep local wall-clock times (FAT stores them so; NTFS times are converted to
  // local time by the scanner): this machine's time zone turns them back into UTC.
  std::int64_t wallSeconds = 0;
  std::uint32_t nanos = 0;
  if (!UndeleteFileTimeToUnix(fileTime, &wallSeconds, &nanos)) return {};
  const unsigned millis = nanos / 1000000u;
  std::string out;
  if (!isoDateTime(wallSeconds - localOffsetOfHour(wallSeconds), out)) return {};
  if (millis != 0) {
    const char frac[5] = {'.', static_cast<char>('0' + millis / 100),
                          static_cast<char>('0' + millis / 10 % 10),
                          static_cast<char>('0' + millis % 10), 'Z'};
    out.append(frac, sizeof frac);
  } else {
    out.push_back('Z');
  }
  return out;
}

std::string fileTimeToIsoLocal(std::uint64_t fileTime) {
  if (fileTime == 0) return {};
  std::int64_t wallSeconds = 0;
  std::uint32_t nanos = 0;
  if (!UndeleteFileTimeToUnix(fileTime, &wallSeconds, &nanos)) return {};
  std::string out;
  if (!isoDateTime(wallSeconds, out)) return {};
  const std::int64_t offset = localOffsetOfHour(wallSeconds);
  const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+',
                static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return out + zone;
}

std::string fileTimeToText(std::uint64_t fileTime) {
  if (fileTime == 0) return {};
  std::tm wall{};
  unsigned millis = 0;
  if (!wallClock(fileTime, &wall, &millis)) return {};
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", wall.tm_year + 1900,
                wall.tm_mon + 1, wall.tm_mday, wall.tm_hour, wall.tm_min, wall.tm_sec);
  return buf;
}

std::string attributeLetters(std::uint8_t attributes) {
  static constexpr char kLetters[] = "ARHSCE";
  std::string out;
  for (int i = 0; i < 6; ++i)
    if ((attributes & (1u << i)) != 0) out.push_back(kLetters[i]);
  return out;
}

const char* kindName(std::uint32_t kind) {
  if (kind == kKindRaw) return "raw";  // the JSON's name for what the engine calls unformatted
  const char* name = nullptr;
  if (!Undelete_FileSystemKindToName(kind, &name)) return "unknown";
  return std::string_view(name) == "EXFAT" ? "exFAT" : name;  // the JSON's spelling since it came
}

namespace {
/// Code points of UTF-8 text, letters folded to lower case (ASCII and Latin-1 letters).
std::u32string foldedCodePoints(std::string_view text) {
  const std::string valid = sanitizeUtf8(text);
  std::u32string out;
  const auto* p = reinterpret_cast<const unsigned char*>(valid.data());
  for (std::size_t i = 0; i < valid.size();) {
    char32_t cp = p[i];
    std::size_t len = cp < 0x80 ? 1 : cp < 0xE0 ? 2 : cp < 0xF0 ? 3 : 4;
    if (len > 1) {
      cp &= 0x7Fu >> len;
      for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3Fu);
    }
    if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)) cp += 0x20;
    out.push_back(cp);
    i += len;
  }
  return out;
}

bool matchFolded(std::u32string_view pat, std::u32string_view name) {
  // Iterative match with one backtrack point for the last '*'.
  std::size_t p = 0, n = 0, star = std::u32string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pat.size() && (pat[p] == U'?' || pat[p] == name[n])) {
      ++p, ++n;
    } else if (p < pat.size() && pat[p] == U'*') {
      star = p++;
      mark = n;
    } else if (star != std::u32string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == U'*') ++p;
  return p == pat.size();
}
}  // namespace

bool wildcardMatch(std::string_view pattern, std::string_view name) {
  return matchFolded(foldedCodePoints(pattern), foldedCodePoints(name));
}

bool matchesAnyPattern(std::string_view patterns, std::string_view name) {
  const std::u32string folded = foldedCodePoints(name);
  while (true) {
    const std::size_t semi = patterns.find(';');
    const std::string_view one = patterns.substr(0, semi);
    if (!one.empty() && matchFolded(foldedCodePoints(one), folded)) return true;
    if (semi == std::string_view::npos) return false;
    patterns.remove_prefix(semi + 1);
  }
}

std::optional<std::uint32_t> parseStateList(std::string_view list) {
  std::uint32_t mask = 0;
  while (true) {
    const std::size_t comma = list.find(',');
    std::string_view one = list.substr(0, comma);
    while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
    if (!one.empty()) {
      bool found = false;
      for (std::uint32_t s = 0; s <= kStateExisting && !found; ++s) {
        const char* name = nullptr;
        if (!Undelete_GetFileState(s, &name)) continue;
        const std::string_view n(name);
        if (n.size() == one.size() &&
            std::equal(n.begin(), n.end(), one.begin(), [](char a, char b) {
              return std::tolower(static_cast<unsigned char>(a)) ==
                     std::tolower(static_cast<unsigned char>(b));
            })) {
          mask |= 1u << s;
          found = true;
        }
      }
      if (!found) return std::nullopt;
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (mask == 0) return std::nullopt;
  return mask;
}

std::string safeComponent(std::string_view name) {
  std::string out;
  for (const char ch : sanitizeUtf8(name)) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(c < 0x20 || c == 0x7F || c == '/' ? '_' : ch);
  }
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() + 1, '_');
  if (out.size() > 255) {
    // Cut on a character boundary, keeping a short extension.
    std::string ext;
    const std::size_t dot = out.rfind('.');
    if (dot != std::string::npos && out.size() - dot <= 16) ext = out.substr(dot);
    std::size_t keep = 255 - ext.size();
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    out = out.substr(0, keep) + ext;
  }
  return out;
}

std::string printable(std::string_view text) {
  std::string out = sanitizeUtf8(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string numberedName(std::string_view name, unsigned n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  std::size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string_view::npos) dot = name.size();  // ".profile": no extension
  return std::string(name.substr(0, dot)) + suffix + std::string(name.substr(dot));
}

}  // namespace kvx
