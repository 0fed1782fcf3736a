// UDF on-disk layouts (ECMA-167 descriptors as UDF records them) and the UDF entry of a drive's
// file-system table. Layout only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/le.h"

// Descriptor tag identifiers.
inline constexpr std::uint16_t kUdfTagAnchor = 2;
inline constexpr std::uint16_t kUdfTagPartition = 5;
inline constexpr std::uint16_t kUdfTagLogicalVolume = 6;
inline constexpr std::uint16_t kUdfTagTerminating = 8;
inline constexpr std::uint16_t kUdfTagFileSet = 256;
inline constexpr std::uint16_t kUdfTagFileIdentifier = 257;
inline constexpr std::uint16_t kUdfTagFileEntry = 261;
inline constexpr std::uint16_t kUdfTagExtendedFileEntry = 266;

// Every descriptor starts with this tag.
struct UdfTag {
  le16 identifier;        // 0x00
  le16 version;           // 0x02 2 or 3
  std::uint8_t checksum;  // 0x04 sum of bytes 0-3 and 5-15, modulo 256
  std::uint8_t reserved;  // 0x05
  le16 serial;            // 0x06
  le16 crc;               // 0x08 CRC-CCITT of the crcLength bytes after the tag
  le16 crcLength;         // 0x0A
  le32 location;          // 0x0C the descriptor's own logical block (sector for volume ones)
};
static_assert(sizeof(UdfTag) == 16 && alignof(UdfTag) == 1);
static_assert(offsetof(UdfTag, checksum) == 4 && offsetof(UdfTag, location) == 12);

struct UdfExtentAd {  // extent_ad
  le32 length;
  le32 location;
};
static_assert(sizeof(UdfExtentAd) == 8);

struct UdfShortAd {  // short_ad: length (bits 30-31 extent type), block
  le32 length;
  le32 position;
};
static_assert(sizeof(UdfShortAd) == 8);

struct UdfLongAd {  // long_ad
  le32 length;
  le32 block;
  le16 partition;
  std::uint8_t implementationUse[6];
};
static_assert(sizeof(UdfLongAd) == 16);

struct UdfExtAd {  // ext_ad
  le32 length;
  le32 recordedLength;
  le32 informationLength;
  le32 block;
  le16 partition;
  std::uint8_t implementationUse[2];
};
static_assert(sizeof(UdfExtAd) == 20 && offsetof(UdfExtAd, block) == 12);

// Allocation extent descriptor (tag 258): where allocation descriptors continue.
struct UdfAllocationExtent {
  UdfTag tag;
  le32 previous;
  le32 allocationLength;  // 0x14 bytes of descriptors from 0x18 on
};
static_assert(sizeof(UdfAllocationExtent) == 24);
inline constexpr std::uint16_t kUdfTagAllocationExtent = 258;

struct UdfTimestamp {
  le16 typeAndZone;  // bits 12-15 type, 0-11 minutes from UTC (signed)
  le16 year;
  std::uint8_t month, day, hour, minute, second;
  std::uint8_t centiseconds, hundredsOfMicroseconds, microseconds;
};
static_assert(sizeof(UdfTimestamp) == 12);

// Anchor volume descriptor pointer (sector 256).
struct UdfAnchor {
  UdfTag tag;                   // 0x00
  UdfExtentAd mainSequence;     // 0x10
  UdfExtentAd reserveSequence;  // 0x18
};
static_assert(sizeof(UdfAnchor) == 32);

// Partition descriptor (tag 5): the fields read here.
struct UdfPartitionDescriptor {
  UdfTag tag;                     // 0x00
  le32 sequenceNumber;            // 0x10
  le16 flags;                     // 0x14
  le16 number;                    // 0x16
  std::uint8_t contents[32];      // 0x18
  std::uint8_t contentsUse[128];  // 0x38
  le32 accessType;                // 0xB8
  le32 start;                     // 0xBC first sector
  le32 length;                    // 0xC0 sectors
};
static_assert(sizeof(UdfPartitionDescriptor) == 196);
static_assert(offsetof(UdfPartitionDescriptor, number) == 22 &&
              offsetof(UdfPartitionDescriptor, start) == 188 &&
              offsetof(UdfPartitionDescriptor, length) == 192);

// Logical volume descriptor (tag 6) up to its partition maps.
struct UdfLogicalVolumeDescriptor {
  UdfTag tag;                           // 0x00
  le32 sequenceNumber;                  // 0x10
  std::uint8_t charset[64];             // 0x14
  std::uint8_t identifier[128];         // 0x54 d-string
  le32 blockBytes;                      // 0xD4 logical block size
  std::uint8_t domain[32];              // 0xD8
  UdfLongAd fileSet;                    // 0xF8 where the file set descriptor is
  le32 mapTableLength;                  // 0x108
  le32 mapCount;                        // 0x10C
  std::uint8_t implementation[32];      // 0x110
  std::uint8_t implementationUse[128];  // 0x130
  UdfExtentAd integritySequence;        // 0x1B0
};
static_assert(sizeof(UdfLogicalVolumeDescriptor) == 440);
static_assert(offsetof(UdfLogicalVolumeDescriptor, blockBytes) == 212 &&
              offsetof(UdfLogicalVolumeDescriptor, fileSet) == 248 &&
              offsetof(UdfLogicalVolumeDescriptor, mapTableLength) == 264);

// Partition map of type 1 (a physical partition) and the head of type 2 (named by identifier).
struct UdfPartitionMapHead {
  std::uint8_t type;    // 1 or 2
  std::uint8_t length;  // 6 or 64
};
struct UdfPartitionMap1 {
  std::uint8_t type, length;
  le16 volumeSequence;
  le16 partitionNumber;
};
static_assert(sizeof(UdfPartitionMap1) == 6);
// Type 2 metadata partition map (UDF 2.50 and later).
struct UdfMetadataMap {
  std::uint8_t type, length;  // 2, 64
  std::uint8_t reserved[2];
  std::uint8_t identifier[32];  // 0x04 flags, "*UDF Metadata Partition", suffix
  le16 volumeSequence;          // 0x24
  le16 partitionNumber;         // 0x26
  le32 metadataFile;            // 0x28 block of the metadata file's entry in the partition
  le32 mirrorFile;              // 0x2C
  le32 bitmapFile;              // 0x30
  le32 allocationUnit;          // 0x34
  le16 alignmentUnit;           // 0x38
  std::uint8_t flags;           // 0x3A
  std::uint8_t reserved2[5];
};
static_assert(sizeof(UdfMetadataMap) == 64 && offsetof(UdfMetadataMap, metadataFile) == 40);

// File set descriptor (tag 256): the root directory's ICB.
struct UdfFileSetDescriptor {
  UdfTag tag;                     // 0x00
  std::uint8_t unused[400 - 16];  // recording time, levels, character sets, identifiers
  UdfLongAd rootIcb;              // 0x190
};
static_assert(sizeof(UdfFileSetDescriptor) == 416 &&
              offsetof(UdfFileSetDescriptor, rootIcb) == 400);

struct UdfIcbTag {
  le32 priorEntries;  // 0x00
  le16 strategy;      // 0x04
  std::uint8_t parameters[2];
  le16 maxEntries;         // 0x08
  std::uint8_t reserved;   // 0x0A
  std::uint8_t fileType;   // 0x0B 4 directory, 5 file
  std::uint8_t parent[6];  // 0x0C
  le16 flags;              // 0x12 bits 0-2 allocation type; 0x20 archive, 0x400 system
};
static_assert(sizeof(UdfIcbTag) == 20);

// File entry (tag 261) up to its extended attributes.
struct UdfFileEntry {
  UdfTag tag;                  // 0x00
  UdfIcbTag icb;               // 0x10
  le32 uid, gid, permissions;  // 0x24
  le16 linkCount;              // 0x30
  std::uint8_t recordFormat, recordAttributes;
  le32 recordLength;                // 0x34
  le64 informationLength;           // 0x38 bytes
  le64 blocksRecorded;              // 0x40
  UdfTimestamp accessTime;          // 0x48
  UdfTimestamp modificationTime;    // 0x54
  UdfTimestamp attributeTime;       // 0x60
  le32 checkpoint;                  // 0x6C
  UdfLongAd extendedAttributeIcb;   // 0x70
  std::uint8_t implementation[32];  // 0x80
  le64 uniqueId;                    // 0xA0
  le32 extendedAttributesLength;    // 0xA8
  le32 allocationLength;            // 0xAC
};
static_assert(sizeof(UdfFileEntry) == 176);
static_assert(offsetof(UdfFileEntry, icb) == 16 &&
              offsetof(UdfFileEntry, informationLength) == 56 &&
              offsetof(UdfFileEntry, blocksRecorded) == 64 &&
              offsetof(UdfFileEntry, accessTime) == 72 &&
              offsetof(UdfFileEntry, modificationTime) == 84 &&
              offsetof(UdfFileEntry, attributeTime) == 96 &&
              offsetof(UdfFileEntry, extendedAttributesLength) == 168 &&
              offsetof(UdfFileEntry, allocationLength) == 172);

// Extended file entry (tag 266, UDF 2.00 and later) up to its extended attributes.
struct UdfExtendedFileEntry {
  UdfTag tag;                  // 0x00
  UdfIcbTag icb;               // 0x10
  le32 uid, gid, permissions;  // 0x24
  le16 linkCount;              // 0x30
  std::uint8_t recordFormat, recordAttributes;
  le32 recordLength;                // 0x34
  le64 informationLength;           // 0x38
  le64 objectSize;                  // 0x40
  le64 blocksRecorded;              // 0x48
  UdfTimestamp accessTime;          // 0x50
  UdfTimestamp modificationTime;    // 0x5C
  UdfTimestamp creationTime;        // 0x68
  UdfTimestamp attributeTime;       // 0x74
  le32 checkpoint;                  // 0x80
  le32 reserved;                    // 0x84
  UdfLongAd extendedAttributeIcb;   // 0x88
  UdfLongAd streamDirectoryIcb;     // 0x98
  std::uint8_t implementation[32];  // 0xA8
  le64 uniqueId;                    // 0xC8
  le32 extendedAttributesLength;    // 0xD0
  le32 allocationLength;            // 0xD4
};
static_assert(sizeof(UdfExtendedFileEntry) == 216);
static_assert(offsetof(UdfExtendedFileEntry, blocksRecorded) == 72 &&
              offsetof(UdfExtendedFileEntry, modificationTime) == 92 &&
              offsetof(UdfExtendedFileEntry, extendedAttributesLength) == 208);

// File identifier descriptor (tag 257) up to its implementation use.
struct UdfFileIdentifier {
  UdfTag tag;                     // 0x00
  le16 version;                   // 0x10
  std::uint8_t characteristics;   // 0x12 0x01 hidden, 0x02 directory, 0x04 deleted, 0x08 parent
  std::uint8_t identifierLength;  // 0x13
  UdfLongAd icb;                  // 0x14
  le16 implementationUseLength;   // 0x24
};
static_assert(sizeof(UdfFileIdentifier) == 38);
static_assert(offsetof(UdfFileIdentifier, identifierLength) == 19 &&
              offsetof(UdfFileIdentifier, icb) == 20 &&
              offsetof(UdfFileIdentifier, implementationUseLength) == 36);

inline constexpr std::uint8_t kUdfFidHidden = 0x01;
inline constexpr std::uint8_t kUdfFidDirectory = 0x02;
inline constexpr std::uint8_t kUdfFidDeleted = 0x04;
inline constexpr std::uint8_t kUdfFidParent = 0x08;

// The UDF entry of the drive's file-system table, saved whole in session files.
struct UdfVolumeInfo {
  le32 kind;             // 2
  le32 blockBytes;       // logical block size
  le64 partitionBlocks;  // partitionBytes / blockBytes
  le64 partitionBytes;
  le32 partitionStart;  // sectors
  le32 fileSetBlock;
  le32 fileSetLength;
  le32 rootIcb;  // logical block of the root directory's entry
};
static_assert(sizeof(UdfVolumeInfo) == 40 && alignof(UdfVolumeInfo) == 1);
static_assert(offsetof(UdfVolumeInfo, partitionBlocks) == 8 &&
              offsetof(UdfVolumeInfo, partitionStart) == 24 &&
              offsetof(UdfVolumeInfo, rootIcb) == 36);
