// kvx cat: scans a source and writes one file's recovered bytes to standard output, by the id
// kvx scan lists for it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "command.h"
#include "scan_session.h"

namespace {

/// A private folder for the one recovered file, removed with what it holds.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kvx-cat-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~ScratchFolder() {
    if (m_path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

bool copyToStdout(int fd) {
  char buf[1 << 16];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(STDOUT_FILENO, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

int catCommand(const kvx::Args& args) {
  kvx::ScanOptions options;
  std::string why;
  if (!kvx::scanOptionsFromArgs(args, options, &why)) return kvx::usageError("cat", why);
  options.source = args.positionals()[0];
  const std::string& idText = args.positionals()[1];
  std::uint32_t id = 0;
  const auto [end, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
  if (ec != std::errc() || end != idText.data() + idText.size())
    return kvx::usageError("cat", "ID is a number as kvx scan lists it, not '" + idText + "'");
  if (::isatty(STDOUT_FILENO) == 1 && !args.has("--force"))
    return kvx::usageError("cat",
                           "standard output is a terminal; redirect it (> file) or add "
                           "--force");

  kvx::ScanSession session;
  std::string error;
  bool cancelled = false;
  if (!session.resolveSource(options, &error) || !session.run(options, &cancelled, &error)) {
    std::fprintf(stderr, "kvx cat: %s\n", error.c_str());
    return kvx::kExitFailed;
  }
  if (cancelled) {
    std::fprintf(stderr, "kvx cat: scan cancelled\n");
    return kvx::kExitFailed;
  }
  const FileRecord* r = session.file(id);
  if (r == nullptr || (r->marks.get() & 1) != 0 || session.folderHidden(r->folder.get())) {
    std::fprintf(stderr,
                 "kvx cat: no file %u in this scan (kvx scan with the same options lists "
                 "the ids)\n",
                 id);
    return kvx::kExitFailed;
  }

  // The bytes pass through a private folder: it must not be on the drive they come from.
  ScratchFolder scratch;
  if (scratch.path().empty()) {
    std::fprintf(stderr, "kvx cat: cannot make a temporary folder: %s\n", std::strerror(errno));
    return kvx::kExitFailed;
  }
  char letters[27] = {};
  (void)Undelete_LettersOfPath(scratch.path().c_str(), letters, sizeof letters);
  for (const char* l = letters; *l != '\0'; ++l) {
    if (*l == session.letter() ||
        Undelete_MayBeRecoveredTo(session.engine(), id, static_cast<unsigned char>(*l)) == 0) {
      std::fprintf(stderr,
                   "kvx cat: the temporary folder %s is on the drive the file comes from; set "
                   "TMPDIR to a folder on another drive\n",
                   scratch.path().c_str());
      return kvx::kExitFailed;
    }
  }
  const int dir = Undelete_OpenOutputFolder(-1, scratch.path().c_str(), nullptr, 0);
  if (dir < 0) {
    std::fprintf(stderr, "kvx cat: cannot use %s: %s\n", scratch.path().c_str(),
                 kvx::failureDetail().c_str());
    return kvx::kExitFailed;
  }
  char chosen[512] = {};
  const bool ok = Undelete_RecoverFileAt(session.engine(), id, dir, "file", chosen, sizeof chosen);
  if (!ok) {
    ::close(dir);
    std::string message = session.engineError();
    const std::string detail = kvx::failureDetail();
    if (!detail.empty()) message += " (" + detail + ")";
    std::fprintf(stderr, "kvx cat: file %u could not be recovered: %s\n", id,
                 message.empty() ? "recovery failed" : message.c_str());
    return kvx::kExitFailed;
  }
  const int fd = ::openat(dir, chosen, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  ::close(dir);
  if (fd < 0 || !copyToStdout(fd)) {
    std::fprintf(stderr, "kvx cat: cannot write file %u to standard output: %s\n", id,
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return kvx::kExitFailed;
  }
  ::close(fd);
  return kvx::kExitOk;
}

const kvx::Registration reg{
    {"cat",
     "write one file's recovered bytes to standard output, by its id",
     {{"SOURCE", "An image file, a block device or a drive letter (E:)."},
      {"ID", "The file's id as kvx scan lists it with the same scan options.", true,
       kvx::Complete::None}},
     [] {
       std::vector<kvx::Option> v{
           {"--force", nullptr, "Write to standard output even when it is a terminal."}};
       for (const auto& o : kvx::scanOptionDecls()) v.push_back(o);
       return v;
     }(),
     "The file passes through a private temporary folder ($TMPDIR, else /tmp), which must be on\n"
     "another drive than SOURCE. Exit code 1 when there is no such file or it cannot be recovered\n"
     "whole.",
     catCommand}};

}  // namespace
