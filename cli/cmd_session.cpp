// kvx session: describes the saved session of an interrupted scan (LastSession.Results in the
// current folder) and continues it, listing the results as kvx scan does.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "scan_output.h"
#include "scan_session.h"
#include "session_prompt.h"

namespace {

using kvx::ScanSession;

constexpr const char* kSessionFile = "LastSession.Results";

struct SessionArgs {
  std::string verb;
  kvx::ScanOptions options;
  kvx::ScanQuestions questions;
  kvx::ListingOptions listing;
  std::vector<std::pair<char, std::string>> drives;  // --drive L=SOURCE
};

/// Parses "L=SOURCE" (also "L:=SOURCE"); false when it is not of that form.
bool parseDrive(const std::string& text, std::pair<char, std::string>& out) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq > 2 || eq + 1 >= text.size()) return false;
  if (eq == 2 && text[1] != ':') return false;
  const char c = text[0];
  if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  out = {static_cast<char>(c & ~0x20), text.substr(eq + 1)};
  return true;
}

/// Exit code of a usage error, or -1 when @p args parsed.
int parseArgs(const kvx::Args& args, SessionArgs& out) {
  out.verb = args.positionals()[0];
  const bool resume = out.verb == "resume";
  for (const auto& [name, value] : args.given()) {
    if (name == "--drive") {
      std::pair<char, std::string> drive;
      if (!parseDrive(value, drive))
        return kvx::usageError("session",
                               "--drive " + value + ": expected L=SOURCE, as E=/path/usb.img");
      out.drives.push_back(drive);
    } else if (!resume) {
      return kvx::usageError("session", name + " belongs to session resume");
    }
  }
  std::string error;
  if (resume && (!kvx::scanOptionsFromArgs(args, out.options, &error) ||
                 !kvx::listingFromArgs(args, out.listing, &error)))
    return kvx::usageError("session", error);
  out.options.json = out.listing.format == kvx::ListFormat::Json;
  kvx::saveFlagsFromArgs(args, out.questions);
  if (out.questions.saveConflict)
    return kvx::usageError("session", "--save and --no-save contradict each other");
  return -1;
}

/// Maps the --drive sources to their letters for this run; false (message written) on failure.
bool mapDrives(const SessionArgs& a) {
  for (const auto& [letter, source] : a.drives) {
    std::error_code ec;
    if (!std::filesystem::exists(source, ec)) {
      std::fprintf(stderr, "kvx session: %s: no such file or device\n", source.c_str());
      return false;
    }
    char used = 0;
    if (!Undelete_AddDrive(source.c_str(), letter, &used) || used != letter) {
      std::uint32_t code = 0;
      (void)Undelete_GetHostError(&code, nullptr, 0);
      std::fprintf(stderr, "kvx session: %s cannot be used as drive %c: (error 0x%08X)\n",
                   source.c_str(), letter, code);
      return false;
    }
  }
  return true;
}

/// Where the engine looks for the session: the current folder when the engine object was made.
std::string sessionFilePath() {
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string(kSessionFile) : (cwd / kSessionFile).string();
}

/// The engine's description with its '#' sections as blank-line-separated blocks.
std::string sectionsAsBlocks(const std::string& description) {
  std::string out;
  for (const char c : description) {
    if (c == '#')
      out += "\n\n";
    else
      out += c;
  }
  // Each section starts its drive lines on a new line already: no blank line twice.
  std::string tidy;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\n' && tidy.size() >= 2 && tidy[tidy.size() - 1] == '\n' &&
        tidy[tidy.size() - 2] == '\n')
      continue;
    tidy += out[i];
  }
  while (!tidy.empty() && tidy.back() == '\n') tidy.pop_back();
  return tidy + "\n";
}

struct Description {
  bool ok = false;
  bool allDrivesPresent = false;
  std::string text;
  std::string gone;  // the engine's words on remembered sources that are no longer there
};

Description describe(Undelete* u) {
  Description d;
  std::vector<char> text(64 * 1024, '\0');
  int all = 0;
  d.ok = Undelete_GetSessionInfo(u, text.data(), static_cast<int>(text.size()), &all, nullptr) == 1;
  d.allDrivesPresent = all == 1;
  d.text = text.data();
  char detail[2048];
  if (!d.allDrivesPresent && Undelete_GetHostError(nullptr, detail, sizeof detail)) d.gone = detail;
  return d;
}

/// Why drives of the session are missing: the moved sources when the engine remembered them.
std::string missingReason(const Description& d) {
  return d.gone.empty() ? std::string() : " (" + kvx::printable(d.gone) + ")";
}

/// Says why there is no session to describe or continue.
void explainMissing() {
  const std::string path = sessionFilePath();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec))
    std::fprintf(stderr, "kvx session: no saved session here (%s does not exist)\n", path.c_str());
  else
    std::fprintf(stderr, "kvx session: %s is not a complete session file; it cannot be used\n",
                 path.c_str());
}

/// The session's drives that are not present today, as "E:, F:".
std::string missingDrives(const std::string& description) {
  std::string out;
  std::size_t at = 0;
  while ((at = description.find(" (not found)", at)) != std::string::npos) {
    if (at >= 2 && description[at - 1] == ':') {
      if (!out.empty()) out += ", ";
      out += description.substr(at - 2, 2);
    }
    at += 1;
  }
  return out;
}

/// Describes the saved session through @p session's engine; false (with the reason on stderr)
/// when there is no engine or no usable session file.
bool describeSaved(ScanSession& session, Description* d) {
  if (session.engine() == nullptr) {
    std::fprintf(stderr, "kvx session: cannot create the engine object\n");
    return false;
  }
  *d = describe(session.engine());
  if (!d->ok) explainMissing();
  return d->ok;
}

int infoCommand(const SessionArgs& a) {
  ScanSession session;
  Description d;
  if (!describeSaved(session, &d)) return kvx::kExitFailed;
  // Titles come from the file: shown without control characters, line by line.
  const std::string blocks = sectionsAsBlocks(d.text);
  std::size_t start = 0;
  while (start < blocks.size()) {
    const std::size_t end = blocks.find('\n', start);
    std::printf("%s\n", kvx::printable(blocks.substr(start, end - start)).c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!d.allDrivesPresent)
    std::fprintf(stderr,
                 "kvx session: drive %s of the session is not present%s; map it with "
                 "--drive L=SOURCE to continue\n",
                 missingDrives(d.text).c_str(), missingReason(d).c_str());
  (void)a;
  return kvx::kExitOk;
}

int resumeCommand(SessionArgs& a) {
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  ScanSession session;
  Description d;
  if (!describeSaved(session, &d)) return kvx::kExitFailed;
  if (!d.allDrivesPresent) {
    std::fprintf(stderr,
                 "kvx session: cannot continue: drive %s of the session is not present%s; map "
                 "it with --drive L=SOURCE\n",
                 missingDrives(d.text).c_str(), missingReason(d).c_str());
    return kvx::kExitFailed;
  }

  a.options.resume = true;
  a.options.saveCallback = kvx::askSaveSession;
  a.options.memoryCallback = kvx::askStopOnLowMemory;
  a.options.callbackArg = &a.questions;
  bool cancelled = false;
  std::string error;
  if (!session.run(a.options, &cancelled, &error)) {
    std::fprintf(stderr, "kvx session: the session could not be continued: %s\n", error.c_str());
    return kvx::kExitFailed;
  }

  std::uint32_t code = 0;
  Undelete_GetError(session.engine(), &code);
  std::string message = code == 0 ? "No errors." : session.engineError();
  if (a.listing.format == kvx::ListFormat::Json)
    kvx::writeScanJson(session, code, message, stdout, a.listing);
  else if (a.listing.format == kvx::ListFormat::Jsonl)
    kvx::writeScanJsonLines(session, stdout, a.listing);
  else
    kvx::writeScanTable(session, stdout, a.listing);
  std::fflush(stdout);
  std::uint32_t files = 0, deleted = 0;
  Undelete_GetFilesCount(session.engine(), &files);
  Undelete_GetDeletedCount(session.engine(), &deleted);
  std::fprintf(stderr, "%u files (%u deleted), %u folders%s\n", files, deleted,
               session.folderCount(), cancelled ? "; scan cancelled" : "");
  if (code != 0 && !cancelled) std::fprintf(stderr, "kvx session: %s\n", message.c_str());
  const bool deep = d.text.find("Deep scan: Yes") != std::string::npos;
  return cancelled || kvx::scanFailed(code, deep ? kOptDeepScan : 0) ? kvx::kExitFailed
                                                                     : kvx::kExitOk;
}

int sessionCommand(const kvx::Args& args) {
  SessionArgs a;
  if (const int usage = parseArgs(args, a); usage >= 0) return usage;
  if (!mapDrives(a)) return kvx::kExitFailed;
  return a.verb == "info" ? infoCommand(a) : resumeCommand(a);
}

const kvx::Registration reg{
    {"session",
     "describe or continue the saved session of an interrupted scan (LastSession.Results here)",
     {{"VERB", "info describes the saved session; resume continues it and lists the results as "
               "kvx scan does.",
       true, kvx::Complete::Choices, "info resume"}},
     [] {
       std::vector<kvx::Option> v{
           {"--drive", "L=SOURCE",
            "Give drive letter L of the session as SOURCE for this run (repeatable), as "
            "--drive E=/path/usb.img.",
            kvx::Complete::File}};
       for (const auto& o : kvx::listingOptionDecls()) v.push_back(o);
       for (const auto& o : kvx::filterOptionDecls()) v.push_back(o);
       for (const auto& o : kvx::saveOptionDecls()) v.push_back(o);
       return v;
     }(),
     "Every option but --drive belongs to resume. Exit code 1 when there is no usable session, a\n"
     "drive of it is missing, or the continued scan fails.",
     sessionCommand}};

}  // namespace
