// Lost NTFS file systems met by the deep scan: the pure rules the rebuild applies to one record.
#pragma once

#include <cstdint>
#include <span>

/// Size of the file record that starts with @p sector: (update sequence entries - 1) sectors.
/// 0 when the sector does not start with "FILE", has fewer than two entries or the record would
/// be larger than 32 KiB.
[[nodiscard]] std::uint32_t NTFS_LostRecordBytes(std::span<const std::uint8_t> sector,
                                                 std::uint32_t sectorBytes) noexcept;

/// Sectors per cluster of a lost volume from one file: the smallest power of two (1..128) whose
/// product with the file's cluster count covers its @p dataBytes; 0 when none does.
[[nodiscard]] std::uint32_t NTFS_GuessClusterSectors(std::uint64_t clusters,
                                                     std::uint64_t dataBytes,
                                                     std::uint32_t sectorBytes) noexcept;

/// State of a lost file from its clusters that other data now claims: none Excellent, under half
/// Good, all Unrecoverable, otherwise Poor.
[[nodiscard]] std::uint32_t NTFS_LostState(std::uint64_t overlapped, std::uint64_t total) noexcept;
