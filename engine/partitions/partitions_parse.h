// Pure parsers of partition structures: bytes in, values out. No I/O, no logs, no engine object,
// so that unit tests and fuzz targets call them directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/reader.h"
#include "partitions/partitions_ondisk.h"

using ByteSpan = std::span<const std::uint8_t>;

// ---- MBR / EBR ----

/// The four entries of a table sector and what sector 0's condition bits need.
struct MbrTable {
  std::array<MbrEntry, 4> entries{};
  bool signature = false;        // 0x55 0xAA at 510
  bool bootCodeMissing = false;  // first byte 0 or the 446 code bytes all zero
  std::uint8_t firstByte = 0;
};
/// NotThis when fewer than 512 bytes are given; otherwise Ok (a table without signature is still
/// read: the lost-partition scan compares entries with the disk whatever the signature says).
[[nodiscard]] Parse Mbr_ParseSector(ByteSpan sector, MbrTable& out) noexcept;
[[nodiscard]] bool Mbr_HasSignature(ByteSpan sector) noexcept;
[[nodiscard]] constexpr bool Mbr_IsExtendedType(std::uint8_t type) noexcept {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

/// A table sector the way partitioners write an EBR: one volume in the first entry that fits in
/// what is left of the area (@p sectorsLeft, counted from the EBR), at most a link in the second,
/// nothing in the last two. Copies of an MBR, and sectors of file data that merely end in
/// 0x55 0xAA, fail it.
[[nodiscard]] bool Mbr_LooksLikeEbr(const MbrTable& table, std::uint64_t sectorsLeft) noexcept;

/// What a boot sector found in a gap says about its volume.
struct BootKind {
  std::uint8_t kind = 0;   // partition type to give it: 0x01 FAT12, 0x04 FAT16, 0x0B FAT32, 0x07
  std::uint64_t size = 0;  // bytes (counted in the volume's own sectors)
  const char* fileSystem = "";  // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT"
};
/// Classifies a sector that starts with a jump and ends with 0x55 0xAA. Nothing for anything else
/// and for a volume of size 0, which no caller can place.
[[nodiscard]] std::optional<BootKind> Partition_ClassifyBootSector(ByteSpan sector) noexcept;

// ---- GPT ----

/// Reflected CRC-32 (polynomial 0xEDB88320), as GPT headers and entry arrays use.
[[nodiscard]] std::uint32_t Gpt_Crc32(ByteSpan data, std::uint32_t crc = 0) noexcept;

struct GptHeaderInfo {
  std::uint64_t myLba = 0;
  std::uint64_t alternateLba = 0;
  std::uint64_t firstUsableLba = 0;
  std::uint64_t lastUsableLba = 0;
  std::uint64_t entriesLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;
  std::uint32_t entriesCrc = 0;
  std::array<std::uint8_t, 16> diskGuid{};
  bool headerCrcOk = false;  // reported, not required: a bad CRC alone does not hide partitions
};
inline constexpr std::uint32_t kGptMaxEntries = 4096;
inline constexpr std::uint32_t kGptMaxEntrySize = 4096;
/// Ok for a header with the signature, @p expectedLba as its own LBA and an entry array of
/// 1..4096 entries of 128..4096 bytes (a multiple of 8); NotThis without the signature or at
/// another LBA; Corrupt for impossible counts.
[[nodiscard]] Parse Gpt_ParseHeader(ByteSpan sector, std::uint64_t expectedLba,
                                    GptHeaderInfo& out) noexcept;

struct GptPartition {
  std::uint32_t index = 0;  // position in the array
  std::array<std::uint8_t, 16> typeGuid{};
  std::array<std::uint8_t, 16> uniqueGuid{};
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;
  std::array<char16_t, 37> name{};  // NUL-terminated
};
/// Walks an entry array. Unused entries (all 128 bytes zero) are skipped; entries with only one of
/// the two GUIDs zero, or with the last LBA not past the first, are corrupt: counted in @p corrupt
/// and skipped. The walk ends at the last whole entry that @p array holds.
void Gpt_ParseEntries(ByteSpan array, std::uint32_t entryCount, std::uint32_t entrySize,
                      std::vector<GptPartition>& out, std::uint32_t& corrupt);

// Partition type GUIDs, in their on-disk byte order.
using Guid = std::array<std::uint8_t, 16>;
extern const Guid kGuidMsReserved;
extern const Guid kGuidBasicData;
extern const Guid kGuidLdmMetadata;
extern const Guid kGuidLdmData;
/// "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" form of an on-disk GUID (37 bytes with the NUL).
void Guid_Format(const std::uint8_t* guid, char* out) noexcept;

// ---- Dynamic disks ----

struct LdmPrivheadInfo {
  std::uint64_t logicalDiskStart = 0;  // sectors
  std::uint64_t logicalDiskSize = 0;
  std::uint64_t configStart = 0;
  std::uint64_t configSize = 0;
  Guid diskGuid{};  // this disk, from its ASCII form
  bool hasDiskGuid = false;
};
[[nodiscard]] Parse Ldm_ParsePrivhead(ByteSpan sector, LdmPrivheadInfo& out) noexcept;

struct LdmTocInfo {
  std::uint64_t bitmap1Start = 0, bitmap1Size = 0;  // sectors
  std::uint64_t bitmap2Start = 0, bitmap2Size = 0;
};
[[nodiscard]] Parse Ldm_ParseTocBlock(ByteSpan sector, LdmTocInfo& out) noexcept;

struct LdmVmdbInfo {
  std::uint32_t lastSequence = 0;
  std::uint32_t vblkSize = 0;
  std::uint32_t firstVblkOffset = 0;
};
/// Ok for a VMDB with a VBLK size of 16..65536 bytes; NotThis without the signature.
[[nodiscard]] Parse Ldm_ParseVmdb(ByteSpan sector, LdmVmdbInfo& out) noexcept;

struct LdmVblk {
  enum class Kind : std::uint8_t { Other, Partition, Disk } kind = Kind::Other;
  std::uint64_t objectId = 0;
  char name[64] = {};  // NUL-terminated, cut at 63 characters
  // Partition records:
  std::uint64_t start = 0;         // sectors from the data area's start
  std::uint64_t volumeOffset = 0;  // sectors
  std::uint64_t size = 0;          // sectors
  std::uint64_t diskId = 0;        // object id of the disk record it lies on
  // Disk records:
  Guid diskGuid{};
  bool hasDiskGuid = false;
};
/// One VBLK block. Ok for a partition or disk record held in one fragment; NotThis for unused
/// blocks and other records; Corrupt when a length-prefixed field runs past the block.
[[nodiscard]] Parse Ldm_ParseVblk(ByteSpan block, LdmVblk& out) noexcept;
