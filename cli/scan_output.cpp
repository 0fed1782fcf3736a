// Writing a scan's results: the table of kvx scan and its JSON document, streamed record by
// record.
#include "scan_output.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json_writer.h"

namespace kvx {

namespace {

/// Path of a file's folder, remembered for the next file (files come folder by folder).
class FolderPathCache {
 public:
  explicit FolderPathCache(const ScanSession& s) : m_s(s) {}
  const std::string& path(std::uint32_t folder) {
    if (folder != m_folder) {
      m_folder = folder;
      m_path = m_s.folderPath(folder);
      m_hidden = m_s.folderHidden(folder);
      const auto chain = m_s.folderChain(folder);
      m_location.clear();
      for (std::size_t i = 1; i < chain.size(); ++i) {
        if (i > 1) m_location += '\\';
        m_location += m_s.text(m_s.folder(chain[i])->name.get());
      }
    }
    return m_path;
  }
  const std::string& location(std::uint32_t folder) {
    path(folder);
    return m_location;
  }
  bool hidden(std::uint32_t folder) {
    path(folder);
    return m_hidden;
  }

 private:
  const ScanSession& m_s;
  std::uint32_t m_folder = 0xFFFFFFFFu;
  std::string m_path, m_location;
  bool m_hidden = false;
};

std::string joinPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + '\\' + name;
}

}  // namespace

void writeScanJson(const ScanSession& s, std::uint32_t errorCode, const std::string& errorMessage,
                   std::FILE* out) {
  JsonWriter w(out);
  w.beginObject();
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

  FolderPathCache folders(s);
  w.key("files").beginArray();
  const std::uint32_t files = s.fileCount();
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = s.file(i);
    if (r == nullptr) continue;
    const std::uint32_t folder = r->folder.get();
    const std::string name = s.text(r->name.get());
    const std::uint32_t state = stateOf(*r);
    const char* stateName = "";
    Undelete_GetFileState(state, &stateName);
    w.beginObject();
    w.key("index").unsignedNumber(i);
    w.key("path").string(joinPath(folders.path(folder), name));
    w.key("name").string(name);
    w.key("folder").unsignedNumber(folder);
    w.key("size").unsignedNumber(r->size.get());
    w.key("deleted").boolean((r->status & kStatusExisting) == 0);
    w.key("state").unsignedNumber(state);
    w.key("stateName").string(stateName != nullptr ? stateName : "");
    w.key("stateOnly").boolean((r->stateOnly & 1) != 0);
    w.key("overwrittenClusters").unsignedNumber(r->overwrittenClusters.get());
    w.key("totalClusters").unsignedNumber(r->totalClusters.get());
    w.key("overwrittenBy").number(static_cast<std::int32_t>(r->overwrittenBy.get()));
    w.key("firstOverwritten").beginArray();
    for (const auto& c : r->firstOverwritten)
      if (c.get() != ~std::uint64_t{0}) w.unsignedNumber(c.get());
    w.endArray();
    const std::pair<const char*, std::uint64_t> times[] = {
        {"modified", r->modified.get()}, {"created", r->created.get()}, {"accessed", r->accessed.get()}};
    for (const auto& [key, t] : times) {
      const std::string text = fileTimeToIsoUtc(t);
      if (!text.empty()) w.key(key).string(text);
    }
    w.key("attributes").string(attributeLetters(r->attributes));
    if (r->note.get() != 0) w.key("note").string(s.text(r->note.get()));
    else w.key("note").null();
    w.key("replaced").boolean((r->marks.get() & 1) != 0);
    const std::uint16_t location = r->location.get();
    w.key("fileSystem").string(kindName((location >> 12) & 7u));
    w.key("slot").unsignedNumber(location & 0xFFFu);
    w.key("location").string(folders.location(folder));
    // Named data streams of an NTFS file; written only when there are any.
    if (((location >> 12) & 7u) == kKindNtfs) {
      std::vector<std::pair<std::u16string_view, std::uint64_t>> streams;
      const char16_t* streamName = nullptr;
      std::uint64_t streamSize = 0;
      for (std::uint32_t k = 0; Undelete_GetFileStream(s.engine(), i, k, &streamName, &streamSize);
           ++k)
        streams.emplace_back(streamName, streamSize);
      if (!streams.empty()) {
        w.key("streams").beginArray();
        for (const auto& [streamText, size] : streams) {
          w.beginObject();
          w.key("name").string(utf16ToUtf8(streamText));
          w.key("size").unsignedNumber(size);
          w.endObject();
        }
        w.endArray();
      }
    }
    w.endObject();
  }
  w.endArray();

  w.key("folders").beginArray();
  const std::uint32_t folderCount = s.folderCount();
  for (std::uint32_t i = 0; i < folderCount; ++i) {
    const FolderRecord* f = s.folder(i);
    if (f == nullptr) continue;
    const std::uint32_t flags = f->flags.get();
    w.beginObject();
    w.key("index").unsignedNumber(i);
    w.key("path").string(s.folderPath(i));
    w.key("name").string(s.text(f->name.get()));
    if (f->parent.get() == kNoParent) w.key("parent").null();
    else w.key("parent").unsignedNumber(f->parent.get());
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
}

void writeScanTable(const ScanSession& s, std::FILE* out) {
  FolderPathCache folders(s);
  std::fprintf(out, "%-1s %14s  %-22s %-19s  %-6s %s\n", "D", "SIZE", "STATE", "MODIFIED", "ATTR", "PATH");
  const std::uint32_t files = s.fileCount();
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = s.file(i);
    if (r == nullptr || (r->marks.get() & 1) != 0) continue;  // replaced by a later record
    const std::uint32_t folder = r->folder.get();
    if (folders.hidden(folder)) continue;
    const bool deleted = (r->status & kStatusExisting) == 0;
    const char* stateName = "";
    Undelete_GetFileState(stateOf(*r), &stateName);
    std::string state = stateName != nullptr ? stateName : "";
    if (deleted && (r->stateOnly & 1) == 0) {
      char counts[64];
      std::snprintf(counts, sizeof counts, " (%" PRIu64 "/%" PRIu64 ")", r->overwrittenClusters.get(),
                    r->totalClusters.get());
      state += counts;
    }
    const std::string path = joinPath(folders.path(folder), s.text(r->name.get()));
    std::string line;
    char head[128];
    std::snprintf(head, sizeof head, "%-1s %14" PRIu64 "  %-22s %-19s  %-6s ", deleted ? "*" : "",
                  r->size.get(), state.c_str(), fileTimeToText(r->modified.get()).c_str(),
                  attributeLetters(r->attributes).c_str());
    line = head + printable(path);
    if (r->note.get() != 0) line += "  [" + printable(s.text(r->note.get())) + "]";
    line.push_back('\n');
    std::fputs(line.c_str(), out);
  }
  std::fflush(out);
}

}  // namespace kvx
