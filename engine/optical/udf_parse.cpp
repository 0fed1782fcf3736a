// UDF bytes to values. Every field is read through the layouts of udf_ondisk.h.
#include "optical/udf_parse.h"

#include <cstring>

#include "core/checked.h"
#include "fat/fat_parse.h"
#include "optical/cdfs_parse.h"

namespace {

std::uint8_t tagChecksum(std::span<const std::uint8_t> t) noexcept {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<std::uint8_t>(sum + t[i]);
  return sum;
}

std::uint16_t crcCcitt(std::span<const std::uint8_t> data) noexcept {
  std::uint16_t crc = 0;
  for (const std::uint8_t b : data) {
    crc = static_cast<std::uint16_t>(crc ^ (b << 8));
    for (int i = 0; i < 8; ++i)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

bool identifierIs(const std::uint8_t (&id)[32], const char* text) noexcept {
  // Entity identifier: a flags byte, then the text, NUL padded.
  const std::size_t n = std::strlen(text);
  return n <= 23 && std::memcmp(id + 1, text, n) == 0;
}

}  // namespace

Parse UDF_CheckTag(std::span<const std::uint8_t> bytes, std::uint16_t id,
                   std::uint32_t location) noexcept {
  ByteReader r(bytes);
  const auto tag = r.read<UdfTag>();
  if (!tag || tag->identifier.get() != id) return Parse::NotThis;
  if (tagChecksum(bytes) != tag->checksum) return Parse::NotThis;
  if (location != ~0u && tag->location.get() != location) return Parse::NotThis;
  return Parse::Ok;
}

void UDF_SealTag(std::span<std::uint8_t> bytes, std::uint16_t crcLength) noexcept {
  if (bytes.size() < 16) return;
  const std::size_t n = std::min<std::size_t>(crcLength, bytes.size() - 16);
  const std::uint16_t crc = crcCcitt(bytes.subspan(16, n));
  storeLe<std::uint16_t>(bytes.data() + 8, crc);
  storeLe<std::uint16_t>(bytes.data() + 10, static_cast<std::uint16_t>(n));
  bytes[4] = tagChecksum(bytes);
}

Parse UDF_ParseVolumeDescriptor(std::span<const std::uint8_t> block, UdfVolume& v, bool& end) {
  end = false;
  ByteReader r(block);
  const auto tag = r.read<UdfTag>();
  if (!tag || tagChecksum(block) != tag->checksum) return Parse::NotThis;
  switch (tag->identifier.get()) {
    case kUdfTagTerminating:
      end = true;
      return Parse::NotThis;
    case kUdfTagPartition: {
      ByteReader pr(block);
      const auto pd = pr.read<UdfPartitionDescriptor>();
      if (!pd) return Parse::Corrupt;
      if (v.havePartition) return Parse::Ok;  // the first one is kept (one partition is usual)
      v.havePartition = true;
      v.partitionNumber = pd->number.get();
      v.partitionStart = pd->start.get();
      v.partitionLength = pd->length.get();
      return Parse::Ok;
    }
    case kUdfTagLogicalVolume: {
      ByteReader lr(block);
      const auto lvd = lr.read<UdfLogicalVolumeDescriptor>();
      if (!lvd) return Parse::Corrupt;
      const std::uint32_t bytes = lvd->blockBytes.get();
      if (bytes < 512 || bytes > 65536 || (bytes & (bytes - 1)) != 0) return Parse::Corrupt;
      v.haveLogical = true;
      v.blockBytes = bytes;
      v.fileSetLength = lvd->fileSet.length.get();
      v.fileSetBlock = lvd->fileSet.block.get();
      v.fileSetPartition = lvd->fileSet.partition.get();
      v.maps.clear();
      std::uint32_t tableLeft = lvd->mapTableLength.get();
      for (std::uint32_t i = 0; i < lvd->mapCount.get() && i < 64; ++i) {
        const std::size_t at = lr.pos();
        const auto head = lr.read<UdfPartitionMapHead>();
        if (!head || head->length < 2 || head->length > tableLeft || !lr.seek(at)) break;
        tableLeft -= head->length;
        UdfMap m;
        if (head->type == 1 && head->length >= sizeof(UdfPartitionMap1)) {
          const auto m1 = lr.read<UdfPartitionMap1>();
          if (!m1) break;
          m.partitionNumber = m1->partitionNumber.get();
        } else if (head->type == 2 && head->length >= sizeof(UdfMetadataMap)) {
          const auto m2 = lr.read<UdfMetadataMap>();
          if (!m2) break;
          m.partitionNumber = m2->partitionNumber.get();
          if (identifierIs(m2->identifier, "*UDF Metadata Partition")) {
            m.kind = UdfMap::Kind::Metadata;
            m.metadataFile = m2->metadataFile.get();
          } else if (identifierIs(m2->identifier, "*UDF Sparable Partition")) {
            // Spared packets are read where they were first written: mostly the same data.
            m.kind = UdfMap::Kind::Physical;
          } else if (identifierIs(m2->identifier, "*UDF Virtual Partition")) {
            m.kind = UdfMap::Kind::Virtual;
          } else {
            m.kind = UdfMap::Kind::Unsupported;
          }
        } else {
          m.kind = UdfMap::Kind::Unsupported;
        }
        v.maps.push_back(m);
        if (!lr.seek(at + head->length)) break;
      }
      return Parse::Ok;
    }
    default:
      return Parse::NotThis;
  }
}

Parse UDF_ParseFileEntry(std::span<const std::uint8_t> block, UdfEntry& out) noexcept {
  ByteReader r(block);
  const auto tag = r.read<UdfTag>();
  if (!tag) return Parse::NotThis;
  std::uint64_t ea = 0, ad = 0, header = 0;
  if (UDF_CheckTag(block, kUdfTagFileEntry) == Parse::Ok) {
    ByteReader fr(block);
    const auto fe = fr.read<UdfFileEntry>();
    if (!fe) return Parse::Corrupt;
    out = {};
    out.fileType = fe->icb.fileType;
    out.icbFlags = fe->icb.flags.get();
    out.informationLength = fe->informationLength.get();
    out.blocksRecorded = fe->blocksRecorded.get();
    out.access = fe->accessTime;
    out.modification = fe->modificationTime;
    out.attribute = fe->attributeTime;
    ea = fe->extendedAttributesLength.get();
    ad = fe->allocationLength.get();
    header = sizeof(UdfFileEntry);
  } else if (UDF_CheckTag(block, kUdfTagExtendedFileEntry) == Parse::Ok) {
    ByteReader fr(block);
    const auto fe = fr.read<UdfExtendedFileEntry>();
    if (!fe) return Parse::Corrupt;
    out = {};
    out.extended = true;
    out.fileType = fe->icb.fileType;
    out.icbFlags = fe->icb.flags.get();
    out.informationLength = fe->informationLength.get();
    out.blocksRecorded = fe->blocksRecorded.get();
    out.access = fe->accessTime;
    out.modification = fe->modificationTime;
    out.attribute = fe->attributeTime;
    ea = fe->extendedAttributesLength.get();
    ad = fe->allocationLength.get();
    header = sizeof(UdfExtendedFileEntry);
  } else {
    return Parse::NotThis;
  }
  out.allocation = static_cast<std::uint8_t>(out.icbFlags & 7);
  if (out.allocation > 3) return Parse::Corrupt;
  // Descriptors that fill the block exactly are still inside it.
  if (header + ea + ad > block.size()) return Parse::Corrupt;
  out.descriptors =
      block.subspan(static_cast<std::size_t>(header + ea), static_cast<std::size_t>(ad));
  return Parse::Ok;
}

bool UDF_ParseAllocation(std::span<const std::uint8_t> ads, std::uint8_t allocation,
                         std::uint16_t partition, std::vector<UdfExtent>& out, UdfExtent* next) {
  if (next != nullptr) next->length = 0;
  ByteReader r(ads);
  while (r.remaining() > 0) {
    std::uint32_t raw = 0, block = 0;
    std::uint16_t part = partition;
    if (allocation == 0) {
      const auto a = r.read<UdfShortAd>();
      if (!a) return false;
      raw = a->length.get();
      block = a->position.get();
    } else if (allocation == 1) {
      const auto a = r.read<UdfLongAd>();
      if (!a) return false;
      raw = a->length.get();
      block = a->block.get();
      part = a->partition.get();
    } else if (allocation == 2) {
      const auto a = r.read<UdfExtAd>();
      if (!a) return false;
      raw = a->length.get();
      block = a->block.get();
      part = a->partition.get();
    } else {
      return false;
    }
    const std::uint32_t length = raw & 0x3FFFFFFFu;
    const auto type = static_cast<std::uint8_t>(raw >> 30);
    if (length == 0) break;  // the list ends at the first empty descriptor
    if (type == 3) {
      if (next != nullptr) *next = {length, type, block, part};
      break;
    }
    if (out.size() >= kUdfMaxExtents) return false;
    out.push_back({length, type, block, part});
  }
  return true;
}

Parse UDF_ParseIdentifier(std::span<const std::uint8_t> data, std::size_t at, UdfIdentifier& out) {
  ByteReader r(data);
  if (!r.seek(at)) return Parse::NotThis;
  const auto fid = r.read<UdfFileIdentifier>();
  if (!fid) return Parse::NotThis;
  if (UDF_CheckTag(data.subspan(at), kUdfTagFileIdentifier) != Parse::Ok) return Parse::Corrupt;
  const std::size_t iu = fid->implementationUseLength.get();
  const std::size_t own = sizeof(UdfFileIdentifier) + iu + fid->identifierLength;
  // The last identifier's padding may run past the data's end; its own bytes may not.
  if (!fitsIn<std::size_t>(at, own, data.size())) return Parse::Corrupt;
  out = {};
  out.length = static_cast<std::uint32_t>((own + 3) & ~std::size_t{3});
  out.characteristics = fid->characteristics;
  out.icbBlock = fid->icb.block.get();
  out.icbPartition = fid->icb.partition.get();
  if (fid->identifierLength == 0 || !r.skip(iu)) return Parse::Ok;
  const auto name = r.bytes(fid->identifierLength);
  if (!name) return Parse::Ok;
  out.name = UDF_DecodeName(*name);
  out.valid = !out.name.empty();
  return Parse::Ok;
}

bool UDF_ParseVat(std::span<const std::uint8_t> data, bool withHeader,
                  std::vector<std::uint32_t>& out) {
  out.clear();
  std::span<const std::uint8_t> table = data;
  if (withHeader) {
    ByteReader r(data);
    const auto headerLength = r.read<le16>();
    if (!headerLength || headerLength->get() < 152 || headerLength->get() > data.size())
      return false;
    table = data.subspan(headerLength->get());
  } else {
    // The table is followed by "*UDF Virtual Alloc Tbl" and the previous table's place.
    if (data.size() < 36 ||
        std::memcmp(data.data() + data.size() - 36 + 1, "*UDF Virtual Alloc Tbl", 22) != 0)
      return false;
    table = data.first(data.size() - 36);
  }
  ByteReader t(table);
  while (t.remaining() >= 4) out.push_back(t.read<le32>()->get());
  return !out.empty();
}

std::u16string UDF_DecodeName(std::span<const std::uint8_t> id) {
  std::u16string name;
  if (id.empty()) return name;
  const std::uint8_t compression = id[0];
  if (compression == 8 || compression == 254) {
    for (std::size_t i = 1; i < id.size(); ++i) name.push_back(FAT_Cp1252(id[i]));
  } else if (compression == 16 || compression == 255) {
    for (std::size_t i = 1; i + 1 < id.size(); i += 2)
      name.push_back(static_cast<char16_t>((id[i] << 8) | id[i + 1]));
  }
  // A NUL cannot be part of a stored name.
  if (const auto nul = name.find(u'\0'); nul != std::u16string::npos) name.resize(nul);
  return name;
}

std::uint64_t UDF_TimestampToFileTime(const UdfTimestamp& t) noexcept {
  return Optical_FileTime(t.year.get(), t.month, t.day, t.hour, t.minute, t.second);
}

std::vector<std::uint8_t> UDF_EncodeLocator(const std::vector<UdfExtent>& extents,
                                            std::span<const std::uint8_t> embedded,
                                            bool isEmbedded) {
  std::vector<std::uint8_t> body;
  auto put32 = [&body](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  if (isEmbedded) {
    put32((3u << 30) | static_cast<std::uint32_t>(embedded.size()));
    body.insert(body.end(), embedded.begin(), embedded.end());
  } else if (!extents.empty()) {
    put32((1u << 30) | static_cast<std::uint32_t>(extents.size() * sizeof(UdfLongAd)));
    for (const UdfExtent& e : extents) {
      put32((std::uint32_t{e.type} << 30) | e.length);
      put32(e.block);
      for (int i = 0; i < 8; ++i) body.push_back(0);  // partition 0, no implementation use
    }
  }
  std::vector<std::uint8_t> out;
  const auto total = static_cast<std::uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(total >> (8 * i)));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool UDF_DecodeLocator(std::span<const std::uint8_t> locator, std::vector<UdfPiece>& out) {
  out.clear();
  ByteReader r(locator);
  const auto total = r.read<le32>();
  if (!total || total->get() > r.remaining()) return false;
  ByteReader groups(locator.subspan(4, total->get()));
  while (groups.remaining() > 0) {
    const auto header = groups.read<le32>();
    if (!header) return false;
    const std::uint32_t type = header->get() >> 30;
    const auto bytes = groups.bytes(header->get() & 0x3FFFFFFFu);
    if (!bytes) return false;
    if (type == 3) {
      UdfPiece p;
      p.embedded = true;
      p.bytes = *bytes;
      p.length = static_cast<std::uint32_t>(bytes->size());
      out.push_back(p);
      continue;
    }
    std::vector<UdfExtent> extents;
    if (!UDF_ParseAllocation(*bytes, static_cast<std::uint8_t>(type), 0, extents, nullptr))
      return false;
    for (const UdfExtent& e : extents) {
      if (out.size() >= kUdfMaxExtents) return false;
      UdfPiece p;
      p.length = e.length;
      p.type = e.type;
      p.block = e.block;
      out.push_back(p);
    }
  }
  return true;
}
