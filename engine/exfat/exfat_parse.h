// Pure exFAT parsing: boot region to geometry, FAT entries and the allocation bitmap, directory
// entry sets to names, sizes and times, the up-case table. No I/O, no logs, no engine object: the
// scanner, the tests and the fuzzers call the same code.
#pragma once

#include <cstdint>
#include <span>

#include "core/reader.h"
#include "exfat/exfat_ondisk.h"

/// Fields of a boot sector that passed the checks below.
struct ExfatBoot {
  std::uint32_t sectorSize = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t clusterBytes = 0;
  std::uint64_t volumeSectors = 0;
  std::uint32_t fatOffset = 0;  // sectors
  std::uint32_t fatLength = 0;  // sectors
  std::uint32_t fatCount = 0;
  std::uint32_t clusterHeapOffset = 0;  // sectors
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t volumeSerial = 0;
  std::uint16_t volumeFlags = 0;
};

/// Reads one boot sector (at least 512 bytes). NotThis without the exFAT name, jump, signature and
/// zeroed FAT parameter block (so a FAT or NTFS boot sector is never taken); Corrupt when the
/// geometry is impossible (shifts out of range, FAT or cluster heap outside the volume, root
/// cluster outside the heap). @out is filled on Ok only.
[[nodiscard]] Parse EXFAT_ParseBootSector(std::span<const std::uint8_t> sector,
                                          ExfatBoot& out) noexcept;

/// Checksum of the first eleven sectors of a boot region (@p region holds them, each
/// @p sectorSize bytes); the volume-flags and percent-in-use bytes of sector 0 are left out.
[[nodiscard]] std::uint32_t EXFAT_BootChecksum(std::span<const std::uint8_t> region,
                                               std::uint32_t sectorSize) noexcept;
/// A whole boot region (12 sectors): the boot sector parses and every u32 of the checksum sector
/// equals the checksum of the eleven before. NotThis / Corrupt as the boot sector parse says, and
/// Corrupt on a checksum mismatch.
[[nodiscard]] Parse EXFAT_ParseBootRegion(std::span<const std::uint8_t> region,
                                          ExfatBoot& out) noexcept;

/// Checksum of the up-case table bytes (the same rotate-and-add as the boot checksum, over all).
[[nodiscard]] std::uint32_t EXFAT_TableChecksum(std::span<const std::uint8_t> table) noexcept;
/// Expands the (possibly compressed) up-case table into @p map: 0xFFFF followed by a count is a
/// run of characters that map to themselves. Characters the table does not reach map to
/// themselves. False when the table is cut inside a run marker.
bool EXFAT_ExpandUpcase(std::span<const std::uint8_t> table,
                        std::span<char16_t, 65536> map) noexcept;
/// Name hash of a stream extension over the up-cased name.
[[nodiscard]] std::uint16_t EXFAT_NameHash(const char16_t* name, std::uint32_t length,
                                           const char16_t* upcase) noexcept;
inline constexpr std::size_t kExfatUpcaseChars = 65536;

/// Native copy of a volume record plus its table and bitmap copies.
struct ExfatGeometry {
  std::uint32_t sectorSize = 0;
  std::uint32_t clusterBytes = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t fatOffset = 0;
  std::uint32_t clusterHeapOffset = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t flags = 0;
  const std::uint8_t* fat = nullptr;  // fatBytes bytes (null when 0)
  std::uint32_t fatBytes = 0;
  const std::uint8_t* bitmap = nullptr;  // bitmapBytes bytes (null when 0: no bitmap found)
  std::uint32_t bitmapBytes = 0;

  /// One past the highest cluster number.
  [[nodiscard]] std::uint64_t clusterEnd() const noexcept {
    return std::uint64_t{clusterCount} + 2;
  }
  [[nodiscard]] bool valid(std::uint64_t c) const noexcept { return c >= 2 && c < clusterEnd(); }
};

/// Builds the volume record of a parsed boot sector (no table or bitmap yet, no label).
void EXFAT_MakeVolumeInfo(const ExfatBoot& boot, ExfatVolumeInfo& out) noexcept;
/// Fills @p out from a record followed by @p tail (table copy, then bitmap copy); false when the
/// record is unusable (type, sizes, copies longer than @p tail, heap before the FAT).
[[nodiscard]] bool EXFAT_GeometryFrom(const ExfatVolumeInfo& info,
                                      std::span<const std::uint8_t> tail,
                                      ExfatGeometry& out) noexcept;

/// First sector of cluster @p c (c >= 2 expected).
[[nodiscard]] std::uint64_t EXFAT_ClusterSector(const ExfatGeometry& g, std::uint64_t c) noexcept;
/// The FAT entry of @p c: false when outside the table, free (0), reserved (1), bad or end of
/// chain, or pointing outside the heap.
[[nodiscard]] bool EXFAT_NextInChain(const ExfatGeometry& g, std::uint32_t c,
                                     std::uint32_t& next) noexcept;
/// True when the allocation bitmap marks @p c in use (false without a bitmap or out of range).
[[nodiscard]] bool EXFAT_ClusterInUse(const ExfatGeometry& g, std::uint32_t c) noexcept;

/// The clusters of one stream, in order: contiguous from the first with the no-FAT-chain flag;
/// otherwise along the FAT chain while it lasts, then straight on after the last cluster (a
/// deleted file's chain may be freed). Ends after ceil(bytes / clusterBytes) clusters, at the end
/// of the heap, or at once for an invalid first cluster; never more than clusterCount steps.
/// With @p stopAtChainEnd (a stream whose length is not known, such as the root) the end of the
/// chain ends the walk.
class ExfatClusterWalk {
 public:
  ExfatClusterWalk(const ExfatGeometry& g, std::uint32_t first, bool noFatChain,
                   std::uint64_t bytes, bool stopAtChainEnd = false) noexcept;
  /// Next cluster; false at the end.
  [[nodiscard]] bool next(std::uint32_t& cluster) noexcept;
  /// Clusters still wanted when the walk ran off the heap.
  [[nodiscard]] bool outOfRange() const noexcept { return m_outOfRange; }
  /// True once the walk went on straight after a chain that ended early.
  [[nodiscard]] bool chainEnded() const noexcept { return m_chainEnded; }

 private:
  const ExfatGeometry& m_g;
  std::uint32_t m_current = 0;
  std::uint64_t m_left = 0;
  bool m_noFatChain = false;
  bool m_stopAtChainEnd = false;
  bool m_started = false;
  bool m_chainEnded = false;
  bool m_outOfRange = false;
};

/// FILETIME of an entry time: calendar value (DOS date and time) plus the 10-ms field, minus the
/// UTC offset when it is marked valid. @utc says which. 0 for an impossible date or time.
[[nodiscard]] std::uint64_t EXFAT_TimeToFileTime(std::uint32_t stamp, std::uint8_t tenMs,
                                                 std::uint8_t utcOffset, bool& utc) noexcept;

/// One file or directory entry set.
struct ExfatEntrySet {
  std::uint32_t entries = 0;  // 32-byte entries the set spans (1 + secondary count)
  bool deleted = false;       // in-use bit clear on the primary entry
  bool checksumOk = false;    // set checksum matches (in-use bits restored for a deleted set)
  std::uint16_t attributes = 0;
  std::uint8_t streamFlags = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::uint64_t validDataLength = 0;
  std::uint16_t nameHash = 0;
  ExfatFileEntry file{};
  char16_t name[256] = {};
  std::uint32_t nameLength = 0;

  [[nodiscard]] bool directory() const noexcept { return (attributes & kExfatAttrDirectory) != 0; }
  [[nodiscard]] bool noFatChain() const noexcept {
    return (streamFlags & kExfatFlagNoFatChain) != 0;
  }
};

/// Parses the entry set that starts at the first entry of @p entries (the rest of the directory
/// may follow). NotThis when the first entry is not a file entry (live or deleted); Corrupt when
/// the set is cut short, mixes live and deleted entries, lacks its stream or name entries, has a
/// name with characters a name may not hold, or a deleted set's checksum does not match. A live
/// set with a wrong checksum is still Ok (checksumOk false). @out is filled on Ok only.
/// @p upcase (may be null) lets a deleted set whose checksum fails still be taken when its name
/// hash matches.
[[nodiscard]] Parse EXFAT_ParseEntrySet(std::span<const std::uint8_t> entries,
                                        const char16_t* upcase, ExfatEntrySet& out) noexcept;

/// True when the set's data fits the volume: size at most the heap, valid length at most the
/// size, a first cluster inside the heap when there is data.
[[nodiscard]] bool EXFAT_PlausibleSet(const ExfatGeometry& g, const ExfatEntrySet& set) noexcept;

/// Engine attribute letters (kAttr*) of exFAT file attributes.
[[nodiscard]] std::uint8_t EXFAT_MapAttributes(std::uint16_t attributes) noexcept;

/// Volume label of a label entry (0..11 UTF-16 units); false for another entry type.
bool EXFAT_ParseLabel(std::span<const std::uint8_t> entry, char16_t (&label)[12],
                      std::uint32_t& length) noexcept;
