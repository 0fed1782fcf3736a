// Lost FAT folders: directories whose own entry is gone (orphans of the live file system, found
// among its free clusters) and directories of an earlier FAT file system (found by the deep scan,
// with a guessed geometry). Pure checks first, for tests and fuzzers; then the engine operations.
#pragma once

#include <cstdint>
#include <span>

#include "core/reader.h"
#include "fat/fat_ondisk.h"

struct Undelete;

/// Checks that @p head (at least the first 64 bytes of a cluster) starts a sub-directory that
/// lives in @p cluster: a "." entry naming @p cluster and a ".." entry naming a cluster below
/// @p clusterLimit (0 for the root), both marked as directories, empty and with possible dates.
/// Ok with @p parent set to the ".." cluster; NotThis for anything else (@p parent undefined).
/// N.B. the entries after ".." are not looked at here: the directory search validates each one.
[[nodiscard]] Parse FAT_CheckDirectoryHead(std::span<const std::uint8_t> head, bool fat32,
                                           std::uint32_t cluster, std::uint32_t clusterLimit,
                                           std::uint32_t& parent) noexcept;

/// Checks that @p cluster (a whole cluster) continues a directory: every 32-byte slot up to the
/// end marker is a plausible long-name part or short entry (possible name, attributes, dates,
/// cluster below @p clusterLimit, size below @p volumeBytes), everything after the end marker is
/// zero, and at least one short entry is there. A "." entry in front is not a continuation
/// (NotThis).
[[nodiscard]] Parse FAT_CheckDirectoryBody(std::span<const std::uint8_t> cluster, bool fat32,
                                           std::uint32_t clusterLimit,
                                           std::uint64_t volumeBytes) noexcept;

/// Whether a FAT of @p kind (4, 5, 6) with clusters of @p clusterBytes fits a volume of
/// @p volumeBytes with @p sectorBytes sectors; @p fatSectors gets the size of both FATs in
/// sectors. False for a zero sector or volume size.
[[nodiscard]] bool FAT_GuessGeometry(std::uint64_t sectorBytes, std::uint64_t volumeBytes,
                                     std::uint32_t kind, std::uint64_t clusterBytes,
                                     std::uint64_t* fatSectors) noexcept;

/// The geometry of an earlier FAT file system in which sector @p sector holds the first sector of
/// directory cluster @p cluster: the cluster size that leaves the smallest area (below 128
/// sectors) in front of the FATs. @p out gets the volume record (fatBytes 0, no FAT copy).
[[nodiscard]] bool FAT_GuessFormatGeometry(std::uint32_t sectorBytes, std::uint64_t volumeBytes,
                                           std::uint32_t sector, std::uint32_t cluster,
                                           FatVolumeInfo& out) noexcept;

/// Lists the directories among the free clusters of the selected FAT file system that the tree
/// did not reach, under "Unknown location". Runs after the search from the root (it relies on
/// the used-sector map that search left). False when nothing could be looked at.
bool FAT_SearchOrphans(Undelete* u) noexcept;

/// Makes "Before format" and, below it, "FAT%.5d" for the drive's selected file system; true
/// when the "FAT%.5d" folder exists afterwards.
bool FAT_MakeFormatFolders(Undelete* u) noexcept;
