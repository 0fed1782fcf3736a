// The file-system table: one row per file-system kind, each row the descriptor its module defines.
//
// How to add a file-system kind (say exFAT):
//  1. Give it a kind number in undelete.h (FsKind; location has 3 bits, so at most 8 kinds) and
//     type numbers for its table entries (FsType), if it makes new ones.
//  2. In its own folder, define `extern const FsDescriptor kExfatDescriptor` (copy
//     fat/fat_descriptor.cpp): name, types (name, search texts, minEntrySize), recognisers for
//     512- and/or 2048-byte sectors with their texts, search, recover (adapt argument orders
//     there), describe, saveEntry/loadEntry (null: saved as it stands), deep-scan hook, wipe;
//     leave out what the module lacks. Declare it in the module's header.
//  3. Put `&kExfatDescriptor` in kTable below at its kind.
//     Recognisers are tried in table order. The FsTable tests check the row is complete.
// A kind not in the build has a null row: every caller goes through Fs_OfKind/Fs_OfType.
#include "core/fs_dispatch.h"

#include <array>

#include "core/cached_drive.h"
#include "core/le.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"
#include "fat/fat.h"
#include "ntfs/ntfs.h"
#include "optical/cdfs.h"
#include "optical/udf.h"
#include "raw/unformated.h"
#include "undelete/undelete.h"

namespace {

// Indexed by kind.
constexpr std::array<const FsDescriptor*, 6> kTable{{
    &kUnformatedDescriptor,  // kKindRaw: also the fallback when nothing else recognises a drive
    &kFatDescriptor,         // kKindFat
    &kNtfsDescriptor,        // kKindNtfs
    &kUdfDescriptor,         // kKindUdf
    &kCdfsDescriptor,        // kKindCdfs
    &kExfatDescriptor,       // kKindExfat
}};

}  // namespace

std::span<const FsDescriptor* const> Fs_Table() noexcept { return kTable; }

const FsDescriptor* Fs_OfKind(std::uint32_t kind) noexcept {
  return kind < kTable.size() ? kTable[kind] : nullptr;
}

const FsDescriptor* Fs_OfType(std::uint32_t type, const FsTypeInfo** info) noexcept {
  for (const FsDescriptor* fs : kTable) {
    if (fs == nullptr) continue;
    for (const FsTypeInfo& t : fs->types) {
      if (t.type != type) continue;
      if (info != nullptr) *info = &t;
      return fs;
    }
  }
  if (info != nullptr) *info = nullptr;
  return nullptr;
}

std::optional<FsEntry> Fs_Entry(const CachedDrive* drive, std::uint32_t index) noexcept {
  if (drive == nullptr || index >= drive->fsCount || index >= kMaxFileSystems) return std::nullopt;
  auto* bytes = static_cast<std::uint8_t*>(drive->fsTable[index]);
  const std::uint32_t size = drive->fsSizes[index];
  if (bytes == nullptr || size < sizeof(std::uint32_t)) return std::nullopt;
  FsEntry e;
  e.type = loadLe<std::uint32_t>(bytes);
  e.bytes = {bytes, size};
  e.fs = Fs_OfType(e.type, &e.typeInfo);
  return e;
}

std::optional<FsEntry> Fs_SelectedEntry(const CachedDrive* drive) noexcept {
  return drive != nullptr ? Fs_Entry(drive, drive->fsCurrent) : std::nullopt;
}

int Undelete_GetFileLocation(Undelete* u, std::uint32_t index, std::uint32_t* kind,
                             std::uint64_t* value) noexcept {
  if (u == nullptr || kind == nullptr || value == nullptr || u->files == nullptr ||
      index >= u->fileCount.load())
    return 0;
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr) return 0;
  FsLocation where;
  const FsDescriptor* fs = Fs_OfKind((r->location.get() >> 12) & 7u);
  if (fs != nullptr && fs->fileLocation != nullptr) {
    // The drive of the record's slot, when the scan or the restored session still has it.
    const std::uint32_t slot = r->location.get() & 0xFFFu;
    const CachedDrive* drive =
        u->driveTable != nullptr && slot < u->driveCount ? u->driveTable[slot].drive : nullptr;
    const auto entry = Fs_Entry(drive, r->fsIndex.get());
    where = fs->fileLocation(
        {*r, Storage_BytesAt(u, r->locator.get()),
         entry ? std::span<const std::uint8_t>(entry->bytes) : std::span<const std::uint8_t>(),
         drive != nullptr ? drive->sectorSize : 0});
  }
  *kind = where.kind;
  *value = where.kind == kUndeleteLocationNone ? 0 : where.value;
  return 1;
}
