// Files the engine and the front ends create for the user (recovered files and their streams,
// session files, backups, fillers). Nothing here ever writes outside the folder it was given:
// folders are opened O_DIRECTORY|O_NOFOLLOW and walked with openat, files are created O_EXCL and
// O_NOFOLLOW, and a file that did not get all its bytes is not left under its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

/// Writes all @p length bytes to @p fd, retrying short writes and EINTR; false on any error
/// or when the file system takes nothing (a full disk).
[[nodiscard]] bool Host_WriteAll(int fd, const void* data, std::size_t length) noexcept;

/// Longest name one folder entry may have on Linux file systems, in bytes.
inline constexpr std::size_t kHostNameMax = 255;
/// How many numbered names a free-name search tries before it gives up.
inline constexpr unsigned kHostFreeNameTries = 10000;

/// @p name with " (n)" before its extension ("a.txt", 2 -> "a (2).txt"), its stem cut on a
/// character boundary so that the result stays within kHostNameMax bytes.
[[nodiscard]] std::string Host_NumberedName(std::string_view name, unsigned n);

/// Opens the folder @p path (the destination a user named), creating it and its missing parents.
/// Components above the last are followed as the user wrote them; the last one must be a real
/// folder, not a symbolic link. Returns the descriptor, or -1 with the last error kErrCreateFile
/// and the reason in Host_LastErrorText.
[[nodiscard]] int Host_OpenOutputRoot(const char* path) noexcept;

/// Opens (creating it when missing) the folder @p name, one component, in the open folder
/// @p parent, never through a symbolic link. With @p numbered, a name held by anything but a
/// folder (a file, a link) gives the first free "name (n)" instead; @p chosen receives the name
/// used. -1 on failure (last error kErrCreateFile, reason in Host_LastErrorText).
[[nodiscard]] int Host_OpenOutputFolder(int parent, std::string_view name, bool numbered,
                                        std::string* chosen) noexcept;

/// Where a recovered file is created: a folder from Host_OpenOutputFolder and a name in it,
/// or, with folder < 0, a path whose last folder is opened without following a link.
/// @p numbered: a taken name gives the first free "name (n)" instead of a failure.
struct HostOutputPlace {
  int folder = -1;
  bool numbered = false;
};

/// One file being written for the user. Created exclusively; finish() reports whether every byte
/// reached the file system, and a file that is not finished is removed, or kept under a name that
/// says it is partial.
class HostOutputFile {
 public:
  HostOutputFile() = default;
  ~HostOutputFile();
  HostOutputFile(const HostOutputFile&) = delete;
  HostOutputFile& operator=(const HostOutputFile&) = delete;

  /// Creates @p target (a name in @p place.folder, or a path) for writing. False with the last
  /// error kErrCreateFile and the reason ("a.txt: File exists") in Host_LastErrorText.
  [[nodiscard]] bool create(const HostOutputPlace& place, std::string_view target) noexcept;
  /// Creates "name:suffix" beside @p base (named streams), numbered when @p base was.
  [[nodiscard]] bool createSibling(const HostOutputFile& base, std::string_view suffix) noexcept;

  [[nodiscard]] int fd() const noexcept { return m_fd; }
  /// The name used in the folder (after numbering, or the partial name after fail()).
  [[nodiscard]] const std::string& name() const noexcept { return m_name; }
  /// Host_WriteAll to fd().
  [[nodiscard]] bool write(const void* data, std::size_t length) noexcept;

  /// Closes the file and keeps it; false when closing reported a write error (the file is then
  /// removed as fail(false) would).
  [[nodiscard]] bool finish() noexcept;
  /// The file is incomplete: it is removed, or, with @p keepPartial, renamed to the first free
  /// "name.partial" (when the file is not empty). Returns true when a partial file was kept.
  bool fail(bool keepPartial) noexcept;

 private:
  void closeAll() noexcept;
  int m_dir = -1;
  bool m_ownDir = false;
  bool m_numbered = false;
  int m_fd = -1;
  std::string m_name;
};

/// Writes a file that must never be seen half written (session files, backups): the bytes go to
/// a fresh temporary name in the same folder (O_EXCL), are flushed to the disk, and only then
/// take the name @p path with a rename. @p produce writes the content through the function it is
/// given and returns false to give up. On any failure the temporary is removed, whatever was at
/// @p path stays as it was, and the last error is kErrCreateFile or kErrWriteFile.
[[nodiscard]] bool Host_WriteFileAtomically(
    const char* path,
    const std::function<bool(const std::function<bool(const void*, std::size_t)>&)>&
        produce) noexcept;

/// Opens @p path for reading only when it is a regular file: never blocks on a FIFO or device.
/// -1 when it cannot be opened or is something else (errno ENOENT, EACCES..., or EINVAL).
[[nodiscard]] int Host_OpenRegularFile(const char* path) noexcept;
