// ISO 9660 bytes to values: volume descriptors, directory records, recording times and the
// locator of a CDFS file. No I/O: tests and fuzzers call these directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/reader.h"
#include "optical/cdfs_ondisk.h"

/// What a volume descriptor says.
struct CdfsDescriptor {
  std::uint8_t type = 0;  // 1 primary, 2 supplementary, 255 terminator, others as found
  bool joliet = false;    // supplementary with a UCS-2 escape sequence
  std::uint32_t volumeBlocks = 0;
  std::uint32_t pathTable = 0;
  std::uint32_t pathTableOptional = 0;
  std::uint32_t rootExtent = 0;
  std::uint32_t rootLength = 0;
};

/// Ok with @p out filled when @p block starts with "CD001"; NotThis otherwise (@p out undefined).
[[nodiscard]] Parse CDFS_ParseDescriptor(std::span<const std::uint8_t> block,
                                         CdfsDescriptor& out) noexcept;

/// One directory record.
struct CdfsEntry {
  std::uint32_t recordLength = 0;  // bytes to the next record
  std::uint32_t extent = 0;        // first data block (extended attribute blocks skipped)
  std::uint32_t dataLength = 0;
  std::uint8_t flags = 0;
  std::uint8_t recorded[7] = {};
  bool dot = false;     // "." or ".." (identifier 0x00 or 0x01)
  std::u16string name;  // version (";1") dropped for files
};

/// Parses the record at @p at of a directory block. NotThis for a zero length byte (the rest of
/// the block is unused); Corrupt when the record does not fit the block or is shorter than its
/// fixed part and identifier. @p joliet selects UCS-2 names; 8-bit names are Windows-1252.
[[nodiscard]] Parse CDFS_ParseDirRecord(std::span<const std::uint8_t> block, std::size_t at,
                                        bool joliet, CdfsEntry& out);

/// Recording time as FILETIME ticks in UTC (the zone byte applied); 0 for an unset or
/// impossible date.
[[nodiscard]] std::uint64_t CDFS_RecordingTime(const std::uint8_t (&recorded)[7]) noexcept;

/// One piece of a file's data.
struct CdfsExtent {
  std::uint32_t block;
  std::uint32_t length;  // bytes
};

/// Locator of a file: its first block (4 bytes) for a one-extent file; 0xFFFFFFFF, a count and
/// (block, length) pairs for a file recorded in several extents.
[[nodiscard]] std::vector<std::uint8_t> CDFS_EncodeLocator(const std::vector<CdfsExtent>& extents,
                                                           std::uint32_t size);
/// Extents of a locator as stored: @p size bytes of file; false when the bytes are inconsistent.
/// @p available bounds how many locator bytes may be read.
[[nodiscard]] bool CDFS_DecodeLocator(std::span<const std::uint8_t> locator, std::uint64_t size,
                                      std::vector<CdfsExtent>& out);

inline constexpr std::uint32_t kCdfsMultiExtentMark = 0xFFFFFFFFu;
inline constexpr std::uint32_t kCdfsMaxExtents = 65536;

/// FILETIME ticks of a civil date and time (proleptic Gregorian, no zone); 0 when out of range.
[[nodiscard]] std::uint64_t Optical_FileTime(int year, int month, int day, int hour, int minute,
                                             int second) noexcept;
/// @p fileTime (UTC) moved into the machine's local time at that moment.
[[nodiscard]] std::uint64_t Optical_UtcToLocal(std::uint64_t fileTime) noexcept;
