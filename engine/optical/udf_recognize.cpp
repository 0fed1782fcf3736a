// UDF recognition: the volume recognition sequence, the anchor and the volume descriptor
// sequence, the partition maps (a metadata partition is mapped through its metadata file) and
// the file set descriptor.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "optical/udf.h"

namespace {

constexpr std::uint32_t kRecognitionStart = 0x8000;
constexpr std::uint32_t kRecognitionEnd = 0xEFFF;
constexpr std::uint32_t kSequenceScanStart = 0xA000;
constexpr std::uint32_t kSequenceScanEnd = 0x1FFFFF;
constexpr std::uint32_t kMaxSequence = 256;  // descriptors of one sequence
constexpr std::uint32_t kMaxMetadataPieces = 1u << 16;
constexpr char kMappingMagic[4] = {'U', 'D', 'F', 'M'};

bool readBytes(CachedDrive* drive, std::uint64_t offset, std::uint32_t n, std::uint8_t* out) {
  std::uint32_t got = 0;
  return CachedDrive_Read(drive, offset, n, out, &got) && got == n;
}

bool findAnchor(CachedDrive* drive, std::uint32_t& sectorBytes, UdfAnchor& anchor) {
  std::uint8_t buffer[512];
  const std::uint32_t first = drive->sectorSize != 0 ? drive->sectorSize : 2048;
  for (const std::uint32_t ss : {first, 2048u, 512u, 1024u, 4096u}) {
    // Sector 256, or 512 on media written in packets before the anchor was placed.
    for (const std::uint32_t at : {256u, 512u}) {
      if (!readBytes(drive, std::uint64_t{at} * ss, sizeof buffer, buffer)) continue;
      if (UDF_CheckTag(buffer, kUdfTagAnchor, at) != Parse::Ok) continue;
      ByteReader r(buffer);
      anchor = *r.read<UdfAnchor>();
      sectorBytes = ss;
      return true;
    }
  }
  return false;
}

void readSequence(CachedDrive* drive, std::uint64_t first, std::uint64_t count, std::uint32_t ss,
                  UdfVolume& v) {
  std::vector<std::uint8_t> block(ss);
  for (std::uint64_t i = 0; i < std::min<std::uint64_t>(count, kMaxSequence); ++i) {
    if (!readBytes(drive, (first + i) * ss, ss, block.data())) return;
    bool end = false;
    (void)UDF_ParseVolumeDescriptor(block, v, end);
    if (end) return;
  }
}

/// Where the metadata partition's blocks lie in the physical partition, from the metadata file.
bool mapMetadata(CachedDrive* drive, const UdfContext& ctx, std::uint32_t fileBlock,
                 std::vector<UdfContext::Piece>& out) {
  const std::uint32_t bb = ctx.info.blockBytes.get();
  std::vector<std::uint8_t> block(bb);
  if (!readBytes(drive, ctx.offsetOf(fileBlock), bb, block.data())) return false;
  UdfEntry e;
  if (UDF_ParseFileEntry(block, e) != Parse::Ok || e.allocation > 2) return false;
  std::vector<UdfExtent> extents;
  if (!UDF_ParseAllocation(e.descriptors, e.allocation, 0, extents, nullptr)) return false;
  std::uint32_t logical = 0;
  for (const UdfExtent& x : extents) {
    const std::uint32_t blocks = (x.length + bb - 1) / bb;
    if (out.size() >= kMaxMetadataPieces || logical > ~0u - blocks) break;
    out.push_back({logical, x.block, blocks});
    logical += blocks;
  }
  return !out.empty();
}

/// The data of a virtual allocation table whose entry is @p block, or nothing.
bool readVat(CachedDrive* drive, const UdfContext& ctx, std::span<const std::uint8_t> block,
             std::vector<std::uint32_t>& vat) {
  UdfEntry e;
  if (UDF_ParseFileEntry(block, e) != Parse::Ok || (e.fileType != 248 && e.fileType != 0))
    return false;
  std::vector<std::uint8_t> data;
  if (e.allocation == 3) {
    data.assign(e.descriptors.begin(), e.descriptors.end());
  } else {
    std::vector<UdfExtent> x;
    if (!UDF_ParseAllocation(e.descriptors, e.allocation, 0, x, nullptr)) return false;
    for (const UdfExtent& piece : x) {
      if (piece.type != 0 || data.size() + piece.length > (64u << 20)) break;
      const std::size_t at = data.size();
      data.resize(at + piece.length);
      if (!readBytes(drive, ctx.offsetOf(piece.block), piece.length, data.data() + at))
        return false;
    }
  }
  data.resize(static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), e.informationLength)));
  return UDF_ParseVat(data, e.fileType == 248, vat);
}

/// The virtual allocation table is the last thing recorded: its entry is the last written block,
/// which on an image may be followed by blocks never written. Looked for from the end back, in
/// cache-sized steps, at most 64 MiB.
bool mapVirtual(CachedDrive* drive, const UdfContext& ctx, std::vector<UdfContext::Piece>& out) {
  const std::uint32_t bb = ctx.info.blockBytes.get();
  constexpr std::uint32_t kStep = 64 * 1024;
  constexpr std::uint64_t kMaxBack = 64ull << 20;
  if (bb > kStep) return false;
  std::uint64_t bytes = 0;
  if (!CachedDrive_GetSize(drive, &bytes)) return false;
  const std::uint64_t base = ctx.offsetOf(0);
  if (bytes <= base + bb) return false;
  std::uint64_t end = (bytes - base) / bb * bb + base;  // just past the last whole block
  std::vector<std::uint8_t> chunk(kStep);
  std::vector<std::uint32_t> vat;
  while (end > base && bytes - end < kMaxBack) {
    const std::uint64_t start = std::max(base, end > kStep ? end - kStep : 0);
    const auto n = static_cast<std::uint32_t>(end - start);
    if (!readBytes(drive, start, n, chunk.data())) return false;
    for (std::uint32_t at = n; at >= bb; at -= bb) {
      const std::span<const std::uint8_t> block(chunk.data() + at - bb, bb);
      if (UDF_CheckTag(block, kUdfTagFileEntry) != Parse::Ok &&
          UDF_CheckTag(block, kUdfTagExtendedFileEntry) != Parse::Ok)
        continue;
      if (!readVat(drive, ctx, block, vat)) continue;
      for (std::uint32_t i = 0; i < vat.size(); ++i) {
        if (vat[i] == 0xFFFFFFFFu) continue;
        if (!out.empty() && out.back().logical + out.back().blocks == i &&
            out.back().physical + out.back().blocks == vat[i]) {
          ++out.back().blocks;
        } else if (out.size() < kMaxMetadataPieces) {
          out.push_back({i, vat[i], 1});
        }
      }
      return !out.empty();
    }
    end = start;
  }
  return false;
}

}  // namespace

bool UdfContext::physical(std::uint16_t partition, std::uint32_t block,
                          std::uint32_t& out) const noexcept {
  if (partition != metadataRef) {
    out = block;
    return true;
  }
  for (const Piece& p : metadata) {
    if (block >= p.logical && block - p.logical < p.blocks) {
      out = p.physical + (block - p.logical);
      return true;
    }
  }
  return false;
}

bool UDF_GetContext(const CachedDrive* drive, UdfContext& out) {
  void* entry = nullptr;
  if (!CachedDrive_GetFileSystem(drive, &entry) || entry == nullptr) return false;
  const std::uint32_t size = drive->fsSizes[drive->fsCurrent];
  if (size < sizeof(UdfVolumeInfo)) return false;
  out = {};
  std::memcpy(&out.info, entry, sizeof out.info);
  if (out.info.kind.get() != kFsUdf) return false;
  const std::uint32_t bb = out.info.blockBytes.get();
  if (bb < 512 || bb > 65536 || (bb & (bb - 1)) != 0) return false;
  // The mapping of a metadata partition follows the record in memory (never in session files).
  const auto* bytes = static_cast<const std::uint8_t*>(entry);
  ByteReader r(std::span<const std::uint8_t>(bytes, size));
  if (!r.seek(sizeof(UdfVolumeInfo))) return true;
  const auto magic = r.bytes(4);
  if (!magic || std::memcmp(magic->data(), kMappingMagic, 4) != 0) return true;
  const auto root = r.read<le16>();
  const auto meta = r.read<le16>();
  const auto count = r.read<le32>();
  if (!root || !meta || !count || count->get() > kMaxMetadataPieces) return true;
  out.rootPartition = root->get();
  out.metadataRef = meta->get();
  for (std::uint32_t i = 0; i < count->get(); ++i) {
    const auto l = r.read<le32>(), p = r.read<le32>(), n = r.read<le32>();
    if (!l || !p || !n) break;
    out.metadata.push_back({l->get(), p->get(), n->get()});
  }
  return true;
}

bool UDF_RecognizeDrive(Undelete* u, CachedDrive* drive) noexcept {
  if (drive == nullptr) return false;
  Undelete_Log(u, "UDF_RecognizeDrive: Testing if drive is UDF.\n");
  try {
    std::vector<std::uint8_t> block(2048);
    bool bea = false;
    for (std::uint32_t off = kRecognitionStart; off <= kRecognitionEnd && !bea; off += 2048) {
      if (!readBytes(drive, off, 2048, block.data())) return false;
      bea = std::memcmp(block.data() + 1, "BEA01", 5) == 0;
    }
    if (!bea) return false;
    Undelete_Log(u, "UDF_RecognizeDrive: Drive is UDF.\n");

    UdfVolume v;
    std::uint32_t ss = drive->sectorSize != 0 ? drive->sectorSize : 2048;
    UdfAnchor anchor{};
    if (findAnchor(drive, ss, anchor)) {
      readSequence(drive, anchor.mainSequence.location.get(), anchor.mainSequence.length.get() / ss,
                   ss, v);
      if (!(v.havePartition && v.haveLogical)) {
        v = {};
        readSequence(drive, anchor.reserveSequence.location.get(),
                     anchor.reserveSequence.length.get() / ss, ss, v);
      }
    } else {
      // No anchor where it belongs: look for the descriptors themselves.
      for (std::uint32_t off = kSequenceScanStart; off <= kSequenceScanEnd; off += ss) {
        if (!readBytes(drive, off, ss, block.data())) break;
        bool end = false;
        (void)UDF_ParseVolumeDescriptor(std::span<const std::uint8_t>(block.data(), ss), v, end);
        if (end) break;
      }
    }
    if (!(v.havePartition && v.haveLogical)) return false;

    UdfContext ctx;
    ctx.info.kind.set(kFsUdf);
    ctx.info.blockBytes.set(v.blockBytes);
    // One logical sector is one logical block on UDF media; the partition's start is counted in
    // them, whatever size the device reads in.
    ctx.info.partitionStart.set(
        static_cast<std::uint32_t>(std::uint64_t{v.partitionStart} * ss / v.blockBytes));
    ctx.info.partitionBytes.set(std::uint64_t{ss} * v.partitionLength);
    ctx.info.partitionBlocks.set(ctx.info.partitionBytes.get() / v.blockBytes);
    ctx.info.fileSetBlock.set(v.fileSetBlock);
    ctx.info.fileSetLength.set(v.fileSetLength);
    for (std::size_t i = 0; i < v.maps.size(); ++i) {
      const UdfMap& m = v.maps[i];
      if (m.kind == UdfMap::Kind::Metadata && ctx.metadata.empty()) {
        ctx.metadataRef = static_cast<std::uint16_t>(i);
        if (!mapMetadata(drive, ctx, m.metadataFile, ctx.metadata)) return false;
      } else if (m.kind == UdfMap::Kind::Virtual && ctx.metadata.empty()) {
        ctx.metadataRef = static_cast<std::uint16_t>(i);
        if (!mapVirtual(drive, ctx, ctx.metadata)) return false;
      } else if (m.kind == UdfMap::Kind::Unsupported && v.fileSetPartition == i) {
        return false;  // a virtual partition: its blocks are not where they say
      }
    }

    std::uint32_t fsd = 0;
    if (!ctx.physical(v.fileSetPartition, v.fileSetBlock, fsd)) return false;
    std::vector<std::uint8_t> set(v.blockBytes);
    if (!readBytes(drive, ctx.offsetOf(fsd), v.blockBytes, set.data())) return false;
    if (UDF_CheckTag(set, kUdfTagFileSet, v.fileSetBlock) != Parse::Ok) return false;
    ByteReader r(set);
    const auto fs = r.read<UdfFileSetDescriptor>();
    if (!fs) return false;
    ctx.info.rootIcb.set(fs->rootIcb.block.get());
    ctx.rootPartition = fs->rootIcb.partition.get();

    std::vector<std::uint8_t> entry(sizeof(UdfVolumeInfo));
    std::memcpy(entry.data(), &ctx.info, sizeof ctx.info);
    auto put = [&entry](std::uint64_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) entry.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    entry.insert(entry.end(), kMappingMagic, kMappingMagic + 4);
    put(ctx.rootPartition, 2);
    put(ctx.metadataRef, 2);
    put(ctx.metadata.size(), 4);
    for (const auto& p : ctx.metadata) {
      put(p.logical, 4);
      put(p.physical, 4);
      put(p.blocks, 4);
    }
    return CachedDrive_AddFileSystem(drive, static_cast<std::uint32_t>(entry.size()), entry.data());
  } catch (...) {
    return false;
  }
}
