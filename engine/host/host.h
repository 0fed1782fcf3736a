// Host layer: the only place that talks to Linux devices and files. Drive letters and physical
// drive numbers map to sources (block devices, image files, windows of disk images).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

/// An opened source. Reads are absolute byte offsets on the device.
class HostDevice {
 public:
  virtual ~HostDevice() = default;
  /// Reads up to @p count bytes; false on an I/O error. An optical device refuses reads that are
  /// not whole 2048-byte blocks at block offsets.
  [[nodiscard]] virtual bool read(std::uint64_t offset, void* buffer, std::uint32_t count,
                                  std::uint32_t* got) noexcept = 0;
  [[nodiscard]] virtual bool write(std::uint64_t offset, const void* buffer, std::uint32_t count,
                                   std::uint32_t* written) noexcept = 0;
  [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
  /// Pushes written bytes to the medium (fdatasync); true for devices that hold nothing back.
  [[nodiscard]] virtual bool flush() noexcept { return true; }
  /// CD table of contents: start blocks of up to 100 tracks. Images have one track at 0.
  [[nodiscard]] virtual bool readToc(std::vector<std::uint32_t>& trackStarts) noexcept;
  /// Where the next bytes at or after @p offset that may be non-zero start: image files skip
  /// their holes, anything else answers @p offset. The size when nothing but holes follows.
  [[nodiscard]] virtual std::uint64_t nextData(std::uint64_t offset) noexcept { return offset; }
  /// Logical sector size a block device reports (the unit of its partition tables); 0 for
  /// anything that reports none, such as an image file.
  [[nodiscard]] virtual std::uint32_t logicalSectorSize() const noexcept { return 0; }
};

/// Platform drive types as the engine knows them.
inline constexpr std::uint32_t kHostDriveUnknown = 0;
inline constexpr std::uint32_t kHostDriveRemovable = 2;
inline constexpr std::uint32_t kHostDriveFixed = 3;
inline constexpr std::uint32_t kHostDriveCdRom = 5;

/// Where a table entry came from (sources named by the user versus found on this machine).
enum class HostOrigin : std::uint8_t { Environment, ConfigFile, Added, Discovered };

/// One entry of the drive table.
struct HostDrive {
  char letter = 0;           // 'A'..'Z'
  std::string source;        // as given: "/dev/sdb1", "/img/usb.img", "disk.img@OFFSET+LENGTH"
  std::string path;          // the file or device opened
  std::uint64_t offset = 0;  // window within path
  std::optional<std::uint64_t> length;  // window length; none = to the end
  std::uint32_t type = kHostDriveUnknown;
  HostOrigin origin = HostOrigin::Discovered;
};

/// The drive table (KVX_DRIVES, drives.ini, sysfs discovery, then run-time additions).
[[nodiscard]] std::vector<HostDrive> Host_ListDrives();
[[nodiscard]] std::optional<HostDrive> Host_FindDrive(char letter);
/// Maps @p source to @p letter, or to the first free letter from C when @p letter is 0.
/// Returns the letter used, or 0 (last error set) when the source is unusable or no letter is free.
char Host_AddDrive(const std::string& source, char letter = 0);
[[nodiscard]] std::uint32_t Host_GetDriveType(char letter);

/// The physical-drive table (KVX_DISKS, drives.ini, /sys/block).
struct HostDisk {
  std::uint32_t number = 0;
  std::string path;
  HostOrigin origin = HostOrigin::Discovered;
};
[[nodiscard]] std::vector<HostDisk> Host_ListDisks();
[[nodiscard]] std::optional<HostDisk> Host_FindDisk(std::uint32_t number);
std::uint32_t Host_AddDisk(const std::string& path);  // returns the number, 0xFFFFFFFF on failure

/// Opens a drive letter's source; null with the last error set (kErrOpenDrive, kErrAccessDenied).
/// Writing is refused for a mounted block device.
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenDrive(char letter, bool writeAccess);
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenDisk(std::uint32_t number, bool writeAccess);
/// Opens any path (image or device), optionally as an optical source.
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenPath(const std::string& path, bool writeAccess,
                                                        bool optical);
/// A device over memory, for tests and fuzzers; writes go to the memory when writable.
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenMemory(std::span<std::uint8_t> bytes,
                                                          bool writable, bool optical = false);

/// Letter of the drive whose source holds @p directory (through the mounts), 0 when none.
[[nodiscard]] char Host_LetterOfPath(const std::string& directory);
/// Every letter whose source shares bytes with the mount that holds @p directory: a loop device
/// found in sysfs and the image behind it are two letters for one volume. Letters named by the
/// user (environment, drives.ini, run-time additions) come first; Host_LetterOfPath is the first.
[[nodiscard]] std::string Host_LettersOfPath(const std::string& directory);
/// Mount point of a letter's source, empty when not mounted.
[[nodiscard]] std::string Host_MountPoint(char letter);

/// Mount point of a file system mounted read-write from bytes of a letter's source (or of
/// [start, start + length) of a physical drive), empty when none: such a source may change while
/// it is read.
[[nodiscard]] std::string Host_WritableMountOfDrive(char letter);
[[nodiscard]] std::string Host_WritableMountOfDisk(std::uint32_t number, std::uint64_t start,
                                                   std::uint64_t length);

/// Where a letter's volume lies on a physical drive of the table (the volume-disk-extents
/// answer): from sysfs for partitions, from the window for disk images. None when no table disk
/// holds it.
struct HostVolumeExtent {
  std::uint32_t disk = 0;
  std::uint64_t start = 0;   // byte offset on the disk
  std::uint64_t length = 0;  // bytes
};
[[nodiscard]] std::optional<HostVolumeExtent> Host_GetVolumeDiskExtent(char letter);

/// "E:\dir\file" (or "E:/dir/file") as a path below the mount point of E's source; empty when
/// the letter is unknown or its volume is not mounted.
[[nodiscard]] std::string Host_ResolveDrivePath(const std::string& drivePath);

/// What Host_AdoptDrive / Host_AdoptDisk did with a source remembered from an earlier run.
enum class HostAdopt : std::uint8_t {
  Same,        // the letter or number already names that source
  UserMapped,  // the user mapped it to something else this run (environment, drives.ini, added)
  Mapped,      // it was absent or held by a discovered device: it now names the source
  Missing,     // the source is no longer there (last error names it)
  Failed,      // the source is there but cannot be mapped (last error says why)
};
/// Gives @p letter back the source it had when a session was saved (@p source, absolute), unless
/// the user mapped the letter this run: their mapping wins.
[[nodiscard]] HostAdopt Host_AdoptDrive(char letter, const std::string& source);
/// The same for a physical-drive number and its disk image or device.
[[nodiscard]] HostAdopt Host_AdoptDisk(std::uint32_t number, const std::string& path);

/// Rebuilds both tables from KVX_DRIVES/KVX_DISKS, drives.ini and sysfs (run-time additions stay).
/// The tables are otherwise built once, on first use, so that letters stay put during a run.
void Host_RefreshDrives();

/// How to open a source. @p exclusive: O_EXCL on a block device (fails while it is mounted or
/// held), a non-blocking advisory lock on an image file.
struct HostOpenOptions {
  bool write = false;
  bool optical = false;
  bool exclusive = false;
};
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenPathWith(const std::string& path,
                                                            const HostOpenOptions& options);
/// Opens a letter's source exclusively (see HostOpenOptions::exclusive).
[[nodiscard]] std::unique_ptr<HostDevice> Host_OpenDriveExclusive(char letter, bool writeAccess);

/// Human-readable cause of this thread's last host failure ("/x.img: No such file or directory"),
/// for messages of the command line and the GUI. Empty when nothing failed yet.
[[nodiscard]] std::string Host_LastErrorText();
/// Sets this thread's last host failure to @p code with @p text (for callers outside the host
/// layer that report a cause in its terms).
void Host_SetFailure(std::uint32_t code, const std::string& text) noexcept;
/// Forgets this thread's last host failure (code and text) before an operation that reports its
/// own.
void Host_ClearLastError() noexcept;
