// Result storage of a scan: the files list, the folders list and the strings storage. Three
// regions reserved as address space and filled front to back; entries never move, so string
// references and record addresses stay valid until Undelete_Done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "undelete/undelete.h"

/// Reserves the three regions (halving a reserve once when it cannot be had). True when all exist.
[[nodiscard]] bool Storage_Reserve(Undelete* u) noexcept;
/// Releases the regions (the lists and strings go; counts become 0).
void Storage_Release(Undelete* u) noexcept;
/// Makes the regions read-only (end of a scan) or writable again (wipe, session restore).
void Storage_SetReadOnly(Undelete* u, bool readOnly) noexcept;

/// Appends a NUL-terminated UTF-16 string; @p outRef (optional) gets its string reference.
/// False (and *outRef = 0) when the storage is full.
[[nodiscard]] bool Storage_AddString(Undelete* u, const char16_t* text, std::uint32_t* outRef) noexcept;
/// Appends @p length bytes rounded up to whole 16-bit units.
[[nodiscard]] bool Storage_AddBlob(Undelete* u, const void* data, std::uint32_t length,
                                   std::uint32_t* outRef) noexcept;
/// Appends a copy of @p record (marks bit 0 cleared, location bit 15 = flag, scanKey stamped),
/// counts deleted files and marks an earlier record with the same scanKey as replaced.
[[nodiscard]] bool Storage_AddFile(Undelete* u, const FileRecord* record, bool flag) noexcept;
/// Stores @p name and appends a folder record; @p outIndex (optional) gets its index.
[[nodiscard]] bool Storage_AddFolder(Undelete* u, const char16_t* name, std::uint32_t parent,
                                     std::uint16_t tag, std::uint8_t attributes, bool deleted,
                                     bool scannerFlag, std::uint32_t* outIndex) noexcept;
/// Appends records exactly as given (no stamping, no duplicate search), for a restored session;
/// a file record whose existing bit is clear is counted as deleted.
[[nodiscard]] bool Storage_AppendFileRecord(Undelete* u, const FileRecord* record) noexcept;
[[nodiscard]] bool Storage_AppendFolderRecord(Undelete* u, const FolderRecord* record) noexcept;

/// Address of a string reference's entry, or nullptr for 0 / out of the used storage.
[[nodiscard]] void* Storage_At(const Undelete* u, std::uint32_t ref) noexcept;
/// The bytes from a reference's entry to the end of the used storage (all a block there may
/// hold); empty for 0 / out of the used storage.
[[nodiscard]] std::span<const std::uint8_t> Storage_BytesAt(const Undelete* u,
                                                            std::uint32_t ref) noexcept;
/// A block of @p bytes at a reference, or nullptr unless it lies whole inside the used storage.
/// Blocks read back from a saved session are untrusted: every typed read goes through this.
[[nodiscard]] const void* Storage_Block(const Undelete* u, std::uint32_t ref,
                                        std::size_t bytes) noexcept;
template <class T>
[[nodiscard]] const T* Storage_Get(const Undelete* u, std::uint32_t ref) noexcept {
  return static_cast<const T*>(Storage_Block(u, ref, sizeof(T)));
}
/// String reference of an address inside the used storage, or 0.
[[nodiscard]] std::uint32_t Storage_RefOf(const Undelete* u, const void* p) noexcept;
/// File or folder record by index, or nullptr out of range.
[[nodiscard]] FileRecord* Storage_File(const Undelete* u, std::uint32_t index) noexcept;
[[nodiscard]] FolderRecord* Storage_Folder(const Undelete* u, std::uint32_t index) noexcept;

/// Full path of folder @p index, root first, each name followed by '\\'; false when longer than
/// @p capacity UTF-16 units (including the NUL) or the parent chain is broken or loops.
[[nodiscard]] bool Storage_FolderPath(const Undelete* u, std::uint32_t index, char16_t* out,
                                      std::size_t capacity) noexcept;
