// Secure wipe: the pattern generator, the run writer and the file-system wipers that the wipe
// orchestration calls. A volume handle here is a HostVolume (unmounted, opened exclusively) and a
// scratch file is its HostScratchFile.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

struct Undelete;
struct FileRecord;
struct CachedDrive;
class HostVolume;
class HostScratchFile;
struct HostVolumeBitmap;

inline constexpr std::uint32_t kWipeMethods = 5;
inline constexpr std::uint32_t kWipeChunk = 0x40000;  // existing files, scratch file, drive wipe

/// One byte of the engine's random generator (process-wide; seeded from the clock when 0).
[[nodiscard]] std::uint8_t Wipe_RandomByte() noexcept;
/// Sets the generator's state (tests; 0 reseeds from the clock on the next draw).
void Wipe_SeedRandom(std::uint32_t state) noexcept;
/// Fills @p length bytes with the pattern of pass @p pass of method @p method; false (buffer
/// untouched) for a method above 4. A pass beyond the method's list leaves the buffer as it is.
bool Wipe_FillPattern(std::uint32_t pass, std::uint32_t method, std::uint8_t* buffer,
                      std::uint32_t length) noexcept;
/// For each pass: fills @p length bytes of @p buffer and writes them at @p offset through
/// HostVolume::writeFree. False when a write failed (after trying every pass).
[[nodiscard]] bool Wipe_WriteRun(std::uint32_t method, std::uint32_t passes, std::uint32_t length,
                                 std::uint64_t offset, std::uint8_t* buffer,
                                 HostVolume& volume) noexcept;

/// Places the scratch file on [lcn, lcn + count) piece by piece (clusters in use are skipped) and
/// writes every pass through it. @p buffer holds at least one cluster. False on a failed write.
[[nodiscard]] bool Wipe_OverwriteClusters(Undelete* u, HostVolume& volume, HostScratchFile& scratch,
                                          std::uint64_t lcn, std::uint64_t count,
                                          std::vector<std::uint8_t>& buffer) noexcept;

/// Creates the new file @p name in the folder open as @p dir, for writing: never an existing file,
/// never through a link. The descriptor, or -1 when it cannot be made. (The one place the wipe
/// creates files: filler files and the slow method's temporary file.)
[[nodiscard]] int Wipe_CreateTemporary(int dir, const char* name) noexcept;

/// The method (wipeFlags bits 2 and up) and the pass count (at least 1) of the engine.
[[nodiscard]] std::uint32_t Wipe_Method(const Undelete* u) noexcept;
[[nodiscard]] std::uint32_t Wipe_Passes(const Undelete* u) noexcept;

// Deleted-file wipers: overwrite what remains of one found file through the scratch file.
[[nodiscard]] bool FAT_WipeFile(Undelete* u, HostVolume* volume, HostScratchFile* scratch,
                                FileRecord* record, std::uint32_t clusterBytes,
                                std::atomic<std::uint64_t>* bytesDone) noexcept;
[[nodiscard]] bool NTFS_WipeFile(Undelete* u, FileRecord* record, HostVolume* volume,
                                 HostScratchFile* scratch, std::uint32_t clusterBytes,
                                 std::atomic<std::uint64_t>* bytesDone) noexcept;
[[nodiscard]] bool Unformated_WipeFile(Undelete* u, HostVolume* volume, HostScratchFile* scratch,
                                       FileRecord* record,
                                       std::atomic<std::uint64_t>* bytesDone) noexcept;

// Free space of an unmounted volume.
[[nodiscard]] bool FAT_WipeFreeSpace(Undelete* u, HostVolume* volume, std::uint32_t clusterCount,
                                     std::uint64_t bytesBefore) noexcept;
[[nodiscard]] bool NTFS_WipeFreeClusters(Undelete* u, HostVolume* volume,
                                         std::uint32_t clusterBytes,
                                         std::uint64_t bytesBefore) noexcept;
/// Entries of deleted files: FAT directory entries, NTFS free file records. The drive is
/// recognised (entry 0 selected) and u->rootFolder added; @p volume is the same volume opened
/// for writing when it is not mounted, else null (the mount point is used).
bool FAT_WipeEntries(Undelete* u, HostVolume* volume) noexcept;
bool NTFS_FillFreeRecords(Undelete* u, HostVolume* volume) noexcept;

// Allocation state for the volume controls, read from the selected file system of @p drive.
[[nodiscard]] bool FAT_ReadVolumeBitmap(CachedDrive* drive, HostVolumeBitmap& out) noexcept;
[[nodiscard]] bool NTFS_ReadVolumeBitmap(CachedDrive* drive, HostVolumeBitmap& out) noexcept;
