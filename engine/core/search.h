// Scan orchestration: the search thread, one file-system pass over a drive, recognition, the
// recogniser hook of the deep scan and the progress arithmetic the caller polls.
#pragma once

#include <cstdint>

struct Undelete;
struct CachedDrive;

/// Starts the search thread over the object's drive table (Undelete_SearchMultiple and the
/// session restore both end here). False when the thread cannot be created or another one runs.
[[nodiscard]] bool Search_StartThread(Undelete* u) noexcept;
/// Waits for the search thread (if any) to end and forgets it. The object must not be destroyed
/// while its thread is joinable.
void Search_JoinThread(Undelete* u) noexcept;

/// Recognises the file systems of @p drive (adds entries to its table). True when the pass may go
/// on; false when nothing usable was found on a 512-byte-sector volume.
[[nodiscard]] bool Undelete_RecognizeDrive(CachedDrive* drive, Undelete* u) noexcept;
/// One file-system pass over the current slot (the slot's selected file system). Scanner's result.
[[nodiscard]] bool Undelete_Search(Undelete* u) noexcept;
/// The deep scan's hook: does a file system begin at @p offset? All ones ends the deep-scan pass.
[[nodiscard]] bool Undelete_RecognizeFileSystem(Undelete* u, std::uint64_t offset) noexcept;
/// Logs the 4096 bytes at @p offset of the current drive as hex (diagnostics after a failure).
void Undelete_DumpSector(Undelete* u, std::uint64_t offset) noexcept;

/// The counters Undelete_GetProgress works from, copied once so that the result is consistent.
struct ScanProgressInput {
  std::uint32_t progress = 0;        // current pass, 0..10000
  std::uint64_t deepScanDone = 0;    // sectors
  std::uint64_t deepScanTotal = 0;
  std::uint32_t options = 0;         // scan option flags
  std::uint16_t driveIndex = 0;
  std::uint16_t driveCount = 0;
  std::uint16_t fsIndex = 0;
  std::uint16_t fsCount = 0;
};
/// Overall position out of 10000; false when there is nothing to report (no drives, or a
/// further-file-system pass with no file systems counted).
[[nodiscard]] bool Search_ComputePosition(const ScanProgressInput& in,
                                          std::uint32_t* position) noexcept;
