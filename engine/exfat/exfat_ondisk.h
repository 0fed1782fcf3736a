// exFAT on-disk layouts: the boot sector, the 32-byte directory entries (file, stream extension,
// file name, allocation bitmap, up-case table, volume label) and the volume record that the
// drive's file-system table and the session file hold. Layout only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/le.h"

// Main (sector 0) and backup (sector 12) boot sector. Sectors 1..8 are extended boot sectors,
// 9 and 10 parameters and reserved, 11 the checksum sector of the eleven before it.
struct ExfatBootSector {
  std::uint8_t jump[3];                 // 0x00 EB 76 90
  char fileSystemName[8];               // 0x03 "EXFAT   "
  std::uint8_t mustBeZero[53];          // 0x0B where a FAT boot sector has its BPB
  le64 partitionOffset;                 // 0x40 sectors; informational
  le64 volumeLength;                    // 0x48 sectors
  le32 fatOffset;                       // 0x50 sectors from the volume start
  le32 fatLength;                       // 0x54 sectors of one FAT
  le32 clusterHeapOffset;               // 0x58 sectors
  le32 clusterCount;                    // 0x5C clusters 2 .. clusterCount + 1
  le32 rootCluster;                     // 0x60 first cluster of the root directory
  le32 volumeSerial;                    // 0x64
  le16 revision;                        // 0x68 major in the high byte
  le16 volumeFlags;                     // 0x6A bit 0 active FAT, 1 dirty, 2 media failure
  std::uint8_t bytesPerSectorShift;     // 0x6C 9..12
  std::uint8_t sectorsPerClusterShift;  // 0x6D cluster at most 32 MiB
  std::uint8_t fatCount;                // 0x6E 1 or 2
  std::uint8_t driveSelect;             // 0x6F
  std::uint8_t percentInUse;            // 0x70 0..100, 0xFF unknown
  std::uint8_t reserved[7];             // 0x71
  std::uint8_t bootCode[390];           // 0x78
  le16 bootSignature;                   // 0x1FE 0xAA55
};
static_assert(sizeof(ExfatBootSector) == 512 && alignof(ExfatBootSector) == 1);
static_assert(offsetof(ExfatBootSector, mustBeZero) == 0x0B &&
              offsetof(ExfatBootSector, volumeLength) == 0x48 &&
              offsetof(ExfatBootSector, fatOffset) == 0x50 &&
              offsetof(ExfatBootSector, clusterHeapOffset) == 0x58 &&
              offsetof(ExfatBootSector, rootCluster) == 0x60 &&
              offsetof(ExfatBootSector, volumeFlags) == 0x6A &&
              offsetof(ExfatBootSector, bytesPerSectorShift) == 0x6C &&
              offsetof(ExfatBootSector, percentInUse) == 0x70 &&
              offsetof(ExfatBootSector, bootSignature) == 0x1FE);

// Bytes of sector 0 that the boot checksum leaves out (they change while the volume is in use).
inline constexpr std::size_t kExfatFlagsOffset = 0x6A;
inline constexpr std::size_t kExfatPercentOffset = 0x70;
inline constexpr std::uint32_t kExfatBootRegionSectors = 12;  // 11 checksummed + the checksum

// Directory entry types: bit 7 in use, bit 6 secondary, bit 5 benign, bits 0..4 code.
inline constexpr std::uint8_t kExfatInUse = 0x80;
inline constexpr std::uint8_t kExfatEntryBitmap = 0x81;
inline constexpr std::uint8_t kExfatEntryUpcase = 0x82;
inline constexpr std::uint8_t kExfatEntryLabel = 0x83;
inline constexpr std::uint8_t kExfatEntryFile = 0x85;
inline constexpr std::uint8_t kExfatEntryStream = 0xC0;
inline constexpr std::uint8_t kExfatEntryName = 0xC1;

// File entry (0x85): the primary entry of a file or directory entry set.
struct ExfatFileEntry {
  std::uint8_t type;            // 0x00 0x85; 0x05 once deleted
  std::uint8_t secondaryCount;  // 0x01 stream + name entries (+ vendor ones): 2..18
  le16 setChecksum;             // 0x02 over the whole set, these two bytes left out
  le16 attributes;              // 0x04 0x01 RO, 0x02 hidden, 0x04 system, 0x10 dir, 0x20 archive
  le16 reserved1;               // 0x06
  le32 created;                 // 0x08 DOS-style date and time, 2-s units
  le32 modified;                // 0x0C
  le32 accessed;                // 0x10
  std::uint8_t created10ms;     // 0x14 0..199
  std::uint8_t modified10ms;    // 0x15 0..199
  std::uint8_t createdUtc;      // 0x16 bit 7 valid, bits 0..6 signed 15-minute steps
  std::uint8_t modifiedUtc;     // 0x17
  std::uint8_t accessedUtc;     // 0x18
  std::uint8_t reserved2[7];    // 0x19
};
static_assert(sizeof(ExfatFileEntry) == 32 && alignof(ExfatFileEntry) == 1);
static_assert(offsetof(ExfatFileEntry, setChecksum) == 2 &&
              offsetof(ExfatFileEntry, attributes) == 4 && offsetof(ExfatFileEntry, created) == 8 &&
              offsetof(ExfatFileEntry, modified) == 12 &&
              offsetof(ExfatFileEntry, accessed) == 16 &&
              offsetof(ExfatFileEntry, created10ms) == 20 &&
              offsetof(ExfatFileEntry, accessedUtc) == 24);

inline constexpr std::uint16_t kExfatAttrReadOnly = 0x01;
inline constexpr std::uint16_t kExfatAttrHidden = 0x02;
inline constexpr std::uint16_t kExfatAttrSystem = 0x04;
inline constexpr std::uint16_t kExfatAttrDirectory = 0x10;
inline constexpr std::uint16_t kExfatAttrArchive = 0x20;

// Stream extension (0xC0): size and first cluster of the data.
struct ExfatStreamEntry {
  std::uint8_t type;        // 0x00 0xC0; 0x40 once deleted
  std::uint8_t flags;       // 0x01 bit 0 allocation possible, bit 1 no FAT chain
  std::uint8_t reserved1;   // 0x02
  std::uint8_t nameLength;  // 0x03 UTF-16 units, 1..255
  le16 nameHash;            // 0x04 over the up-cased name
  le16 reserved2;           // 0x06
  le64 validDataLength;     // 0x08 bytes written; the rest reads as zeros
  le32 reserved3;           // 0x10
  le32 firstCluster;        // 0x14 0 when no cluster is allocated
  le64 dataLength;          // 0x18 bytes
};
static_assert(sizeof(ExfatStreamEntry) == 32 && alignof(ExfatStreamEntry) == 1);
static_assert(offsetof(ExfatStreamEntry, nameLength) == 3 &&
              offsetof(ExfatStreamEntry, validDataLength) == 8 &&
              offsetof(ExfatStreamEntry, firstCluster) == 20 &&
              offsetof(ExfatStreamEntry, dataLength) == 24);

inline constexpr std::uint8_t kExfatFlagAllocation = 0x01;
inline constexpr std::uint8_t kExfatFlagNoFatChain = 0x02;

// File name (0xC1): 15 UTF-16 units of the name.
struct ExfatNameEntry {
  std::uint8_t type;   // 0x00 0xC1; 0x41 once deleted
  std::uint8_t flags;  // 0x01
  le16 chars[15];      // 0x02
};
static_assert(sizeof(ExfatNameEntry) == 32 && alignof(ExfatNameEntry) == 1);
static_assert(offsetof(ExfatNameEntry, chars) == 2);
inline constexpr std::uint32_t kExfatNameChars = 15;

// Allocation bitmap (0x81) and up-case table (0x82): critical primary entries of the root.
struct ExfatBitmapEntry {
  std::uint8_t type;          // 0x00 0x81
  std::uint8_t flags;         // 0x01 bit 0: the bitmap of the second FAT
  std::uint8_t reserved[18];  // 0x02
  le32 firstCluster;          // 0x14
  le64 dataLength;            // 0x18 bytes, at least ceil(clusterCount / 8)
};
static_assert(sizeof(ExfatBitmapEntry) == 32 && alignof(ExfatBitmapEntry) == 1);
static_assert(offsetof(ExfatBitmapEntry, firstCluster) == 20 &&
              offsetof(ExfatBitmapEntry, dataLength) == 24);

struct ExfatUpcaseEntry {
  std::uint8_t type;           // 0x00 0x82
  std::uint8_t reserved1[3];   // 0x01
  le32 tableChecksum;          // 0x04
  std::uint8_t reserved2[12];  // 0x08
  le32 firstCluster;           // 0x14
  le64 dataLength;             // 0x18
};
static_assert(sizeof(ExfatUpcaseEntry) == 32 && alignof(ExfatUpcaseEntry) == 1);
static_assert(offsetof(ExfatUpcaseEntry, tableChecksum) == 4 &&
              offsetof(ExfatUpcaseEntry, firstCluster) == 20);

struct ExfatLabelEntry {
  std::uint8_t type;         // 0x00 0x83 (0x03: the volume has no label)
  std::uint8_t length;       // 0x01 UTF-16 units, 0..11
  le16 chars[11];            // 0x02
  std::uint8_t reserved[8];  // 0x18
};
static_assert(sizeof(ExfatLabelEntry) == 32 && alignof(ExfatLabelEntry) == 1);
static_assert(offsetof(ExfatLabelEntry, chars) == 2 && offsetof(ExfatLabelEntry, reserved) == 24);

// The exFAT volume record: what recognition found. In the drive's file-system table it is
// followed by a copy of the first FAT (fatBytes) and of the allocation bitmap (bitmapBytes); the
// session file stores the same bytes.
struct ExfatVolumeInfo {
  le32 type;               // 0x00 7 (exFAT)
  le32 sectorSize;         // 0x04 bytes
  le32 clusterBytes;       // 0x08
  le32 fatOffset;          // 0x0C sectors
  le32 fatLength;          // 0x10 sectors
  le32 fatCount;           // 0x14 1 or 2
  le32 clusterHeapOffset;  // 0x18 sectors
  le32 clusterCount;       // 0x1C
  le32 rootCluster;        // 0x20
  le32 volumeSerial;       // 0x24
  le32 fatBytes;           // 0x28 bytes of the table copy that follows
  le32 bitmapBytes;        // 0x2C bytes of the bitmap copy after the table
  le32 bitmapCluster;      // 0x30 first cluster of the allocation bitmap
  le32 upcaseCluster;      // 0x34 first cluster of the up-case table, 0 when none was found
  le32 upcaseBytes;        // 0x38
  le32 flags;              // 0x3C kExfatInfo* bits
  le16 label[11];          // 0x40 UTF-16, NUL-padded
  le16 labelLength;        // 0x56
  le64 volumeBytes;        // 0x58 from the boot sector (sectors x sector size)
};
static_assert(sizeof(ExfatVolumeInfo) == 0x60 && alignof(ExfatVolumeInfo) == 1);
static_assert(std::is_trivially_copyable_v<ExfatVolumeInfo>);
static_assert(offsetof(ExfatVolumeInfo, fatBytes) == 0x28 &&
              offsetof(ExfatVolumeInfo, flags) == 0x3C &&
              offsetof(ExfatVolumeInfo, label) == 0x40 &&
              offsetof(ExfatVolumeInfo, volumeBytes) == 0x58);

// ExfatVolumeInfo.flags
inline constexpr std::uint32_t kExfatInfoBackupBoot = 0x01;    // the main boot region was bad
inline constexpr std::uint32_t kExfatInfoDirty = 0x02;         // volume flags: dirty
inline constexpr std::uint32_t kExfatInfoUpcaseOk = 0x04;      // up-case checksum matched
inline constexpr std::uint32_t kExfatInfoBootMismatch = 0x08;  // main and backup regions differ
inline constexpr std::uint32_t kExfatInfoSecondFat = 0x10;     // the active FAT is the second

// Locator of a listed exFAT file (in the strings storage and the session file): where its data
// starts and how to follow it.
struct ExfatLocator {
  le32 firstCluster;     // 0x00
  le32 flags;            // 0x04 the stream's flags (bit 1: no FAT chain)
  le64 validDataLength;  // 0x08 bytes past this read as zeros
};
static_assert(sizeof(ExfatLocator) == 16 && alignof(ExfatLocator) == 1);
static_assert(offsetof(ExfatLocator, validDataLength) == 8);
