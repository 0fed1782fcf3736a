// Recovering checked files to a destination folder: the destination checks, and the run itself,
// which a worker thread executes. Nothing here touches widgets; questions go through an interface
// that the restoring page answers on the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace recovery {

/// What a recovery needs of the engine: bound to its exports in the program, faked in tests.
struct RecoveryEngine {
  /// Whether file @p index may be written to drive @p letter (0: a drive the table lacks).
  std::function<bool(std::uint32_t index, char letter)> mayBeRecoveredTo;
  /// Every drive letter whose source holds the mount of @p directory.
  std::function<std::string(const std::string& directory)> lettersOfPath;
  /// Opens folder @p name below @p parent, creating it (parent < 0: @p name is a path, made with
  /// its parents). A name taken by a file or a link gives "name (n)", reported in @p chosen.
  /// Returns a descriptor for the caller to close, or -1.
  std::function<int(int parent, const std::string& name, std::string* chosen)> openFolder;
  /// Recovers file @p index as a new file @p name in open folder @p folder (a taken name gives
  /// "name (n)", reported in @p chosen). False on failure.
  std::function<bool(std::uint32_t index, int folder, const std::string& name, std::string* chosen)>
      recoverAt;
  std::function<bool()> isCancelled;
  std::function<void()> cancel;
  /// Bytes of the file being recovered written so far.
  std::function<std::uint64_t()> bytesProcessed;
  /// Why the last call failed, for people; may be empty.
  std::function<std::string()> lastError;
};

/// A name that is safe as one path component: no "/", no control characters, not "." or "..",
/// not empty, at most 255 bytes (cut on a character boundary, keeping a short extension).
[[nodiscard]] std::string safeComponent(const std::string& utf8);

/// Why a destination cannot take @p totalBytes, or "" when it can: its free space (as available
/// to this user) must be at least the total, and a file must be creatable in it.
[[nodiscard]] std::string destinationProblem(const std::string& folder, std::uint64_t totalBytes);

/// The nearest existing folder at or above @p path (the destination may not exist yet).
[[nodiscard]] std::string existingAncestor(const std::string& path);

/// True when some file of @p files may not be written below @p folder: it lies on the drive the
/// file comes from. Asks the engine about every letter that holds the folder.
[[nodiscard]] bool writesToSourceDrive(const RecoveryEngine& engine, const std::string& folder,
                                       const std::vector<std::uint32_t>& files);

struct FolderJob {
  std::vector<std::string> path;  // components below the destination, from its root down
};
struct FileJob {
  std::uint32_t index = 0;
  std::vector<std::string> folders;  // components below the destination
  std::string name;                  // as listed (UTF-8)
  std::uint64_t size = 0;
};
struct FileOutcome {
  std::uint32_t index = 0;
  bool recovered = false;
  std::string path;   // what was written (empty when nothing was)
  std::string error;  // why not, for people
};

/// Answered on the GUI thread while the worker waits.
class RecoveryQuestions {
 public:
  virtual ~RecoveryQuestions() = default;
  /// @p path exists: may it be replaced? Yes covers every later file of the run.
  virtual bool overwrite(const std::string& path) = 0;
};

/// One multi-file recovery: folders first, then every file in index order.
class RecoveryRun {
 public:
  RecoveryRun(RecoveryEngine engine, std::string destination, std::vector<FolderJob> folders,
              std::vector<FileJob> files);

  /// Runs the recovery (on the worker thread); @p onFile is called after each file tried.
  void run(RecoveryQuestions& questions, const std::function<void(const FileOutcome&)>& onFile);
  /// Stops after the file being recovered (that one is cut short). Any thread.
  void cancel();

  [[nodiscard]] std::uint64_t totalBytes() const noexcept { return m_totalBytes; }
  /// Sizes of the files finished so far plus what the engine wrote of the current one. Any thread.
  [[nodiscard]] std::uint64_t bytesProcessed() const;
  [[nodiscard]] std::uint32_t recovered() const noexcept { return m_recovered.load(); }
  [[nodiscard]] std::size_t fileCount() const noexcept { return m_files.size(); }
  [[nodiscard]] bool cancelled() const noexcept { return m_cancel.load(); }
  /// The overwrite question was answered No: the run ended there.
  [[nodiscard]] bool declined() const noexcept { return m_declined; }
  [[nodiscard]] const std::string& lastRecovered() const noexcept { return m_lastPath; }
  [[nodiscard]] const std::string& destinationError() const noexcept { return m_destinationError; }

 private:
  int openFolders(int root, const std::vector<std::string>& path, std::string* at,
                  std::string* error);
  FileOutcome recoverOne(int root, const FileJob& job, RecoveryQuestions& questions, bool* stop);

  RecoveryEngine m_engine;
  std::string m_destination;
  std::vector<FolderJob> m_folders;
  std::vector<FileJob> m_files;
  std::uint64_t m_totalBytes = 0;
  std::atomic<std::uint64_t> m_doneBytes{0};
  std::atomic<std::uint32_t> m_recovered{0};
  std::atomic<bool> m_cancel{false};
  bool m_yesToAll = false;
  bool m_declined = false;
  std::string m_lastPath;
  std::string m_destinationError;
  // Names the folders got ("name (2)" when a file held the name), keyed by their components
  // below the destination, so that every file of a folder lands in the same one.
  std::map<std::string, std::string> m_chosenNames;
};

}  // namespace recovery
