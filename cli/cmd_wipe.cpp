// kvx wipe-file, wipe-free, wipe-drive: destroy found files, the free space of a volume, or a
// whole drive. Each says what it will destroy, asks on a terminal (--yes in scripts), shows
// progress and ends with a summary; the exit code is 1 when anything failed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "scan_output.h"
#include "scan_session.h"
#include "undelete/undelete.h"

namespace {

/// Passes a method is meant for: zeros and random bytes once, the others their whole table.
constexpr std::uint32_t kDefaultPasses[] = {1, 1, 3, 7, 35};

struct WipeOptions {
  std::string source;
  std::uint32_t method = 0;
  std::optional<std::uint32_t> passes;
  bool yes = false;
  bool exclusive = false;
  bool entries = false;
  std::string path;
  std::vector<std::uint32_t> ids;
  std::vector<std::string> patterns;
  bool byId = false;
  kvx::ScanOptions scan;
};

std::optional<std::uint32_t> number(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return v;
}

/// Takes the wipe options from @p args; false (message printed) on a bad value.
bool parse(const char* name, const kvx::Args& args, WipeOptions& o, bool fileCommand) {
  std::string why;
  o.yes = args.has("--yes");
  o.entries = args.has("--entries");
  o.exclusive = args.has("--exclusive");
  if (const auto v = args.value("--method")) {
    const auto m = number(*v);
    if (!m || *m > 4) why = "--method takes 0..4";
    else o.method = *m;
  }
  if (const auto v = args.value("--passes")) {
    const auto p = number(*v);
    if (!p || *p == 0 || *p > 1000) why = "--passes takes 1..1000";
    else o.passes = p;
  }
  if (fileCommand && why.empty()) {
    kvx::FileFilter filter;
    if (!kvx::filterFromArgs(args, false, filter, &why) ||
        !kvx::scanOptionsFromArgs(args, o.scan, &why)) {
    } else {
      o.ids = filter.ids;
      o.patterns = filter.patterns;
      o.byId = args.has("--id");
    }
  }
  o.source = args.positionals()[0];
  if (args.positionals().size() > 1) o.path = args.positionals()[1];
  if (why.empty() && fileCommand) {
    const int ways = int(!o.path.empty()) + int(o.byId) + int(!o.patterns.empty());
    if (ways != 1) why = "name the files one way: PATH, --id LIST or --pattern LIST";
  }
  if (!why.empty()) {
    kvx::usageError(name, why);
    return false;
  }
  return true;
}

/// Asks on a terminal; without one, --yes is required.
bool confirm(const WipeOptions& o, const char* name, const std::string& what) {
  if (o.yes) return true;
  if (::isatty(STDIN_FILENO) != 1) {
    std::fprintf(stderr, "kvx %s: not on a terminal; add --yes to destroy %s\n", name,
                 what.c_str());
    return false;
  }
  std::fprintf(stderr, "This destroys %s beyond recovery. Type 'yes' to go on: ", what.c_str());
  std::fflush(stderr);
  std::string answer;
  std::getline(std::cin, answer);
  return answer == "yes";
}

std::string engineMessage(Undelete* u) {
  std::uint32_t code = 0;
  Undelete_GetError(u, &code);
  const char* text = nullptr;
  if (code != 0 && Undelete_GetErrorMessage(u, &text) && text != nullptr && text[0] != 0)
    return text;
  char buf[32];
  std::snprintf(buf, sizeof buf, "error 0x%08X", code);
  return code != 0 ? buf : "failed";
}

void applyMethod(Undelete* u, const WipeOptions& o) {
  Undelete_SetWipeMethod(u, o.method, o.passes.value_or(kDefaultPasses[o.method]));
}

std::string methodText(const WipeOptions& o) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "method %u, %u pass%s", o.method,
                o.passes.value_or(kDefaultPasses[o.method]),
                o.passes.value_or(kDefaultPasses[o.method]) == 1 ? "" : "es");
  return buf;
}

std::string normalise(std::string p) {
  for (auto& c : p)
    if (c == '\\') c = '/';
  while (!p.empty() && p.front() == '/') p.erase(0, 1);
  if (p.size() >= 2 && p[1] == ':') p.erase(0, 2);
  while (!p.empty() && p.front() == '/') p.erase(0, 1);
  return p;
}

// --- wipe-file ----------------------------------------------------------------------------------

int wipeFileCommand(const kvx::Args& args) {
  WipeOptions o;
  if (!parse("wipe-file", args, o, true)) return kvx::kExitUsage;
  kvx::ScanSession session;
  std::string error;
  bool cancelled = false;
  // A whole disk is scanned volume by volume, as kvx scan does, so that PATH reads as it lists it.
  o.scan.source = o.source;
  if (!session.resolveSource(o.scan, &error) || !session.run(o.scan, &cancelled, &error)) {
    std::fprintf(stderr, "kvx wipe-file: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  if (cancelled) {
    std::fprintf(stderr, "kvx wipe-file: scan cancelled, nothing wiped\n");
    return kvx::kExitFailed;
  }
  struct Target {
    std::uint32_t index;
    std::string path;
  };
  std::vector<Target> targets;
  // PATH without the volume prefix of a disk ("DIR/x" for "p2/DIR/x"): taken only when one
  // volume has it, since a wipe cannot be undone.
  std::vector<Target> unprefixed;
  const std::string wanted = normalise(o.path);
  kvx::PathMaker paths(session);
  for (std::uint32_t i = 0; i < session.fileCount(); ++i) {
    const FileRecord* r = session.file(i);
    if (r == nullptr || (r->marks.get() & 1) != 0) continue;
    const std::string name = session.text(r->name.get());
    const std::string path = paths.file(r->folder.get(), name, kvx::PathStyle::Native);
    const bool match = o.byId                ? std::binary_search(o.ids.begin(), o.ids.end(), i)
                       : !o.patterns.empty() ? std::any_of(o.patterns.begin(), o.patterns.end(),
                                                           [&](const std::string& p) {
                                                             return kvx::wildcardMatch(
                                                                 p, p.find('/') != std::string::npos
                                                                        ? std::string_view(path)
                                                                        : std::string_view(name));
                                                           })
                                             : path == wanted;
    if (match) {
      targets.push_back({i, path});
    } else if (!o.byId && o.patterns.empty()) {
      const auto chain = session.folderChain(r->folder.get());
      const std::string volume = chain.empty() ? std::string() : session.rootDirectory(chain[0]);
      if (!volume.empty() && path == volume + "/" + wanted) unprefixed.push_back({i, path});
    }
  }
  if (targets.empty() && !unprefixed.empty()) {
    const auto volumeOf = [](const std::string& p) { return p.substr(0, p.find('/')); };
    const bool oneVolume = std::all_of(unprefixed.begin(), unprefixed.end(), [&](const Target& t) {
      return volumeOf(t.path) == volumeOf(unprefixed[0].path);
    });
    if (!oneVolume) {
      std::fprintf(stderr,
                   "kvx wipe-file: %s is on several volumes; name one as kvx scan lists it:\n",
                   kvx::printable(o.path).c_str());
      for (const auto& t : unprefixed)
        std::fprintf(stderr, "  %s\n", kvx::printable(t.path).c_str());
      return kvx::kExitFailed;
    }
    targets = std::move(unprefixed);
  }
  if (targets.empty()) {
    std::fprintf(stderr, "kvx wipe-file: no listed file matches\n");
    return kvx::kExitFailed;
  }
  std::uint64_t bytes = 0;
  for (const auto& t : targets) {
    const FileRecord* r = session.file(t.index);
    bytes += r->size.get();
    std::fprintf(stderr, "will destroy: [%u] %s (%s, %" PRIu64 " bytes)\n", t.index,
                 kvx::printable(t.path).c_str(),
                 (r->status & kStatusExisting) != 0 ? "existing" : "deleted", r->size.get());
  }
  const std::string what = std::to_string(targets.size()) + " file(s), " + std::to_string(bytes) +
                           " bytes, with " + methodText(o);
  if (!confirm(o, "wipe-file", what)) return kvx::kExitFailed;

  Undelete* u = session.engine();
  applyMethod(u, o);
  std::atomic<std::size_t> current{0};
  std::atomic<bool> finished{false}, stop{false};
  std::vector<std::string> failures(targets.size());
  std::vector<char> done(targets.size(), 0);
  std::atomic<std::uint32_t> wiped{0};
  std::thread worker([&] {
    for (std::size_t k = 0; k < targets.size() && !stop.load(); ++k) {
      current = k;
      if (Undelete_WipeFile(u, targets[k].index, o.exclusive ? 1 : 0) != 0 && !stop.load()) {
        ++wiped;
        done[k] = 1;
      } else {
        failures[k] = stop.load() ? "cancelled" : engineMessage(u);
      }
    }
    finished = true;
  });
  {
    kvx::InterruptGuard interrupts;
    kvx::ProgressLine progress;
    while (!finished.load()) {
      if (interrupts.count() > 0 && !stop.load()) {
        stop = true;
        Undelete_Cancel(u);
        progress.line("kvx: stopping at the next chunk");
      }
      std::uint64_t bytesDone = 0;
      Undelete_GetBytesProcessed(u, &bytesDone);
      char text[128];
      std::snprintf(text, sizeof text, "Wiping file %zu of %zu: %" PRIu64 " bytes",
                    std::min(current.load() + 1, targets.size()), targets.size(), bytesDone);
      progress.update(text);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    worker.join();
    progress.done();
  }
  std::uint32_t failed = 0;
  for (std::size_t k = 0; k < targets.size(); ++k) {
    if (done[k] != 0) {
      std::printf("wiped: %s\n", kvx::printable(targets[k].path).c_str());
    } else if (!failures[k].empty()) {
      ++failed;
      std::fprintf(stderr, "kvx wipe-file: %s: %s\n", kvx::printable(targets[k].path).c_str(),
                   failures[k].c_str());
    }
  }
  std::printf("%u wiped, %u failed\n", wiped.load(), failed);
  return failed == 0 && !stop.load() ? kvx::kExitOk : kvx::kExitFailed;
}

// --- wipe-free and wipe-drive -------------------------------------------------------------------

/// Runs a started wipe thread to its end with progress; Ctrl-C cancels it.
bool waitForWipe(Undelete* u, const char* label, bool* cancelled) {
  kvx::InterruptGuard interrupts;
  kvx::ProgressLine progress;
  std::uint32_t position = 0, total = 0;
  while (Undelete_GetWipeProgress(u, &position, &total) != 0) {
    if (interrupts.count() > 0 && !*cancelled) {
      *cancelled = true;
      Undelete_Cancel(u);
      progress.line("kvx: stopping at the next chunk");
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s: %u.%02u%%", label, position / 100, position % 100);
    progress.update(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  progress.done();
  std::uint32_t code = 0;
  Undelete_GetError(u, &code);
  return code == 0;
}

int reportLine(void*, const char* line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::fprintf(stderr, "%s\n", text.c_str());
  return 1;
}

int volumeCommand(const kvx::Args& args, bool drive) {
  const char* name = drive ? "wipe-drive" : "wipe-free";
  WipeOptions o;
  if (!parse(name, args, o, false)) return kvx::kExitUsage;
  kvx::ScanSession session;
  std::string error;
  if (!session.resolveSource(o.source, &error)) {
    std::fprintf(stderr, "kvx %s: %s\n", name, error.c_str());
    return kvx::kExitFailed;
  }
  const std::string what =
      drive
          ? std::string("every byte of drive ") + session.letter() + ": (" + o.source + ")"
          : std::string("the free space") + (o.entries ? " and the entries of deleted files" : "") +
                " of drive " + session.letter() + ": (" + o.source + ")";
  std::fprintf(stderr, "will destroy: %s, with %s\n", what.c_str(), methodText(o).c_str());
  if (!confirm(o, name, what)) return kvx::kExitFailed;
  Undelete* u = session.engine();
  Undelete_SetVerbose(u, reportLine, nullptr);
  applyMethod(u, o);
  const std::uint32_t driveSpec = static_cast<std::uint32_t>(session.letter() - 'A');
  const int started = drive ? Undelete_WipeMultiple(u, &driveSpec, 1)
                            : Undelete_WipeFreeSpace(u, &driveSpec, 1, o.entries ? 1 : 0, 0);
  if (started == 0) {
    std::fprintf(stderr, "kvx %s: %s\n", name, engineMessage(u).c_str());
    return kvx::kExitFailed;
  }
  bool cancelled = false;
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = waitForWipe(u, drive ? "Wiping drive" : "Wiping free space", &cancelled);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!ok) {
    std::fprintf(stderr, "kvx %s: %s\n", name, engineMessage(u).c_str());
    std::printf("%s: failed after %.1f s\n", name, s);
    return kvx::kExitFailed;
  }
  std::printf("%s: %s in %.1f s\n", name, cancelled ? "cancelled" : "done", s);
  return cancelled ? kvx::kExitFailed : kvx::kExitOk;
}

int wipeFreeCommand(const kvx::Args& args) { return volumeCommand(args, false); }
int wipeDriveCommand(const kvx::Args& args) { return volumeCommand(args, true); }

const std::vector<kvx::Option>& wipeOptionDecls() {
  static const std::vector<kvx::Option> v{
      {"--method", "M",
       "How to overwrite: 0 zeros (default), 1 random bytes, 2 a byte, its complement and a "
       "new byte (3 passes), 3 seven passes, 4 the 35-pass table."},
      {"--passes", "N", "Passes to make (1..1000); by default what the method is meant for."},
      {"--yes", nullptr, "Do not ask; required when standard input is not a terminal.",
       kvx::Complete::None, nullptr, "-y"},
  };
  return v;
}

std::vector<kvx::Option> wipeFileOptions() {
  std::vector<kvx::Option> v;
  for (const auto& o : kvx::filterOptionDecls())
    if (std::string_view(o.name) == "--pattern" || std::string_view(o.name) == "--id")
      v.push_back(o);
  v.push_back({"--exclusive", nullptr,
               "Open an existing file without sharing it for writing while it is wiped."});
  const auto rest = kvx::joinOptions({&kvx::scanOptionDecls(), &wipeOptionDecls()});
  v.insert(v.end(), rest.begin(), rest.end());
  return v;
}

const char* const kWipeDetails =
    "Says what it will destroy and asks first. Exit code 1 when anything failed or was cancelled.";

const kvx::Registration regFile{
    {"wipe-file", "scan, then destroy the chosen files (deleted or existing)",
     {{"SOURCE", "An image file, a block device or a drive letter (E:)."},
      {"PATH",
       "The file's path as kvx scan lists it, with the volume prefix p1/, p2/ ... on a disk (or "
       "give --id or --pattern instead). Without the prefix, a path only one volume has is taken.",
       false, kvx::Complete::None}},
     wipeFileOptions(),
     kWipeDetails,
     wipeFileCommand}};
const kvx::Registration regFree{
    {"wipe-free",
     "overwrite every free cluster (and with --entries the entries of deleted files)",
     {{"SOURCE", "An image file, a block device or a drive letter (E:)."}},
     [] {
       auto v = wipeOptionDecls();
       v.insert(v.begin(), {"--entries", nullptr, "Also wipe the entries of deleted files, so "
                                                  "that not even their names are left."});
       return v;
     }(),
     kWipeDetails, wipeFreeCommand}};
const kvx::Registration regDrive{
    {"wipe-drive", "overwrite every byte of a drive or image",
     {{"SOURCE", "An image file, a block device or a drive letter (E:)."}}, wipeOptionDecls(),
     kWipeDetails, wipeDriveCommand}};

}  // namespace
