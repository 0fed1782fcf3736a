// Pieces shared by the host layer's files (and its unit tests): source syntax, configuration
// parsing, sysfs and mount lookups, device wrappers. Not for use outside engine/host and tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace host {

// --- errors -------------------------------------------------------------------------------------

/// Sets the thread's last error to @p code and the text Host_LastErrorText returns.
void fail(std::uint32_t code, std::string text) noexcept;
/// fail() with kErrAccessDenied for EACCES/EPERM, kErrOpenDrive otherwise; the text names @p what.
void failErrno(const std::string& what, int err) noexcept;

// --- sources and configuration ------------------------------------------------------------------

/// "disk.img@OFFSET+LENGTH" (decimal or 0x hex; "+LENGTH" optional) split into file and window.
/// A source without a well-formed window suffix is a plain path.
struct Source {
  std::string path;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> length;
};
[[nodiscard]] Source parseSource(const std::string& source);

/// One "KEY=VALUE" assignment of KVX_DRIVES/KVX_DISKS or drives.ini.
struct Assignment {
  std::string key;
  std::string value;
};
/// KVX_DRIVES / KVX_DISKS syntax: assignments separated by ';' (blank items ignored).
[[nodiscard]] std::vector<Assignment> parseAssignmentList(std::string_view text);
/// drives.ini: one assignment a line; '#' or ';' starts a comment line; "[section]" lines are
/// ignored (letters are drives, numbers are disks, whatever the section).
[[nodiscard]] std::vector<Assignment> parseIni(std::string_view text);

/// A key naming a drive letter ("E", "e", "E:"), else 0.
[[nodiscard]] char letterOfKey(std::string_view key);
/// A key naming a physical drive number 0..127, else nullopt.
[[nodiscard]] std::optional<std::uint32_t> diskOfKey(std::string_view key);

/// Path of drives.ini ($XDG_CONFIG_HOME or ~/.config, then rekovia/), empty when unknown.
[[nodiscard]] std::string configFilePath();

/// A block-device volume or disk found in sysfs.
struct Discovered {
  std::string name;  // "sdb1"
  std::string path;  // "/dev/sdb1"
  bool removable = false;
  bool optical = false;
};
/// Volumes: partitions and partitionless disks of /sys/class/block, in natural name order.
[[nodiscard]] std::vector<Discovered> discoverVolumes();
/// Disks: /sys/block minus loop, ram, zram and sr devices, and disks without a medium.
[[nodiscard]] std::vector<Discovered> discoverDisks();

/// Drive type of a path: /dev/sr* (also through symlinks) and *.iso/*.udf are CD-ROMs, block
/// devices whose disk is removable are removable, everything else fixed.
[[nodiscard]] std::uint32_t driveTypeOfPath(const std::string& path);

/// Builds a drive table: @p environment entries first, then @p config, then @p added, then the
/// @p discovered volumes on the free letters from C upwards. The first entry for a letter wins.
[[nodiscard]] std::vector<HostDrive> buildDriveTable(const std::vector<Assignment>& environment,
                                                     const std::vector<Assignment>& config,
                                                     const std::vector<HostDrive>& added,
                                                     const std::vector<Discovered>& discovered);
[[nodiscard]] std::vector<HostDisk> buildDiskTable(const std::vector<Assignment>& environment,
                                                   const std::vector<Assignment>& config,
                                                   const std::vector<HostDisk>& added,
                                                   const std::vector<Discovered>& discovered);

// --- mounts and extents -------------------------------------------------------------------------

struct Mount {
  dev_t device = 0;  // st_dev of the mounted file system
  std::string root;  // the mount's root within its file system
  std::string mountPoint;
  std::string fsType;
  std::string source;     // "/dev/sdb1", an image path (FUSE), or anything
  bool readOnly = false;  // "ro" in the mount's or the file system's options
};
/// Parses /proc/self/mountinfo text (octal escapes undone); malformed lines are skipped.
[[nodiscard]] std::vector<Mount> parseMountInfo(std::string_view text);
[[nodiscard]] std::vector<Mount> readMounts();

/// Where a source's bytes live: a whole disk (block device number) or a regular file (device and
/// inode), and the byte range within it. Partitions and loop devices resolve to what holds them.
struct Span {
  bool isFile = false;
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
};
[[nodiscard]] std::optional<Span> spanOfBlock(dev_t rdev);
[[nodiscard]] std::optional<Span> spanOfPath(const std::string& path, std::uint64_t offset,
                                             std::optional<std::uint64_t> length);
[[nodiscard]] bool overlaps(const Span& a, const Span& b) noexcept;
/// Span of what a mount reads from, when that is a block device or a file.
[[nodiscard]] std::optional<Span> spanOfMount(const Mount& m);

/// True when a file system of this machine is mounted from bytes that @p span overlaps.
[[nodiscard]] bool spanIsMounted(const Span& span);

// --- devices ------------------------------------------------------------------------------------

/// Restricts @p inner to [offset, offset + length) (length none: to the end).
[[nodiscard]] std::unique_ptr<HostDevice> wrapWindow(std::unique_ptr<HostDevice> inner,
                                                     std::uint64_t offset,
                                                     std::optional<std::uint64_t> length);
/// Refuses reads that are not whole 2048-byte blocks at block offsets, as an optical drive does.
[[nodiscard]] std::unique_ptr<HostDevice> wrapOptical(std::unique_ptr<HostDevice> inner);
/// Segments of a split raw image named by its first one ("disk.001" or "disk.000", then .002 ...
/// with the same number of digits, as far as @p exists finds them). Empty when @p path names no
/// first segment or no second segment exists: a single file is a plain raw image.
[[nodiscard]] std::vector<std::string> splitImageSegments(
    const std::string& path, const std::function<bool(const std::string&)>& exists);
/// Opens @p path as an EWF image (by its signature) or a split raw image (by its name), read-only.
/// @p handled is false when it is neither (the caller opens it as a plain file); otherwise the
/// result is the device, or null with the last error set.
[[nodiscard]] std::unique_ptr<HostDevice> openImageSet(const std::string& path,
                                                       const HostOpenOptions& options,
                                                       bool& handled);
/// CD table of contents of an open /dev/sr* descriptor: start blocks of up to 100 tracks.
[[nodiscard]] bool readCdToc(int fd, std::vector<std::uint32_t>& trackStarts) noexcept;

}  // namespace host
