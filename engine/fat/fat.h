// FAT12/16/32 volumes: recognition, deleted-entry search, state estimation, recovery, the volume
// description and the saved volume record. What the scan orchestration, the recovery dispatch and
// the session file call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "fat/fat_parse.h"
#include "undelete/undelete.h"

struct CachedDrive;

// --- Recognition and cluster arithmetic -----------------------------------------------------

/// Adds a FAT volume record (followed by a copy of the first FAT) to the drive's file-system
/// table when sector 0 holds a FAT boot sector. Declines at once when the table has entries.
/// @u receives the trace lines (may be null).
[[nodiscard]] bool FAT_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept;

/// The drive's selected file-system entry as FAT geometry; false when it is not a FAT entry.
[[nodiscard]] bool FAT_GetGeometry(const CachedDrive* drive, FatGeometry& out) noexcept;
/// First sector of a data cluster of the selected FAT file system (0 when none is selected).
[[nodiscard]] std::uint64_t FAT_ClusterToSector(const CachedDrive* drive,
                                                std::uint32_t cluster) noexcept;
/// First sector of the root directory of the selected FAT file system.
[[nodiscard]] std::uint64_t FAT_RootDirSector(const CachedDrive* drive) noexcept;
/// FAT entry of @p cluster: false when outside the table or below 2 (free or reserved).
[[nodiscard]] bool FAT_GetFatEntry(const CachedDrive* drive, std::uint32_t cluster,
                                   std::uint32_t* next) noexcept;
/// True for end-of-chain (and bad-cluster) values of the selected kind; true for other kinds.
[[nodiscard]] bool FAT_IsEndOfChain(const CachedDrive* drive, std::uint32_t value) noexcept;

// --- Search and state estimation -------------------------------------------------------------

/// Walks the directory tree of the selected FAT file system, adds every plausible entry, estimates
/// file states and, with the deep-scan option, scans the unclaimed sectors by content.
bool FAT_SearchFiles(Undelete* u) noexcept;
/// Searches one directory (cluster 0: the root) and, recursively, its sub-directories.
/// maxEntries limits the directory to maxEntries x 32 bytes. depth guards the recursion.
bool FAT_Search(Undelete* u, std::uint32_t cluster, std::uint32_t maxEntries,
                std::uint32_t parentFolder, bool parentDeleted, std::uint32_t progressBase,
                std::uint32_t progressSpan, std::uint32_t depth = 0) noexcept;
/// Sets the state of every file of the current pass from the clusters other files claim.
bool FAT_GetDamage(Undelete* u) noexcept;
/// Fills the three times of @p record from a 32-byte entry (FAT12: the write time only).
void FAT_ReadEntryTimes(FileRecord* record, const std::uint8_t* entry, const Undelete* u) noexcept;
/// Content check of one file before it is stored: format detection on its first 50 KiB, then the
/// extension check, which may rename @p name (a NUL-terminated buffer of @p nameCapacity units).
bool FAT_CheckRealType(Undelete* u, FileRecord* record, bool renameFlag, std::uint32_t firstCluster,
                       char16_t* name, std::size_t nameCapacity) noexcept;

/// Deepest directory nesting the search follows.
inline constexpr std::uint32_t kFatMaxDepth = 128;

// --- Recovery ---------------------------------------------------------------------------------

/// Writes the data of @p record to a new file at @p target (UTF-8 path). @p bytesDone is set to
/// the bytes written so far after every write.
bool FAT_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept;

// --- The table row ------------------------------------------------------------------------------

/// FAT's row of the file-system table (fat_descriptor.cpp). Lost FAT volumes found by the deep
/// scan are the format-recovery module's, which is not built yet: the row's hook is null.
extern const struct FsDescriptor kFatDescriptor;

// --- Description and session ------------------------------------------------------------------

/// Appends "<size>, FAT16" (short form) or "<size>, FAT16, Cluster size: %d, FATs count: %d" to
/// @p text. False for a selected entry that is not FAT.
bool FAT_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// A std::malloc'ed block of 44 + fatBytes bytes: the volume record and its table copy.
bool FAT_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept;
/// Adds a saved volume record (kind 4..6, followed by its table copy) to the drive's table.
bool FAT_LoadVolumeInfo(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept;
