// FAT on-disk layouts: boot sector, FAT32 extension, directory entries, and the 44-byte volume
// record that the drive's file-system table and the session file hold. Layout only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/le.h"

// BIOS parameter block at the start of sector 0.
struct FatBpb {
  std::uint8_t jump[3];            // 0x00 EB xx 90 | E9 xx xx
  char oemName[8];                 // 0x03
  le16 bytesPerSector;             // 0x0B 512..4096 (read sign-extended)
  std::uint8_t sectorsPerCluster;  // 0x0D power of 2
  le16 reservedSectors;            // 0x0E
  std::uint8_t fatCount;           // 0x10
  le16 rootEntries;                // 0x11 0 on FAT32
  le16 totalSectors16;             // 0x13 unused: the size comes from the drive
  std::uint8_t media;              // 0x15
  le16 sectorsPerFat16;            // 0x16 0 on FAT32
  le16 sectorsPerTrack;            // 0x18
  le16 heads;                      // 0x1A
  le32 hiddenSectors;              // 0x1C
  le32 totalSectors32;             // 0x20 unused
};
static_assert(sizeof(FatBpb) == 0x24 && alignof(FatBpb) == 1);
static_assert(offsetof(FatBpb, bytesPerSector) == 0x0B &&
              offsetof(FatBpb, sectorsPerCluster) == 0x0D &&
              offsetof(FatBpb, reservedSectors) == 0x0E && offsetof(FatBpb, fatCount) == 0x10 &&
              offsetof(FatBpb, rootEntries) == 0x11 && offsetof(FatBpb, sectorsPerFat16) == 0x16 &&
              offsetof(FatBpb, totalSectors32) == 0x20);

// FAT12/16 extended boot record, following the BPB at 0x24.
struct Fat16Ext {
  std::uint8_t driveNumber;  // 0x24
  std::uint8_t reserved;     // 0x25
  std::uint8_t signature;    // 0x26
  le32 volumeId;             // 0x27
  char label[11];            // 0x2B
  char typeText[8];          // 0x36 "FAT12   " / "FAT16   "
};
static_assert(sizeof(Fat16Ext) == 0x1A && alignof(Fat16Ext) == 1);
static_assert(offsetof(Fat16Ext, typeText) == 0x36 - 0x24);

// FAT32 extension, following the BPB at 0x24.
struct Fat32Ext {
  le32 sectorsPerFat32;       // 0x24
  le16 flags;                 // 0x28
  le16 version;               // 0x2A
  le32 rootCluster;           // 0x2C
  le16 fsInfoSector;          // 0x30
  le16 backupBootSector;      // 0x32
  std::uint8_t reserved[12];  // 0x34
  std::uint8_t driveNumber;   // 0x40
  std::uint8_t reserved1;     // 0x41
  std::uint8_t signature;     // 0x42
  le32 volumeId;              // 0x43
  char label[11];             // 0x47
  char typeText[8];           // 0x52 "FAT32   "
};
static_assert(sizeof(Fat32Ext) == 0x36 && alignof(Fat32Ext) == 1);
static_assert(offsetof(Fat32Ext, rootCluster) == 0x2C - 0x24 &&
              offsetof(Fat32Ext, typeText) == 0x52 - 0x24);

inline constexpr std::size_t kFat16TypeTextOffset = 0x36;  // 54
inline constexpr std::size_t kFat32TypeTextOffset = 0x52;  // 82

// 32-byte short directory entry.
struct FatDirEntry {
  std::uint8_t name[8];        // 0x00 0x00 = end, 0xE5 = deleted
  std::uint8_t ext[3];         // 0x08
  std::uint8_t attributes;     // 0x0B
  std::uint8_t reserved;       // 0x0C bit 3: base in lower case, bit 4: extension in lower case
  std::uint8_t createdTenths;  // 0x0D 10-ms units, 0..199
  le16 createdTime;            // 0x0E
  le16 createdDate;            // 0x10
  le16 accessedDate;           // 0x12
  le16 clusterHigh;            // 0x14 FAT32 only
  le16 writeTime;              // 0x16
  le16 writeDate;              // 0x18
  le16 clusterLow;             // 0x1A
  le32 size;                   // 0x1C
};
static_assert(sizeof(FatDirEntry) == 32 && alignof(FatDirEntry) == 1);
static_assert(offsetof(FatDirEntry, attributes) == 11 &&
              offsetof(FatDirEntry, createdTenths) == 13 &&
              offsetof(FatDirEntry, clusterHigh) == 20 && offsetof(FatDirEntry, writeTime) == 22 &&
              offsetof(FatDirEntry, clusterLow) == 26 && offsetof(FatDirEntry, size) == 28);

// 32-byte long-name entry (attributes 0x0F): 13 UTF-16 characters in three pieces.
struct FatLfnEntry {
  std::uint8_t sequence;    // 0x00 bit 6: last part; 0xE5 when deleted
  le16 chars1[5];           // 0x01
  std::uint8_t attributes;  // 0x0B 0x0F
  std::uint8_t type;        // 0x0C 0
  std::uint8_t checksum;    // 0x0D
  le16 chars2[6];           // 0x0E
  le16 clusterLow;          // 0x1A 0
  le16 chars3[2];           // 0x1C
};
static_assert(sizeof(FatLfnEntry) == 32 && alignof(FatLfnEntry) == 1);
static_assert(offsetof(FatLfnEntry, chars2) == 14 && offsetof(FatLfnEntry, chars3) == 28);

inline constexpr std::uint8_t kFatAttrReadOnly = 0x01;
inline constexpr std::uint8_t kFatAttrHidden = 0x02;
inline constexpr std::uint8_t kFatAttrSystem = 0x04;
inline constexpr std::uint8_t kFatAttrVolume = 0x08;
inline constexpr std::uint8_t kFatAttrDirectory = 0x10;
inline constexpr std::uint8_t kFatAttrArchive = 0x20;
inline constexpr std::uint8_t kFatAttrLongName = 0x0F;

// The FAT volume record: eleven u32 fields. In the drive's file-system table the record is
// followed by a copy of the first FAT (fatBytes long); the session file stores the same bytes.
struct FatVolumeInfo {
  le32 kind;               // 0x00 4 FAT12, 5 FAT16, 6 FAT32
  le32 clusterBytes;       // 0x04 bytes per sector x sectors per cluster
  le32 sectorsPerCluster;  // 0x08
  le32 reservedSectors;    // 0x0C
  le32 fatCount;           // 0x10
  le32 sectorsPerFat;      // 0x14
  le32 rootEntries;        // 0x18 0 in the boot sector -> 512 (FAT12/16) or 65536 (FAT32)
  le32 fatBytes;           // 0x1C size of one FAT
  le32 rootCluster;        // 0x20 FAT32 only
  le32 clusterLimit;       // 0x24 one past the highest cluster number treated as valid
  le32 fatCopy;            // 0x28 0: the table copy follows the record
};
static_assert(sizeof(FatVolumeInfo) == 44 && alignof(FatVolumeInfo) == 1);
static_assert(std::is_trivially_copyable_v<FatVolumeInfo>);
static_assert(offsetof(FatVolumeInfo, fatBytes) == 0x1C &&
              offsetof(FatVolumeInfo, clusterLimit) == 0x24);
