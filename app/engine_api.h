// The engine as the program sees it: one function pointer per export it binds, filled once at
// start-up from libKVXDLL.so by name and read-only afterwards. Tests fill the table with fakes.
#pragma once

#include <string>

#include "undelete/undelete.h"

// Repair and boot-record exports the program binds with the rest but never calls.
using UndeleteIndexFn = int (*)(Undelete*, unsigned);
using UndeleteDriveFn = int (*)(Undelete*, int);
using UndeleteCanUndoFn = int (*)(int, char*, unsigned);
using UndeleteUndoFn = int (*)(int);
using UndeleteReadMbrFn = int (*)(int, void*);
using UndeleteWriteMbrFn = int (*)(int, const void*);

// X(name, type): the bound names in binding order, then the string-reference lookup.
#define REKOVIA_ENGINE_EXPORTS(X)                                                                  \
  X(Undelete_Create, decltype(&::Undelete_Create))                                                 \
  X(Undelete_Delete, decltype(&::Undelete_Delete))                                                 \
  X(Undelete_SetVerbose, decltype(&::Undelete_SetVerbose))                                         \
  X(Undelete_SearchMultiple, decltype(&::Undelete_SearchMultiple))                                 \
  X(Undelete_IsSearching, decltype(&::Undelete_IsSearching))                                       \
  X(Undelete_GetScanStage, decltype(&::Undelete_GetScanStage))                                     \
  X(Undelete_GetProgress, decltype(&::Undelete_GetProgress))                                       \
  X(Undelete_ResetProgress, decltype(&::Undelete_ResetProgress))                                   \
  X(Undelete_GetBytesProcessed, decltype(&::Undelete_GetBytesProcessed))                           \
  X(Undelete_Cancel, decltype(&::Undelete_Cancel))                                                 \
  X(Undelete_TotalCancel, decltype(&::Undelete_TotalCancel))                                       \
  X(Undelete_GetFilesCount, decltype(&::Undelete_GetFilesCount))                                   \
  X(Undelete_GetDeletedCount, decltype(&::Undelete_GetDeletedCount))                               \
  X(Undelete_GetFileInfo, decltype(&::Undelete_GetFileInfo))                                       \
  X(Undelete_GetFolderCount, decltype(&::Undelete_GetFolderCount))                                 \
  X(Undelete_GetFolderInfo, decltype(&::Undelete_GetFolderInfo))                                   \
  X(Undelete_RecoverFile, decltype(&::Undelete_RecoverFile))                                       \
  X(Undelete_WipeFolder, decltype(&::Undelete_WipeFolder))                                         \
  X(Undelete_WipeFile, decltype(&::Undelete_WipeFile))                                             \
  X(Undelete_GetWipeProgress, decltype(&::Undelete_GetWipeProgress))                               \
  X(Undelete_WipeFreeSpace, decltype(&::Undelete_WipeFreeSpace))                                   \
  X(Undelete_WipeMultiple, decltype(&::Undelete_WipeMultiple))                                     \
  X(Undelete_SetWipeMethod, decltype(&::Undelete_SetWipeMethod))                                   \
  X(Undelete_Done, decltype(&::Undelete_Done))                                                     \
  X(Undelete_TooManyFiles, decltype(&::Undelete_TooManyFiles))                                     \
  X(Undelete_IsCancelled, decltype(&::Undelete_IsCancelled))                                       \
  X(Undelete_GetFileState, decltype(&::Undelete_GetFileState))                                     \
  X(Undelete_GetDriveInfo, decltype(&::Undelete_GetDriveInfo))                                     \
  X(Undelete_GetError, decltype(&::Undelete_GetError))                                             \
  X(Undelete_GetErrorMessage, decltype(&::Undelete_GetErrorMessage))                               \
  X(Undelete_IsGoodOS, decltype(&::Undelete_IsGoodOS))                                             \
  X(Undelete_PhysicalDrivePresent, decltype(&::Undelete_PhysicalDrivePresent))                     \
  X(Undelete_DetectPhysicalDrivesPartitions, decltype(&::Undelete_DetectPhysicalDrivesPartitions)) \
  X(Undelete_GetPartitionCount, decltype(&::Undelete_GetPartitionCount))                           \
  X(Undelete_GetPartition, decltype(&::Undelete_GetPartition))                                     \
  X(Undelete_ScanForPartitions, decltype(&::Undelete_ScanForPartitions))                           \
  X(Undelete_GetGlobalPartitionIndex, decltype(&::Undelete_GetGlobalPartitionIndex))               \
  X(Undelete_GetPartitionDesc, decltype(&::Undelete_GetPartitionDesc))                             \
  X(Undelete_CanMakeActive, UndeleteIndexFn)                                                       \
  X(Undelete_ShouldShow, decltype(&::Undelete_ShouldShow))                                         \
  X(Undelete_MakeActive, UndeleteIndexFn)                                                          \
  X(Undelete_GetPartitionTypeName, decltype(&::Undelete_GetPartitionTypeName))                     \
  X(Undelete_GetStatusName, decltype(&::Undelete_GetStatusName))                                   \
  X(Undelete_GetPartitionProgress, decltype(&::Undelete_GetPartitionProgress))                     \
  X(Undelete_FixMBRBootCode, UndeleteDriveFn)                                                      \
  X(Undelete_NeedFixMBR, decltype(&::Undelete_NeedFixMBR))                                         \
  X(Undelete_NeedUnhide, decltype(&::Undelete_NeedUnhide))                                         \
  X(Undelete_NeedFixMBRBootCode, decltype(&::Undelete_NeedFixMBRBootCode))                         \
  X(Undelete_NeedFixProtectiveMBR, decltype(&::Undelete_NeedFixProtectiveMBR))                     \
  X(Undelete_FixMBR, UndeleteIndexFn)                                                              \
  X(Undelete_CanUndoMBRFix, UndeleteCanUndoFn)                                                     \
  X(Undelete_CanUndoGPTFix, UndeleteCanUndoFn)                                                     \
  X(Undelete_FixGPT, UndeleteIndexFn)                                                              \
  X(Undelete_UndoGPTFix, UndeleteUndoFn)                                                           \
  X(Undelete_IsDriveGPT, decltype(&::Undelete_IsDriveGPT))                                         \
  X(Undelete_IsDriveDynamic, decltype(&::Undelete_IsDriveDynamic))                                 \
  X(Undelete_NeedFixGPT, decltype(&::Undelete_NeedFixGPT))                                         \
  X(Undelete_MBRPresent, decltype(&::Undelete_MBRPresent))                                         \
  X(Undelete_UndoMBRFix, UndeleteUndoFn)                                                           \
  X(Undelete_ReadMBR, UndeleteReadMbrFn)                                                           \
  X(Undelete_WriteMBR, UndeleteWriteMbrFn)                                                         \
  X(Undelete_MayBeRecoveredTo, decltype(&::Undelete_MayBeRecoveredTo))                             \
  X(Undelete_GetLogicalDriveInfo, decltype(&::Undelete_GetLogicalDriveInfo))                       \
  X(Undelete_FileSystemIndexToName, decltype(&::Undelete_FileSystemIndexToName))                   \
  X(Undelete_RestoreSession, decltype(&::Undelete_RestoreSession))                                 \
  X(Undelete_GetSessionInfo, decltype(&::Undelete_GetSessionInfo))                                 \
  X(Undelete_GetString, decltype(&::Undelete_GetString))

// Linux additions the program uses for its drive list and "Open disk image..."; bound the same
// way, and just as required.
#define REKOVIA_ENGINE_HOST_EXPORTS(X)                           \
  X(Undelete_AddDrive, decltype(&::Undelete_AddDrive))           \
  X(Undelete_AddDisk, decltype(&::Undelete_AddDisk))             \
  X(Undelete_GetDriveEntry, decltype(&::Undelete_GetDriveEntry)) \
  X(Undelete_FindDrive, decltype(&::Undelete_FindDrive))         \
  X(Undelete_ProbeDrive, decltype(&::Undelete_ProbeDrive))       \
  X(Undelete_LettersOfPath, decltype(&::Undelete_LettersOfPath)) \
  X(Undelete_GetHostError, decltype(&::Undelete_GetHostError))

struct EngineApi {
#define REKOVIA_ENGINE_FIELD(name, type) type name = nullptr;
  REKOVIA_ENGINE_EXPORTS(REKOVIA_ENGINE_FIELD)
  REKOVIA_ENGINE_HOST_EXPORTS(REKOVIA_ENGINE_FIELD)
#undef REKOVIA_ENGINE_FIELD
  void* module = nullptr;  // dlopen handle; kept open for the whole run
};

/// The names bound, in binding order (the first 66 and Undelete_GetString, then the additions).
[[nodiscard]] const char* const* EngineApi_Names(int* count);

/// Loads the engine library @p file (a path, or a bare name for the library search) and binds
/// every name. On failure @p api is left empty, the library is closed and @p error names what is
/// missing ("libKVXDLL.so: cannot open ..." or "... lacks Undelete_GetSessionInfo").
[[nodiscard]] bool EngineApi_Load(EngineApi& api, const std::string& file, std::string& error);

/// The engine library to load: libKVXDLL.so next to the program when there is one, else the bare
/// name (the program's RUNPATH and the system's library folders).
[[nodiscard]] std::string EngineApi_DefaultLibrary();
