// Volumes without a recognised file system: an "unknown" file-system entry, the deep scan over
// all their sectors, and the recoverer of every file the deep scan finds (on any volume), which
// copies consecutive sectors.
#pragma once

#include <atomic>
#include <cstdint>

struct CachedDrive;
struct FileRecord;
struct Undelete;

/// Adds the 4-byte "Unknown FS" entry (type 0) to the drive's file-system table.
[[nodiscard]] bool Unformated_RecognizeDrive(CachedDrive* drive) noexcept;
/// Runs the deep scan over the whole volume (progress 0..9500); a continued deep scan keeps the
/// used-sector map it had. False when the volume has no usable size or the map cannot be made.
[[nodiscard]] bool Unformated_SearchFiles(Undelete* u) noexcept;
/// Copies record->size bytes from the sector the locator names (and the ones after it) to
/// @p outputPath. @p bytesDone is set to the bytes copied so far. A cancelled recovery succeeds
/// with what was written.
[[nodiscard]] bool Unformated_RecoverFile(Undelete* u, FileRecord* record, const char* outputPath,
                                          std::atomic<std::uint64_t>* bytesDone) noexcept;
/// Writes the volume's size text followed by ", Unformatted" (short form) or
/// ", Unformated, Sector size: %d" into @p text (at least 256 bytes).
bool Unformated_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// The entry as saved in a session: a 4-byte block (std::malloc'ed; the caller frees it).
[[nodiscard]] bool Unformated_SaveVolumeInfo(CachedDrive* drive, void** block,
                                             std::uint32_t* size) noexcept;
/// The raw kind's row of the file-system table (unformated_descriptor.cpp).
extern const struct FsDescriptor kUnformatedDescriptor;
