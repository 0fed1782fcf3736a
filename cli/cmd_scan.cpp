// kvx scan: scans one drive, image or device and lists what it found, as a table or as JSON.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "scan_output.h"
#include "scan_session.h"
#include "session_prompt.h"

namespace {

using kvx::ScanSession;

struct EngineError {
  std::uint32_t code = 0;
  std::string message;
};

EngineError engineError(const ScanSession& s) {
  EngineError e;
  Undelete_GetError(s.engine(), &e.code);
  e.message = s.engineError();
  if (e.code == 0) e.message = "No errors.";
  return e;
}

int scanCommand(const std::vector<std::string>& rawArgs) {
  const std::vector<std::string> args = kvx::joinFlagValues(rawArgs);
  kvx::ScanOptions options;
  kvx::ScanQuestions questions;
  for (const auto& a : args) {
    if (kvx::parseScanFlag(a, options) || kvx::parseSaveFlag(a, questions)) continue;
    if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kvx scan: unknown option %s\n", a.c_str());
      return kvx::kExitUsage;
    }
    if (!options.source.empty()) {
      std::fprintf(stderr, "kvx scan: one SOURCE only\n");
      return kvx::kExitUsage;
    }
    options.source = a;
  }
  if (questions.saveConflict) {
    std::fprintf(stderr, "kvx scan: --save and --no-save contradict each other\n");
    return kvx::kExitUsage;
  }
  if (options.source.empty()) {
    std::fprintf(stderr, "usage: kvx scan SOURCE %s [--json] [--report] %s\n",
                 kvx::kScanFlagsUsage, kvx::kSaveFlagsUsage);
    return kvx::kExitUsage;
  }

  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  ScanSession session;
  questions.session = &session;
  questions.source = options.source;
  options.saveCallback = kvx::askSaveSession;
  options.memoryCallback = kvx::askStopOnLowMemory;
  options.callbackArg = &questions;
  std::string error;
  bool cancelled = false;
  if (!session.resolveSource(options, &error) || !session.run(options, &cancelled, &error)) {
    std::fprintf(stderr, "kvx scan: %s\n", error.c_str());
    if (options.json) {
      EngineError e = engineError(session);
      if (e.code == 0) e.message = error;
      kvx::JsonWriter w(stdout);
      w.beginObject();
      w.key("drives").beginArray();
      w.endArray();
      w.key("files").beginArray();
      w.endArray();
      w.key("folders").beginArray();
      w.endArray();
      w.key("error").beginObject();
      w.key("code").unsignedNumber(e.code);
      w.key("message").string(e.message);
      w.endObject();
      w.endObject();
      w.finish();
    }
    return kvx::kExitFailed;
  }
  // Read the scan's error before the drive descriptions: describing a drive recognises it again.
  const EngineError e = engineError(session);
  if (options.json) kvx::writeScanJson(session, e.code, e.message, stdout);
  else kvx::writeScanTable(session, stdout);

  std::uint32_t files = 0, deleted = 0;
  Undelete_GetFilesCount(session.engine(), &files);
  Undelete_GetDeletedCount(session.engine(), &deleted);
  std::fprintf(stderr, "%u files (%u deleted), %u folders%s\n", files, deleted,
               session.folderCount(), cancelled ? "; scan cancelled" : "");
  if (e.code != 0 && !cancelled) std::fprintf(stderr, "kvx scan: %s\n", e.message.c_str());
  return cancelled || kvx::scanFailed(e.code, options.engineOptions) ? kvx::kExitFailed
                                                                     : kvx::kExitOk;
}

const kvx::Registration reg{{"scan", "scan SOURCE [--deep] [--test-ext] [--rename-ext] [--test-all] [--json] [--report] [--save|--no-save]",
                             "list existing and deleted files of a drive, image or device", scanCommand}};

}  // namespace
