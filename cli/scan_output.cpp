// Writing a scan's results: the table and TSV of kvx scan, its JSON document and JSON lines,
// streamed record by record, and the filters that pick the files.
#include "scan_output.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json_writer.h"

namespace kvx {

// --- Filters ------------------------------------------------------------------------------------

bool FileFilter::needsPath() const {
  return std::any_of(patterns.begin(), patterns.end(),
                     [](const std::string& p) { return p.find('/') != std::string::npos; });
}

bool FileFilter::matches(std::uint32_t index, const FileRecord& r, std::string_view name,
                         std::string_view nativePath) const {
  const bool existing = (r.status & kStatusExisting) != 0;
  if (existing && (deletedOnly || !includeExisting)) return false;
  if (states && (*states & (1u << stateOf(r))) == 0) return false;
  if (!ids.empty() && !std::binary_search(ids.begin(), ids.end(), index)) return false;
  if (patterns.empty()) return true;
  for (const auto& p : patterns)
    if (wildcardMatch(p, p.find('/') != std::string::npos ? nativePath : name)) return true;
  return false;
}

bool filterFromArgs(const Args& args, bool recover, FileFilter& filter, std::string* error) {
  filter.deletedOnly = args.has("--deleted");
  filter.includeExisting = !recover || args.has("--all");
  if (recover && filter.deletedOnly && args.has("--all")) {
    *error = "--deleted and --all contradict each other";
    return false;
  }
  for (const auto& v : args.values("--pattern"))
    for (auto& p : splitList(v, true)) {
      // A leading "/" anchors at the volume root, which native paths leave out.
      while (p.size() > 1 && p[0] == '/') p.erase(0, 1);
      filter.patterns.push_back(std::move(p));
    }
  if (args.has("--pattern") && filter.patterns.empty()) {
    *error = "--pattern needs at least one pattern";
    return false;
  }
  for (const auto& v : args.values("--state")) {
    const auto states = parseStateList(v);
    if (!states) {
      *error = "unknown state in '" + v +
               "' (Excellent, Good, Poor, Bad, Unrecoverable, Existing; see kvx help states)";
      return false;
    }
    filter.states = filter.states.value_or(0) | *states;
  }
  for (const auto& v : args.values("--id")) {
    const auto items = splitList(v);
    if (items.empty()) {
      *error = "--id needs at least one id";
      return false;
    }
    for (const auto& item : items) {
      std::uint32_t id = 0;
      const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), id);
      if (ec != std::errc() || end != item.data() + item.size()) {
        *error = "--id takes ids as kvx scan lists them (numbers), not '" + item + "'";
        return false;
      }
      filter.ids.push_back(id);
    }
  }
  std::sort(filter.ids.begin(), filter.ids.end());
  // Files named by id are taken whatever they are: naming one is choosing it.
  if (!filter.ids.empty() && !filter.deletedOnly) filter.includeExisting = true;
  return true;
}

bool listingFromArgs(const Args& args, ListingOptions& listing, std::string* error) {
  const int formats = int(args.has("--json")) + int(args.has("--jsonl")) + int(args.has("--tsv"));
  if (formats > 1) {
    *error = "--json, --jsonl and --tsv are different outputs; give one";
    return false;
  }
  listing.format = args.has("--json")    ? ListFormat::Json
                   : args.has("--jsonl") ? ListFormat::Jsonl
                   : args.has("--tsv")   ? ListFormat::Tsv
                                         : ListFormat::Table;
  listing.paths = args.value("--path-style") == "windows" ? PathStyle::Windows : PathStyle::Native;
  return filterFromArgs(args, false, listing.filter, error);
}

// --- Paths --------------------------------------------------------------------------------------

void PathMaker::load(std::uint32_t folder) {
  if (folder == m_folder) return;
  m_folder = folder;
  m_native.clear();
  m_location.clear();
  m_windows = m_s.folderPath(folder);
  m_hidden = m_s.folderHidden(folder);
  const auto chain = m_s.folderChain(folder);
  if (!chain.empty()) m_native = m_s.rootDirectory(chain[0]);
  for (std::size_t i = 1; i < chain.size(); ++i) {
    const std::string name = m_s.text(m_s.folder(chain[i])->name.get());
    if (!m_native.empty()) m_native += '/';
    m_native += name;
    if (i > 1) m_location += '\\';
    m_location += name;
  }
}

const std::string& PathMaker::folder(std::uint32_t folder, PathStyle style) {
  load(folder);
  return style == PathStyle::Native ? m_native : m_windows;
}

const std::string& PathMaker::location(std::uint32_t folder) {
  load(folder);
  return m_location;
}

bool PathMaker::hidden(std::uint32_t folder) {
  load(folder);
  return m_hidden;
}

std::string PathMaker::file(std::uint32_t folder, std::string_view name, PathStyle style) {
  const std::string& dir = this->folder(folder, style);
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path = dir;
  if (!path.empty()) path += style == PathStyle::Native ? '/' : '\\';
  path += name;
  return path;
}

// --- Listing ------------------------------------------------------------------------------------

namespace {

/// Calls @p fn(index, record, name, path) for every listed file in index order. The JSON outputs
/// take @p everyRecord: replaced records and files of hidden folders too, flagged for the reader.
template <class Fn>
std::uint64_t forEachListed(const ScanSession& s, PathMaker& paths, const ListingOptions& listing,
                            bool everyRecord, Fn&& fn) {
  const std::uint32_t files = s.fileCount();
  const bool needsPath = listing.filter.needsPath();
  std::uint64_t listed = 0;
  std::string name, path, native;
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = s.file(i);
    if (r == nullptr) continue;
    const std::uint32_t folder = r->folder.get();
    // A replaced record was listed again by a later pass; a hidden folder is the engine's own.
    if (!everyRecord && ((r->marks.get() & 1) != 0 || paths.hidden(folder))) continue;
    name = s.text(r->name.get());
    if (needsPath) native = paths.file(folder, name, PathStyle::Native);
    if (!listing.filter.matches(i, *r, name, native)) continue;
    path = paths.file(folder, name, listing.paths);
    fn(i, *r, name, path);
    ++listed;
  }
  return listed;
}

const char* stateNameOf(std::uint32_t state) {
  const char* name = nullptr;
  Undelete_GetFileState(state, &name);
  return name != nullptr ? name : "";
}

/// Where file @p i lives, as the one JSON key that applies and as the table's LOCATION text.
struct Where {
  const char* key = nullptr;  // "mftRecord", "firstCluster", "offset"; null for none
  const char* prefix = "";    // "mft:", "cluster:", "offset:"
  std::uint64_t value = 0;
};

Where whereOf(const ScanSession& s, std::uint32_t i) {
  std::uint32_t kind = kUndeleteLocationNone;
  Where w;
  if (Undelete_GetFileLocation(s.engine(), i, &kind, &w.value) == 0) return w;
  if (kind == kUndeleteLocationMftRecord) {
    w.key = "mftRecord";
    w.prefix = "mft:";
  } else if (kind == kUndeleteLocationFirstCluster) {
    w.key = "firstCluster";
    w.prefix = "cluster:";
  } else if (kind == kUndeleteLocationOffset) {
    w.key = "offset";
    w.prefix = "offset:";
  }
  return w;
}

/// "mft:1234", "cluster:567", "offset:8192"; "-" for none.
void locationText(const Where& where, char (&out)[40]) {
  if (where.key == nullptr)
    std::snprintf(out, sizeof out, "-");
  else
    std::snprintf(out, sizeof out, "%s%" PRIu64, where.prefix, where.value);
}

void fileObject(JsonWriter& w, const ScanSession& s, PathMaker& paths, std::uint32_t i,
                const FileRecord& r, const std::string& name, const std::string& path) {
  const std::uint32_t folder = r.folder.get();
  const std::uint32_t state = stateOf(r);
  w.beginObject();
  w.plainKey("index").unsignedNumber(i);
  w.plainKey("path").string(path);
  w.plainKey("name").string(name);
  w.plainKey("folder").unsignedNumber(folder);
  w.plainKey("size").unsignedNumber(r.size.get());
  w.plainKey("deleted").boolean((r.status & kStatusExisting) == 0);
  w.plainKey("state").unsignedNumber(state);
  w.plainKey("stateName").string(stateNameOf(state));
  w.plainKey("stateOnly").boolean((r.stateOnly & 1) != 0);
  w.plainKey("overwrittenClusters").unsignedNumber(r.overwrittenClusters.get());
  w.plainKey("totalClusters").unsignedNumber(r.totalClusters.get());
  w.plainKey("overwrittenBy").number(static_cast<std::int32_t>(r.overwrittenBy.get()));
  w.plainKey("firstOverwritten").beginArray();
  for (const auto& c : r.firstOverwritten)
    if (c.get() != ~std::uint64_t{0}) w.unsignedNumber(c.get());
  w.endArray();
  // Times the record does not hold (0) are left out, never made up.
  const std::pair<const char*, std::uint64_t> times[] = {
      {"modified", r.modified.get()}, {"created", r.created.get()}, {"accessed", r.accessed.get()}};
  for (const auto& [key, t] : times) {
    const std::string text = fileTimeToIsoUtc(t);
    if (!text.empty()) w.plainKey(key).string(text);
  }
  w.plainKey("attributes").string(attributeLetters(r.attributes));
  if (r.note.get() != 0)
    w.plainKey("note").string(s.text(r.note.get()));
  else
    w.plainKey("note").null();
  w.plainKey("replaced").boolean((r.marks.get() & 1) != 0);
  const std::uint16_t location = r.location.get();
  w.plainKey("fileSystem").string(kindName((location >> 12) & 7u));
  w.plainKey("slot").unsignedNumber(location & 0xFFFu);
  w.plainKey("location").string(paths.location(folder));
  w.plainKey("id").unsignedNumber(i);
  // Where its data is: only the key that applies to its file system.
  if (const Where where = whereOf(s, i); where.key != nullptr)
    w.plainKey(where.key).unsignedNumber(where.value);
  // Named data streams of an NTFS file; written only when there are any.
  if (((location >> 12) & 7u) == kKindNtfs) {
    const char16_t* streamName = nullptr;
    std::uint64_t streamSize = 0;
    std::uint32_t k = 0;
    for (; Undelete_GetFileStream(s.engine(), i, k, &streamName, &streamSize); ++k) {
      if (k == 0) w.plainKey("streams").beginArray();
      w.beginObject();
      w.plainKey("name").string(utf16ToUtf8(streamName));
      w.plainKey("size").unsignedNumber(streamSize);
      w.endObject();
    }
    if (k != 0) w.endArray();
  }
  w.endObject();
}

}  // namespace

std::uint64_t writeScanJson(const ScanSession& s, std::uint32_t errorCode,
                            const std::string& errorMessage, std::FILE* out,
                            const ListingOptions& listing, const std::string& source) {
  JsonWriter w(out);
  w.beginObject();
  if (!source.empty()) w.key("source").string(source);
  w.key("drives").beginArray();
  for (std::uint32_t slot = 0;; ++slot) {
    char name[256] = {}, details[1024] = {};
    if (Undelete_GetDriveInfo(s.engine(), slot, name, details) == 0) break;
    w.beginObject();
    w.key("slot").unsignedNumber(slot);
    w.key("name").string(name);
    w.key("details").string(details);
    w.endObject();
  }
  w.endArray();

  PathMaker paths(s);
  w.key("files").beginArray();
  const std::uint64_t listed =
      forEachListed(s, paths, listing, true,
                    [&](std::uint32_t i, const FileRecord& r, const std::string& name,
                        const std::string& path) { fileObject(w, s, paths, i, r, name, path); });
  w.endArray();

  w.key("folders").beginArray();
  const std::uint32_t folderCount = s.folderCount();
  for (std::uint32_t i = 0; i < folderCount; ++i) {
    const FolderRecord* f = s.folder(i);
    if (f == nullptr) continue;
    const std::uint32_t flags = f->flags.get();
    w.beginObject();
    w.key("index").unsignedNumber(i);
    w.key("path").string(paths.folder(i, listing.paths));
    w.key("name").string(s.text(f->name.get()));
    if (f->parent.get() == kNoParent)
      w.key("parent").null();
    else
      w.key("parent").unsignedNumber(f->parent.get());
    w.key("deleted").boolean((flags & kFolderDeleted) != 0);
    w.key("hidden").boolean((flags & kFolderHidden) != 0);
    w.key("attributes").string(attributeLetters(static_cast<std::uint8_t>(flags >> 16)));
    w.endObject();
  }
  w.endArray();

  w.key("error").beginObject();
  w.key("code").unsignedNumber(errorCode);
  w.key("message").string(errorMessage);
  w.endObject();
  w.endObject();
  w.finish();
  return listed;
}

std::uint64_t writeScanJsonLines(const ScanSession& s, std::FILE* out,
                                 const ListingOptions& listing) {
  JsonWriter w(out);
  PathMaker paths(s);
  const std::uint64_t listed = forEachListed(
      s, paths, listing, true,
      [&](std::uint32_t i, const FileRecord& r, const std::string& name, const std::string& path) {
        fileObject(w, s, paths, i, r, name, path);
        w.newline();
      });
  w.finish(false);
  return listed;
}

std::uint64_t writeScanTable(const ScanSession& s, std::FILE* out, const ListingOptions& listing) {
  PathMaker paths(s);
  const bool tsv = listing.format == ListFormat::Tsv;
  // Every column but the last holds no space, so awk and cut split the table; the path is last.
  if (tsv)
    std::fputs(
        "ID\tLOCATION\tDELETED\tSIZE\tSTATE\tOVERWRITTEN\tCLUSTERS\tMODIFIED\tATTR\tPATH\tNOTE\n",
        out);
  else
    std::fprintf(out, "%8s %-21s %-1s %14s %-13s %-13s %-25s %-6s %s\n", "ID", "LOCATION", "D",
                 "SIZE", "STATE", "OVERWRITTEN", "MODIFIED", "ATTR", "PATH");
  std::string line;
  const std::uint64_t listed = forEachListed(
      s, paths, listing, false,
      [&](std::uint32_t i, const FileRecord& r, const std::string&, const std::string& path) {
        const bool deleted = (r.status & kStatusExisting) == 0;
        const bool counts = deleted && (r.stateOnly & 1) == 0;
        std::string modified = fileTimeToIsoLocal(r.modified.get());
        char head[256], where[40];
        locationText(whereOf(s, i), where);
        if (tsv) {
          char over[24] = "", total[24] = "";
          if (counts) {
            std::snprintf(over, sizeof over, "%" PRIu64, r.overwrittenClusters.get());
            std::snprintf(total, sizeof total, "%" PRIu64, r.totalClusters.get());
          }
          std::snprintf(head, sizeof head, "%u\t%s\t%d\t%" PRIu64 "\t%s\t%s\t%s\t%s\t%s\t", i,
                        where, deleted ? 1 : 0, r.size.get(), stateNameOf(stateOf(r)), over, total,
                        modified.c_str(), attributeLetters(r.attributes).c_str());
        } else {
          char over[48] = "-";
          if (counts)
            std::snprintf(over, sizeof over, "%" PRIu64 "/%" PRIu64, r.overwrittenClusters.get(),
                          r.totalClusters.get());
          if (modified.empty()) modified = "-";
          std::string attributes = attributeLetters(r.attributes);
          if (attributes.empty()) attributes = "-";
          // LOCATION holds an offset below 10^14 (90 TiB) in its width, as SIZE holds a size.
          std::snprintf(head, sizeof head, "%8u %-21s %-1s %14" PRIu64 " %-13s %-13s %-25s %-6s ",
                        i, where, deleted ? "*" : "-", r.size.get(), stateNameOf(stateOf(r)), over,
                        modified.c_str(), attributes.c_str());
        }
        line = head;
        line += printable(path);
        const std::string note = r.note.get() != 0 ? printable(s.text(r.note.get())) : "";
        if (tsv)
          line += "\t" + note;
        else if (!note.empty())
          line += "  [" + note + "]";
        line.push_back('\n');
        std::fputs(line.c_str(), out);
      });
  std::fflush(out);
  return listed;
}

}  // namespace kvx
