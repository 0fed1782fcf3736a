// The engine's C interface: the Undelete_* exports and the records that cross it. Front ends
// (kvx, the GUI) include this header and nothing else of the engine; it compiles as C and C++.
//
// Every record here is byte-packed and little-endian. Fields that the engine's records once held as
// pointers into the strings storage hold a 32-bit string reference instead: the byte offset from
// the storage base with bit 31 set, 0 for none. Undelete_GetString turns one into an address.
#pragma once
#ifndef UNDELETE_UNDELETE_H
#define UNDELETE_UNDELETE_H

#include <stddef.h>
#include <stdint.h>

#if defined(UNDELETE_BUILDING)
#define UNDELETE_API __attribute__((visibility("default")))
#else
#define UNDELETE_API
#endif

#ifdef __cplusplus
#include <concepts>
#include <type_traits>

#define UNDELETE_NOEXCEPT noexcept
#define UNDELETE_CONSTANT(type, name, value) inline constexpr type name = value
#define UNDELETE_ENUM(name, type) enum name : type
#define UNDELETE_STATIC_ASSERT(condition) static_assert(condition)
#define UNDELETE_ALIGNOF(type) alignof(type)

/// Little-endian field: alignment 1, no padding, read and written byte by byte.
template <std::unsigned_integral T>
struct Le {
  uint8_t raw[sizeof(T)];
  [[nodiscard]] constexpr T get() const noexcept {
    T v = 0;
    for (size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | raw[i]);
    return v;
  }
  constexpr void set(T v) noexcept {
    for (auto& b : raw) {
      b = static_cast<uint8_t>(v & 0xFFu);
      v = static_cast<T>(v >> 8);
    }
  }
};
using le16 = Le<uint16_t>;
using le32 = Le<uint32_t>;
using le64 = Le<uint64_t>;
static_assert(std::is_trivially_copyable_v<le16> && std::is_trivially_copyable_v<le32> &&
              std::is_trivially_copyable_v<le64>);
/// UTF-16 code unit of names handed out by the exports.
using UndeleteChar16 = char16_t;
#else
// C sees the same bytes: read a field with the little-endian byte order of its raw[] array.
#define UNDELETE_NOEXCEPT
#if defined(__GNUC__)
#define UNDELETE_CONSTANT(type, name, value) static const type name __attribute__((unused)) = value
#else
#define UNDELETE_CONSTANT(type, name, value) static const type name = value
#endif
#define UNDELETE_ENUM(name, type) enum name
#define UNDELETE_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#define UNDELETE_ALIGNOF(type) _Alignof(type)
typedef struct le16 {
  uint8_t raw[2];
} le16;
typedef struct le32 {
  uint8_t raw[4];
} le32;
typedef struct le64 {
  uint8_t raw[8];
} le64;
typedef uint16_t UndeleteChar16;
#endif

UNDELETE_STATIC_ASSERT(sizeof(le16) == 2 && UNDELETE_ALIGNOF(le16) == 1);
UNDELETE_STATIC_ASSERT(sizeof(le32) == 4 && UNDELETE_ALIGNOF(le32) == 1);
UNDELETE_STATIC_ASSERT(sizeof(le64) == 8 && UNDELETE_ALIGNOF(le64) == 1);

typedef struct Undelete Undelete;

/// Windows FILETIME: 100-ns ticks since 1601-01-01 UTC.
typedef le64 FileTime;

/// One found file. 127 bytes; stored byte for byte in the session file.
typedef struct FileRecord {
  le32 folder;               // 0x00 index of the containing FolderRecord
  le32 reserved;             // 0x04 written 0
  le64 size;                 // 0x08 bytes
  le64 volumeOffset;         // 0x10 byte offset on the device of the file's volume
  FileTime modified;         // 0x18
  FileTime created;          // 0x20
  FileTime accessed;         // 0x28
  le32 name;                 // 0x30 string ref: UTF-16 name
  le32 rootName;             // 0x34 string ref: name of the drive's root folder
  le32 note;                 // 0x38 string ref: optional UTF-16 note; 0 = none
  le32 overwrittenBy;        // 0x3C i32: -1 none, -2 other file system, else file index
  le64 firstOverwritten[3];  // 0x40 overwritten cluster positions; empty = all ones
  le64 overwrittenClusters;  // 0x58
  le64 totalClusters;        // 0x60
  uint8_t status;            // 0x68 bit 0 existing; bits 1..5 state; bits 6..7 scanner's
  le16 marks;                // 0x69 bit 0 replaced
  uint8_t stateOnly;         // 0x6B bit 0: show the state without counts
  uint8_t attributes;        // 0x6C kAttr* letters
  le64 scanKey;              // 0x6D
  le16 location;             // 0x75 bits 0..11 slot, 12..14 kind, 15 add flag
  le32 fsIndex;              // 0x77 index in the drive's file-system table
  le32 locator;              // 0x7B string ref: the recoverer's block
} FileRecord;
UNDELETE_STATIC_ASSERT(sizeof(FileRecord) == 127 && UNDELETE_ALIGNOF(FileRecord) == 1);
UNDELETE_STATIC_ASSERT(
    offsetof(FileRecord, size) == 8 && offsetof(FileRecord, modified) == 24 &&
    offsetof(FileRecord, name) == 48 && offsetof(FileRecord, overwrittenBy) == 60 &&
    offsetof(FileRecord, firstOverwritten) == 64 &&
    offsetof(FileRecord, overwrittenClusters) == 88 && offsetof(FileRecord, totalClusters) == 96 &&
    offsetof(FileRecord, status) == 104 && offsetof(FileRecord, marks) == 105 &&
    offsetof(FileRecord, stateOnly) == 107 && offsetof(FileRecord, attributes) == 108 &&
    offsetof(FileRecord, scanKey) == 109 && offsetof(FileRecord, location) == 117 &&
    offsetof(FileRecord, fsIndex) == 119 && offsetof(FileRecord, locator) == 123);

/// One found folder. 20 bytes; stored byte for byte in the session file.
typedef struct FolderRecord {
  le32 name;     // 0x00 string ref: UTF-16 name
  le32 parent;   // 0x04 parent folder index; 0xFFFFFFFF for a drive root
  le32 flags;    // 0x08 bits 0..15 tag, 16..23 attributes, 29 hidden, 30 deleted, 31 scanner's
  le64 scanKey;  // 0x0C
} FolderRecord;
UNDELETE_STATIC_ASSERT(sizeof(FolderRecord) == 20 && UNDELETE_ALIGNOF(FolderRecord) == 1);
UNDELETE_STATIC_ASSERT(offsetof(FolderRecord, parent) == 4 && offsetof(FolderRecord, flags) == 8 &&
                       offsetof(FolderRecord, scanKey) == 12);

// FileRecord.status / FolderRecord.flags bits.
UNDELETE_CONSTANT(uint8_t, kStatusExisting, 0x01);
UNDELETE_CONSTANT(uint32_t, kFolderHidden, 1u << 29);
UNDELETE_CONSTANT(uint32_t, kFolderDeleted, 1u << 30);
UNDELETE_CONSTANT(uint32_t, kFolderScannerFlag, 1u << 31);
UNDELETE_CONSTANT(uint32_t, kNoParent, 0xFFFFFFFFu);

// Attribute letters (FileRecord.attributes, FolderRecord.flags bits 16..23): "ARHSCE".
UNDELETE_CONSTANT(uint8_t, kAttrArchive, 0x01);
UNDELETE_CONSTANT(uint8_t, kAttrReadOnly, 0x02);
UNDELETE_CONSTANT(uint8_t, kAttrHidden, 0x04);
UNDELETE_CONSTANT(uint8_t, kAttrSystem, 0x08);
UNDELETE_CONSTANT(uint8_t, kAttrCompressed, 0x10);
UNDELETE_CONSTANT(uint8_t, kAttrEncrypted, 0x20);

// File states (status bits 1..5).
// clang-format off
UNDELETE_ENUM(FileState, uint8_t) {
  kStateUnrecoverable = 0,
  kStateBad = 1,
  kStatePoor = 2,
  kStateGood = 3,
  kStateExcellent = 4,
  kStateExisting = 5,
};
// clang-format on

// File-system type numbers (first u32 of every file-system table entry).
// clang-format off
UNDELETE_ENUM(FsType, uint32_t) {
  kFsUnknown = 0,
  kFsCdfs = 1,
  kFsUdf = 2,
  kFsNtfs = 3,
  kFsFat12 = 4,
  kFsFat16 = 5,
  kFsFat32 = 6,
  kFsExfat = 7,  // exFAT ("exFAT"); a Linux addition, as are the kind and table entry below
};
// clang-format on

// File-system kinds (FileRecord.location bits 12..14): which recoverer serves a file.
// clang-format off
UNDELETE_ENUM(FsKind, uint16_t) {
  kKindRaw = 0, kKindFat = 1, kKindNtfs = 2, kKindUdf = 3, kKindCdfs = 4, kKindExfat = 5,
};
// clang-format on

// Scan options (fourth argument of Undelete_SearchMultiple).
UNDELETE_CONSTANT(uint32_t, kOptTestExtension, 0x01);
UNDELETE_CONSTANT(uint32_t, kOptRenameExtension, 0x02);
UNDELETE_CONSTANT(uint32_t, kOptTestAll, 0x04);
UNDELETE_CONSTANT(uint32_t, kOptDeepScan, 0x08);

// Engine error codes (Undelete_GetError); texts come from Undelete_GetErrorMessage.
UNDELETE_CONSTANT(uint32_t, kErrNone, 0);
UNDELETE_CONSTANT(uint32_t, kErrFreeSpace, 0x20000001);
UNDELETE_CONSTANT(uint32_t, kErrOpenDrive, 0x20000002);
UNDELETE_CONSTANT(uint32_t, kErrAccessDenied, 0x20000003);
UNDELETE_CONSTANT(uint32_t, kErrBootSector, 0x20000004);
UNDELETE_CONSTANT(uint32_t, kErrUnrecognized, 0x20000005);
UNDELETE_CONSTANT(uint32_t, kErrBootInfo, 0x20000006);
UNDELETE_CONSTANT(uint32_t, kErrReadFat, 0x20000007);
UNDELETE_CONSTANT(uint32_t, kErrMemory, 0x20000008);
UNDELETE_CONSTANT(uint32_t, kErrUserAbort, 0x20000009);
UNDELETE_CONSTANT(uint32_t, kErrMftDescription, 0x2000000A);
UNDELETE_CONSTANT(uint32_t, kErrInvalidParameter, 0x2000000B);
UNDELETE_CONSTANT(uint32_t, kErrCreateFile, 0x2000000C);
UNDELETE_CONSTANT(uint32_t, kErrCrypted, 0x2000000D);
UNDELETE_CONSTANT(uint32_t, kErrWriteFile, 0x2000000E);
UNDELETE_CONSTANT(uint32_t, kErrReadSource, 0x2000000F);
UNDELETE_CONSTANT(uint32_t, kErrDecompress, 0x20000010);  // no message
UNDELETE_CONSTANT(uint32_t, kErrOsTooOld, 0x20000011);
UNDELETE_CONSTANT(uint32_t, kErrDriveSize, 0x20000012);
UNDELETE_CONSTANT(uint32_t, kErrNullPointer, 0x20000013);

// --- Linux additions: the drive table -------------------------------------------------------
// Drive letters and physical drive numbers map to sources (block devices, image files, windows
// "disk.img@OFFSET+LENGTH" of disk images); see Undelete_AddDrive and Undelete_GetDriveEntry.

// Drive types (UndeleteDriveEntry.type), the platform's numbers.
UNDELETE_CONSTANT(uint8_t, kUndeleteDriveUnknown, 0);
UNDELETE_CONSTANT(uint8_t, kUndeleteDriveRemovable, 2);
UNDELETE_CONSTANT(uint8_t, kUndeleteDriveFixed, 3);
UNDELETE_CONSTANT(uint8_t, kUndeleteDriveCdRom, 5);
// Where an entry came from (UndeleteDriveEntry.origin): named by the user, or found here.
UNDELETE_CONSTANT(uint8_t, kUndeleteOriginEnvironment, 0);  // KVX_DRIVES / KVX_DISKS
UNDELETE_CONSTANT(uint8_t, kUndeleteOriginConfigFile, 1);   // drives.ini
UNDELETE_CONSTANT(uint8_t, kUndeleteOriginAdded, 2);        // Undelete_AddDrive
UNDELETE_CONSTANT(uint8_t, kUndeleteOriginDiscovered, 3);   // sysfs
// Outcome of Undelete_ProbeDrive / Undelete_ProbeDisk (UndeleteProbe.status).
UNDELETE_CONSTANT(uint32_t, kUndeleteProbeUsable, 0);
UNDELETE_CONSTANT(uint32_t, kUndeleteProbeCannotOpen, 1);  // text: Undelete_GetHostError
UNDELETE_CONSTANT(uint32_t, kUndeleteProbeEmpty, 2);       // size 0 (an optical drive: no disc)
UNDELETE_CONSTANT(uint32_t, kUndeleteProbeReadError, 3);   // first block unreadable

/// One entry of the drive table (letters) or the physical-drive table (numbers). Not a stored
/// record: its layout may grow.
typedef struct UndeleteDriveEntry {
  uint32_t number;    // physical drive number; 0 for a letter
  char letter;        // 'A'..'Z'; 0 for a physical drive
  uint8_t type;       // kUndeleteDrive*; kUndeleteDriveUnknown for a physical drive
  uint8_t origin;     // kUndeleteOrigin*
  uint8_t reserved;   // 0
  char source[4096];  // as given: "/dev/sdb1", "/img/usb.img", "disk.img@OFFSET+LENGTH"
  char path[4096];    // the file or device opened; a longer one is cut (NUL-terminated)
} UndeleteDriveEntry;

/// What opening a source and reading its first block (512 bytes, 2048 on a CD-ROM) found.
typedef struct UndeleteProbe {
  uint64_t size;        // bytes; 0 unless usable
  uint32_t status;      // kUndeleteProbe*
  int32_t systemError;  // errno of a failed read; 0 for a short read or another status
} UndeleteProbe;

/// One partition or unallocated area of a physical drive. 406 bytes, returned by copy.
typedef struct PartitionRecord {
  le64 start;             // 0x00 byte offset on the physical drive
  le64 length;            // 0x08 bytes
  uint8_t drive;          // 0x10 physical drive number
  uint8_t number;         // 0x11 layout position on the drive; kUnallocatedArea for free space
  uint8_t type;           // 0x12 MBR type byte; 0xFF for a GPT entry; 0 for free space
  uint8_t fileSystem;     // 0x13 file-system type number of the volume inside (0 none)
  char letter;            // 0x14 'C'..'Z' when mounted, 0 otherwise
  uint8_t recognized;     // 0x15 the layout's recognized-partition flag
  char info[128];         // 0x16 file-system summary, NUL-terminated, empty if none
  char description[256];  // 0x96 display text, NUL-terminated
} PartitionRecord;
UNDELETE_STATIC_ASSERT(sizeof(PartitionRecord) == 406 && UNDELETE_ALIGNOF(PartitionRecord) == 1);
UNDELETE_STATIC_ASSERT(offsetof(PartitionRecord, drive) == 16 &&
                       offsetof(PartitionRecord, letter) == 20 &&
                       offsetof(PartitionRecord, info) == 22 &&
                       offsetof(PartitionRecord, description) == 150);
UNDELETE_CONSTANT(uint8_t, kUnallocatedArea, 254);
UNDELETE_CONSTANT(uint32_t, kMaxPartitions, 160);

/// One entry of the found-partition table of the last lost-partition scan. 195 bytes. Repairs
/// of the disk's tables work from this table and the disk state (Undelete_IsDriveGPT ...).
typedef struct FoundPartition {
  le64 start;              // 0x00 byte offset on the disk
  le64 length;             // 0x08 bytes
  le64 relStart;           // 0x10 MBR/EBR entry: its start field x sector size, as stored
  le64 tableOffset;        // 0x18 byte offset of the MBR/EBR sector that holds (or is to hold)
                           //      the entry; 0 for the MBR, GPT and dynamic-disk entries
  uint8_t type;            // 0x20 type in use; 0 = empty slot, 0xFF GPT, 0xFD unconfirmed LDM
  uint8_t origType;        // 0x21 type as read from the table or found by the scan
  uint8_t flags;           // 0x22 bits 0..2 status (kPart*), 3..6 GPT copies, 7 active
  uint8_t typeGuid[16];    // 0x23 GPT partition type GUID (zero for MBR entries)
  uint8_t uniqueGuid[16];  // 0x33 GPT unique partition GUID
  le16 name[64];           // 0x43 UTF-16 name, NUL-terminated (GPT and LDM)
} FoundPartition;
UNDELETE_STATIC_ASSERT(sizeof(FoundPartition) == 195 && UNDELETE_ALIGNOF(FoundPartition) == 1);
UNDELETE_STATIC_ASSERT(offsetof(FoundPartition, type) == 32 &&
                       offsetof(FoundPartition, flags) == 34 &&
                       offsetof(FoundPartition, typeGuid) == 35 &&
                       offsetof(FoundPartition, uniqueGuid) == 51 &&
                       offsetof(FoundPartition, name) == 67);
UNDELETE_CONSTANT(uint32_t, kMaxFoundPartitions, 32);
// FoundPartition status (flags bits 0..2; texts from Undelete_GetStatusName).
UNDELETE_CONSTANT(uint8_t, kPartUnchecked, 0);
UNDELETE_CONSTANT(uint8_t, kPartExisting, 1);  // the table's entry, and its volume is there
UNDELETE_CONSTANT(uint8_t, kPartFound, 2);     // found by the scan, no table lists it (now)
UNDELETE_CONSTANT(uint8_t, kPartMissing, 3);   // a table lists it, nothing is there
UNDELETE_CONSTANT(uint8_t, kPartOverlaps, 4);  // found, but overlaps a listed partition
#ifdef __cplusplus
[[nodiscard]] constexpr uint8_t foundStatus(const FoundPartition& p) noexcept {
  return static_cast<uint8_t>(p.flags & 0x07u);
}
[[nodiscard]] constexpr uint8_t foundCopies(const FoundPartition& p) noexcept {
  return static_cast<uint8_t>((p.flags >> 3) & 0x0Fu);
}
[[nodiscard]] constexpr bool foundActive(const FoundPartition& p) noexcept {
  return (p.flags & 0x80u) != 0;
}
#endif

/// Scan-report callback (Undelete_SetVerbose); the result is ignored.
typedef int (*UndeleteReportCallback)(void* context, const char* line);
/// Save and memory callbacks of Undelete_SearchMultiple / Undelete_RestoreSession.
typedef int (*UndeleteQueryCallback)(void* arg);

#ifdef __cplusplus
extern "C" {
#endif

// Frame.
UNDELETE_API int Undelete_Create(Undelete** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_Delete(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_Done(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_SetVerbose(Undelete* u, UndeleteReportCallback callback,
                                     void* context) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetError(Undelete* u, uint32_t* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetErrorMessage(Undelete* u, const char** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_IsGoodOS(void) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_FileSystemIndexToName(Undelete* u, uint32_t type,
                                                const char** out) UNDELETE_NOEXCEPT;
/// Address of the strings-storage entry that @p ref names; 0 for null or out of range.
UNDELETE_API int Undelete_GetString(Undelete* u, uint32_t ref, const void** out) UNDELETE_NOEXCEPT;
/// Name of file-system kind @p kind (FileRecord.location bits 12..14): "Unformated", "FAT",
/// "NTFS", "UDF", "CDFS"; 0 for a kind this build does not know.
UNDELETE_API int Undelete_FileSystemKindToName(uint32_t kind, const char** out) UNDELETE_NOEXCEPT;

// Linux additions for front ends (kvx, the GUI's "Open disk image..."). Texts are UTF-8; every
// function returns 1 on success and 0 otherwise, and none keeps a pointer it was given.
/// Maps @p source (an image, a device or "image@OFFSET+LENGTH") to drive @p letter, or to the
/// first free letter from C when @p letter is 0; @p used (may be null) gets the letter. On
/// failure Undelete_GetHostError says why.
UNDELETE_API int Undelete_AddDrive(const char* source, char letter, char* used) UNDELETE_NOEXCEPT;
/// Entry @p index (0, 1, ...) of the drive table in letter order; 0 past the last.
UNDELETE_API int Undelete_GetDriveEntry(uint32_t index, UndeleteDriveEntry* out) UNDELETE_NOEXCEPT;
/// Entry @p index of the physical-drive table; 0 past the last.
UNDELETE_API int Undelete_GetDiskEntry(uint32_t index, UndeleteDriveEntry* out) UNDELETE_NOEXCEPT;
/// The entry of drive @p letter; 0 when the letter is not in the table (@p out may be null).
UNDELETE_API int Undelete_FindDrive(char letter, UndeleteDriveEntry* out) UNDELETE_NOEXCEPT;
/// Opens drive @p letter read-only and reads its first block. Returns 1 when it was probed (also
/// when unusable: see out->status), 0 for a null @p out.
UNDELETE_API int Undelete_ProbeDrive(char letter, UndeleteProbe* out) UNDELETE_NOEXCEPT;
/// The same for physical drive @p number.
UNDELETE_API int Undelete_ProbeDisk(uint32_t number, UndeleteProbe* out) UNDELETE_NOEXCEPT;
/// Every letter whose source shares bytes with the mount holding @p directory (letters named by
/// the user first), as a NUL-terminated string in @p out; "" when none. 0 when it does not fit.
UNDELETE_API int Undelete_LettersOfPath(const char* directory, char* out,
                                        uint32_t outSize) UNDELETE_NOEXCEPT;
/// This thread's last failure of the drive functions above or of the output functions
/// (Undelete_OpenOutputFolder, Undelete_RecoverFileAt): its code (kErr*, 0 for none) and a
/// text for people ("/x.img: No such file or directory"; cut to @p textSize, may be empty).
/// @p code and @p text may be null.
UNDELETE_API int Undelete_GetHostError(uint32_t* code, char* text,
                                       uint32_t textSize) UNDELETE_NOEXCEPT;
/// Named data stream @p stream (0, 1, ...) of listed file @p index, in the order the file system
/// keeps them: its UTF-16 name (NUL-terminated, valid as long as the results) and size in bytes.
/// 0 past the last stream and for files that have none (every file not found on NTFS).
UNDELETE_API int Undelete_GetFileStream(Undelete* u, uint32_t index, uint32_t stream,
                                        const UndeleteChar16** name,
                                        uint64_t* size) UNDELETE_NOEXCEPT;
// Where a listed file's data lives (Undelete_GetFileLocation), in the unit its file system counts.
UNDELETE_CONSTANT(uint32_t, kUndeleteLocationNone, 0);          // none kept (an empty file, data
                                                                // held inside its own entry)
UNDELETE_CONSTANT(uint32_t, kUndeleteLocationMftRecord, 1);     // NTFS: MFT record number (inode)
UNDELETE_CONSTANT(uint32_t, kUndeleteLocationFirstCluster, 2);  // FAT, exFAT: first data cluster
UNDELETE_CONSTANT(uint32_t, kUndeleteLocationOffset, 3);        // byte offset of the first data
                                                                // byte from the volume's start
/// Where listed file @p index lives: @p kind gets a kUndeleteLocation* value and @p value the
/// number (0 with kUndeleteLocationNone). Files found by content and files of CD/DVD file systems
/// give a byte offset; FAT and exFAT files the first cluster; NTFS files their MFT record. 0 for
/// an index past the last file or a null argument.
UNDELETE_API int Undelete_GetFileLocation(Undelete* u, uint32_t index, uint32_t* kind,
                                          uint64_t* value) UNDELETE_NOEXCEPT;

// Scan.
UNDELETE_API int Undelete_SearchMultiple(Undelete* u, const uint32_t* driveSpecs, uint16_t count,
                                         uint32_t options, UndeleteQueryCallback saveCallback,
                                         UndeleteQueryCallback memoryCallback,
                                         void* callbackArg) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_IsSearching(Undelete* u, uint32_t* exitCode) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetScanStage(Undelete* u, const char** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetProgress(Undelete* u, uint32_t* total, uint32_t* position,
                                      uint64_t* deepDone, uint64_t* deepTotal) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_ResetProgress(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_Cancel(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_TotalCancel(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_IsCancelled(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_TooManyFiles(Undelete* u) UNDELETE_NOEXCEPT;

// Results.
UNDELETE_API int Undelete_GetFilesCount(Undelete* u, uint32_t* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetDeletedCount(Undelete* u, uint32_t* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetFileInfo(Undelete* u, uint32_t index,
                                      const FileRecord** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetFolderCount(Undelete* u, uint32_t* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetFolderInfo(Undelete* u, uint32_t index,
                                        const FolderRecord** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetFileState(uint32_t state, const char** out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetDriveInfo(Undelete* u, uint32_t slot, char* name,
                                       char* details) UNDELETE_NOEXCEPT;

// Recovery.
/// @p target is created exclusively (an existing file is never replaced), its folder opened
/// without following a link; a file not recovered whole is removed, or kept as "target.partial"
/// when the source could not give more.
UNDELETE_API int Undelete_RecoverFile(Undelete* u, uint32_t index,
                                      const char* target) UNDELETE_NOEXCEPT;
/// Undelete_RecoverFile into the open folder @p folder (from Undelete_OpenOutputFolder) as
/// @p name, or as the first free "name (n)" when @p name is taken. @p chosen (@p chosenSize bytes,
/// may be null) receives the name used; after a failure it names the partial file kept with what
/// could be read, or is empty when nothing was kept. Undelete_GetHostError gives the system's
/// reason of a failure to create or write.
UNDELETE_API int Undelete_RecoverFileAt(Undelete* u, uint32_t index, int folder, const char* name,
                                        char* chosen, uint32_t chosenSize) UNDELETE_NOEXCEPT;
/// Opens a folder for recovered files. With @p parent < 0, @p name is the destination path as the
/// user gave it: created with its parents, its last component a folder and not a link. Otherwise
/// @p name is one component in the open folder @p parent, created when missing and never followed
/// through a link; when a file or a link holds that name, the first free "name (n)" is used.
/// @p chosen (may be null) receives the name used. Returns a descriptor for the caller to close,
/// or -1 (Undelete_GetHostError says why).
UNDELETE_API int Undelete_OpenOutputFolder(int parent, const char* name, char* chosen,
                                           uint32_t chosenSize) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetBytesProcessed(Undelete* u, uint64_t* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_MayBeRecoveredTo(Undelete* u, uint32_t index,
                                           uint32_t letter) UNDELETE_NOEXCEPT;

// Session.
UNDELETE_API int Undelete_GetSessionInfo(Undelete* u, char* text, int textSize,
                                         int* allDrivesPresent,
                                         uint8_t* driveMap) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_RestoreSession(Undelete* u, uint32_t ignored,
                                         UndeleteQueryCallback saveCallback,
                                         void* callbackArg) UNDELETE_NOEXCEPT;

// Partitions (the drive-letter summary is used by Undelete_GetDriveInfo).
UNDELETE_API int Undelete_GetLogicalDriveInfo(Undelete* u, char letter, int shortForm,
                                              char* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_PhysicalDrivePresent(int drive) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_DetectPhysicalDrivesPartitions(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetPartitionCount(Undelete* u, int* count) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetPartition(Undelete* u, unsigned index,
                                       PartitionRecord* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetGlobalPartitionIndex(Undelete* u, unsigned found,
                                                  int* listIndex) UNDELETE_NOEXCEPT;
/// Linux addition: makes @p source (a disk image or a whole-disk device) a physical drive, or
/// finds the number it already has; @p number (may be null) gets it. On failure
/// Undelete_GetHostError says why.
UNDELETE_API int Undelete_AddDisk(const char* source, uint32_t* number) UNDELETE_NOEXCEPT;

// Lost partitions.
UNDELETE_API int Undelete_ScanForPartitions(Undelete* u, int drive, int quick) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetPartitionProgress(Undelete* u, uint64_t* position,
                                               uint64_t* total) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetPartitionDesc(Undelete* u, unsigned index,
                                           FoundPartition* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetStatusName(uint8_t status, const char** text) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetPartitionTypeName(uint8_t type, const char** text) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_ShouldShow(Undelete* u, unsigned index) UNDELETE_NOEXCEPT;

// Disk condition after a lost-partition scan, and the repair decisions over its found table.
UNDELETE_API int Undelete_BootSectorInsteadOfMBR(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_MBRPresent(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_NeedFixMBRBootCode(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_NeedFixProtectiveMBR(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_IsDriveGPT(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_IsDriveDynamic(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_NeedFixMBR(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_NeedFixGPT(Undelete* u) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_NeedUnhide(Undelete* u) UNDELETE_NOEXCEPT;

// Repairs of the scanned disk's tables, from the found table and disk state of the last
// lost-partition scan. Each sector they rewrite is first saved in a backup file in the current
// directory ("<offset><sum>....mbr", "<crc>x5.gpt"); the undo calls replay such a file while the
// disk still holds what the repair wrote.
UNDELETE_API int Undelete_FixMBR(Undelete* u, unsigned index) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_CanMakeActive(Undelete* u, unsigned index) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_MakeActive(Undelete* u, unsigned index) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_FixMBRBootCode(Undelete* u, int drive) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_FixGPT(Undelete* u, unsigned index) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_CanUndoMBRFix(int drive, char* name, unsigned nameSize) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_UndoMBRFix(int drive) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_CanUndoGPTFix(int drive, char* name, unsigned nameSize) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_UndoGPTFix(int drive) UNDELETE_NOEXCEPT;
/// Whole-table backup: records (u64 offset, u32 length, bytes) of the MBR and EBR chain, the GPT
/// headers and arrays, or a dynamic disk's MBR, PRIVHEAD and database.
UNDELETE_API int Undelete_BackupPartitions(int drive, const char* fileName) UNDELETE_NOEXCEPT;
/// Writes every record of a whole-table backup back; a file that does not parse whole, or a
/// record outside the disk, writes nothing.
UNDELETE_API int Undelete_RestorePartitions(const char* fileName, int drive) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_ReadMBR(int drive, void* buffer) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_WriteMBR(int drive, const void* buffer) UNDELETE_NOEXCEPT;

/// Linux additions for front ends that show a repair before making it. With the dry run on (per
/// thread), the repairs, undo and restore open the disk read-only, write nothing (no backup file
/// either) and only record what they would write; Undelete_GetRepairWrite then lists the ranges,
/// as it lists what the last real repair wrote. Undelete_GetRepairBackup gives the backup file's
/// name (in a dry run: the name it would get). Pointers stay valid until the next repair call.
typedef struct UndeleteRepairWrite {
  uint64_t offset;        // byte offset on the disk
  uint32_t length;        // bytes
  int32_t written;        // 1 when the bytes reached the disk
  int32_t changes;        // 0 for a range only saved in the backup, never written
  const uint8_t* before;  // what the disk held (length bytes)
  const uint8_t* after;   // what the repair writes there
} UndeleteRepairWrite;
UNDELETE_API int Undelete_SetRepairDryRun(int on) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetRepairWrite(unsigned index,
                                         UndeleteRepairWrite* out) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetRepairBackup(char* name, unsigned size) UNDELETE_NOEXCEPT;
/// The sector size the recorded ranges' disk counts its tables in (512 or 4096), for showing
/// offsets as sectors; 0 when nothing was recorded.
UNDELETE_API int Undelete_GetRepairSectorSize(uint32_t* out) UNDELETE_NOEXCEPT;

// Secure wipe. Methods 0..4: zeros, random bytes, a byte and its complement and a new byte (3
// passes), seven passes of remembered and random bytes, the 35-pass table.
UNDELETE_API int Undelete_SetWipeMethod(Undelete* u, uint32_t method,
                                        uint32_t passes) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_WipeFile(Undelete* u, uint32_t index,
                                   uint32_t exclusive) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_WipeFolder(Undelete* u, uint32_t index) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_WipeMultiple(Undelete* u, const uint32_t* driveSpecs,
                                       uint16_t count) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_WipeFreeSpace(Undelete* u, const uint32_t* driveSpecs, uint16_t count,
                                        uint32_t wipeEntries,
                                        uint32_t removeRestorePoint) UNDELETE_NOEXCEPT;
UNDELETE_API int Undelete_GetWipeProgress(Undelete* u, uint32_t* position,
                                          uint32_t* total) UNDELETE_NOEXCEPT;

#ifdef __cplusplus
}  // extern "C"
#endif

// Times in FileRecord are FILETIMEs: 100-nanosecond ticks since 1601-01-01, local wall-clock
// time as the volume keeps it; 0 means none was recorded. The engine converts them with the same
// constants, so that every front end and every recoverer reads a time alike.
#define UNDELETE_FILETIME_TICKS_PER_SECOND 10000000ull
#define UNDELETE_FILETIME_UNIX_EPOCH_SECONDS 11644473600ll  // seconds from 1601 to 1970

/// Seconds since 1970-01-01 (negative before) and nanoseconds (always 0..999999999) of a FILETIME,
/// read in the same clock it was written in. Returns 0, leaving both alone, for 0 (no time).
static inline int UndeleteFileTimeToUnix(uint64_t fileTime, int64_t* seconds,
                                         uint32_t* nanoseconds) {
  if (fileTime == 0) return 0;
  *seconds = (int64_t)(fileTime / UNDELETE_FILETIME_TICKS_PER_SECOND) -
             UNDELETE_FILETIME_UNIX_EPOCH_SECONDS;
  *nanoseconds = (uint32_t)(fileTime % UNDELETE_FILETIME_TICKS_PER_SECOND) * 100u;
  return 1;
}

#endif  // UNDELETE_UNDELETE_H
