// ISO 9660 recognition: the sessions of the disc and the volume descriptors of each.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "optical/cdfs.h"

namespace {

constexpr std::uint32_t kMaxDescriptors = 64;  // a descriptor set is a handful of blocks
constexpr std::uint32_t kEmulatedFirstSession = 32;

/// Primary descriptor of a session starting at @p start, if there is one.
bool primaryAt(CdfsBlockReader read, void* context, std::uint32_t start, CdfsDescriptor& out) {
  std::uint8_t block[kCdfsBlock];
  if (start > ~0u - kCdfsDescriptorStart) return false;
  if (!read(context, start + kCdfsDescriptorStart, block)) return false;
  return CDFS_ParseDescriptor(block, out) == Parse::Ok && out.type == 1;
}

/// Sessions from @p first on: each session's volume size says where it ends (counted from its
/// own start, or from block 0 by writers that grow one volume); the next one starts there or at
/// the next multiple of 16 or 32 blocks.
std::vector<std::uint32_t> chain(CdfsBlockReader read, void* context, std::uint32_t first,
                                 std::vector<std::uint32_t>* roots) {
  std::vector<std::uint32_t> starts;
  CdfsDescriptor d;
  if (!primaryAt(read, context, first, d)) return starts;
  std::uint32_t s = first;
  while (starts.size() < kCdfsMaxSessions) {
    starts.push_back(s);
    if (roots != nullptr) roots->push_back(d.rootExtent);
    std::vector<std::uint64_t> candidates;
    for (const std::uint64_t end :
         {std::uint64_t{s} + d.volumeBlocks, std::uint64_t{d.volumeBlocks}}) {
      if (end <= s) continue;
      candidates.push_back(end);
      candidates.push_back((end + 15) / 16 * 16);
      candidates.push_back((end + 31) / 32 * 32);
    }
    std::sort(candidates.begin(), candidates.end());
    bool found = false;
    for (const std::uint64_t c : candidates) {
      if (c <= s || c > 0xFFFFFFF0u) continue;
      CdfsDescriptor next;
      if (primaryAt(read, context, static_cast<std::uint32_t>(c), next)) {
        s = static_cast<std::uint32_t>(c);
        d = next;
        found = true;
        break;
      }
    }
    if (!found) break;
  }
  return starts;
}

bool readDriveBlock(void* context, std::uint32_t block, std::uint8_t* out) {
  auto* drive = static_cast<CachedDrive*>(context);
  std::uint32_t got = 0;
  return CachedDrive_Read(drive, std::uint64_t{block} * kCdfsBlock, kCdfsBlock, out, &got) &&
         got == kCdfsBlock;
}

/// Reads the descriptor set of one session into @p s; false when its first block can't be read.
bool readDescriptors(Undelete* u, CachedDrive* drive, CdfsSession& s) {
  std::uint8_t block[kCdfsBlock];
  const std::uint64_t first = std::uint64_t{s.startBlock.get()} + kCdfsDescriptorStart;
  for (std::uint32_t i = 0; i < kMaxDescriptors; ++i) {
    const std::uint64_t at = first + i;
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, at * kCdfsBlock, kCdfsBlock, block, &got) || got != kCdfsBlock) {
      Undelete_Log(u, "CDFS_RecognizeDrive: Unable to read CDFS volume descriptor.\n");
      Host_SetLastError(kErrBootSector);
      if (u != nullptr) u->error = kErrBootSector;
      return false;
    }
    CdfsDescriptor d;
    if (CDFS_ParseDescriptor(block, d) != Parse::Ok || d.type == 255) {
      s.descriptorEnd.set(static_cast<std::uint32_t>(at));
      return true;
    }
    // A supplementary descriptor without a UCS-2 escape (an enhanced descriptor) has 8-bit names
    // that would be misread as UCS-2: only Joliet ones replace the primary tree.
    const bool use = d.type == 1 ? s.descriptorType == 0 : d.joliet;
    if (use) {
      s.volumeBlocks.set(d.volumeBlocks);
      s.pathTable.set(d.pathTable);
      s.pathTableOptional.set(d.pathTableOptional);
      s.rootExtent.set(d.rootExtent);
      s.rootLength.set(d.rootLength);
      s.descriptorType = d.type;
    }
    if (d.type == 1 || d.type == 2) s.descriptorEnd.set(static_cast<std::uint32_t>(at + 1));
  }
  return true;
}

}  // namespace

std::vector<std::uint32_t> CDFS_FindSessions(CdfsBlockReader read, void* context) noexcept {
  try {
    std::vector<std::uint32_t> roots;
    std::vector<std::uint32_t> fromZero = chain(read, context, 0, &roots);
    if (fromZero.size() <= 1) {
      // Block 16 may hold a copy of the newest session's descriptors, with the sessions
      // themselves from block 32 on: then the copy is not a session of its own.
      std::vector<std::uint32_t> emulatedRoots;
      std::vector<std::uint32_t> emulated =
          chain(read, context, kEmulatedFirstSession, &emulatedRoots);
      if (!emulated.empty() && (fromZero.empty() || roots.front() == emulatedRoots.back()))
        return emulated;
    }
    if (fromZero.empty()) fromZero.push_back(0);
    return fromZero;
  } catch (...) {
    return {0};
  }
}

bool CDFS_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept {
  if (drive == nullptr) return false;
  Undelete_Log(u, "CDFS_RecognizeDrive: Testing if drive is CDFS.\n");
  drive->sectorSize = kCdfsBlock;

  CdfsVolumeInfo info{};
  info.blockBytes.set(kCdfsBlock);
  info.reserved.set(1);
  std::uint32_t trackCount = 0;
  std::uint32_t starts[kCdfsMaxSessions] = {};
  std::uint32_t sessions = 0;
  // A lone track at block 0 is also what the host layer answers for an image: the descriptors
  // then tell whether more sessions follow.
  if (CachedDrive_ReadToc(drive, &trackCount, starts) && trackCount > 0 &&
      !(trackCount == 1 && starts[0] == 0)) {
    // More tracks than the record holds: the first hundred are the ones kept.
    sessions = std::min(trackCount, kCdfsMaxSessions);
    for (std::uint32_t i = 0; i < sessions; ++i) info.sessions[i].startBlock.set(starts[i]);
  } else {
    const std::vector<std::uint32_t> found = CDFS_FindSessions(readDriveBlock, drive);
    sessions = static_cast<std::uint32_t>(std::min<std::size_t>(found.size(), kCdfsMaxSessions));
    for (std::uint32_t i = 0; i < sessions; ++i) info.sessions[i].startBlock.set(found[i]);
    if (sessions == 0) sessions = 1;
  }
  info.sessionCount.set(sessions);

  bool any = false;
  for (std::uint32_t i = 0; i < sessions; ++i) {
    if (!readDescriptors(u, drive, info.sessions[i])) continue;
    any = any || info.sessions[i].descriptorType != 0;
  }
  if (!any) return false;
  info.kind.set(kFsCdfs);
  return CachedDrive_AddFileSystem(drive, sizeof info, &info);
}

bool CDFS_GetVolumeInfo(const CachedDrive* drive, CdfsVolumeInfo& out) noexcept {
  void* entry = nullptr;
  if (!CachedDrive_GetFileSystem(drive, &entry) || entry == nullptr) return false;
  if (drive->fsSizes[drive->fsCurrent] < sizeof out) return false;
  std::memcpy(&out, entry, sizeof out);
  return out.kind.get() == kFsCdfs;
}
