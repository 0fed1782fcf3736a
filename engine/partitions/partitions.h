// The partition module inside the engine: the lost-partition scan's working state and the steps
// that the MBR/EBR walk, the GPT and dynamic-disk discovery and the partition list share.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "partitions/partitions_parse.h"
#include "undelete/undelete.h"

struct Undelete;
struct CachedDrive;

using Sector = std::array<std::uint8_t, kSectorBytes>;

// Disk-state bits (the engine's partition flag word).
inline constexpr std::uint32_t kStateDriveMask = 0x1FFFFFF;  // 0..24 drive of the last scan
inline constexpr std::uint32_t kStateBootSector = 1u << 25;  // sector 0 is a boot sector
inline constexpr std::uint32_t kStateNoBootCode = 1u << 27;  // MBR boot code missing
inline constexpr std::uint32_t kStateFixProtective = 1u
                                                     << 28;  // protective/dynamic MBR needs repair
inline constexpr std::uint32_t kStateMbrSignature = 1u << 29;
inline constexpr std::uint32_t kStateGpt = 1u << 30;
inline constexpr std::uint32_t kStateDynamic = 1u << 31;
inline constexpr std::uint32_t kStateConditionMask = 0xF8000000u;  // 27..31, cleared per scan

/// What one lost-partition scan works on. The found table and the state word are the engine's.
struct PartScan {
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  std::uint64_t diskSize = 0;
  std::uint32_t sectorSize = 512;  // of the disk's tables; boot sectors are always searched by 512
  bool quick = false;
  std::vector<std::uint64_t> walkedTables;  // MBR/EBR sectors already walked: chains that loop end
};

/// The whole walk of one disk on the calling thread (the scan thread runs it; so do the fuzzers):
/// the found table and disk state of @p s.u are filled. 0 when cancelled.
[[nodiscard]] int Part_ScanDisk(PartScan& s);

/// Reads @p count bytes at disk offset @p offset; false unless all of them were read.
[[nodiscard]] bool Part_Read(PartScan& s, std::uint64_t offset, void* buffer, std::uint32_t count);
[[nodiscard]] bool Part_ReadSector(PartScan& s, std::uint64_t offset, Sector& out);
[[nodiscard]] bool Part_Cancelled(const PartScan& s);
void Part_SetPosition(PartScan& s, std::uint64_t pos);
/// First boot-record signature at or after @p pos and before @p limit (512-byte steps; in quick
/// mode only at the places partitions usually start). True with @p pos on that sector and the
/// sector in @p out; false with @p pos at @p limit (or where a cancel stopped it).
[[nodiscard]] bool Part_ScanForBootSignature(PartScan& s, std::uint64_t& pos, std::uint64_t limit,
                                             Sector& out);

// Found table.
[[nodiscard]] FoundPartition* Part_Found(PartScan& s);
[[nodiscard]] unsigned Part_FirstEmpty(const FoundPartition* table);
[[nodiscard]] std::optional<unsigned> Part_AddFound(PartScan& s, std::uint8_t kind,
                                                    std::uint8_t status, std::uint64_t tableOffset,
                                                    std::uint64_t start, std::uint64_t length,
                                                    std::uint64_t relStart);
void Part_SetStatus(FoundPartition& p, std::uint8_t status);
void Part_SetCopies(FoundPartition& p, unsigned copies);
/// Sorts by (tableOffset, start), empty slots last.
void Part_SortFound(FoundPartition* table);
void Part_SetName(FoundPartition& p, const char* ascii);
void Part_NewGuid(std::uint8_t* out);
void Part_ClearFound(PartScan& s);

// Discovery on GPT and dynamic disks: 1 when the disk's partitions were read.
[[nodiscard]] int Part_DiscoverGpt(PartScan& s);
[[nodiscard]] int Part_DiscoverLdm(PartScan& s, const MbrTable& mbr);
/// Reads the database whose configuration area starts at byte @p config and whose data area
/// starts at byte @p data; @p diskGuid (when given) picks this disk's partitions.
[[nodiscard]] bool Part_ReadLdmDatabase(PartScan& s, std::uint64_t config, std::uint64_t data,
                                        const Guid* diskGuid);
[[nodiscard]] bool Part_RecoverLdmOnGpt(PartScan& s);

/// An MBR type of the FAT and NTFS volumes the system recognises (0x01 0x04 0x06 0x07 0x0B 0x0C
/// 0x0E).
[[nodiscard]] bool Part_RecognizedType(std::uint8_t type);
/// The disk's sector size for its tables: the device's, except for images of 4096-byte-sector
/// disks, whose tables only make sense at 4096.
[[nodiscard]] std::uint32_t Part_TableSectorSize(CachedDrive* drive, std::uint64_t diskSize);

// Partition list.
[[nodiscard]] bool Partition_Test(Undelete* u, PartitionRecord& record);
void Partition_Describe(PartitionRecord& record);
bool Partition_AssignDriveLetters(Undelete* u);
bool Partition_MergeFound(Undelete* u, std::uint32_t drive, std::uint64_t diskSize);

/// One entry of a disk's layout as the system's partition manager reports it.
struct LayoutEntry {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint32_t number = 0;  // position in the layout, counting empty entries
  std::uint8_t type = 0;     // 0xFF for GPT entries
  std::uint8_t recognized = 0;
};
/// The layout of the disk on @p drive: the MBR's four entries and four per EBR of the chain, or
/// the GPT's entries (from the backup table when the primary header is lost). False when the disk
/// holds neither.
[[nodiscard]] bool Partition_ReadLayout(CachedDrive* drive, std::uint64_t diskSize,
                                        std::vector<LayoutEntry>& out);
