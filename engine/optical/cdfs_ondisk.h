// ISO 9660 on-disk layouts (volume descriptors, directory records) and the CDFS entry of a
// drive's file-system table. Layout only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/le.h"

inline constexpr std::uint32_t kCdfsBlock = 2048;
inline constexpr std::uint32_t kCdfsMaxSessions = 100;
inline constexpr std::uint32_t kCdfsDescriptorStart = 16;  // blocks from the session start

// Volume descriptor (primary, supplementary, terminator): the fields read here.
struct CdfsVolumeDescriptor {
  std::uint8_t type;                 // 0x00 1 primary, 2 supplementary, 255 terminator
  char identifier[5];                // 0x01 "CD001"
  std::uint8_t version;              // 0x06
  std::uint8_t flags;                // 0x07 supplementary: volume flags
  std::uint8_t unused1[80 - 8];      // 0x08 system and volume identifiers
  le32 volumeBlocks;                 // 0x50 volume space size (both-endian; the LE half)
  std::uint8_t volumeBlocksBe[4];    // 0x54
  std::uint8_t escapes[32];          // 0x58 supplementary: "%/@", "%/C", "%/E" for Joliet
  std::uint8_t unused2[128 - 120];   // 0x78 set size and sequence number
  le16 blockBytes;                   // 0x80 logical block size (LE half)
  std::uint8_t blockBytesBe[2];      // 0x82
  le32 pathTableBytes;               // 0x84
  std::uint8_t pathTableBytesBe[4];  // 0x88
  le32 pathTable;                    // 0x8C type-L path table
  le32 pathTableOptional;            // 0x90 optional type-L path table
  std::uint8_t pathTablesBe[8];      // 0x94
  std::uint8_t rootRecord[34];       // 0x9C the root directory's record
};
static_assert(sizeof(CdfsVolumeDescriptor) == 190 && alignof(CdfsVolumeDescriptor) == 1);
static_assert(offsetof(CdfsVolumeDescriptor, volumeBlocks) == 80 &&
              offsetof(CdfsVolumeDescriptor, escapes) == 88 &&
              offsetof(CdfsVolumeDescriptor, blockBytes) == 128 &&
              offsetof(CdfsVolumeDescriptor, pathTable) == 140 &&
              offsetof(CdfsVolumeDescriptor, pathTableOptional) == 144 &&
              offsetof(CdfsVolumeDescriptor, rootRecord) == 156);

// Directory record without its identifier (which follows at 0x21).
struct CdfsDirRecord {
  std::uint8_t length;           // 0x00 bytes of the whole record; 0 = rest of the block unused
  std::uint8_t extAttrBlocks;    // 0x01 extended attribute record length, blocks before the data
  le32 extent;                   // 0x02 first block (both-endian; the LE half)
  std::uint8_t extentBe[4];      // 0x06
  le32 dataLength;               // 0x0A bytes
  std::uint8_t dataLengthBe[4];  // 0x0E
  std::uint8_t recorded[7];      // 0x12 years since 1900, month, day, hour, minute, second, zone
  std::uint8_t flags;            // 0x19 0x02 directory, 0x80 not the final record of the file
  std::uint8_t unitSize;         // 0x1A interleave
  std::uint8_t gapSize;          // 0x1B
  le16 sequence;                 // 0x1C volume sequence number (LE half)
  std::uint8_t sequenceBe[2];    // 0x1E
  std::uint8_t nameLength;       // 0x20
};
static_assert(sizeof(CdfsDirRecord) == 33 && alignof(CdfsDirRecord) == 1);
static_assert(offsetof(CdfsDirRecord, extent) == 2 && offsetof(CdfsDirRecord, dataLength) == 10 &&
              offsetof(CdfsDirRecord, recorded) == 18 && offsetof(CdfsDirRecord, flags) == 25 &&
              offsetof(CdfsDirRecord, nameLength) == 32);

inline constexpr std::uint8_t kCdfsFlagDirectory = 0x02;
inline constexpr std::uint8_t kCdfsFlagMultiExtent = 0x80;

// One session of the CDFS table entry (29 bytes, packed).
struct CdfsSession {
  le32 startBlock;              // first block of the session
  le32 volumeBlocks;            // volume space size from its descriptor
  le32 pathTable;               // type-L path table
  le32 pathTableOptional;       // optional type-L path table
  le32 rootExtent;              // root directory's first block
  le32 rootLength;              // root directory's bytes
  le32 descriptorEnd;           // block just after the descriptor set as read
  std::uint8_t descriptorType;  // 0 none found, 1 primary, 2 supplementary (Joliet)
};
static_assert(sizeof(CdfsSession) == 29 && alignof(CdfsSession) == 1);

// The CDFS entry of the drive's file-system table, saved byte for byte in session files.
struct CdfsVolumeInfo {
  le32 kind;          // 1 once a descriptor was found
  le32 blockBytes;    // 2048
  le32 reserved;      // 1
  le32 sessionCount;  // sessions found; 1 without a table of contents
  CdfsSession sessions[kCdfsMaxSessions];
};
static_assert(sizeof(CdfsVolumeInfo) == 2916 && alignof(CdfsVolumeInfo) == 1);
static_assert(offsetof(CdfsVolumeInfo, sessionCount) == 12 &&
              offsetof(CdfsVolumeInfo, sessions) == 16);
