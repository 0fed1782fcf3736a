// Writing partition tables back: the sector plan every repair builds before it touches the disk,
// the backup files that make a repair undoable, and the pure parsers of those files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "partitions/partitions_parse.h"

struct Undelete;
struct CachedDrive;

/// The loader of boot_code.asm: 446 bytes, disk signature field (0x1B8) zero.
extern const std::array<std::uint8_t, 446> kMbrBootCode;

/// One range a repair rewrites. @p before is what the disk held there (as long as @p after);
/// the backup keeps its first @p saved bytes. @p write false: recorded in the backup only.
struct RepairWrite {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> before;
  std::vector<std::uint8_t> after;
  std::uint32_t saved = 0;
  bool write = true;
  bool written = false;
};

/// None: a change the undo files do not cover (the active flag), recorded for the front end only.
enum class BackupKind : std::uint8_t { Mbr, Gpt, None };

/// u32 sum of all byte values: what ".mbr" names check a sector by.
[[nodiscard]] std::uint32_t Repair_ByteSum(ByteSpan bytes) noexcept;

/// One piece of a ".mbr" name: where a sector went and the byte sum of what was written there.
struct MbrPiece {
  std::uint64_t offset = 0;
  std::uint32_t sum = 0;
};
/// Pieces of a ".mbr" backup name: 24 lowercase hexadecimal digits per piece, then ".mbr".
/// Nothing for any other name (uppercase digits included).
[[nodiscard]] std::optional<std::vector<MbrPiece>> Repair_ParseMbrName(std::string_view name);
/// The five CRC-32 values of a ".gpt" backup name (exactly 44 characters); nothing otherwise.
[[nodiscard]] std::optional<std::array<std::uint32_t, 5>> Repair_ParseGptName(
    std::string_view name);

/// One record of a ".gpt" or whole-table backup: a byte range of the disk and its old bytes.
struct BackupRecord {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> data;
};
inline constexpr std::uint32_t kMaxBackupRecordBytes = 64u << 20;  // larger is not a table
/// Every record of a record file. Nothing when a record head is cut, a length runs past the file
/// or past kMaxBackupRecordBytes, or more than @p maxRecords records follow: a restore replays a
/// file whole or not at all.
[[nodiscard]] std::optional<std::vector<BackupRecord>> Repair_ParseRecords(ByteSpan file,
                                                                           std::size_t maxRecords);

/// Saves the backup of @p writes in the current directory (".mbr" or ".gpt"), flushed, then
/// writes them in order and flushes the disk. Stops at the first failed write; the backup then
/// covers what was written (the ".gpt" names name what the disk holds). In a dry run nothing is
/// written anywhere and the plan is only recorded. Returns true when every write succeeded.
/// @p backupName receives the file's name (empty when none was made).
[[nodiscard]] bool Repair_Commit(Undelete* u, CachedDrive* drive, std::vector<RepairWrite>& writes,
                                 BackupKind kind, std::uint32_t sectorSize,
                                 std::string& backupName);

/// Opens physical drive @p drive for a repair (read-only in a dry run); null when it cannot be
/// opened (a mounted disk is refused by the host layer, which says why).
[[nodiscard]] CachedDrive* Repair_OpenDrive(std::uint32_t drive, bool write);
void Repair_CloseDrive(CachedDrive* drive);
/// Starts a repair's record of writes on this thread (Undelete_GetRepairWrite reads it).
void Repair_Begin();
[[nodiscard]] bool Repair_DryRun();
/// Sector @p offset of @p drive, @p count bytes; nothing when the read is short.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> Repair_Read(CachedDrive* drive,
                                                                   std::uint64_t offset,
                                                                   std::uint32_t count);

/// Fills a table entry: CHS of the start on the 255-head, 63-sector grid (past cylinder 0 the
/// all-ones marker), end CHS 0xFE 0xFF 0xFF, LBA start and count.
void Repair_PutEntry(MbrEntry& e, std::uint8_t boot, std::uint8_t type, std::uint64_t lba,
                     std::uint64_t count);

/// Opens the drive of the last lost-partition scan (bits 0..24 of the disk state) for a repair,
/// with the texts the repairs report; null when it cannot be opened.
[[nodiscard]] CachedDrive* Repair_OpenScanned(Undelete* u);
/// The dynamic-disk repair of found entry @p index: an MBR for the database (when the disk state
/// asks for one) and, for a partition the scan found that the database lacks, its volume,
/// component and partition records; backed up and written as one ".mbr" repair. The found entry
/// shows it restored once every write succeeded.
void Ldm_Repair(Undelete* u, CachedDrive* drive, unsigned index, std::uint32_t sectorSize);

/// The disk signature a boot store names, 0 when it names none: the first key "11000001" with
/// its value name "Element" 0x20 bytes on and a nonzero number at 0x64.
[[nodiscard]] std::uint32_t Repair_StoreSignature(ByteSpan data) noexcept;
/// Reads the boot store (Boot\BCD, any case, an existing file) of each FAT and NTFS volume of disk
/// @p drive, through the engine's scanners and read-only, at most @p limit bytes of each, and
/// hands the bytes to @p take until it returns true; true when it did.
bool Repair_ForEachBootStore(Undelete* u, int drive, std::size_t limit,
                             const std::function<bool(const std::vector<std::uint8_t>&)>& take);
