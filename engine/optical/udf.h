// UDF volumes: recognition, the directory walk, recovery, the lookup of lost directories for the
// deep scan, the volume description and the saved volume record.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "optical/udf_parse.h"
#include "undelete/undelete.h"

struct CachedDrive;

/// UDF's row of the file-system table.
extern const struct FsDescriptor kUdfDescriptor;

/// Adds a UDF record to the drive's table when the volume recognition sequence, the volume
/// descriptors and the file set descriptor are there.
[[nodiscard]] bool UDF_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept;
/// Walks the tree from the root directory; identifiers with the deleted flag (and everything
/// below a deleted directory) are listed as deleted. With the deep-scan option the blocks no
/// entry uses are then searched by content.
bool UDF_SearchFiles(Undelete* u) noexcept;
/// Lists the directory whose entry is at logical block @p icbBlock of partition reference
/// @p partition under @p parentFolder, then its sub-directories.
bool UDF_ReadDirectory(Undelete* u, std::uint32_t icbBlock, std::uint16_t partition,
                       std::uint32_t parentFolder, bool deleted, std::uint32_t progressBase,
                       std::uint32_t progressSpan) noexcept;
/// Writes the file's extents (or its embedded data) to a new file at @p target, cut to its size.
bool UDF_RecoverFile(Undelete* u, FileRecord* record, const char* target,
                     std::atomic<std::uint64_t>* bytesDone) noexcept;
/// The deep scan's question: is the sector at @p offset a directory's entry at its own recorded
/// place? Then the directory is listed under the deleted folder "Unknown location".
bool UDF_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept;
/// Appends ", UDF" (short form) or ", UDF, Logical block size: %d" after the size text.
bool UDF_DescribeVolume(CachedDrive* drive, char* text, bool shortForm) noexcept;
/// A std::malloc'ed copy of the 40-byte record.
bool UDF_SaveVolumeInfo(CachedDrive* drive, void** block, std::uint32_t* size) noexcept;

/// What the scanner and the recoverer need of the selected UDF entry: the record and, for
/// volumes with a metadata partition, where that partition's blocks lie.
struct UdfContext {
  UdfVolumeInfo info{};
  std::uint16_t rootPartition = 0;
  std::uint16_t metadataRef = 0xFFFF;  // partition reference of the metadata partition
  struct Piece {
    std::uint32_t logical, physical, blocks;
  };
  std::vector<Piece> metadata;
  /// Block of the physical partition for (@p partition, @p block); false when unmapped.
  [[nodiscard]] bool physical(std::uint16_t partition, std::uint32_t block,
                              std::uint32_t& out) const noexcept;
  /// Byte offset of physical partition block @p block in the volume.
  [[nodiscard]] std::uint64_t offsetOf(std::uint32_t block) const noexcept {
    return std::uint64_t{info.partitionStart.get()} * info.blockBytes.get() +
           std::uint64_t{block} * info.blockBytes.get();
  }
};
[[nodiscard]] bool UDF_GetContext(const CachedDrive* drive, UdfContext& out);

/// Deepest directory nesting the walk follows.
inline constexpr std::uint32_t kUdfMaxDepth = 128;
