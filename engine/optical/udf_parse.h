// UDF bytes to values: descriptor tags, volume descriptors, file entries, allocation descriptors,
// file identifiers, names, times and the locator of a UDF file. No I/O: tests and fuzzers call
// these directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/reader.h"
#include "optical/udf_ondisk.h"

/// Ok when @p bytes start with a tag of identifier @p id whose checksum holds (the CRC is not
/// checked: a damaged body still says where things are). Not with @p location when that is not
/// ~0 and the tag's own location differs.
[[nodiscard]] Parse UDF_CheckTag(std::span<const std::uint8_t> bytes, std::uint16_t id,
                                 std::uint32_t location = ~0u) noexcept;
/// Fills in a tag's checksum and CRC over @p bytes (the descriptor, tag first); builders of test
/// images use it.
void UDF_SealTag(std::span<std::uint8_t> bytes, std::uint16_t crcLength) noexcept;

/// One partition map of a logical volume.
struct UdfMap {
  enum class Kind : std::uint8_t { Physical, Metadata, Virtual, Unsupported };
  Kind kind = Kind::Physical;
  std::uint16_t partitionNumber = 0;
  std::uint32_t metadataFile = 0;  // Metadata: block of the metadata file's entry
};

/// What the volume descriptor sequence says.
struct UdfVolume {
  bool havePartition = false, haveLogical = false;
  std::uint16_t partitionNumber = 0;
  std::uint32_t partitionStart = 0;   // sectors
  std::uint32_t partitionLength = 0;  // sectors
  std::uint32_t blockBytes = 0;
  std::uint32_t fileSetBlock = 0, fileSetLength = 0;
  std::uint16_t fileSetPartition = 0;
  std::vector<UdfMap> maps;
};

/// Takes one descriptor of the sequence into @p v. Ok for a partition or logical volume
/// descriptor, NotThis for other tags, Corrupt for an inconsistent one. @p end is set for the
/// terminating descriptor.
[[nodiscard]] Parse UDF_ParseVolumeDescriptor(std::span<const std::uint8_t> block, UdfVolume& v,
                                              bool& end);

/// One extent of a file or directory as its entry records it.
struct UdfExtent {
  std::uint32_t length;     // bytes (30 bits)
  std::uint8_t type;        // 0 recorded, 1 allocated only, 2 neither (reads as zeros)
  std::uint32_t block;      // logical block in @p partition
  std::uint16_t partition;  // partition reference
};

/// A file entry or extended file entry.
struct UdfEntry {
  bool extended = false;
  std::uint8_t fileType = 0;  // 4 directory
  std::uint16_t icbFlags = 0;
  std::uint8_t allocation = 0;  // 0 short, 1 long, 2 extended, 3 embedded
  std::uint64_t informationLength = 0;
  std::uint64_t blocksRecorded = 0;
  UdfTimestamp access{}, modification{}, attribute{};
  std::span<const std::uint8_t> descriptors;  // allocation descriptors or embedded data
};

/// Ok when @p block (one logical block) holds a file entry whose allocation descriptors fit in
/// it. NotThis for another tag, Corrupt when they do not fit.
[[nodiscard]] Parse UDF_ParseFileEntry(std::span<const std::uint8_t> block, UdfEntry& out) noexcept;

/// Appends the extents of allocation descriptors @p ads of type @p allocation (0..2) recorded in
/// partition @p partition. A continuation (extent type 3) is not an extent: its place goes to
/// @p next (block, partition) and the list ends there. False when a descriptor is cut short.
[[nodiscard]] bool UDF_ParseAllocation(std::span<const std::uint8_t> ads, std::uint8_t allocation,
                                       std::uint16_t partition, std::vector<UdfExtent>& out,
                                       UdfExtent* next);

/// One file identifier.
struct UdfIdentifier {
  std::uint32_t length = 0;  // bytes to the next identifier
  std::uint8_t characteristics = 0;
  std::uint32_t icbBlock = 0;
  std::uint16_t icbPartition = 0;
  std::u16string name;
  bool valid = false;  // it has a name
};

/// Parses the identifier at @p at of a directory's data. NotThis when fewer than 38 bytes remain;
/// Corrupt when no identifier's tag is there or its bytes run past the data; otherwise Ok, with
/// valid set when it has a name.
[[nodiscard]] Parse UDF_ParseIdentifier(std::span<const std::uint8_t> data, std::size_t at,
                                        UdfIdentifier& out);

/// Virtual block -> physical block table of a virtual allocation table's data (UDF 2.00 and
/// later: a header first; 1.50: a trailing identifier). False when @p data is not one.
[[nodiscard]] bool UDF_ParseVat(std::span<const std::uint8_t> data, bool withHeader,
                                std::vector<std::uint32_t>& out);

/// Name of a d-characters field with its compression identifier first (8/254: 8-bit,
/// 16/255: UCS-2 big-endian); empty for any other identifier.
[[nodiscard]] std::u16string UDF_DecodeName(std::span<const std::uint8_t> identifier);

/// FILETIME ticks of a timestamp's date and time as recorded (zone and fractions ignored);
/// 0 for an impossible date.
[[nodiscard]] std::uint64_t UDF_TimestampToFileTime(const UdfTimestamp& t) noexcept;

/// Locator of a file: u32 total T, then groups of a u32 header (bits 30-31 allocation type,
/// 0-29 bytes) and that many bytes: long allocation descriptors (partition 0 = the partition
/// that partitionStart locates) or embedded data.
[[nodiscard]] std::vector<std::uint8_t> UDF_EncodeLocator(const std::vector<UdfExtent>& extents,
                                                          std::span<const std::uint8_t> embedded,
                                                          bool isEmbedded);
/// One piece of a locator: an extent, or embedded bytes.
struct UdfPiece {
  bool embedded = false;
  std::span<const std::uint8_t> bytes;  // embedded
  std::uint32_t length = 0;
  std::uint8_t type = 0;
  std::uint32_t block = 0;
};
/// Pieces of a stored locator; false when it is inconsistent. @p locator bounds what is read.
[[nodiscard]] bool UDF_DecodeLocator(std::span<const std::uint8_t> locator,
                                     std::vector<UdfPiece>& out);

inline constexpr std::uint32_t kUdfMaxExtents = 1u << 20;
