// ISO 9660 (CDFS) volumes: sessions, the directory walk of each, recovery, the volume description
// and the saved volume record. What the scan orchestration, the recovery dispatch and the session
// file call.
#pragma once

#include <atomic>
#include <cstdint>

#include "optical/cdfs_parse.h"
#include "undelete/undelete.h"

struct CachedDrive;

/// CDFS's row of the file-system table.
extern const struct FsDescriptor kCdfsDescriptor;

/// Finds the volume descriptors of every session (the table of contents of an optical drive;
/// for an image, the session chain its descriptors describe, else one session at block 0) and
/// adds one CDFS record to the drive's table when any session has one. Sets the drive's sector
/// size to 2048 either way.
[[nodiscard]] bool CDFS_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept;

/// Lists every session's tree under its own "Session %d" folder. Files of earlier sessions that
/// the last session no longer lists (removed, or replaced by other data) are deleted; the others
/// keep the existing bit. With the deep-scan option, the blocks no session uses are then
/// searched by content.
bool CDFS_SearchFiles(Undelete* u) noexcept;

/// Writes the file's extents to a new file at @p target (UTF-8 path).
bool CDFS_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                      std::atomic<std::uint64_t>* bytesDone) noexcept;

/// Appends ", CDFS" (short form) or ", CDFS, sector size: 2048" after the volume's size text.
bool CDFS_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// A std::malloc'ed copy of the 2916-byte record.
bool CDFS_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept;

/// The selected entry of @p drive as a CDFS record; false when it is not one.
[[nodiscard]] bool CDFS_GetVolumeInfo(const CachedDrive* drive, CdfsVolumeInfo& out) noexcept;

/// Session starts of an image without a table of contents, from the descriptors it holds: the
/// chain of sessions from block 0, or, when block 16 holds a copy of the newest session's
/// descriptors (the layout of multisession images on overwritable media), the chain from block
/// 32. @p read reads one 2048-byte block; at most kCdfsMaxSessions starts.
using CdfsBlockReader = bool (*)(void* context, std::uint32_t block, std::uint8_t* out);
[[nodiscard]] std::vector<std::uint32_t> CDFS_FindSessions(CdfsBlockReader read,
                                                           void* context) noexcept;

/// Deepest directory nesting the walk follows.
inline constexpr std::uint32_t kCdfsMaxDepth = 128;
