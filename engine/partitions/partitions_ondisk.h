// On-disk layouts of partition tables: MBR/EBR sectors, GPT header and entries, and the parts of a
// dynamic disk's database (PRIVHEAD, TOCBLOCK, VMDB, VBLK) that partition discovery reads.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/le.h"

/// Big-endian field (the dynamic-disk database is big-endian throughout).
template <std::unsigned_integral T>
struct Be {
  std::uint8_t raw[sizeof(T)];
  [[nodiscard]] constexpr T get() const noexcept {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | raw[i]);
    return v;
  }
  constexpr void set(T v) noexcept {
    for (std::size_t i = sizeof(T); i-- > 0;) {
      raw[i] = static_cast<std::uint8_t>(v & 0xFFu);
      v = static_cast<T>(v >> 8);
    }
  }
};
using be16 = Be<std::uint16_t>;
using be32 = Be<std::uint32_t>;
using be64 = Be<std::uint64_t>;
static_assert(sizeof(be64) == 8 && alignof(be64) == 1 && std::is_trivially_copyable_v<be64>);

inline constexpr std::uint32_t kSectorBytes = 512;  // boot-sector search step and table size

/// One of the four entries of an MBR or EBR (at 0x1BE + 16 * i).
struct MbrEntry {
  std::uint8_t bootIndicator;  // 0x00 0x80 = active
  std::uint8_t chsFirst[3];    // 0x01
  std::uint8_t type;           // 0x04 system ID; 0 = unused
  std::uint8_t chsLast[3];     // 0x05
  le32 startLba;               // 0x08 sectors, relative to the table (or the extended base)
  le32 sectorCount;            // 0x0C
};
static_assert(sizeof(MbrEntry) == 16 && alignof(MbrEntry) == 1);
static_assert(offsetof(MbrEntry, type) == 4 && offsetof(MbrEntry, startLba) == 8 &&
              offsetof(MbrEntry, sectorCount) == 12);

struct MbrSector {
  std::uint8_t bootCode[446];  // 0x000
  MbrEntry entries[4];         // 0x1BE
  std::uint8_t signature[2];   // 0x1FE 0x55 0xAA
};
static_assert(sizeof(MbrSector) == 512 && offsetof(MbrSector, entries) == 0x1BE &&
              offsetof(MbrSector, signature) == 0x1FE);

/// Start of a boot sector: just what the gap search classifies by.
struct BootSectorHead {
  std::uint8_t jump[3];           // 0x00 0xEB xx 0x90 on every volume the search accepts
  char oemName[8];                // 0x03 "NTFS    ", "EXFAT   ", anything on FAT
  le16 bytesPerSector;            // 0x0B
  std::uint8_t pad0[3];           // 0x0D
  std::uint8_t fatCount;          // 0x10 0 on NTFS
  std::uint8_t pad1[2];           // 0x11
  le16 totalSectors16;            // 0x13 FAT: volumes under 32 MiB, 0x20 is 0 then
  std::uint8_t pad1b[0x0B];       // 0x15
  le32 totalSectors32;            // 0x20 FAT
  std::uint8_t pad2[4];           // 0x24
  le64 ntfsTotalSectors;          // 0x28 NTFS: sectors - 1
  std::uint8_t pad3[6];           // 0x30
  char fat16Type[8];              // 0x36 "FAT12   " / "FAT16   "
  std::uint8_t pad4[10];          // 0x3E
  le64 exfatVolumeLength;         // 0x48 exFAT: sectors
  std::uint8_t pad5[2];           // 0x50
  char fat32Type[8];              // 0x52 "FAT32   "
  std::uint8_t pad6[18];          // 0x5A
  std::uint8_t exfatSectorShift;  // 0x6C exFAT: log2 of the sector size
};
static_assert(offsetof(BootSectorHead, fatCount) == 0x10 &&
              offsetof(BootSectorHead, totalSectors16) == 0x13 &&
              offsetof(BootSectorHead, totalSectors32) == 0x20 &&
              offsetof(BootSectorHead, ntfsTotalSectors) == 0x28 &&
              offsetof(BootSectorHead, fat16Type) == 0x36 &&
              offsetof(BootSectorHead, exfatVolumeLength) == 0x48 &&
              offsetof(BootSectorHead, fat32Type) == 0x52 &&
              offsetof(BootSectorHead, exfatSectorShift) == 0x6C);

struct GptHeader {
  char signature[8];          // 0x00 "EFI PART"
  le32 revision;              // 0x08
  le32 headerSize;            // 0x0C 92..sector size
  le32 headerCrc;             // 0x10 CRC-32 of headerSize bytes with this field zero
  le32 reserved;              // 0x14
  le64 myLba;                 // 0x18
  le64 alternateLba;          // 0x20
  le64 firstUsableLba;        // 0x28
  le64 lastUsableLba;         // 0x30
  std::uint8_t diskGuid[16];  // 0x38
  le64 entriesLba;            // 0x48
  le32 entryCount;            // 0x50
  le32 entrySize;             // 0x54
  le32 entriesCrc;            // 0x58
};
static_assert(sizeof(GptHeader) == 92 && alignof(GptHeader) == 1);
static_assert(offsetof(GptHeader, myLba) == 24 && offsetof(GptHeader, alternateLba) == 32 &&
              offsetof(GptHeader, entriesLba) == 72 && offsetof(GptHeader, entryCount) == 80 &&
              offsetof(GptHeader, entrySize) == 84 && offsetof(GptHeader, entriesCrc) == 88);

struct GptEntry {
  std::uint8_t typeGuid[16];    // 0x00 all zero = unused
  std::uint8_t uniqueGuid[16];  // 0x10
  le64 firstLba;                // 0x20
  le64 lastLba;                 // 0x28 inclusive
  le64 attributes;              // 0x30
  le16 name[36];                // 0x38 UTF-16
};
static_assert(sizeof(GptEntry) == 128 && offsetof(GptEntry, firstLba) == 32 &&
              offsetof(GptEntry, lastLba) == 40 && offsetof(GptEntry, name) == 56);

/// Dynamic disk private header (sector 6 of an MBR disk; last sector of a GPT disk's LDM area).
struct LdmPrivhead {
  char signature[8];        // 0x000 "PRIVHEAD"
  std::uint8_t pad0[0x28];  // 0x008
  char diskGuid[64];        // 0x030 ASCII GUID of this disk, NUL-padded
  std::uint8_t pad1[0x11B - 0x70];
  be64 logicalDiskStart;  // 0x11B sectors
  be64 logicalDiskSize;   // 0x123 sectors
  be64 configStart;       // 0x12B sectors
  be64 configSize;        // 0x133 sectors
};
static_assert(offsetof(LdmPrivhead, diskGuid) == 0x30 &&
              offsetof(LdmPrivhead, logicalDiskStart) == 0x11B &&
              offsetof(LdmPrivhead, configSize) == 0x133 && sizeof(LdmPrivhead) == 0x13B);

struct LdmTocBlock {
  char signature[8];        // 0x00 "TOCBLOCK"
  std::uint8_t pad0[0x26];  // 0x08
  be64 bitmap1Start;        // 0x2E sectors from the configuration start ("config")
  be64 bitmap1Size;         // 0x36
  std::uint8_t pad1[0x12];  // 0x3E
  be64 bitmap2Start;        // 0x50 ("log")
  be64 bitmap2Size;         // 0x58
};
static_assert(offsetof(LdmTocBlock, bitmap1Start) == 0x2E &&
              offsetof(LdmTocBlock, bitmap2Start) == 0x50 &&
              offsetof(LdmTocBlock, bitmap2Size) == 0x58);

struct LdmVmdb {
  char signature[4];        // 0x00 "VMDB"
  be32 lastSequence;        // 0x04 sequence number of the last VBLK
  be32 vblkSize;            // 0x08 bytes per VBLK
  be32 firstVblkOffset;     // 0x0C bytes from the VMDB to the first VBLK
  std::uint8_t pad0[0x65];  // 0x10 update status, version, group name and GUID
  be64 committedSequence;   // 0x75 last committed transaction
  be64 pendingSequence;     // 0x7D
  be32 committedCounts[4];  // 0x85 volume, component, partition, disk records
  std::uint8_t pad1[12];    // 0x95
  be32 pendingCounts[4];    // 0xA1 the same, pending transaction
};
static_assert(sizeof(LdmVmdb) == 0xB1 && offsetof(LdmVmdb, committedSequence) == 0x75 &&
              offsetof(LdmVmdb, committedCounts) == 0x85 &&
              offsetof(LdmVmdb, pendingCounts) == 0xA1);

struct LdmVblkHead {
  char signature[4];        // 0x00 "VBLK"
  be32 sequence;            // 0x04
  be32 group;               // 0x08 record id; 0 for an unused block
  be16 record;              // 0x0C fragment number
  be16 recordCount;         // 0x0E fragments of the record
  be16 status;              // 0x10
  std::uint8_t flags;       // 0x12
  std::uint8_t recordType;  // 0x13 revision << 4 | kind: 1 volume, 2 component, 3 partition,
                            //      4 disk, 5 disk group
  be32 size;                // 0x14
};
static_assert(sizeof(LdmVblkHead) == 0x18 && offsetof(LdmVblkHead, recordType) == 0x13);
