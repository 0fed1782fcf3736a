// kvx recover: scans a source, then writes the selected files below a destination folder,
// keeping their folder structure.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "command.h"
#include "json_writer.h"
#include "scan_output.h"
#include "scan_session.h"

namespace fs = std::filesystem;

namespace {

/// What to do with a destination that already holds something.
enum class Existing : std::uint8_t { Refuse, Overwrite, Skip };

struct RecoverArgs {
  kvx::ScanOptions scan;
  std::string to;
  kvx::FileFilter filter;
  kvx::PathStyle paths = kvx::PathStyle::Native;
  Existing existing = Existing::Refuse;
};

/// Nearest existing folder at or above @p path (the destination may not exist yet).
fs::path existingAncestor(fs::path path) {
  std::error_code ec;
  path = fs::absolute(path, ec);
  while (!path.empty() && !fs::exists(path, ec)) {
    const fs::path parent = path.parent_path();
    if (parent == path) break;
    path = parent;
  }
  return path;
}

/// The folders of the destination that files go to, opened one component at a time below the
/// destination and never through a link. A name taken by a file or a link gives "name (n)"; the
/// name a folder got is kept for the whole run.
class OutputFolders {
 public:
  OutputFolders(int root, std::string rootPath) : m_root(root), m_rootPath(std::move(rootPath)) {}
  ~OutputFolders() {
    if (m_fd >= 0) ::close(m_fd);
  }
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;

  /// Descriptor of the output folder of @p chain (folder indexes from the root down), -1 with
  /// @p error set. Valid until the next call.
  int open(const kvx::ScanSession& session, const std::vector<std::uint32_t>& chain,
           std::string* path, std::string* error) {
    if (m_fd >= 0 && chain == m_chain) {
      *path = m_path;
      return m_fd;
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_chain.clear();
    int fd = ::fcntl(m_root, F_DUPFD_CLOEXEC, 0);
    std::string at = m_rootPath;
    for (std::size_t c = 0; c < chain.size() && fd >= 0; ++c) {
      // The volume's root stands for the destination itself, except on a whole disk, where each
      // volume gets a folder of its own (p1, p2 ...).
      const std::string rootName = c == 0 ? session.rootDirectory(chain[0]) : std::string();
      if (c == 0 && rootName.empty()) continue;
      int next = -1;
      auto known = m_names.find(chain[c]);
      if (known != m_names.end()) {
        next = ::openat(fd, known->second.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
          *error = "cannot open " + at + "/" + known->second + ": " + std::strerror(errno);
        at += "/" + known->second;
      } else {
        const std::string name =
            c == 0 ? rootName
                   : kvx::safeComponent(session.text(session.folder(chain[c])->name.get()));
        char chosen[512];
        next = Undelete_OpenOutputFolder(fd, name.c_str(), chosen, sizeof chosen);
        if (next < 0) {
          *error = "cannot create a folder in " + at + ": " + kvx::failureDetail();
        } else {
          m_names.emplace(chain[c], chosen);
          at += "/" + std::string(chosen);
        }
      }
      ::close(fd);
      fd = next;
    }
    if (fd < 0) return -1;
    m_fd = fd;
    m_chain = chain;
    m_path = at;
    *path = at;
    return fd;
  }

 private:
  int m_root;
  std::string m_rootPath;
  std::unordered_map<std::uint32_t, std::string> m_names;  // folder index -> name it got
  std::vector<std::uint32_t> m_chain;                      // of the open folder
  int m_fd = -1;
  std::string m_path;
};

struct Job {
  std::uint32_t index;
  std::string path;  // as listed: "dir/name" (or "E:\dir\name" with --path-style windows)
};

/// True when the open folder @p fd holds anything.
bool folderHasEntries(int fd) {
  const int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return false;
  DIR* d = ::fdopendir(dup);
  if (d == nullptr) {
    ::close(dup);
    return false;
  }
  bool any = false;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      any = true;
      break;
    }
  }
  ::closedir(d);
  return any;
}

/// Whether @p name in the open folder @p dir is taken by anything (a link is not followed).
bool nameTaken(int dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

/// Whether @p name in @p dir is a regular file (a link is not followed).
bool isRegularFile(int dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

int recoverCommand(const kvx::Args& args) {
  RecoverArgs a;
  std::string why;
  if (!kvx::scanOptionsFromArgs(args, a.scan, &why) ||
      !kvx::filterFromArgs(args, true, a.filter, &why))
    return kvx::usageError("recover", why);
  a.scan.source = args.positionals()[0];
  if (args.values("--to").size() > 1) return kvx::usageError("recover", "--to given twice");
  a.to = args.value("--to").value_or("");
  if (a.to.empty()) return kvx::usageError("recover", "--to DIR is required (where files go)");
  if (args.has("--overwrite") && args.has("--skip-existing"))
    return kvx::usageError("recover", "--overwrite and --skip-existing contradict each other");
  a.existing = args.has("--overwrite")       ? Existing::Overwrite
               : args.has("--skip-existing") ? Existing::Skip
                                             : Existing::Refuse;
  a.paths = args.value("--path-style") == "windows" ? kvx::PathStyle::Windows
                                                    : kvx::PathStyle::Native;

  std::FILE* out = stdout;
  kvx::JsonWriter json(out);
  // A failure before any file was tried: the message, and with --json a document that says so.
  auto failEarly = [&](const std::string& message, std::uint32_t code) {
    std::fprintf(stderr, "kvx recover: %s\n", message.c_str());
    if (a.scan.json) {
      json.beginObject();
      json.key("destination").string(a.to);
      json.key("files").beginArray();
      json.endArray();
      json.key("recovered").unsignedNumber(0);
      json.key("failed").unsignedNumber(0);
      json.key("cancelled").boolean(false);
      json.key("error").beginObject();
      json.key("code").unsignedNumber(code);
      json.key("message").string(message);
      json.endObject();
      json.endObject();
      json.finish();
    }
    return kvx::kExitFailed;
  };

  kvx::ScanSession session;
  std::string error;
  if (!session.resolveSource(a.scan, &error)) return failEarly(error, kErrOpenDrive);
  // Writing to the drive being recovered from would overwrite the very data sought.
  // A mounted image can hold the destination under two letters (the image and its loop device),
  // so every letter of the destination is checked, not just the first.
  char letterBuffer[27] = {};
  (void)Undelete_LettersOfPath(existingAncestor(a.to).string().c_str(), letterBuffer,
                               sizeof letterBuffer);
  const std::string destLetters = letterBuffer;
  auto refuse = [&](char letter) {
    char text[64];
    std::snprintf(text, sizeof text, "%c:", letter);
    return failEarly("refusing to write to " + a.to + ": it is on drive " + text +
                         ", the drive the files come from; choose a folder on another drive",
                     kErrInvalidParameter);
  };
  if (session.letter() != 0 && destLetters.find(session.letter()) != std::string::npos)
    return refuse(session.letter());

  // The destination is made and checked before the scan, which can take hours.
  const int root = Undelete_OpenOutputFolder(-1, a.to.c_str(), nullptr, 0);
  if (root < 0) return failEarly("cannot use " + a.to + ": " + kvx::failureDetail(), kErrCreateFile);
  struct RootCloser {
    int fd;
    ~RootCloser() { ::close(fd); }
  } rootCloser{root};
  if (::faccessat(root, ".", W_OK | X_OK, AT_EACCESS) != 0)
    return failEarly("cannot write to " + a.to + ": " + std::strerror(errno), kErrCreateFile);
  // Recovering into a folder that holds files would pile "name (2)" copies beside them.
  if (a.existing == Existing::Refuse && folderHasEntries(root))
    return failEarly(a.to +
                         " is not empty; choose an empty folder, or add --overwrite (replace "
                         "files of the same name) or --skip-existing (keep them, recover the rest)",
                     kErrInvalidParameter);

  bool cancelled = false;
  kvx::ScanOptions scanOptions = a.scan;
  scanOptions.json = false;
  if (!session.run(scanOptions, &cancelled, &error)) {
    std::uint32_t code = 0;
    Undelete_GetError(session.engine(), &code);
    return failEarly(error, code);
  }
  if (cancelled) return failEarly("scan cancelled, nothing recovered", kErrUserAbort);
  // A scan that ended with an error (a volume nobody recognises, a source that cannot be read to
  // its end) still recovers what it found, but the run fails.
  std::uint32_t scanCode = 0;
  Undelete_GetError(session.engine(), &scanCode);
  if (!kvx::scanFailed(scanCode, a.scan.engineOptions)) scanCode = 0;
  const std::string scanError = scanCode != 0 ? session.engineError() : std::string();

  // Selection: what the listing shows (no replaced records, no hidden folders), then the filters.
  std::vector<Job> jobs;
  {
    kvx::PathMaker paths(session);
    const bool needsPath = a.filter.needsPath();
    const std::uint32_t files = session.fileCount();
    std::string name, native;
    for (std::uint32_t i = 0; i < files; ++i) {
      const FileRecord* r = session.file(i);
      if (r == nullptr || (r->marks.get() & 1) != 0) continue;
      const std::uint32_t folder = r->folder.get();
      if (paths.hidden(folder)) continue;
      name = session.text(r->name.get());
      if (needsPath) native = paths.file(folder, name, kvx::PathStyle::Native);
      if (!a.filter.matches(i, *r, name, native)) continue;
      for (const char letter : destLetters)
        if (Undelete_MayBeRecoveredTo(session.engine(), i, static_cast<unsigned char>(letter)) == 0)
          return refuse(letter);
      jobs.push_back({i, paths.file(folder, name, a.paths)});
    }
  }
  // Nothing selected is a failure: a filter that matches nothing is most often a mistyped one.
  if (jobs.empty()) {
    std::fprintf(stderr,
                 "kvx recover: warning: no file matches%s; nothing was recovered (kvx scan with "
                 "the same options lists what there is)\n",
                 a.filter.includeExisting ? "" : " among the deleted files (--all adds existing ones)");
  }

  if (a.scan.json) {
    json.beginObject();
    json.key("destination").string(a.to);
    json.key("files").beginArray();
  }

  std::atomic<std::size_t> current{0};
  std::atomic<bool> stop{false}, finished{false};
  std::atomic<std::uint32_t> recovered{0}, failed{0}, partial{0}, skipped{0};
  Undelete* u = session.engine();
  std::thread worker([&] {
    OutputFolders folders(root, a.to);
    for (std::size_t k = 0; k < jobs.size() && !stop.load(); ++k) {
      current = k;
      const Job& job = jobs[k];
      const FileRecord* r = session.file(job.index);
      std::string message, target, kept;
      std::uint32_t code = 0;
      bool ok = false;
      std::string dirPath, folderError;
      const int dir =
          folders.open(session, session.folderChain(r->folder.get()), &dirPath, &folderError);
      if (dir < 0) {
        code = kErrCreateFile;
        message = folderError;
      } else if (a.existing == Existing::Skip &&
                 nameTaken(dir, kvx::safeComponent(session.text(r->name.get())))) {
        skipped += 1;
        continue;
      } else {
        const std::string name = kvx::safeComponent(session.text(r->name.get()));
        // --overwrite: the file is recovered beside the old one and replaces it only when whole,
        // so a failed recovery leaves the old file as it was.
        const bool replace = a.existing == Existing::Overwrite && isRegularFile(dir, name);
        // A short name of its own, whatever the length of the one it replaces.
        const std::string asName = replace ? ".kvx-new-" + std::to_string(job.index) : name;
        char chosen[512];
        ok = Undelete_RecoverFileAt(u, job.index, dir, asName.c_str(), chosen, sizeof chosen) != 0;
        if (ok && replace && ::renameat(dir, chosen, dir, name.c_str()) == 0)
          std::snprintf(chosen, sizeof chosen, "%s", name.c_str());
        if (ok || chosen[0] != '\0') target = dirPath + "/" + chosen;
        if (!ok) {
          Undelete_GetError(u, &code);
          message = session.engineError();
          if (message.empty()) message = "recovery failed";
          const std::string detail = kvx::failureDetail();
          if (!detail.empty()) message += " (" + detail + ")";
          if (!target.empty()) {
            kept = target;
            message += "; what could be read is kept as " + kvx::printable(kept);
            partial += 1;
          }
        }
      }
      (ok ? recovered : failed) += 1;
      if (a.scan.json) {
        json.beginObject();
        json.key("index").unsignedNumber(job.index);
        json.key("path").string(job.path);
        json.key("target").string(ok ? target : std::string());
        json.key("recovered").boolean(ok);
        if (ok) {
          json.key("error").null();
        } else {
          json.key("error").beginObject();
          json.key("code").unsignedNumber(code);
          json.key("message").string(message);
          json.endObject();
          if (!kept.empty()) json.key("partial").string(kept);
        }
        json.endObject();
      } else if (ok) {
        std::fprintf(out, "%s -> %s\n", kvx::printable(job.path).c_str(),
                     kvx::printable(target).c_str());
      }
      if (!ok)
        std::fprintf(stderr, "kvx recover: %s: %s\n", kvx::printable(job.path).c_str(),
                     message.c_str());
    }
    finished = true;
  });

  {
    kvx::InterruptGuard interrupts;
    kvx::ProgressLine progress;
    int handled = 0;
    while (!finished.load()) {
      if (interrupts.count() > handled) {
        handled = interrupts.count();
        stop = true;
        Undelete_Cancel(u);
        progress.line("kvx: stopping after the current file");
      }
      std::uint64_t bytes = 0;
      Undelete_GetBytesProcessed(u, &bytes);
      char text[128];
      std::snprintf(text, sizeof text, "Recovering file %zu of %zu: %" PRIu64 " bytes",
                    std::min(current.load() + 1, jobs.size()), jobs.size(), bytes);
      if (!jobs.empty()) progress.update(text);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
  }

  char summary[160];
  int n = std::snprintf(summary, sizeof summary, "%u recovered, %u failed", recovered.load(),
                        failed.load());
  if (partial.load() != 0)
    n += std::snprintf(summary + n, sizeof summary - static_cast<std::size_t>(n),
                       " (%u kept as .partial with what could be read)", partial.load());
  if (skipped.load() != 0)
    std::snprintf(summary + n, sizeof summary - static_cast<std::size_t>(n),
                  ", %u skipped (already in the destination)", skipped.load());
  if (a.scan.json) {
    json.endArray();
    json.key("recovered").unsignedNumber(recovered.load());
    json.key("failed").unsignedNumber(failed.load());
    json.key("partial").unsignedNumber(partial.load());
    json.key("skipped").unsignedNumber(skipped.load());
    json.key("cancelled").boolean(stop.load());
    if (scanCode != 0) {
      json.key("error").beginObject();
      json.key("code").unsignedNumber(scanCode);
      json.key("message").string(scanError);
      json.endObject();
    }
    json.endObject();
    json.finish();
    std::fprintf(stderr, "%s\n", summary);
  } else {
    std::fprintf(out, "%s\n", summary);
    std::fflush(out);
  }
  if (scanCode != 0) std::fprintf(stderr, "kvx recover: the scan failed: %s\n", scanError.c_str());
  return failed.load() == 0 && !stop.load() && scanCode == 0 && !jobs.empty() ? kvx::kExitOk
                                                                             : kvx::kExitFailed;
}

const kvx::Registration reg{{
    "recover",
    "scan, then write the deleted files (or those chosen) below DIR",
    {{"SOURCE", "An image file, a block device or a drive letter (E:)."}},
    [] {
      std::vector<kvx::Option> v{
          {"--to", "DIR",
           "Destination folder (made when missing); must be on another drive than SOURCE. It "
           "must be empty unless --overwrite or --skip-existing is given.",
           kvx::Complete::Directory},
          {"--all", nullptr,
           "Also recover existing (not deleted) files; by default only deleted and carved files "
           "are recovered (and the files --id names, whatever they are)."},
          {"--overwrite", nullptr,
           "Replace files of the same name in DIR (each only once its recovery succeeded)."},
          {"--skip-existing", nullptr,
           "Leave files already in DIR alone and recover the rest (to finish an interrupted "
           "run)."},
          {"--json", nullptr,
           "Write one JSON document: each file's path, target and outcome, and the counts."},
          {"--path-style", "STYLE",
           "native (default) or windows: how the source paths are written.",
           kvx::Complete::Choices, "native windows"},
          {"--report", nullptr, "Print the engine's report lines on standard error during the scan."},
      };
      const auto rest = kvx::joinOptions({&kvx::filterOptionDecls(), &kvx::scanOptionDecls()});
      v.insert(v.end(), rest.begin(), rest.end());
      return v;
    }(),
    "Files keep their folders below DIR; a disk's volumes go to DIR/p1, DIR/p2 ...; files found by\n"
    "content go to DIR/Files by content/EXT/. Each line of output is \"SOURCE-PATH -> TARGET\".\n"
    "A non-empty DIR is refused unless --overwrite or --skip-existing says what to do with it.\n"
    "Exit codes: 0 every selected file recovered; 1 a file failed, the scan failed, or no file\n"
    "matched (with a warning); 2 usage error.",
    recoverCommand}};

}  // namespace
