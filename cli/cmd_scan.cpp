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

int scanCommand(const kvx::Args& args) {
  kvx::ScanOptions options;
  kvx::ScanQuestions questions;
  kvx::ListingOptions listing;
  std::string error;
  if (!kvx::scanOptionsFromArgs(args, options, &error) ||
      !kvx::listingFromArgs(args, listing, &error))
    return kvx::usageError("scan", error);
  kvx::saveFlagsFromArgs(args, questions);
  if (questions.saveConflict)
    return kvx::usageError("scan", "--save and --no-save contradict each other");
  options.source = args.positionals()[0];
  options.json = listing.format == kvx::ListFormat::Json;

  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  ScanSession session;
  options.saveCallback = kvx::askSaveSession;
  options.memoryCallback = kvx::askStopOnLowMemory;
  options.callbackArg = &questions;
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
  std::uint64_t listed = 0;
  if (listing.format == kvx::ListFormat::Json)
    listed = kvx::writeScanJson(session, e.code, e.message, stdout, listing, options.source);
  else if (listing.format == kvx::ListFormat::Jsonl)
    listed = kvx::writeScanJsonLines(session, stdout, listing);
  else
    listed = kvx::writeScanTable(session, stdout, listing);

  std::uint32_t files = 0, deleted = 0;
  Undelete_GetFilesCount(session.engine(), &files);
  Undelete_GetDeletedCount(session.engine(), &deleted);
  std::fprintf(stderr, "%u files (%u deleted), %u folders; %llu listed%s\n", files, deleted,
               session.folderCount(), static_cast<unsigned long long>(listed),
               cancelled ? "; scan cancelled" : "");
  if (e.code != 0 && !cancelled) std::fprintf(stderr, "kvx scan: %s\n", e.message.c_str());
  return cancelled || kvx::scanFailed(e.code, options.engineOptions) ? kvx::kExitFailed
                                                                     : kvx::kExitOk;
}

const kvx::Registration reg{{
    "scan",
    "list existing and deleted files of a drive, image or device",
    {{"SOURCE", "An image file, a block device or a drive letter (E:)."}},
    kvx::joinOptions({&kvx::scanOptionDecls(), &kvx::filterOptionDecls(),
                      &kvx::listingOptionDecls(), &kvx::saveOptionDecls()}),
    "The table has one line per file: ID (the file's id for this scan: kvx recover --id, kvx cat),\n"
    "LOCATION (where its data is: mft:N its MFT record on NTFS, the inode fls and istat show;\n"
    "cluster:N its first cluster on FAT and exFAT; offset:N the byte offset of its data from the\n"
    "start of its volume for files found by content and on CD/DVD; - none kept), D (* deleted),\n"
    "SIZE in bytes, STATE, OVERWRITTEN (overwritten/total clusters), MODIFIED (ISO 8601 with the\n"
    "zone offset; - when the record holds no time), ATTR and PATH. Every column but PATH is free of\n"
    "spaces; --tsv separates fields with tabs. JSON has the one location key that applies:\n"
    "mftRecord, firstCluster or offset. Progress and the count of files go to standard error.\n"
    "Exit codes: 0 ok, 1 the scan failed or was cancelled, 2 usage error.",
    scanCommand}};

}  // namespace
