// ExtentReader: a byte stream laid over a list of extents of a drive, read in chunks.
#pragma once

#include <cstdint>
#include <vector>

class ManualResetEvent;
struct CachedDrive;

struct Extent {
  std::uint64_t offset;  // bytes within the drive's window
  std::uint64_t length;
};

struct ExtentReader {
  const ManualResetEvent* cancel = nullptr;
  const ManualResetEvent* totalCancel = nullptr;
  CachedDrive* drive = nullptr;
  std::uint32_t chunk = 0;
  std::uint64_t offset = 0;      // next offset to read
  std::uint64_t left = 0;        // bytes left in the current extent
  std::uint64_t firstOffset = 0, firstLength = 0;
  std::vector<std::uint8_t> buffer;  // 2 x chunk
  std::uint32_t filled = 0;
  std::uint32_t used = 0;
  std::uint64_t consumed = 0;
  std::vector<Extent> extents;   // grows 512 entries at a time
  std::size_t nextExtent = 0;
  std::uint32_t refills = 0;     // modulo 128
};

[[nodiscard]] bool ExtentReader_Create(ExtentReader** out) noexcept;
void ExtentReader_Destroy(ExtentReader* reader) noexcept;
[[nodiscard]] bool ExtentReader_Init(const ManualResetEvent* cancel, const ManualResetEvent* totalCancel,
                                     CachedDrive* drive, ExtentReader* reader, std::uint32_t chunk,
                                     std::uint64_t firstOffset, std::uint64_t firstLength) noexcept;
bool ExtentReader_SetFirst(ExtentReader* reader, std::uint64_t offset, std::uint64_t length) noexcept;
bool ExtentReader_Rewind(ExtentReader* reader) noexcept;
[[nodiscard]] bool ExtentReader_Read(ExtentReader* reader, void* buffer, std::uint64_t count) noexcept;
[[nodiscard]] bool ExtentReader_Skip(ExtentReader* reader, std::uint64_t count) noexcept;
[[nodiscard]] bool ExtentReader_AlignTo(ExtentReader* reader, std::uint32_t unit) noexcept;
bool ExtentReader_GetConsumed(std::uint64_t* out, const ExtentReader* reader) noexcept;
bool ExtentReader_GetFirst(const ExtentReader* reader, std::uint64_t* length,
                           std::uint64_t* offset) noexcept;
bool ExtentReader_DropFirstChunk(ExtentReader* reader) noexcept;
[[nodiscard]] bool ExtentList_Append(ExtentReader* reader, std::uint64_t offset,
                                     std::uint64_t length) noexcept;
void ExtentReader_FreeBuffer(ExtentReader* reader) noexcept;
