// Dynamic-disk database records: what a database already holds (walked block by block) and the
// volume, component and partition records that put a lost simple volume back into it. Pure code
// over bytes, for the repair, the tests and the fuzz target.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "partitions/partitions_parse.h"

inline constexpr std::uint32_t kLdmMaxBlocks = 0x10000;  // far more than any disk group holds

struct LdmDiskRecord {
  std::uint64_t objectId = 0;
  std::string name;
  Guid guid{};
  bool hasGuid = false;
};

/// What the database holds, as far as new records must not clash with it.
struct LdmDatabase {
  std::uint32_t blocks = 0;               // blocks walked
  std::vector<std::uint32_t> freeBlocks;  // signature present, record id 0
  std::set<std::uint64_t> objectIds;
  std::set<std::uint32_t> recordIds;
  std::set<std::uint32_t> volumeNames;    // N of the volumes named "VolumeN"
  std::set<std::uint32_t> volumeNumbers;  // the volumes' own one-byte numbers
  std::set<std::string> partitionNames;
  std::vector<LdmDiskRecord> disks;
  std::uint64_t groupId = 0;        // the disk group record's object id (0: none seen)
  std::uint32_t lettersHinted = 0;  // bit n: some volume asks for letter 'A' + n
  std::uint32_t corrupt = 0;        // records whose fields run past their block
};

/// Walks @p area, consecutive blocks of @p vblkSize bytes from the first VBLK on. The walk ends at
/// the first block without the VBLK signature, at the last whole block, or after kLdmMaxBlocks.
/// Records split over several blocks are read from their first fragment only.
void Ldm_ReadDatabase(ByteSpan area, std::uint32_t vblkSize, LdmDatabase& out);

/// The volume to add: one partition of one disk.
struct LdmNewVolume {
  std::uint64_t startSector = 0;  // within the disk's data area
  std::uint64_t sizeSectors = 0;
  const LdmDiskRecord* disk = nullptr;
  std::uint64_t commitId = 0;  // the VMDB's committed transaction
  Guid volumeGuid{};
};

/// What Ldm_AddVolume wrote.
struct LdmAdded {
  std::array<std::uint32_t, 3> blocks{};  // volume, component, partition
  std::string volumeName, partitionName;
  char hint = 0;  // 0: every letter is some volume's already
};

/// Writes the volume, component and partition records of @p v into the first three free blocks
/// of @p area (as walked into @p db), each block keeping its signature and sequence number. False,
/// with @p area unchanged, when there are not three free blocks, a record does not fit its block
/// or names and numbers have run out.
[[nodiscard]] bool Ldm_AddVolume(std::span<std::uint8_t> area, std::uint32_t vblkSize,
                                 const LdmDatabase& db, const LdmNewVolume& v, LdmAdded& out);

/// Counts one more volume, component and partition record in both counter sets of a VMDB sector.
/// False, with @p sector unchanged, when it is no VMDB.
[[nodiscard]] bool Ldm_CountNewVolume(std::span<std::uint8_t> sector) noexcept;
