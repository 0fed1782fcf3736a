// Pure exFAT parsing: boot region, FAT entries, allocation bitmap, entry sets, up-case table.
#include "exfat/exfat_parse.h"

#include <algorithm>
#include <cstring>

#include "core/checked.h"
#include "fat/fat_parse.h"
#include "undelete/undelete.h"

namespace {

constexpr char kName[8] = {'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
constexpr std::uint32_t kFatEntryBad = 0xFFFFFFF7u;
constexpr std::uint32_t kMaxSecondary = 18;  // stream + 17 name entries (255 units)

bool badNameChar(char16_t c) noexcept {
  return c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' ||
         c == u'?' || c == u'\\' || c == u'|';
}

std::uint32_t rotateAdd32(std::uint32_t sum, std::uint8_t byte) noexcept {
  return ((sum & 1u) != 0 ? 0x80000000u : 0u) + (sum >> 1) + byte;
}

std::uint16_t rotateAdd16(std::uint16_t sum, std::uint8_t byte) noexcept {
  return static_cast<std::uint16_t>(((sum & 1u) != 0 ? 0x8000u : 0u) + (sum >> 1) + byte);
}

}  // namespace

Parse EXFAT_ParseBootSector(std::span<const std::uint8_t> sector, ExfatBoot& out) noexcept {
  ByteReader r(sector);
  const auto bs = r.read<ExfatBootSector>();
  if (!bs) return Parse::NotThis;
  if (std::memcmp(bs->fileSystemName, kName, sizeof kName) != 0) return Parse::NotThis;
  if (bs->jump[0] != 0xEB || bs->bootSignature.get() != 0xAA55) return Parse::NotThis;
  // A FAT or NTFS boot sector has its parameter block here; exFAT keeps it zero.
  for (const std::uint8_t b : bs->mustBeZero)
    if (b != 0) return Parse::NotThis;

  const std::uint32_t sectorShift = bs->bytesPerSectorShift;
  const std::uint32_t clusterShift = bs->sectorsPerClusterShift;
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return Parse::Corrupt;
  if (bs->fatCount != 1 && bs->fatCount != 2) return Parse::Corrupt;
  const std::uint64_t volumeSectors = bs->volumeLength.get();
  const std::uint32_t fatOffset = bs->fatOffset.get(), fatLength = bs->fatLength.get();
  const std::uint32_t heap = bs->clusterHeapOffset.get(), count = bs->clusterCount.get();
  const std::uint32_t spc = 1u << clusterShift;
  // Sectors 0..23 are the two boot regions; the FATs follow, then the heap, all inside the volume.
  const std::uint64_t fatEnd = std::uint64_t{fatOffset} + std::uint64_t{fatLength} * bs->fatCount;
  if (fatOffset < 2 * kExfatBootRegionSectors || fatLength == 0 || fatEnd > heap)
    return Parse::Corrupt;
  if (count == 0 || count > 0xFFFFFFF5u) return Parse::Corrupt;
  // The table must hold an entry for every cluster, and the heap must fit the volume.
  if (std::uint64_t{fatLength} << sectorShift < (std::uint64_t{count} + 2) * 4)
    return Parse::Corrupt;
  if (heap + (std::uint64_t{count} << clusterShift) > volumeSectors) return Parse::Corrupt;
  const std::uint32_t root = bs->rootCluster.get();
  if (root < 2 || std::uint64_t{root} >= std::uint64_t{count} + 2) return Parse::Corrupt;

  out.sectorSize = 1u << sectorShift;
  out.sectorsPerCluster = spc;
  out.clusterBytes = out.sectorSize << clusterShift;
  out.volumeSectors = volumeSectors;
  out.fatOffset = fatOffset;
  out.fatLength = fatLength;
  out.fatCount = bs->fatCount;
  out.clusterHeapOffset = heap;
  out.clusterCount = count;
  out.rootCluster = root;
  out.volumeSerial = bs->volumeSerial.get();
  out.volumeFlags = bs->volumeFlags.get();
  return Parse::Ok;
}

std::uint32_t EXFAT_BootChecksum(std::span<const std::uint8_t> region,
                                 std::uint32_t sectorSize) noexcept {
  const std::size_t n = std::min<std::size_t>(region.size(), std::size_t{sectorSize} * 11);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == kExfatFlagsOffset || i == kExfatFlagsOffset + 1 || i == kExfatPercentOffset) continue;
    sum = rotateAdd32(sum, region[i]);
  }
  return sum;
}

Parse EXFAT_ParseBootRegion(std::span<const std::uint8_t> region, ExfatBoot& out) noexcept {
  ExfatBoot boot;
  const Parse p = EXFAT_ParseBootSector(region, boot);
  if (p != Parse::Ok) return p;
  const std::size_t ss = boot.sectorSize;
  if (region.size() < ss * kExfatBootRegionSectors) return Parse::Corrupt;
  const std::uint32_t sum = EXFAT_BootChecksum(region, boot.sectorSize);
  ByteReader r(region.subspan(ss * 11, ss));
  for (std::size_t i = 0; i < ss / 4; ++i) {
    const auto v = r.read<le32>();
    if (!v || v->get() != sum) return Parse::Corrupt;
  }
  out = boot;
  return Parse::Ok;
}

std::uint32_t EXFAT_TableChecksum(std::span<const std::uint8_t> table) noexcept {
  std::uint32_t sum = 0;
  for (const std::uint8_t b : table) sum = rotateAdd32(sum, b);
  return sum;
}

bool EXFAT_ExpandUpcase(std::span<const std::uint8_t> table,
                        std::span<char16_t, 65536> map) noexcept {
  for (std::uint32_t i = 0; i < 65536; ++i) map[i] = static_cast<char16_t>(i);
  ByteReader r(table);
  std::uint32_t c = 0;
  while (c < 65536) {
    const auto v = r.read<le16>();
    if (!v) return true;
    if (v->get() == 0xFFFF) {
      const auto run = r.read<le16>();
      if (!run) return false;
      c += run->get();  // identity run: the map already says so
      continue;
    }
    map[c++] = static_cast<char16_t>(v->get());
  }
  return true;
}

std::uint16_t EXFAT_NameHash(const char16_t* name, std::uint32_t length,
                             const char16_t* upcase) noexcept {
  std::uint16_t hash = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    const char16_t c = upcase != nullptr ? upcase[name[i]] : name[i];
    hash = rotateAdd16(hash, static_cast<std::uint8_t>(c & 0xFF));
    hash = rotateAdd16(hash, static_cast<std::uint8_t>(c >> 8));
  }
  return hash;
}

void EXFAT_MakeVolumeInfo(const ExfatBoot& boot, ExfatVolumeInfo& out) noexcept {
  out = ExfatVolumeInfo{};
  out.type.set(kFsExfat);
  out.sectorSize.set(boot.sectorSize);
  out.clusterBytes.set(boot.clusterBytes);
  out.fatOffset.set(boot.fatOffset);
  out.fatLength.set(boot.fatLength);
  out.fatCount.set(boot.fatCount);
  out.clusterHeapOffset.set(boot.clusterHeapOffset);
  out.clusterCount.set(boot.clusterCount);
  out.rootCluster.set(boot.rootCluster);
  out.volumeSerial.set(boot.volumeSerial);
  out.volumeBytes.set(boot.volumeSectors * boot.sectorSize);
  std::uint32_t flags = 0;
  if ((boot.volumeFlags & 0x02) != 0) flags |= kExfatInfoDirty;
  if ((boot.volumeFlags & 0x01) != 0 && boot.fatCount == 2) flags |= kExfatInfoSecondFat;
  out.flags.set(flags);
}

bool EXFAT_GeometryFrom(const ExfatVolumeInfo& info, std::span<const std::uint8_t> tail,
                        ExfatGeometry& out) noexcept {
  if (info.type.get() != kFsExfat) return false;
  const std::uint32_t ss = info.sectorSize.get(), cb = info.clusterBytes.get();
  if (ss < 512 || ss > 4096 || (ss & (ss - 1)) != 0) return false;
  if (cb < ss || cb > (1u << 25) || (cb & (cb - 1)) != 0) return false;
  const std::uint32_t fatBytes = info.fatBytes.get(), bitmapBytes = info.bitmapBytes.get();
  if (fatBytes > tail.size() || bitmapBytes > tail.size() - fatBytes) return false;
  const std::uint32_t count = info.clusterCount.get();
  if (count == 0 || count > 0xFFFFFFF5u) return false;
  if (info.clusterHeapOffset.get() < info.fatOffset.get()) return false;
  out = ExfatGeometry{};
  out.sectorSize = ss;
  out.clusterBytes = cb;
  out.sectorsPerCluster = cb / ss;
  out.fatOffset = info.fatOffset.get();
  out.clusterHeapOffset = info.clusterHeapOffset.get();
  out.clusterCount = count;
  out.rootCluster = info.rootCluster.get();
  out.fatCount = info.fatCount.get();
  out.flags = info.flags.get();
  out.fatBytes = fatBytes;
  out.fat = fatBytes != 0 ? tail.data() : nullptr;
  out.bitmapBytes = bitmapBytes;
  out.bitmap = bitmapBytes != 0 ? tail.data() + fatBytes : nullptr;
  return true;
}

std::uint64_t EXFAT_ClusterSector(const ExfatGeometry& g, std::uint64_t c) noexcept {
  return g.clusterHeapOffset + (c < 2 ? 0 : (c - 2) * g.sectorsPerCluster);
}

bool EXFAT_NextInChain(const ExfatGeometry& g, std::uint32_t c, std::uint32_t& next) noexcept {
  if (g.fat == nullptr || std::uint64_t{c} * 4 >= g.fatBytes || c >= g.fatBytes / 4) return false;
  const std::uint32_t v = loadLe<std::uint32_t>(g.fat + std::size_t{c} * 4);
  if (v < 2 || v >= kFatEntryBad || !g.valid(v)) return false;
  next = v;
  return true;
}

bool EXFAT_ClusterInUse(const ExfatGeometry& g, std::uint32_t c) noexcept {
  if (g.bitmap == nullptr || !g.valid(c)) return false;
  const std::uint32_t bit = c - 2;
  if (bit / 8 >= g.bitmapBytes) return false;
  return (g.bitmap[bit / 8] >> (bit % 8) & 1u) != 0;
}

ExfatClusterWalk::ExfatClusterWalk(const ExfatGeometry& g, std::uint32_t first, bool noFatChain,
                                   std::uint64_t bytes, bool stopAtChainEnd) noexcept
    : m_g(g), m_current(first), m_noFatChain(noFatChain), m_stopAtChainEnd(stopAtChainEnd) {
  const std::uint64_t wanted =
      g.clusterBytes == 0 ? 0 : (bytes + g.clusterBytes - 1) / g.clusterBytes;
  m_left = std::min<std::uint64_t>(wanted, g.clusterCount);
  if (!g.valid(first)) {
    m_outOfRange = m_left != 0;
    m_left = 0;
  }
}

bool ExfatClusterWalk::next(std::uint32_t& cluster) noexcept {
  if (m_left == 0) return false;
  if (m_started) {
    std::uint32_t n = 0;
    if (!m_noFatChain && !m_chainEnded && EXFAT_NextInChain(m_g, m_current, n)) {
      m_current = n;
    } else {
      if (!m_noFatChain && m_stopAtChainEnd) {
        m_left = 0;
        return false;
      }
      if (!m_noFatChain) m_chainEnded = true;
      if (!m_g.valid(std::uint64_t{m_current} + 1)) {
        m_outOfRange = true;
        m_left = 0;
        return false;
      }
      ++m_current;
    }
  }
  m_started = true;
  --m_left;
  cluster = m_current;
  return true;
}

std::uint64_t EXFAT_TimeToFileTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset,
                                   bool& utc) noexcept {
  utc = false;
  if (tenMs > 199) tenMs = 0;  // out of range: the 2-s value alone
  std::uint64_t t = FAT_DosToFileTime(static_cast<std::uint16_t>(stamp >> 16),
                                      static_cast<std::uint16_t>(stamp & 0xFFFF), tenMs);
  if (t == 0 || (utcOffset & 0x80) == 0) return t;
  // Seven-bit signed count of 15-minute steps east of UTC.
  const int steps = (utcOffset & 0x40) != 0 ? static_cast<int>(utcOffset & 0x7F) - 128
                                            : static_cast<int>(utcOffset & 0x7F);
  const std::int64_t shift = std::int64_t{steps} * 15 * 60 * 10000000;
  utc = true;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(t) - shift);
}

Parse EXFAT_ParseEntrySet(std::span<const std::uint8_t> entries, const char16_t* upcase,
                          ExfatEntrySet& out) noexcept {
  ByteReader r(entries);
  const auto file = r.read<ExfatFileEntry>();
  if (!file || (file->type & 0x7F) != (kExfatEntryFile & 0x7F)) return Parse::NotThis;
  const bool deleted = (file->type & kExfatInUse) == 0;
  const std::uint32_t secondary = file->secondaryCount;
  if (secondary < 2 || secondary > kMaxSecondary) return Parse::Corrupt;
  const auto all = entries.first(std::min<std::size_t>(entries.size(), (secondary + 1) * 32u));
  if (all.size() < (secondary + 1) * 32u) return Parse::Corrupt;
  // Every secondary entry has the primary's in-use state and the secondary bit.
  for (std::uint32_t i = 1; i <= secondary; ++i) {
    const std::uint8_t t = all[i * 32u];
    if ((t & 0x40) == 0 || ((t & kExfatInUse) == 0) != deleted) return Parse::Corrupt;
  }
  const auto stream = r.read<ExfatStreamEntry>();
  if (!stream || (stream->type | kExfatInUse) != kExfatEntryStream) return Parse::Corrupt;
  const std::uint32_t length = stream->nameLength;
  const std::uint32_t nameEntries = (length + kExfatNameChars - 1) / kExfatNameChars;
  if (length == 0 || nameEntries + 1 > secondary) return Parse::Corrupt;

  ExfatEntrySet set;
  for (std::uint32_t k = 0; k < nameEntries; ++k) {
    const auto name = r.read<ExfatNameEntry>();
    if (!name || (name->type | kExfatInUse) != kExfatEntryName) return Parse::Corrupt;
    for (std::uint32_t j = 0; j < kExfatNameChars && set.nameLength < length; ++j) {
      const auto c = static_cast<char16_t>(name->chars[j].get());
      if (badNameChar(c)) return Parse::Corrupt;
      set.name[set.nameLength++] = c;
    }
  }
  set.name[set.nameLength] = 0;

  // The checksum was made while the set was in use.
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i == 2 || i == 3) continue;
    const std::uint8_t b = i % 32 == 0 ? static_cast<std::uint8_t>(all[i] | kExfatInUse) : all[i];
    sum = rotateAdd16(sum, b);
  }
  set.checksumOk = sum == file->setChecksum.get();
  if (deleted && !set.checksumOk &&
      (upcase == nullptr ||
       EXFAT_NameHash(set.name, set.nameLength, upcase) != stream->nameHash.get())) {
    return Parse::Corrupt;
  }
  set.entries = secondary + 1;
  set.deleted = deleted;
  set.attributes = file->attributes.get();
  set.streamFlags = stream->flags;
  set.firstCluster = stream->firstCluster.get();
  set.dataLength = stream->dataLength.get();
  set.validDataLength = stream->validDataLength.get();
  set.nameHash = stream->nameHash.get();
  set.file = *file;
  out = set;
  return Parse::Ok;
}

bool EXFAT_PlausibleSet(const ExfatGeometry& g, const ExfatEntrySet& set) noexcept {
  const std::uint64_t heapBytes = std::uint64_t{g.clusterCount} * g.clusterBytes;
  if (set.dataLength > heapBytes || set.validDataLength > set.dataLength) return false;
  if (set.dataLength == 0) return true;
  return g.valid(set.firstCluster);
}

std::uint8_t EXFAT_MapAttributes(std::uint16_t a) noexcept {
  std::uint8_t r = 0;
  if (a & kExfatAttrReadOnly) r |= kAttrReadOnly;
  if (a & kExfatAttrHidden) r |= kAttrHidden;
  if (a & kExfatAttrSystem) r |= kAttrSystem;
  if (a & kExfatAttrArchive) r |= kAttrArchive;
  return r;
}

bool EXFAT_ParseLabel(std::span<const std::uint8_t> entry, char16_t (&label)[12],
                      std::uint32_t& length) noexcept {
  ByteReader r(entry);
  const auto e = r.read<ExfatLabelEntry>();
  if (!e || (e->type | kExfatInUse) != kExfatEntryLabel) return false;
  length = std::min<std::uint32_t>(e->length, 11);
  for (std::uint32_t i = 0; i < 12; ++i)
    label[i] = i < length ? static_cast<char16_t>(e->chars[i].get()) : u'\0';
  return true;
}
