// NTFS on-disk layouts read by the scanner and recoverer, and the engine's own NTFS records that
// are stored in the strings storage or the session file. Layout only: no code beyond accessors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/le.h"

// Boot sector (sector 0 of the volume). Only the fields the recogniser reads are named.
struct NtfsBootSector {
  std::uint8_t jump[3];            // 0x00
  char oemName[8];                 // 0x03 "NTFS    "
  le16 bytesPerSector;             // 0x0B
  std::uint8_t sectorsPerCluster;  // 0x0D
  le16 reservedSectors;            // 0x0E 0 on NTFS
  std::uint8_t fatCount;           // 0x10 must be 0
  std::uint8_t unused1[0x17];      // 0x11
  le64 totalSectors;               // 0x28
  le64 mftCluster;                 // 0x30 first cluster of $MFT
  le64 mirrorCluster;              // 0x38 first cluster of $MFTMirr
  std::uint8_t clustersPerRecord;  // 0x40 i8: < 0 means 2^-n bytes
  std::uint8_t unused2[3];         // 0x41
  std::uint8_t clustersPerIndex;   // 0x44
  std::uint8_t unused3[3];         // 0x45
  le64 serialNumber;               // 0x48
};
static_assert(sizeof(NtfsBootSector) == 0x50 && alignof(NtfsBootSector) == 1);
static_assert(offsetof(NtfsBootSector, bytesPerSector) == 0x0B &&
              offsetof(NtfsBootSector, sectorsPerCluster) == 0x0D &&
              offsetof(NtfsBootSector, fatCount) == 0x10 &&
              offsetof(NtfsBootSector, totalSectors) == 0x28 &&
              offsetof(NtfsBootSector, mftCluster) == 0x30 &&
              offsetof(NtfsBootSector, mirrorCluster) == 0x38 &&
              offsetof(NtfsBootSector, clustersPerRecord) == 0x40);

// The start every multi-sector record shares (file records, index blocks): what the fix-up reads.
struct NtfsFixupHeader {
  char magic[4];   // 0x00 "FILE", "INDX" ...
  le16 usaOffset;  // 0x04 update sequence array: the sequence number, then one word per block
  le16 usaCount;   // 0x06 1 + number of blocks covered
};
static_assert(sizeof(NtfsFixupHeader) == 8 && alignof(NtfsFixupHeader) == 1);

// MFT file record header ("FILE").
struct NtfsRecordHeader {
  char magic[4];          // 0x00 "FILE"
  le16 usaOffset;         // 0x04 update sequence array
  le16 usaCount;          // 0x06 1 + number of 512-byte blocks covered
  le64 logSequence;       // 0x08
  le16 sequence;          // 0x10
  le16 linkCount;         // 0x12
  le16 attributesOffset;  // 0x14 first attribute
  le16 flags;             // 0x16 0x01 in use, 0x02 directory
  le32 bytesInUse;        // 0x18
  le32 bytesAllocated;    // 0x1C
  le64 baseRecord;        // 0x20 0 for a base record
  le16 nextAttributeId;   // 0x28
  le16 padding;           // 0x2A
  le32 recordNumber;      // 0x2C (NTFS 3.1 and later; 0 before)
};
static_assert(sizeof(NtfsRecordHeader) == 0x30 && alignof(NtfsRecordHeader) == 1);
static_assert(offsetof(NtfsRecordHeader, usaOffset) == 0x04 &&
              offsetof(NtfsRecordHeader, usaCount) == 0x06 &&
              offsetof(NtfsRecordHeader, attributesOffset) == 0x14 &&
              offsetof(NtfsRecordHeader, flags) == 0x16 &&
              offsetof(NtfsRecordHeader, baseRecord) == 0x20 &&
              offsetof(NtfsRecordHeader, recordNumber) == 0x2C);

inline constexpr std::uint16_t kNtfsRecordInUse = 0x01;
inline constexpr std::uint16_t kNtfsRecordDirectory = 0x02;

// Attribute header, common part.
struct NtfsAttrHeader {
  le32 type;                 // 0x00 0xFFFFFFFF ends the list
  le32 length;               // 0x04 whole attribute, bytes
  std::uint8_t nonResident;  // 0x08
  std::uint8_t nameLength;   // 0x09 UTF-16 units
  le16 nameOffset;           // 0x0A from the attribute start
  le16 flags;                // 0x0C 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
  le16 instance;             // 0x0E
};
static_assert(sizeof(NtfsAttrHeader) == 0x10 && alignof(NtfsAttrHeader) == 1);
static_assert(offsetof(NtfsAttrHeader, length) == 0x04 &&
              offsetof(NtfsAttrHeader, nonResident) == 0x08 &&
              offsetof(NtfsAttrHeader, nameLength) == 0x09 &&
              offsetof(NtfsAttrHeader, nameOffset) == 0x0A &&
              offsetof(NtfsAttrHeader, flags) == 0x0C);

// Resident attribute: follows the common header.
struct NtfsResidentAttr {
  NtfsAttrHeader common;
  le32 contentLength;    // 0x10
  le16 contentOffset;    // 0x14 from the attribute start
  std::uint8_t indexed;  // 0x16
  std::uint8_t padding;  // 0x17
};
static_assert(sizeof(NtfsResidentAttr) == 0x18 && alignof(NtfsResidentAttr) == 1);
static_assert(offsetof(NtfsResidentAttr, contentLength) == 0x10 &&
              offsetof(NtfsResidentAttr, contentOffset) == 0x14);

// Non-resident attribute: follows the common header.
struct NtfsNonResidentAttr {
  NtfsAttrHeader common;
  le64 lowestVcn;        // 0x10
  le64 highestVcn;       // 0x18
  le16 runListOffset;    // 0x20 from the attribute start
  le16 compressionUnit;  // 0x22 log2 of clusters per unit; 0 = not compressed
  le32 padding;          // 0x24
  le64 allocatedSize;    // 0x28
  le64 dataSize;         // 0x30 real size
  le64 initializedSize;  // 0x38
};
static_assert(sizeof(NtfsNonResidentAttr) == 0x40 && alignof(NtfsNonResidentAttr) == 1);
static_assert(offsetof(NtfsNonResidentAttr, runListOffset) == 0x20 &&
              offsetof(NtfsNonResidentAttr, compressionUnit) == 0x22 &&
              offsetof(NtfsNonResidentAttr, dataSize) == 0x30);

inline constexpr std::uint32_t kNtfsAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kNtfsAttrAttributeList = 0x20;
inline constexpr std::uint32_t kNtfsAttrFileName = 0x30;
inline constexpr std::uint32_t kNtfsAttrData = 0x80;
inline constexpr std::uint32_t kNtfsAttrEnd = 0xFFFFFFFF;
inline constexpr std::uint16_t kNtfsAttrFlagCompressed = 0x0001;
inline constexpr std::uint16_t kNtfsAttrFlagEncrypted = 0x4000;

// $STANDARD_INFORMATION content (only the start is needed).
struct NtfsStandardInformation {
  le64 created;         // 0x00
  le64 modified;        // 0x08
  le64 recordChanged;   // 0x10
  le64 accessed;        // 0x18
  le32 fileAttributes;  // 0x20
};
static_assert(sizeof(NtfsStandardInformation) == 0x24);
static_assert(offsetof(NtfsStandardInformation, fileAttributes) == 0x20);

// $FILE_NAME content; the UTF-16 name follows at 0x42.
struct NtfsFileNameAttr {
  le64 parent;              // 0x00 parent directory reference (48-bit record, 16-bit sequence)
  le64 created;             // 0x08
  le64 modified;            // 0x10
  le64 recordChanged;       // 0x18
  le64 accessed;            // 0x20
  le64 allocatedSize;       // 0x28
  le64 dataSize;            // 0x30
  le32 fileAttributes;      // 0x38
  le32 reparse;             // 0x3C
  std::uint8_t nameLength;  // 0x40 UTF-16 units
  std::uint8_t nameSpace;   // 0x41 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
};
static_assert(sizeof(NtfsFileNameAttr) == 0x42 && alignof(NtfsFileNameAttr) == 1);
static_assert(offsetof(NtfsFileNameAttr, created) == 0x08 &&
              offsetof(NtfsFileNameAttr, modified) == 0x10 &&
              offsetof(NtfsFileNameAttr, accessed) == 0x20 &&
              offsetof(NtfsFileNameAttr, nameLength) == 0x40 &&
              offsetof(NtfsFileNameAttr, nameSpace) == 0x41);
inline constexpr std::uint8_t kNtfsNameSpaceDos = 2;

// Windows file attribute bits as $STANDARD_INFORMATION stores them.
inline constexpr std::uint32_t kNtfsFileReadOnly = 0x01;
inline constexpr std::uint32_t kNtfsFileHidden = 0x02;
inline constexpr std::uint32_t kNtfsFileSystem = 0x04;
inline constexpr std::uint32_t kNtfsFileArchive = 0x20;
inline constexpr std::uint32_t kNtfsFileCompressed = 0x800;
inline constexpr std::uint32_t kNtfsFileEncrypted = 0x4000;

// The engine's NTFS locator of a listed file (the FileRecord's locator block). Pointer fields are
// string references into the strings storage (bit 31 set; 0 = none).
struct NtfsFileInfo {
  le64 recordNumber;   // 0x00 MFT record number; all ones: no record, one contiguous extent
  le64 baseRecord;     // 0x08 base file record reference from the header
  le64 parent;         // 0x10 parent reference from the last $FILE_NAME
  le32 dataFlags;      // 0x18 compression unit of unnamed $DATA, | 0x4000 when encrypted
  le32 dataLength;     // 0x1C resident length or run-list length; no record: offset low
  le32 runListLength;  // 0x20 non-zero for non-resident data; no record: offset high
  le32 data;           // 0x24 string ref: resident bytes or run list
  le32 streams;        // 0x28 string ref: first NtfsStream
  le16 recordFlags;    // 0x2C header flags
};
static_assert(sizeof(NtfsFileInfo) == 46 && alignof(NtfsFileInfo) == 1);
static_assert(offsetof(NtfsFileInfo, dataFlags) == 0x18 && offsetof(NtfsFileInfo, data) == 0x24 &&
              offsetof(NtfsFileInfo, streams) == 0x28 &&
              offsetof(NtfsFileInfo, recordFlags) == 0x2C);
inline constexpr std::uint64_t kNtfsNoRecord = ~std::uint64_t{0};
inline constexpr std::uint32_t kNtfsDataCompressed = 0x4;
inline constexpr std::uint32_t kNtfsDataEncrypted = 0x4000;

// One named $DATA stream of a listed file, singly linked in attribute order.
struct NtfsStream {
  le32 next;           // 0x00 string ref of the next stream
  le32 name;           // 0x04 string ref: UTF-16, terminated
  le32 size;           // 0x08 content length (resident) or data size (non-resident)
  le16 runListLength;  // 0x0C non-zero: non-resident (lists are kept up to 8 KiB)
  le16 dataFlags;      // 0x0E the stream's own compression unit | encrypted, as in NtfsFileInfo;
                       //      0 in sessions saved before it was kept (then a 32-bit length)
  le32 data;           // 0x10 string ref: resident bytes or run list
};
static_assert(sizeof(NtfsStream) == 20 && alignof(NtfsStream) == 1);
static_assert(offsetof(NtfsStream, dataFlags) == 0x0E && offsetof(NtfsStream, data) == 0x10);

// Saved form of the NTFS file-system table entry (the first 44 bytes of the entry).
struct NtfsVolumeInfo {
  le32 type;           // 0x00 3
  le32 clusterBytes;   // 0x04
  le32 recordBytes;    // 0x08
  le64 clusterCount;   // 0x0C
  le64 mftCluster;     // 0x14 all ones when unknown
  le64 mirrorCluster;  // 0x1C all ones when unknown
  le64 volumeStart;    // 0x24 byte offset of cluster 0 in the drive
};
static_assert(sizeof(NtfsVolumeInfo) == 44 && alignof(NtfsVolumeInfo) == 1);
static_assert(offsetof(NtfsVolumeInfo, clusterCount) == 0x0C &&
              offsetof(NtfsVolumeInfo, mftCluster) == 0x14 &&
              offsetof(NtfsVolumeInfo, volumeStart) == 0x24);
inline constexpr std::uint64_t kNtfsUnknownCluster = ~std::uint64_t{0};
