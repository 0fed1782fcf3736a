// Pure FAT parsing: boot sector to geometry, allocation-table entries, directory entries to names,
// times and items. No I/O, no logs, no engine object: the scanner, the tests and the fuzzers call
// the same code.
#pragma once

#include <cstdint>
#include <span>

#include "core/reader.h"
#include "fat/fat_ondisk.h"

/// Raw boot-sector fields the recogniser uses.
struct FatBoot {
  std::uint32_t kind = 0;               // 4 FAT12, 5 FAT16, 6 FAT32 (from the type text alone)
  std::int32_t bytesPerSector = 0;      // sign-extended 16-bit field at 11
  std::uint32_t sectorsPerCluster = 0;  // 13
  std::uint32_t reservedSectors = 0;    // 14
  std::uint32_t fatCount = 0;           // 16
  std::uint32_t rootEntriesField = 0;   // 17
  std::uint32_t sectorsPerFat16 = 0;    // 22
  std::uint32_t sectorsPerFat32 = 0;    // 36
  std::uint32_t rootCluster = 0;        // 44
};

/// Reads the type texts and fields of sector 0. NotThis when the sector is shorter than 90 bytes
/// or carries none of "FAT12   " / "FAT16   " at 54 or "FAT32   " at 82 (any case); Ok otherwise
/// (the fields are not checked here).
[[nodiscard]] Parse FAT_ParseBootSector(std::span<const std::uint8_t> sector,
                                        FatBoot& out) noexcept;

enum class FatGeometryCheck : std::uint8_t {
  Ok,
  Incompatible,  // FAT32 with a 16-bit FAT size, or FAT12/16 without one
  OutOfRange,    // sector size, cluster size or table placement impossible for this volume
};

/// Builds the volume record for a volume of @p volumeBytes. @out is filled on Ok (fatCopy 0),
/// undefined otherwise. The root directory area of FAT12/16 is not subtracted from the cluster
/// limit; the limit is cut at the first end-of-chain value of the kind.
[[nodiscard]] FatGeometryCheck FAT_MakeVolumeInfo(const FatBoot& boot, std::uint64_t volumeBytes,
                                                  FatVolumeInfo& out) noexcept;

/// Native copy of a volume record plus what the cluster arithmetic needs.
struct FatGeometry {
  std::uint32_t kind = 0;
  std::uint32_t clusterBytes = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootEntries = 0;
  std::uint32_t fatBytes = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t clusterLimit = 0;
  std::uint32_t sectorSize = 0;
  const std::uint8_t* fat = nullptr;  // fatBytes bytes (may be null when fatBytes is 0)

  [[nodiscard]] bool isFat32() const noexcept { return kind == 6; }
};

/// Fills @p out from a record and its table; false when the record is unusable (kind not 4..6,
/// zero sector or cluster size, clusterBytes not sectorSize x sectorsPerCluster).
[[nodiscard]] bool FAT_GeometryFrom(const FatVolumeInfo& info, const std::uint8_t* fat,
                                    std::uint32_t sectorSize, FatGeometry& out) noexcept;

/// First sector of data cluster @p cluster (cluster >= 2 expected; smaller values give the
/// first data sector).
[[nodiscard]] std::uint64_t FAT_ClusterSector(const FatGeometry& g, std::uint64_t cluster) noexcept;
/// First sector of the root directory (FAT12/16 area, or the FAT32 root cluster).
[[nodiscard]] std::uint64_t FAT_RootSector(const FatGeometry& g) noexcept;
/// The table entry of @p cluster: false when it lies outside the table or is below 2 (free or
/// reserved, so a freed chain has no next cluster). FAT32 entries keep their upper four bits.
[[nodiscard]] bool FAT_TableEntry(const FatGeometry& g, std::uint32_t cluster,
                                  std::uint32_t& next) noexcept;
/// True for end-of-chain and bad-cluster values of the kind (and for any unknown kind).
[[nodiscard]] bool FAT_EndOfChainValue(std::uint32_t kind, std::uint32_t value) noexcept;

/// FILETIME of a DOS date and time (+ creation 10-ms count) as calendar values, no time-zone
/// conversion; 0 for an impossible date or time.
[[nodiscard]] std::uint64_t FAT_DosToFileTime(std::uint16_t date, std::uint16_t time,
                                              std::uint32_t tenths) noexcept;

/// Windows-1252 byte to UTF-16 (Text_Cp1252; kept for the modules that call it by this name).
[[nodiscard]] char16_t FAT_Cp1252(std::uint8_t byte) noexcept;

/// Name collected from long-name parts, then replaced by the formed name.
inline constexpr std::uint32_t kFatNameMax = 260;
struct FatName {
  char16_t chars[kFatNameMax + 1] = {};
  std::uint32_t length = 0;
};

/// Puts the 13 characters of one long-name entry in front of the collected name. The first part
/// seen (the last of the name) counts up to its NUL. A name longer than 260 characters loses its
/// tail.
void FAT_AppendLongNamePart(const std::uint8_t* entry, FatName& name) noexcept;
/// With a collected long name: checks it. Otherwise forms the short name of @p entry into
/// @p name. False rejects the entry.
[[nodiscard]] bool FAT_FormatShortName(const std::uint8_t* entry, FatName& name) noexcept;

/// What one 32-byte directory entry is.
enum class FatSlot : std::uint8_t {
  End,        // first byte 0: the directory ends
  LongPart,   // long-name part, appended to the collected name
  Invalid,    // cluster out of range or bad name: makes nothing
  Directory,  // sub-directory with a non-empty name
  Volume,     // volume label: ignored
  File,       // anything else
};

struct FatItem {
  FatSlot slot = FatSlot::Invalid;
  std::uint32_t cluster = 0;
  std::uint32_t size = 0;
  std::uint8_t attributes = 0;  // raw FAT attribute byte
  bool deleted = false;         // first byte 0xE5 or below 0x20
  FatName name;                 // valid for Directory and File
};

/// Classifies one entry (the "." and ".." rule is the caller's). @p name carries the collected
/// long name in and is cleared after a non-long-name entry; @p out.name gets the final name.
void FAT_ClassifyEntry(const std::uint8_t* entry, bool fat32, std::uint32_t clusterLimit,
                       FatName& collected, FatItem& out) noexcept;

/// True when the 11 name bytes of @p entry are "." (dot) or ".." (dotDot) padded with blanks.
[[nodiscard]] bool FAT_IsDotEntry(const std::uint8_t* entry, bool dotDot) noexcept;

/// Engine attribute letters (kAttr*) of a FAT attribute byte.
[[nodiscard]] std::uint8_t FAT_MapAttributes(std::uint8_t fatAttributes) noexcept;

/// Reads the three times of an entry: {modified, created, accessed}; FAT12 gets only modified.
struct FatTimes {
  std::uint64_t modified = 0, created = 0, accessed = 0;
};
[[nodiscard]] FatTimes FAT_EntryTimes(const std::uint8_t* entry, std::uint32_t kind) noexcept;
