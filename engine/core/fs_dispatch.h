// The file-system table: one descriptor per file-system kind, each defined in its module's folder
// and collected in fs_dispatch.cpp. Recognition, the scan pass, the recovery dispatch, the session
// file and the drive descriptions all read it; nothing else knows which kinds exist.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

struct Undelete;
struct CachedDrive;
struct FileRecord;
class HostVolume;
class HostScratchFile;
struct HostVolumeBitmap;

/// One type number of the file-system table entries a kind makes (FAT makes three).
struct FsTypeInfo {
  std::uint32_t type;          // FsType: the first u32 of the entry
  const char* name;            // Undelete_FileSystemIndexToName: "FAT12"
  const char* searchLog;       // logged when a scan pass starts on an entry of this type
  const char* searchReport;    // reported likewise; %d is the entry's number on the drive (from 1)
  std::uint32_t minEntrySize;  // smallest entry taken as it stands (kinds without loadEntry)
};

/// What a kind's location hook reads: the record, its locator block (every byte the strings
/// storage holds from the block on) and its drive's file-system table entry with the drive's
/// sector size (empty and 0 when the drive is not at hand).
struct FsLocationInput {
  const FileRecord& record;
  std::span<const std::uint8_t> locator;
  std::span<const std::uint8_t> entry;
  std::uint32_t sectorSize = 0;
};
/// Where a listed file's data lives (Undelete_GetFileLocation): kind kUndeleteLocation*.
struct FsLocation {
  std::uint32_t kind = 0;  // kUndeleteLocationNone
  std::uint64_t value = 0;
};

/// Everything the engine knows about one file-system kind. Null members mean "not in this build"
/// (recognisers: the kind never lives on such sectors) and may be left out of a designated
/// initialiser; callers check before calling.
struct FsDescriptor {
  std::uint16_t kind;  // FsKind: FileRecord.location bits 12..14; the descriptor's table index
  const char* name;    // "FAT": the prefix of the module's functions, for logs and front ends
  std::span<const FsTypeInfo> types;

  // Recognition: adds the volume's entries to the drive's table when the kind is found. Tried in
  // table order for drives of 512- and 2048-byte sectors; the raw kind's is the fallback.
  bool (*recognize512)(Undelete* u, CachedDrive* drive) noexcept = nullptr;
  bool (*recognize2048)(Undelete* u, CachedDrive* drive) noexcept = nullptr;
  const char* recognizedReport = nullptr;  // reported when this kind is recognised
  const char* notRecognizedLog = nullptr;  // logged when the 512-byte recogniser declines

  /// Lists the files of the drive's selected entry (u->drive, u->fsIndex).
  bool (*searchFiles)(Undelete* u) noexcept = nullptr;
  /// Writes the file to @p target, raising @p bytesDone as it goes.
  bool (*recoverFile)(Undelete* u, FileRecord* record, const char* target,
                      std::atomic<std::uint64_t>* bytesDone) noexcept = nullptr;
  const char* recoverLog = nullptr;  // logged before the recoverer is called
  bool selectBeforeRecover = false;  // the record's table entry is selected on the drive first
  /// One-line description of the drive's selected entry into @p text (256 bytes).
  bool (*describeVolume)(CachedDrive* drive, char* text, bool shortForm) noexcept = nullptr;
  /// Where a listed file's data lives, from its locator block and entry only: no I/O, and any
  /// bytes (a session file may hold anything) give a location or none.
  FsLocation (*fileLocation)(const FsLocationInput& in) noexcept = nullptr;

  // Session file: saves the selected entry into a malloc'ed block; loads a saved entry into the
  // drive's table. Null: the entry is saved and loaded as it stands (types' minEntrySize).
  bool (*saveEntry)(CachedDrive* drive, void** block, std::uint32_t* size) noexcept = nullptr;
  bool (*loadEntry)(const void* entry, std::uint32_t size, CachedDrive* drive) noexcept = nullptr;

  /// The deep scan's question: does a volume of this kind begin at @p offset? May throw: the
  /// hook catches, so that a failure inside a recogniser is reported with its offset.
  bool (*recognizeFileSystem)(Undelete* u, std::uint64_t offset) = nullptr;

  // Wiping (core/wipe.h) works on a volume nobody has mounted, opened exclusively (HostVolume),
  // whose allocation state the kind reads. Null members: the kind cannot be wiped that way.
  /// The selected entry's allocation bitmap, for the volume controls.
  bool (*readVolumeBitmap)(CachedDrive* drive, HostVolumeBitmap& out) noexcept = nullptr;
  /// Overwrites what remains of one found file through @p scratch; sets @p bytesDone.
  bool (*wipeFile)(Undelete* u, FileRecord* record, HostVolume* volume, HostScratchFile* scratch,
                   std::atomic<std::uint64_t>* bytesDone) noexcept = nullptr;
  const char* wipeLog = nullptr;       // logged before wipeFile is called
  bool wipeOneClusterScratch = false;  // wipeFile places one cluster at a time
  /// The entries of deleted files (u->drive selected, u->rootFolder added): through @p volume
  /// when it is open, else through the volume's mount point.
  bool (*wipeEntries)(Undelete* u, HostVolume* volume) noexcept = nullptr;
  /// Overwrites every free cluster of @p volume; @p bytesBefore counts earlier drives' bytes.
  bool (*wipeFreeSpace)(Undelete* u, HostVolume* volume,
                        std::uint64_t bytesBefore) noexcept = nullptr;
};

/// The table, indexed by kind; rows of kinds not in this build are null.
[[nodiscard]] std::span<const FsDescriptor* const> Fs_Table() noexcept;
/// The descriptor of @p kind; null when it is out of range or not built.
[[nodiscard]] const FsDescriptor* Fs_OfKind(std::uint32_t kind) noexcept;
/// The descriptor that serves entries of type @p type (@p info gets the type's row); null when
/// no kind in this build makes that type.
[[nodiscard]] const FsDescriptor* Fs_OfType(std::uint32_t type,
                                            const FsTypeInfo** info = nullptr) noexcept;

/// A drive's file-system table entry, decoded: its type, the kind that serves it and its bytes.
/// This is the one place that reads an entry's type; modules read their own layout from bytes.
struct FsEntry {
  std::uint32_t type = 0;                // FsType
  const FsDescriptor* fs = nullptr;      // null for a type no kind in this build makes
  const FsTypeInfo* typeInfo = nullptr;  // null likewise
  std::span<std::uint8_t> bytes;         // the drive's private copy (at least 4 bytes)
};
/// Entry @p index of @p drive's table; none when it does not exist or is shorter than a type.
[[nodiscard]] std::optional<FsEntry> Fs_Entry(const CachedDrive* drive,
                                              std::uint32_t index) noexcept;
/// The drive's selected entry (CachedDrive_SelectFileSystem).
[[nodiscard]] std::optional<FsEntry> Fs_SelectedEntry(const CachedDrive* drive) noexcept;
