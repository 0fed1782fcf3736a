// The session results file: an interrupted scan's results and what it needs to go on, saved by
// the search thread and loaded again by Undelete_RestoreSession.
//
// Layout (little-endian, no padding): "SR1.03", options u32, driveCount u16, drivesDone u16,
// driveCount SessionDrive records, deepScanResume u64; per drive the used-sector map (u32 byte
// count + bytes) and the file-system entries (u32 count, then u32 size + bytes each); the 200-byte
// scanner state when deepScanResume != 0; the strings (u32 units + 2 bytes each), the file records
// (u32 count + 127 bytes each) and the folder records (u32 count + 20 bytes each). String
// references in the records are stored as they are held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/le.h"
#include "core/reader.h"

struct Undelete;
struct CachedDrive;

/// Writes the session file at u->sessionPath with the first @p fileCount files, @p folderCount
/// folders and @p stringUnits units of strings (the search thread's restart point). The file is
/// written beside the old one and replaces it only when complete, so a failed save leaves any
/// earlier session as it was. Called by the search thread before the regions become read-only.
bool Session_Save(Undelete* u, std::uint32_t fileCount, std::uint32_t folderCount,
                  std::uint32_t stringUnits);

inline constexpr char kSessionMagic[6] = {'S', 'R', '1', '.', '0', '3'};
/// More drives than the drive letters and the partition list together can name make a file
/// corrupt; this also bounds the driveMap of Undelete_GetSessionInfo (driveCount + 1 bytes).
inline constexpr std::uint32_t kSessionMaxDrives = 255;

/// One drive of the session. 273 bytes.
struct SessionDrive {
  le64 start;         // 0x00 partition start, bytes (partitions)
  le64 length;        // 0x08 partition length; for a drive letter the drive's size
  std::uint8_t disk;  // 0x10 physical drive number (partitions)
  std::uint8_t kind;  // 0x11 bit 7: partition; bits 0..6: drive letter, 0 if none
  char title[255];    // 0x12 the slot's title (partitions)
};
static_assert(sizeof(SessionDrive) == 273 && alignof(SessionDrive) == 1);
static_assert(offsetof(SessionDrive, disk) == 16 && offsetof(SessionDrive, kind) == 17 &&
              offsetof(SessionDrive, title) == 18);
inline constexpr std::uint8_t kSessionPartition = 0x80;

/// Scanner state of a deep scan to be continued. 200 bytes.
struct SessionScannerState {
  le32 rootFolder;
  le32 scanMarks[4];
  std::uint8_t scanScratch[168];
  le32 dupFirst;
  le32 dupEnd;
  le32 passFirstFile;
};
static_assert(sizeof(SessionScannerState) == 200 && alignof(SessionScannerState) == 1);
static_assert(offsetof(SessionScannerState, scanScratch) == 20 &&
              offsetof(SessionScannerState, dupFirst) == 188);

/// A parsed session file. The spans point into the bytes given to Session_Parse.
struct SessionImage {
  struct DriveState {
    std::span<const std::uint8_t> map;
    std::vector<std::span<const std::uint8_t>> fileSystems;  // each at least 4 bytes (its type)
  };
  std::uint32_t options = 0;
  std::uint16_t drivesDone = 0;
  std::vector<SessionDrive> drives;  // 1..kSessionMaxDrives
  std::uint64_t deepScanResume = 0;
  std::vector<DriveState> states;  // one per drive
  SessionScannerState scanner{};   // meaningful when deepScanResume != 0
  std::uint32_t stringUnits = 0;
  std::span<const std::uint8_t> strings;
  std::uint32_t fileCount = 0;
  std::span<const std::uint8_t> files;
  std::uint32_t folderCount = 0;
  std::span<const std::uint8_t> folders;
};

/// Parses and checks a whole session file. NotThis when it does not start with the magic;
/// Corrupt when it is truncated, has bytes left over, or holds counts, sizes, string references
/// or scanner indexes that do not fit together. @p out is undefined unless Ok.
[[nodiscard]] Parse Session_Parse(std::span<const std::uint8_t> bytes, SessionImage& out) noexcept;

/// How the description finds today's drives: whether a letter exists, and the partition-list index
/// of a partition (false when none matches). Either may be null (nothing exists, nothing matches).
struct SessionDriveLookup {
  bool (*letterExists)(char letter, void* context) = nullptr;
  bool (*findPartition)(const SessionDrive& drive, std::uint8_t* index, void* context) = nullptr;
  void* context = nullptr;
};

/// Writes the description of @p image into @p text (cut to @p textSize bytes, NUL-terminated).
/// @p allDrivesPresent and @p driveMap (driveCount + 1 bytes) are optional.
void Session_Describe(const SessionImage& image, const SessionDriveLookup& lookup, char* text,
                      int textSize, int* allDrivesPresent, std::uint8_t* driveMap) noexcept;

/// Takes the scanner state, strings, file records and folder records of @p image into @p u, whose
/// regions must be reserved and empty. False when the storage cannot hold them.
[[nodiscard]] bool Session_LoadResults(Undelete* u, const SessionImage& image) noexcept;

// --- Where the drives were ----------------------------------------------------------------------
// A session names its drives by letter and physical-drive number, which mean nothing in a later
// run. Their sources are kept in a small text file beside the session file ("<session>.sources",
// one "drive L SOURCE" or "disk N PATH" line each), so that the drives are found again while the
// sources stay where they were. The session file itself is left exactly as it is laid out.

struct SessionSource {
  bool disk = false;         // a physical drive (number) rather than a drive letter
  std::uint32_t number = 0;  // 'A'..'Z' for a letter, 0..127 for a disk
  std::string source;        // absolute path, with its "@OFFSET+LENGTH" window if any
};
/// The sidecar of @p sessionPath.
[[nodiscard]] std::string Session_SourcesPath(const std::string& sessionPath);
/// Parses a sidecar's text; lines that are not well formed are skipped, at most
/// kSessionMaxDrives entries are kept.
[[nodiscard]] std::vector<SessionSource> Session_ParseSources(std::string_view text);
/// Writes the sidecar of u->sessionPath for the drives of u's drive table (beside the session,
/// atomically). False when it could not be written; the session stays usable with --drive.
bool Session_SaveSources(const Undelete* u) noexcept;
/// Maps the remembered sources of u->sessionPath's sidecar back to their letters and numbers
/// (a mapping the user made this run wins). Returns the letters and disk numbers (as 0x80 | n)
/// whose source is no longer there; the host failure text then names the missing paths.
[[nodiscard]] std::string Session_AdoptSources(const Undelete* u) noexcept;
