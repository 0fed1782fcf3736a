// CachedDrive: one open volume or physical disk seen through a byte window, with a 2 MiB read
// cache, the drive's file-system table and the used-sector map. Every engine byte goes through it.
#pragma once

#include <cstdint>
#include <memory>

class HostDevice;

inline constexpr std::uint32_t kCacheSize = 0x200000;
inline constexpr std::uint32_t kCdCacheSize = 0x10000;
inline constexpr std::uint32_t kMaxFileSystems = 255;
inline constexpr std::uint32_t kDriveTypeCdRom = 5;

struct CachedDrive {
  std::uint32_t traceOn = 0;
  std::uint32_t driveType = 0;       // 5 = CD-ROM; 0 for a physical disk
  std::uint64_t windowEnd = 0;       // absolute offset just past the window
  std::uint64_t deviceSize = 0;
  std::uint64_t windowStart = 0;
  std::unique_ptr<HostDevice> device;  // null when closed
  std::uint64_t cacheStart = 0xFFFFFFFFFFDFFFFFull;
  std::uint32_t cacheSize = kCacheSize;
  std::uint8_t* cache = nullptr;     // kCacheSize bytes
  std::uint32_t sectorSize = 0;
  std::uint32_t fsCount = 0;
  std::uint32_t fsCurrent = 0;
  void* fsTable[kMaxFileSystems] = {};  // private copies; each starts with a u32 FsType
  std::uint32_t fsSizes[kMaxFileSystems] = {};
  std::uint64_t mapBits = 0;
  std::uint8_t* map = nullptr;
  char prefix[8] = {};               // "E_" or "0_": names of backup files
  std::uint64_t deviceReads = 0;     // raw reads issued (tests and benchmarks look at it)
  std::uint32_t cacheCapacity = kCacheSize;  // bytes the cache may hold; cacheSize is what it holds
  std::uint64_t mapBytes = 0;        // bytes allocated for the map (a multiple of 8)
  std::uint64_t deviceBytes = 0;     // bytes those raw reads asked for
};

[[nodiscard]] bool CachedDrive_Create(CachedDrive** out) noexcept;
bool CachedDrive_Destroy(CachedDrive* drive) noexcept;
bool CachedDrive_Close(CachedDrive* drive) noexcept;
/// Opens drive letter @p letter ('A'..'Z') through the host drive table.
[[nodiscard]] bool CachedDrive_Open(CachedDrive* drive, char letter, bool writeAccess) noexcept;
[[nodiscard]] bool CachedDrive_OpenPhysical(bool writeAccess, CachedDrive* drive,
                                            std::uint32_t diskNumber) noexcept;
/// Opens an already-made device (memory images for tests and fuzzers, ad-hoc images).
[[nodiscard]] bool CachedDrive_OpenDevice(CachedDrive* drive, std::unique_ptr<HostDevice> device,
                                          std::uint32_t driveType) noexcept;
[[nodiscard]] bool CachedDrive_SetWindow(CachedDrive* drive, std::uint64_t start,
                                         std::uint64_t length) noexcept;
bool CachedDrive_GetWindowStart(std::uint64_t* out, const CachedDrive* drive) noexcept;
bool CachedDrive_GetSize(const CachedDrive* drive, std::uint64_t* out) noexcept;
/// Reads @p count bytes at window-relative @p offset.
[[nodiscard]] bool CachedDrive_Read(CachedDrive* drive, std::uint64_t offset, std::uint32_t count,
                                    void* buffer, std::uint32_t* got) noexcept;
[[nodiscard]] bool CachedDrive_Write(std::uint64_t offset, const void* buffer, std::uint32_t count,
                                     std::uint32_t* written, CachedDrive* drive) noexcept;
[[nodiscard]] bool CachedDrive_ReadToc(CachedDrive* drive, std::uint32_t* trackCount,
                                       std::uint32_t* trackStarts) noexcept;

[[nodiscard]] bool CachedDrive_AddFileSystem(CachedDrive* drive, std::uint32_t size,
                                             const void* record) noexcept;
bool CachedDrive_SelectFileSystem(CachedDrive* drive, std::uint32_t index) noexcept;
bool CachedDrive_GetFileSystem(const CachedDrive* drive, void** out) noexcept;

[[nodiscard]] bool CachedDrive_InitMap(CachedDrive* drive, std::uint64_t bits, const void* initial,
                                       std::uint32_t initialBytes) noexcept;
bool CachedDrive_SetMapBit(CachedDrive* drive, std::uint64_t bit) noexcept;
bool CachedDrive_TestMapBit(const CachedDrive* drive, std::uint64_t bit) noexcept;
/// Sets bits [first, first + count) (clipped at the map's end); false without a map.
bool CachedDrive_SetMapRange(CachedDrive* drive, std::uint64_t first, std::uint64_t count) noexcept;
[[nodiscard]] bool CachedDrive_NextFreeRun(const CachedDrive* drive, std::uint64_t* position,
                                           std::uint64_t* end) noexcept;
bool CachedDrive_GetMapBits(std::uint64_t* out, const CachedDrive* drive) noexcept;
/// Releases the used-sector map.
void CachedDrive_FreeMap(CachedDrive* drive) noexcept;
