// The engine's C interface: the Undelete_* exports and the records that cross it.
//
// Every record here is byte-packed and little-endian. Fields that the engine's records once held as
// pointers into the strings storage hold a 32-bit string reference instead: the byte offset from
// the storage base with bit 31 set, 0 for none. Undelete_GetString turns one into an address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/le.h"

#if defined(UNDELETE_BUILDING)
#define UNDELETE_API __attribute__((visibility("default")))
#else
#define UNDELETE_API
#endif

struct Undelete;

/// Windows FILETIME: 100-ns ticks since 1601-01-01 UTC.
using FileTime = le64;

/// One found file. 127 bytes; stored byte for byte in the session file.
struct FileRecord {
  le32 folder;                    // 0x00 index of the containing FolderRecord
  le32 reserved;                  // 0x04 written 0
  le64 size;                      // 0x08 bytes
  le64 volumeOffset;              // 0x10 byte offset on the device of the file's volume
  FileTime modified;              // 0x18
  FileTime created;               // 0x20
  FileTime accessed;              // 0x28
  le32 name;                      // 0x30 string ref: UTF-16 name
  le32 rootName;                  // 0x34 string ref: name of the drive's root folder
  le32 note;                      // 0x38 string ref: optional UTF-16 note; 0 = none
  le32 overwrittenBy;             // 0x3C i32: -1 none, -2 other file system, else file index
  le64 firstOverwritten[3];       // 0x40 overwritten cluster positions; empty = all ones
  le64 overwrittenClusters;       // 0x58
  le64 totalClusters;             // 0x60
  std::uint8_t status;            // 0x68 bit 0 existing; bits 1..5 state; bits 6..7 scanner's
  le16 marks;                     // 0x69 bit 0 replaced
  std::uint8_t stateOnly;         // 0x6B bit 0: show the state without counts
  std::uint8_t attributes;        // 0x6C kAttr* letters
  le64 scanKey;                   // 0x6D
  le16 location;                  // 0x75 bits 0..11 slot, 12..14 kind, 15 add flag
  le32 fsIndex;                   // 0x77 index in the drive's file-system table
  le32 locator;                   // 0x7B string ref: the recoverer's block
};
static_assert(sizeof(FileRecord) == 127 && alignof(FileRecord) == 1);
static_assert(offsetof(FileRecord, size) == 8 && offsetof(FileRecord, modified) == 24 &&
              offsetof(FileRecord, name) == 48 && offsetof(FileRecord, overwrittenBy) == 60 &&
              offsetof(FileRecord, firstOverwritten) == 64 &&
              offsetof(FileRecord, overwrittenClusters) == 88 &&
              offsetof(FileRecord, totalClusters) == 96 && offsetof(FileRecord, status) == 104 &&
              offsetof(FileRecord, marks) == 105 && offsetof(FileRecord, stateOnly) == 107 &&
              offsetof(FileRecord, attributes) == 108 && offsetof(FileRecord, scanKey) == 109 &&
              offsetof(FileRecord, location) == 117 && offsetof(FileRecord, fsIndex) == 119 &&
              offsetof(FileRecord, locator) == 123);

/// One found folder. 20 bytes; stored byte for byte in the session file.
struct FolderRecord {
  le32 name;     // 0x00 string ref: UTF-16 name
  le32 parent;   // 0x04 parent folder index; 0xFFFFFFFF for a drive root
  le32 flags;    // 0x08 bits 0..15 tag, 16..23 attributes, 29 hidden, 30 deleted, 31 scanner's
  le64 scanKey;  // 0x0C
};
static_assert(sizeof(FolderRecord) == 20 && alignof(FolderRecord) == 1);
static_assert(offsetof(FolderRecord, parent) == 4 && offsetof(FolderRecord, flags) == 8 &&
              offsetof(FolderRecord, scanKey) == 12);

// FileRecord.status / FolderRecord.flags bits.
inline constexpr std::uint8_t kStatusExisting = 0x01;
inline constexpr std::uint32_t kFolderHidden = 1u << 29;
inline constexpr std::uint32_t kFolderDeleted = 1u << 30;
inline constexpr std::uint32_t kFolderScannerFlag = 1u << 31;
inline constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;

// Attribute letters (FileRecord.attributes, FolderRecord.flags bits 16..23): "ARHSCE".
inline constexpr std::uint8_t kAttrArchive = 0x01;
inline constexpr std::uint8_t kAttrReadOnly = 0x02;
inline constexpr std::uint8_t kAttrHidden = 0x04;
inline constexpr std::uint8_t kAttrSystem = 0x08;
inline constexpr std::uint8_t kAttrCompressed = 0x10;
inline constexpr std::uint8_t kAttrEncrypted = 0x20;

// File states (status bits 1..5).
enum FileState : std::uint8_t {
  kStateUnrecoverable = 0,
  kStateBad = 1,
  kStatePoor = 2,
  kStateGood = 3,
  kStateExcellent = 4,
  kStateExisting = 5,
};

// File-system type numbers (first u32 of every file-system table entry).
enum FsType : std::uint32_t {
  kFsUnknown = 0,
  kFsCdfs = 1,
  kFsUdf = 2,
  kFsNtfs = 3,
  kFsFat12 = 4,
  kFsFat16 = 5,
  kFsFat32 = 6,
};

// File-system kinds (FileRecord.location bits 12..14): which recoverer serves a file.
enum FsKind : std::uint16_t { kKindRaw = 0, kKindFat = 1, kKindNtfs = 2, kKindUdf = 3, kKindCdfs = 4 };

// Scan options (fourth argument of Undelete_SearchMultiple).
inline constexpr std::uint32_t kOptTestExtension = 0x01;
inline constexpr std::uint32_t kOptRenameExtension = 0x02;
inline constexpr std::uint32_t kOptTestAll = 0x04;
inline constexpr std::uint32_t kOptDeepScan = 0x08;

// Engine error codes (Undelete_GetError); texts come from Undelete_GetErrorMessage.
inline constexpr std::uint32_t kErrNone = 0;
inline constexpr std::uint32_t kErrFreeSpace = 0x20000001;
inline constexpr std::uint32_t kErrOpenDrive = 0x20000002;
inline constexpr std::uint32_t kErrAccessDenied = 0x20000003;
inline constexpr std::uint32_t kErrBootSector = 0x20000004;
inline constexpr std::uint32_t kErrUnrecognized = 0x20000005;
inline constexpr std::uint32_t kErrBootInfo = 0x20000006;
inline constexpr std::uint32_t kErrReadFat = 0x20000007;
inline constexpr std::uint32_t kErrMemory = 0x20000008;
inline constexpr std::uint32_t kErrUserAbort = 0x20000009;
inline constexpr std::uint32_t kErrMftDescription = 0x2000000A;
inline constexpr std::uint32_t kErrInvalidParameter = 0x2000000B;
inline constexpr std::uint32_t kErrCreateFile = 0x2000000C;
inline constexpr std::uint32_t kErrCrypted = 0x2000000D;
inline constexpr std::uint32_t kErrWriteFile = 0x2000000E;
inline constexpr std::uint32_t kErrReadSource = 0x2000000F;
inline constexpr std::uint32_t kErrDecompress = 0x20000010;  // no message
inline constexpr std::uint32_t kErrOsTooOld = 0x20000011;
inline constexpr std::uint32_t kErrDriveSize = 0x20000012;
inline constexpr std::uint32_t kErrNullPointer = 0x20000013;

/// Scan-report callback (Undelete_SetVerbose); the result is ignored.
using UndeleteReportCallback = int (*)(void* context, const char* line);
/// Save and memory callbacks of Undelete_SearchMultiple / Undelete_RestoreSession.
using UndeleteQueryCallback = int (*)(void* arg);

extern "C" {

// Frame.
UNDELETE_API int Undelete_Create(Undelete** out) noexcept;
UNDELETE_API int Undelete_Delete(Undelete* u) noexcept;
UNDELETE_API int Undelete_Done(Undelete* u) noexcept;
UNDELETE_API int Undelete_SetVerbose(Undelete* u, UndeleteReportCallback callback,
                                     void* context) noexcept;
UNDELETE_API int Undelete_GetError(Undelete* u, std::uint32_t* out) noexcept;
UNDELETE_API int Undelete_GetErrorMessage(Undelete* u, const char** out) noexcept;
UNDELETE_API int Undelete_IsGoodOS() noexcept;
UNDELETE_API int Undelete_FileSystemIndexToName(Undelete* u, std::uint32_t type,
                                                const char** out) noexcept;
/// Address of the strings-storage entry that @p ref names; 0 for null or out of range.
UNDELETE_API int Undelete_GetString(Undelete* u, std::uint32_t ref, const void** out) noexcept;

// Scan.
UNDELETE_API int Undelete_SearchMultiple(Undelete* u, const std::uint32_t* driveSpecs,
                                         std::uint16_t count, std::uint32_t options,
                                         UndeleteQueryCallback saveCallback,
                                         UndeleteQueryCallback memoryCallback,
                                         void* callbackArg) noexcept;
UNDELETE_API int Undelete_IsSearching(Undelete* u, std::uint32_t* exitCode) noexcept;
UNDELETE_API int Undelete_GetScanStage(Undelete* u, const char** out) noexcept;
UNDELETE_API int Undelete_GetProgress(Undelete* u, std::uint32_t* total, std::uint32_t* position,
                                      std::uint64_t* deepDone, std::uint64_t* deepTotal) noexcept;
UNDELETE_API int Undelete_ResetProgress(Undelete* u) noexcept;
UNDELETE_API int Undelete_Cancel(Undelete* u) noexcept;
UNDELETE_API int Undelete_TotalCancel(Undelete* u) noexcept;
UNDELETE_API int Undelete_IsCancelled(Undelete* u) noexcept;
UNDELETE_API int Undelete_TooManyFiles(Undelete* u) noexcept;

// Results.
UNDELETE_API int Undelete_GetFilesCount(Undelete* u, std::uint32_t* out) noexcept;
UNDELETE_API int Undelete_GetDeletedCount(Undelete* u, std::uint32_t* out) noexcept;
UNDELETE_API int Undelete_GetFileInfo(Undelete* u, std::uint32_t index,
                                      const FileRecord** out) noexcept;
UNDELETE_API int Undelete_GetFolderCount(Undelete* u, std::uint32_t* out) noexcept;
UNDELETE_API int Undelete_GetFolderInfo(Undelete* u, std::uint32_t index,
                                        const FolderRecord** out) noexcept;
UNDELETE_API int Undelete_GetFileState(std::uint32_t state, const char** out) noexcept;
UNDELETE_API int Undelete_GetDriveInfo(Undelete* u, std::uint32_t slot, char* name,
                                       char* details) noexcept;

// Recovery.
UNDELETE_API int Undelete_RecoverFile(Undelete* u, std::uint32_t index, const char* target) noexcept;
UNDELETE_API int Undelete_GetBytesProcessed(Undelete* u, std::uint64_t* out) noexcept;
UNDELETE_API int Undelete_MayBeRecoveredTo(Undelete* u, std::uint32_t index,
                                           std::uint32_t letter) noexcept;

// Session.
UNDELETE_API int Undelete_GetSessionInfo(Undelete* u, char* text, int textSize,
                                         int* allDrivesPresent, std::uint8_t* driveMap) noexcept;
UNDELETE_API int Undelete_RestoreSession(Undelete* u, std::uint32_t ignored,
                                         UndeleteQueryCallback saveCallback,
                                         void* callbackArg) noexcept;

// Partitions (the drive-letter summary is used by Undelete_GetDriveInfo).
UNDELETE_API int Undelete_GetLogicalDriveInfo(Undelete* u, char letter, int shortForm,
                                              char* out) noexcept;

// Secure wipe. Methods 0..4: zeros, random bytes, a byte and its complement and a new byte (3
// passes), seven passes of remembered and random bytes, the 35-pass table.
UNDELETE_API int Undelete_SetWipeMethod(Undelete* u, std::uint32_t method,
                                        std::uint32_t passes) noexcept;
UNDELETE_API int Undelete_WipeFile(Undelete* u, std::uint32_t index, std::uint32_t exclusive) noexcept;
UNDELETE_API int Undelete_WipeFolder(Undelete* u, std::uint32_t index) noexcept;
UNDELETE_API int Undelete_WipeMultiple(Undelete* u, const std::uint32_t* driveSpecs,
                                       std::uint16_t count) noexcept;
UNDELETE_API int Undelete_WipeFreeSpace(Undelete* u, const std::uint32_t* driveSpecs,
                                        std::uint16_t count, std::uint32_t wipeEntries,
                                        std::uint32_t removeRestorePoint) noexcept;
UNDELETE_API int Undelete_GetWipeProgress(Undelete* u, std::uint32_t* position,
                                          std::uint32_t* total) noexcept;

}  // extern "C"
