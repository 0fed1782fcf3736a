// exFAT volumes: recognition, directory search, state estimation, recovery, the volume
// description and the saved volume record. What the scan orchestration, the recovery dispatch and
// the session file call.
#pragma once

#include <atomic>
#include <cstdint>

#include "exfat/exfat_parse.h"
#include "undelete/undelete.h"

struct CachedDrive;

/// Adds an exFAT volume record (followed by copies of the active FAT and the allocation bitmap) to
/// the drive's file-system table when the volume starts with an exFAT boot region (the backup
/// region stands in for a damaged main one). Declines at once when the table has entries.
[[nodiscard]] bool EXFAT_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept;
/// The drive's selected file-system entry as exFAT geometry; false when it is not an exFAT entry.
[[nodiscard]] bool EXFAT_GetGeometry(const CachedDrive* drive, ExfatGeometry& out) noexcept;
/// The selected entry's record (label, flags); false when it is not an exFAT entry.
[[nodiscard]] bool EXFAT_GetVolumeInfo(const CachedDrive* drive, ExfatVolumeInfo& out) noexcept;

/// Walks the directory tree (deleted entry sets and deleted directories included), adds every
/// plausible entry set, estimates file states and, with the deep-scan option, scans the free
/// clusters by content.
bool EXFAT_SearchFiles(Undelete* u) noexcept;
/// Sets the state of every exFAT file of the current pass: clusters that the allocation bitmap
/// shows in use, or that a live or later file claims, are overwritten. Marks every allocated
/// cluster in the used-sector map.
bool EXFAT_GetDamage(Undelete* u) noexcept;

/// Writes the data of @p record to a new file at @p target (UTF-8 path; an existing file is not
/// replaced). @p bytesDone is set to the bytes written so far after every write.
bool EXFAT_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                       std::atomic<std::uint64_t>* bytesDone) noexcept;

/// Appends "<size>, exFAT" (short form) or "<size>, exFAT, Cluster size: %d, FATs count: %d" and,
/// when the volume has one, ", Label: %s" to @p text. False for a selected entry that is not exFAT.
bool EXFAT_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// A std::malloc'ed copy of the selected table entry: record, table copy, bitmap copy.
bool EXFAT_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept;
/// Adds a saved entry to the drive's table after checking it as recognition would.
bool EXFAT_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept;

/// The module's row of the file-system table.
extern const struct FsDescriptor kExfatDescriptor;

/// Deepest directory nesting the search follows.
inline constexpr std::uint32_t kExfatMaxDepth = 128;
/// Largest directory read (the format's own limit).
inline constexpr std::uint64_t kExfatMaxDirectoryBytes = 256ull << 20;
