// Recovering checked files: destination checks and the worker's loop.
#include "recovery/recovery_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

namespace recovery {
namespace {

constexpr const char* kTestFileName = "__test__file__.tmp";
constexpr std::size_t kMaxComponent = 255;

/// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

std::string systemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::string safeComponent(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(c < 0x20 || c == 0x7F || c == '/' ? '_' : ch);
  }
  if (out.empty() || out == "." || out == "..") out.assign(out.size() + 1, '_');
  if (out.size() > kMaxComponent) {
    std::string ext;
    const std::size_t dot = out.rfind('.');
    if (dot != std::string::npos && out.size() - dot <= 16) ext = out.substr(dot);
    std::size_t keep = kMaxComponent - ext.size();
    while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    out = out.substr(0, keep) + ext;
  }
  return out;
}

std::string existingAncestor(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  while (!p.empty() && !fs::exists(p, ec)) {
    const fs::path parent = p.parent_path();
    if (parent == p) break;
    p = parent;
  }
  return p.string();
}

std::string destinationProblem(const std::string& folder, std::uint64_t totalBytes) {
  const std::string at = existingAncestor(folder);
  struct statvfs vfs {};
  if (::statvfs(at.c_str(), &vfs) != 0) return systemError(at.c_str());
  const std::uint64_t available = std::uint64_t{vfs.f_bavail} * vfs.f_frsize;
  if (available < totalBytes) return at + ": not enough free space";
  // The test file goes into the destination itself: a folder we cannot write to (read-only
  // mount, no permission) fails here rather than file by file.
  Fd dir(::open(at.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.fd < 0) return systemError(at.c_str());
  int test =
      ::openat(dir.fd, kTestFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (test >= 0) {
    ::close(test);
    ::unlinkat(dir.fd, kTestFileName, 0);
    return {};
  }
  if (errno != EEXIST) return systemError((at + "/" + kTestFileName).c_str());
  // Someone's file has that name: never touch it, test with an unnamed file instead.
  test = ::openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (test < 0) return systemError(at.c_str());
  ::close(test);
  return {};
}

bool writesToSourceDrive(const RecoveryEngine& engine, const std::string& folder,
                         const std::vector<std::uint32_t>& files) {
  const std::string letters = engine.lettersOfPath(existingAncestor(folder));
  for (const std::uint32_t i : files)
    for (const char letter : letters)
      if (!engine.mayBeRecoveredTo(i, letter)) return true;
  return false;
}

RecoveryRun::RecoveryRun(RecoveryEngine engine, std::string destination,
                         std::vector<FolderJob> folders, std::vector<FileJob> files)
    : m_engine(std::move(engine)),
      m_destination(std::move(destination)),
      m_folders(std::move(folders)),
      m_files(std::move(files)) {
  for (const FileJob& f : m_files) m_totalBytes += f.size;
}

void RecoveryRun::cancel() {
  m_cancel = true;
  if (m_engine.cancel) m_engine.cancel();
}

std::uint64_t RecoveryRun::bytesProcessed() const {
  // The engine counts the current file only (it restarts at each file).
  return m_doneBytes.load() + (m_engine.bytesProcessed ? m_engine.bytesProcessed() : 0);
}

int RecoveryRun::openFolders(int root, const std::vector<std::string>& path, std::string* at,
                             std::string* error) {
  int fd = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  *at = m_destination;
  std::string key;
  for (const std::string& component : path) {
    if (fd < 0) break;
    key += component;
    key.push_back('\0');
    int next = -1;
    const auto known = m_chosenNames.find(key);
    if (known != m_chosenNames.end()) {
      next = ::openat(fd, known->second.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) *error = systemError((*at + "/" + known->second).c_str());
      *at += "/" + known->second;
    } else {
      std::string chosen;
      next = m_engine.openFolder(fd, safeComponent(component), &chosen);
      if (next < 0) {
        *error = "cannot create a folder in " + *at + ": " + m_engine.lastError();
      } else {
        m_chosenNames.emplace(key, chosen);
        *at += "/" + chosen;
      }
    }
    ::close(fd);
    fd = next;
  }
  return fd;
}

FileOutcome RecoveryRun::recoverOne(int root, const FileJob& job, RecoveryQuestions& questions,
                                    bool* stop) {
  FileOutcome out;
  out.index = job.index;
  std::string at;
  Fd dir(openFolders(root, job.folders, &at, &out.error));
  if (dir.fd < 0) return out;
  const std::string name = safeComponent(job.name);
  struct stat st {};
  const bool exists = ::fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !m_yesToAll) {
    if (!questions.overwrite(at + "/" + name)) {
      m_declined = true;
      *stop = true;
      out.error = "not replaced";
      return out;
    }
    m_yesToAll = true;
  }
  std::string chosen;
  if (!exists) {
    out.recovered = m_engine.recoverAt(job.index, dir.fd, name, &chosen);
  } else {
    // The engine never writes over a file: recover beside it, then put the whole file in its
    // place in one step. The old file stays as it was if the recovery fails.
    const std::string temporary = safeComponent("." + name + ".recovering");
    out.recovered = m_engine.recoverAt(job.index, dir.fd, temporary, &chosen);
    if (out.recovered && ::renameat(dir.fd, chosen.c_str(), dir.fd, name.c_str()) != 0) {
      out.error = systemError(("cannot replace " + at + "/" + name).c_str());
      ::unlinkat(dir.fd, chosen.c_str(), 0);
      out.recovered = false;
      chosen.clear();
    } else if (out.recovered) {
      chosen = name;
    }
  }
  if (!chosen.empty()) out.path = at + "/" + chosen;
  if (!out.recovered && out.error.empty()) {
    out.error = m_engine.lastError();
    if (out.error.empty()) out.error = "recovery failed";
  }
  return out;
}

void RecoveryRun::run(RecoveryQuestions& questions,
                      const std::function<void(const FileOutcome&)>& onFile) {
  Fd root(m_engine.openFolder(-1, m_destination, nullptr));
  if (root.fd < 0) {
    m_destinationError = "cannot use " + m_destination + ": " + m_engine.lastError();
    return;
  }
  for (const FolderJob& folder : m_folders) {
    std::string at, error;
    Fd fd(openFolders(root.fd, folder.path, &at, &error));  // a failure shows on its files
  }
  for (const FileJob& job : m_files) {
    if (m_cancel.load()) break;
    bool stop = false;
    const FileOutcome outcome = recoverOne(root.fd, job, questions, &stop);
    if (stop) break;
    if (outcome.recovered) {
      m_recovered += 1;
      m_lastPath = outcome.path;
    }
    m_doneBytes += job.size;
    if (onFile) onFile(outcome);
    // Our own flag too: the engine clears its cancel event when the next file starts, so a
    // cancel that came between two files would otherwise be lost.
    if (m_cancel.load() || (m_engine.isCancelled && m_engine.isCancelled())) {
      m_cancel = true;
      break;
    }
  }
}

}  // namespace recovery
