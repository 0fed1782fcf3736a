// One table of the file-system modules (raw/deep scan, FAT, NTFS, UDF, CDFS): every call from the
// scan orchestration, the recovery dispatch and the drive descriptions goes through it.
#pragma once

#include <cstdint>

struct Undelete;
struct CachedDrive;
struct FileRecord;

/// Operations of one file-system family. Every pointer is non-null; a call into a module that is
/// not part of this build answers false ("not recognised", "not supported").
struct FileSystemOps {
  const char* name;  // "Unformated", "FAT", "NTFS", "UDF", "CDFS" (prefix of its functions)
  bool (*linked)() noexcept;
  bool (*recognizeDrive)(Undelete* u, CachedDrive* drive) noexcept;
  bool (*searchFiles)(Undelete* u) noexcept;
  /// Writes the file to @p target; raises u->bytesDone as it goes.
  bool (*recoverFile)(Undelete* u, FileRecord* record, const char* target) noexcept;
  /// Writes the one-line description of the drive's selected file system into @p text.
  bool (*describeVolume)(CachedDrive* drive, char* text, bool shortForm) noexcept;
  /// The deep scan's question: does a file system of this family begin at @p offset? May throw;
  /// the hook catches, so that a failure inside a recogniser is reported with its offset.
  bool (*recognizeFileSystem)(Undelete* u, std::uint64_t offset);
};

/// Operations by file-system kind (FileRecord.location bits 12..14); null above CDFS.
[[nodiscard]] const FileSystemOps* Fs_OpsOfKind(std::uint32_t kind) noexcept;
/// Kind that serves file-system type number @p type (0 unknown -> raw, 1 CDFS, 2 UDF, 3 NTFS,
/// 4..6 FAT); 0xFFFFFFFF for a type out of range.
[[nodiscard]] std::uint32_t Fs_KindOfType(std::uint32_t type) noexcept;
