// Pure parsers of MBR/EBR sectors, boot sectors met in gaps, GPT headers and entry arrays and the
// dynamic-disk database records.
#include "partitions/partitions_parse.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/checked.h"
#include "partitions/ldm_fields.h"

namespace {

bool equalsNoCase(const char* field, const char* text, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(field[i])) !=
        std::toupper(static_cast<unsigned char>(text[i])))
      return false;
  return true;
}

bool allZero(ByteSpan bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// An ASCII GUID ("xxxxxxxx-xxxx-...") as 16 bytes in the order of its digits, which is how the
/// dynamic-disk database stores the binary form too.
bool parseAsciiGuid(const char* text, std::size_t max, Guid& out) {
  std::size_t digits = 0;
  for (std::size_t i = 0; i < max && text[i] != 0 && digits < 32; ++i) {
    if (text[i] == '-') continue;
    const int v = hexValue(text[i]);
    if (v < 0) return false;
    if (digits % 2 == 0) out[digits / 2] = 0;
    out[digits / 2] = static_cast<std::uint8_t>(out[digits / 2] << 4 | v);
    ++digits;
  }
  return digits == 32;
}

constexpr Guid guidOf(std::uint32_t a, std::uint16_t b, std::uint16_t c, std::uint64_t d) {
  Guid g{};
  for (int i = 0; i < 4; ++i)
    g[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (8 * i));
  for (int i = 0; i < 2; ++i)
    g[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(b >> (8 * i));
  for (int i = 0; i < 2; ++i)
    g[static_cast<std::size_t>(6 + i)] = static_cast<std::uint8_t>(c >> (8 * i));
  for (int i = 0; i < 8; ++i)
    g[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(d >> (8 * (7 - i)));
  return g;
}

}  // namespace

const Guid kGuidMsReserved = guidOf(0xE3C9E316, 0x0B5C, 0x4DB8, 0x817DF92DF00215AEull);
const Guid kGuidBasicData = guidOf(0xEBD0A0A2, 0xB9E5, 0x4433, 0x87C068B6B72699C7ull);
const Guid kGuidLdmMetadata = guidOf(0x5808C8AA, 0x7E8F, 0x42E0, 0x85D2E1E90434CFB3ull);
const Guid kGuidLdmData = guidOf(0xAF9B60A0, 0x1431, 0x4F62, 0xBC683311714A69ADull);

void Guid_Format(const std::uint8_t* g, char* out) noexcept {
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t o = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    const std::uint8_t b = g[kOrder[i]];
    out[o++] = kHex[b >> 4];
    out[o++] = kHex[b & 15];
  }
  out[o] = 0;
}

Parse Mbr_ParseSector(ByteSpan sector, MbrTable& out) noexcept {
  ByteReader r(sector);
  const auto s = r.read<MbrSector>();
  if (!s) return Parse::NotThis;
  std::copy(std::begin(s->entries), std::end(s->entries), out.entries.begin());
  out.signature = s->signature[0] == 0x55 && s->signature[1] == 0xAA;
  out.firstByte = s->bootCode[0];
  out.bootCodeMissing = s->bootCode[0] == 0 || allZero(ByteSpan(s->bootCode, sizeof s->bootCode));
  return Parse::Ok;
}

bool Mbr_HasSignature(ByteSpan sector) noexcept {
  return sector.size() >= kSectorBytes && sector[510] == 0x55 && sector[511] == 0xAA;
}

std::optional<BootKind> Partition_ClassifyBootSector(ByteSpan sector) noexcept {
  ByteReader r(sector);
  const auto b = r.read<BootSectorHead>();
  if (!b || !Mbr_HasSignature(sector)) return std::nullopt;
  BootKind k;
  // Small FAT volumes count their sectors in 16 bits and leave the 32-bit field 0.
  const std::uint64_t fatSectors =
      b->totalSectors32.get() != 0 ? b->totalSectors32.get() : b->totalSectors16.get();
  if (b->fatCount == 0 && equalsNoCase(b->oemName, "NTFS", 4)) {
    const std::uint64_t n = b->ntfsTotalSectors.get();
    const auto size = checkedMul<std::uint64_t>(n, kSectorBytes);
    if (n == 0 || !size || *size > ~std::uint64_t{0} - kSectorBytes) return std::nullopt;
    k = {0x07, *size + kSectorBytes, "NTFS"};
  } else if (std::memcmp(b->fat16Type, "FAT12   ", 8) == 0) {
    k = {0x01, fatSectors * kSectorBytes, "FAT12"};
  } else if (std::memcmp(b->fat16Type, "FAT16   ", 8) == 0) {
    k = {0x04, fatSectors * kSectorBytes, "FAT16"};
  } else if (std::memcmp(b->fat32Type, "FAT32   ", 8) == 0) {
    k = {0x0B, fatSectors * kSectorBytes, "FAT32"};
  } else if (std::memcmp(b->oemName, "EXFAT   ", 8) == 0) {
    // exFAT has no 512-byte count: its length is in its own sectors (2^9..2^12 bytes).
    const unsigned shift = b->exfatSectorShift;
    if (shift < 9 || shift > 12) return std::nullopt;
    const std::uint64_t n = b->exfatVolumeLength.get();
    if (n > (~std::uint64_t{0} >> shift)) return std::nullopt;
    k = {0x07, n << shift, "exFAT"};
  } else {
    return std::nullopt;
  }
  if (k.size == 0) return std::nullopt;
  return k;
}

std::uint32_t Gpt_Crc32(ByteSpan data, std::uint32_t crc) noexcept {
  static const auto kTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (const std::uint8_t b : data) crc = kTable[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

Parse Gpt_ParseHeader(ByteSpan sector, std::uint64_t expectedLba, GptHeaderInfo& out) noexcept {
  ByteReader r(sector);
  const auto h = r.read<GptHeader>();
  if (!h || std::memcmp(h->signature, "EFI PART", 8) != 0) return Parse::NotThis;
  if (h->myLba.get() != expectedLba) return Parse::NotThis;
  const std::uint32_t count = h->entryCount.get(), size = h->entrySize.get();
  if (count == 0 || count > kGptMaxEntries || size < sizeof(GptEntry) || size > kGptMaxEntrySize ||
      size % 8 != 0)
    return Parse::Corrupt;
  out.myLba = h->myLba.get();
  out.alternateLba = h->alternateLba.get();
  out.firstUsableLba = h->firstUsableLba.get();
  out.lastUsableLba = h->lastUsableLba.get();
  out.entriesLba = h->entriesLba.get();
  out.entryCount = count;
  out.entrySize = size;
  out.entriesCrc = h->entriesCrc.get();
  std::copy(std::begin(h->diskGuid), std::end(h->diskGuid), out.diskGuid.begin());
  const std::uint32_t headerSize = h->headerSize.get();
  out.headerCrcOk = false;
  if (headerSize >= sizeof(GptHeader) && headerSize <= sector.size()) {
    std::vector<std::uint8_t> copy(sector.begin(), sector.begin() + headerSize);
    std::fill_n(copy.begin() + offsetof(GptHeader, headerCrc), 4, 0);
    out.headerCrcOk = Gpt_Crc32(copy) == h->headerCrc.get();
  }
  return Parse::Ok;
}

void Gpt_ParseEntries(ByteSpan array, std::uint32_t entryCount, std::uint32_t entrySize,
                      std::vector<GptPartition>& out, std::uint32_t& corrupt) {
  if (entrySize < sizeof(GptEntry)) return;
  for (std::uint32_t i = 0; i < entryCount; ++i) {
    const std::uint64_t at = std::uint64_t{i} * entrySize;
    if (!fitsIn<std::uint64_t>(at, sizeof(GptEntry), array.size())) break;
    ByteReader r(array.subspan(static_cast<std::size_t>(at), sizeof(GptEntry)));
    const auto e = r.read<GptEntry>();
    if (!e) break;
    if (allZero(array.subspan(static_cast<std::size_t>(at), sizeof(GptEntry)))) continue;
    const bool typeZero = allZero(ByteSpan(e->typeGuid, 16));
    const bool uniqueZero = allZero(ByteSpan(e->uniqueGuid, 16));
    // An unused entry may keep its old fields when only the type was cleared: skip it silently.
    if (typeZero) {
      if (!uniqueZero && e->firstLba.get() != 0) ++corrupt;
      continue;
    }
    if (uniqueZero || e->lastLba.get() <= e->firstLba.get()) {
      ++corrupt;
      continue;
    }
    GptPartition p;
    p.index = i;
    std::copy(std::begin(e->typeGuid), std::end(e->typeGuid), p.typeGuid.begin());
    std::copy(std::begin(e->uniqueGuid), std::end(e->uniqueGuid), p.uniqueGuid.begin());
    p.firstLba = e->firstLba.get();
    p.lastLba = e->lastLba.get();
    for (std::size_t c = 0; c < 36; ++c) p.name[c] = static_cast<char16_t>(e->name[c].get());
    out.push_back(p);
  }
}

Parse Ldm_ParsePrivhead(ByteSpan sector, LdmPrivheadInfo& out) noexcept {
  ByteReader r(sector);
  const auto p = r.read<LdmPrivhead>();
  if (!p || std::memcmp(p->signature, "PRIVHEAD", 8) != 0) return Parse::NotThis;
  out.logicalDiskStart = p->logicalDiskStart.get();
  out.logicalDiskSize = p->logicalDiskSize.get();
  out.configStart = p->configStart.get();
  out.configSize = p->configSize.get();
  out.hasDiskGuid = parseAsciiGuid(p->diskGuid, sizeof p->diskGuid, out.diskGuid);
  if (out.configSize == 0) return Parse::Corrupt;
  return Parse::Ok;
}

Parse Ldm_ParseTocBlock(ByteSpan sector, LdmTocInfo& out) noexcept {
  ByteReader r(sector);
  const auto t = r.read<LdmTocBlock>();
  if (!t || std::memcmp(t->signature, "TOCBLOCK", 8) != 0) return Parse::NotThis;
  out.bitmap1Start = t->bitmap1Start.get();
  out.bitmap1Size = t->bitmap1Size.get();
  out.bitmap2Start = t->bitmap2Start.get();
  out.bitmap2Size = t->bitmap2Size.get();
  return Parse::Ok;
}

Parse Ldm_ParseVmdb(ByteSpan sector, LdmVmdbInfo& out) noexcept {
  ByteReader r(sector);
  const auto v = r.read<LdmVmdb>();
  if (!v || std::memcmp(v->signature, "VMDB", 4) != 0) return Parse::NotThis;
  out.lastSequence = v->lastSequence.get();
  out.vblkSize = v->vblkSize.get();
  out.firstVblkOffset = v->firstVblkOffset.get();
  if (out.vblkSize < sizeof(LdmVblkHead) || out.vblkSize > 0x10000) return Parse::Corrupt;
  return Parse::Ok;
}

Parse Ldm_ParseVblk(ByteSpan block, LdmVblk& out) noexcept {
  ByteReader r(block);
  const auto h = r.read<LdmVblkHead>();
  if (!h || std::memcmp(h->signature, "VBLK", 4) != 0 || h->group.get() == 0) return Parse::NotThis;
  // A record split over several blocks (a disk with a long device name) starts with what is
  // read here: only its first fragment is looked at.
  if (h->record.get() != 0) return Parse::NotThis;
  out = LdmVblk{};
  VblkFields f(block, sizeof(LdmVblkHead));
  switch (h->recordType) {
    case 0x33: {  // partition
      out.kind = LdmVblk::Kind::Partition;
      if (!f.number(out.objectId) || !f.text(out.name, sizeof out.name)) return Parse::Corrupt;
      // 4 bytes of flags and an 8-byte commit id precede the start.
      if (!f.skip(12) || !f.be64(out.start) || !f.be64(out.volumeOffset) || !f.number(out.size))
        return Parse::Corrupt;
      std::uint64_t parent = 0;
      if (!f.number(parent) || !f.number(out.diskId)) return Parse::Corrupt;
      return Parse::Ok;
    }
    case 0x34: {  // disk, GUID as text
      out.kind = LdmVblk::Kind::Disk;
      char text[64] = {};
      if (!f.number(out.objectId) || !f.text(out.name, sizeof out.name) ||
          !f.text(text, sizeof text))
        return Parse::Corrupt;
      out.hasDiskGuid = parseAsciiGuid(text, sizeof text, out.diskGuid);
      return Parse::Ok;
    }
    case 0x44: {  // disk, binary GUID
      out.kind = LdmVblk::Kind::Disk;
      if (!f.number(out.objectId) || !f.text(out.name, sizeof out.name) ||
          !f.bytes(out.diskGuid.data(), 16))
        return Parse::Corrupt;
      out.hasDiskGuid = true;
      return Parse::Ok;
    }
    default:
      return Parse::NotThis;
  }
}
