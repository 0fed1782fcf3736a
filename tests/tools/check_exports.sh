#!/usr/bin/env bash
# The shared library exports the interface by its C names, and nothing of the engine's internals.
set -euo pipefail
lib=${1:?usage: check_exports.sh libKVXDLL.so}
exports=$(nm -D --defined-only "$lib" | awk '{print $3}')
status=0
for name in Undelete_Create Undelete_Delete Undelete_Done Undelete_SetVerbose Undelete_GetError \
            Undelete_GetErrorMessage Undelete_IsGoodOS Undelete_FileSystemIndexToName \
            Undelete_FileSystemKindToName \
            Undelete_GetString Undelete_SearchMultiple Undelete_IsSearching Undelete_GetScanStage \
            Undelete_GetProgress Undelete_ResetProgress Undelete_Cancel Undelete_TotalCancel \
            Undelete_IsCancelled Undelete_TooManyFiles Undelete_GetFilesCount \
            Undelete_GetDeletedCount Undelete_GetFileInfo Undelete_GetFolderCount \
            Undelete_GetFolderInfo Undelete_GetFileState Undelete_GetDriveInfo \
            Undelete_RecoverFile Undelete_GetBytesProcessed Undelete_MayBeRecoveredTo \
            Undelete_AddDrive Undelete_GetDriveEntry Undelete_GetDiskEntry Undelete_FindDrive \
            Undelete_ProbeDrive Undelete_ProbeDisk Undelete_LettersOfPath Undelete_GetHostError \
            Undelete_GetFileStream Undelete_GetFileLocation Undelete_RecoverFileAt \
            Undelete_OpenOutputFolder \
            Undelete_SetWipeMethod Undelete_WipeFile Undelete_WipeFolder \
            Undelete_WipeMultiple Undelete_WipeFreeSpace Undelete_GetWipeProgress \
            Undelete_FixMBR Undelete_CanMakeActive Undelete_MakeActive Undelete_FixMBRBootCode \
            Undelete_FixGPT Undelete_CanUndoMBRFix Undelete_UndoMBRFix Undelete_CanUndoGPTFix \
            Undelete_UndoGPTFix Undelete_BackupPartitions Undelete_RestorePartitions \
            Undelete_ReadMBR Undelete_WriteMBR Undelete_SetRepairDryRun Undelete_GetRepairWrite \
            Undelete_GetRepairBackup Undelete_GetRepairSectorSize; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "missing export: $name"
    status=1
  fi
done
leaked=$(grep -E '^(Storage_|CachedDrive_|ExtentReader_|FAT_|NTFS_|FileFormat_|Unformated_|Host_|Fs_)' <<<"$exports" || true)
if [ -n "$leaked" ]; then
  echo "internal names exported:"; echo "$leaked"; status=1
fi
# Every module is bound at compile time: no engine function may be left for the loader to fill in.
weak=$(nm "$lib" | awk '$1 == "w" || $1 == "v" {print $2}' |
       grep -E '^(Undelete_|Storage_|CachedDrive_|FAT_|NTFS_|CDFS_|UDF_|FileFormat_|Unformated_|Host_|Wipe_)' || true)
if [ -n "$weak" ]; then
  echo "weak engine references:"; echo "$weak"; status=1
fi
exit $status
