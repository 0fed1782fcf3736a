// Scans an exFAT image the way a search pass does (recognise, search, estimate) through a
// CachedDrive over the image file, lists what was found with full paths, and builds images
// through the FUSE driver.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/cached_drive.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace exfattest {

struct Found {
  std::uint32_t index = 0;
  std::string path;  // "dir/sub/name", UTF-8, relative to the root
  std::uint64_t size = 0;
  bool existing = false;
  std::uint32_t state = 0;
  std::uint64_t overwritten = 0, total = 0;
  std::int32_t overwrittenBy = -1;
  std::uint64_t modified = 0;
};

struct FoundFolder {
  std::string path;
  bool deleted = false;
};

class Scan {
 public:
  explicit Scan(const std::filesystem::path& image, std::uint32_t options = 0);
  ~Scan();
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  [[nodiscard]] bool recognized() const { return m_recognized; }
  [[nodiscard]] const std::vector<Found>& files() const { return m_files; }
  [[nodiscard]] const std::vector<FoundFolder>& folders() const { return m_folders; }
  [[nodiscard]] const Found* find(const std::string& path, bool deleted) const;
  bool recover(std::uint32_t index, const std::filesystem::path& target);
  [[nodiscard]] Undelete* engine() const { return m_u; }
  [[nodiscard]] CachedDrive* drive() const { return m_drive; }

 private:
  Undelete* m_u = nullptr;
  CachedDrive* m_drive = nullptr;
  bool m_recognized = false;
  std::vector<Found> m_files;
  std::vector<FoundFolder> m_folders;
};

/// One line of `fls -r -p -f exfat`: path, size, deleted flag, inode.
struct FlsEntry {
  std::string path;
  std::uint64_t size = 0;
  bool deleted = false;
  bool directory = false;
  std::string inode;
};
std::vector<FlsEntry> fls(const std::filesystem::path& image);

/// True when exFAT images can be made and populated here (root, mkfs.exfat, the FUSE driver,
/// losetup, The Sleuth Kit).
bool canBuildImages();
/// Runs @p commands against @p image mounted through the FUSE driver; the mount point is $M.
bool withMount(const std::filesystem::path& image, const std::string& commands);

}  // namespace exfattest
