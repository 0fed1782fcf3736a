// Pure FAT parsing: boot sector, allocation-table entries and directory entries.
#include "fat/fat_parse.h"

#include <algorithm>
#include <cstring>

#include "core/checked.h"
#include "core/text.h"
#include "undelete/undelete.h"

namespace {

bool typeTextIs(std::span<const std::uint8_t> sector, std::size_t at, const char* text) noexcept {
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint8_t c = sector[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<std::uint8_t>(c - 'a' + 'A');
    if (c != static_cast<std::uint8_t>(text[i])) return false;
  }
  return true;
}

constexpr std::uint32_t endOfChainStart(std::uint32_t kind) noexcept {
  return kind == kFsFat12 ? 0xFF7u : kind == kFsFat16 ? 0xFFF7u : 0x0FFFFFF7u;
}

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFrom1601(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t sinceEpoch1970 = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
  return sinceEpoch1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

bool leapYear(unsigned y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool forbiddenInLongName(char16_t c) noexcept {
  return c < 32 || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
         c == u'|';
}

bool forbiddenInShortName(std::uint8_t c) noexcept {
  return c < 32 || c == '*' || c == '.' || c == '/' || c == ':' || c == '<' || c == '>' ||
         c == '?' || c == '|';
}

}  // namespace

Parse FAT_ParseBootSector(std::span<const std::uint8_t> sector, FatBoot& out) noexcept {
  if (sector.size() < kFat32TypeTextOffset + 8) return Parse::NotThis;
  FatBoot b;
  if (typeTextIs(sector, kFat16TypeTextOffset, "FAT12   ")) {
    b.kind = kFsFat12;
  } else if (typeTextIs(sector, kFat16TypeTextOffset, "FAT16   ")) {
    b.kind = kFsFat16;
  } else if (typeTextIs(sector, kFat32TypeTextOffset, "FAT32   ")) {
    b.kind = kFsFat32;
  } else {
    return Parse::NotThis;
  }
  ByteReader r(sector);
  const auto bpb = r.read<FatBpb>();
  const auto ext = r.read<Fat32Ext>();
  if (!bpb || !ext) return Parse::NotThis;  // cannot happen after the size test above
  b.bytesPerSector = static_cast<std::int16_t>(bpb->bytesPerSector.get());
  b.sectorsPerCluster = bpb->sectorsPerCluster;
  b.reservedSectors = bpb->reservedSectors.get();
  b.fatCount = bpb->fatCount;
  b.rootEntriesField = bpb->rootEntries.get();
  b.sectorsPerFat16 = bpb->sectorsPerFat16.get();
  b.sectorsPerFat32 = ext->sectorsPerFat32.get();
  b.rootCluster = ext->rootCluster.get();
  out = b;
  return Parse::Ok;
}

FatGeometryCheck FAT_MakeVolumeInfo(const FatBoot& boot, std::uint64_t volumeBytes,
                                    FatVolumeInfo& out) noexcept {
  const bool fat32 = boot.kind == kFsFat32;
  std::uint32_t sectorsPerFat = 0;
  if (boot.sectorsPerFat16 != 0) {
    if (fat32) return FatGeometryCheck::Incompatible;
    sectorsPerFat = boot.sectorsPerFat16;
  } else {
    if (!fat32) return FatGeometryCheck::Incompatible;
    sectorsPerFat = boot.sectorsPerFat32;
  }
  // The sector size becomes the drive's and divides every offset: only the sizes a disk can have.
  const std::int32_t bps = boot.bytesPerSector;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return FatGeometryCheck::OutOfRange;
  const auto ss = static_cast<std::uint32_t>(bps);
  if (boot.sectorsPerCluster == 0 || sectorsPerFat == 0) return FatGeometryCheck::OutOfRange;
  const std::uint64_t fatBytes = std::uint64_t{ss} * sectorsPerFat;
  const std::uint64_t fatArea =
      (std::uint64_t{boot.reservedSectors} + std::uint64_t{boot.fatCount} * sectorsPerFat) * ss;
  // The first table must lie inside the volume, and the data area must begin inside it.
  if (!fitsIn<std::uint64_t>(std::uint64_t{boot.reservedSectors} * ss, fatBytes, volumeBytes) ||
      fatArea >= volumeBytes || fatBytes > 0xFFFFFFFFull - sizeof(FatVolumeInfo)) {
    return FatGeometryCheck::OutOfRange;
  }
  const std::uint32_t clusterBytes = ss * boot.sectorsPerCluster;
  std::uint64_t limit = (volumeBytes - fatArea) / clusterBytes + 2;
  limit = std::min<std::uint64_t>(limit, endOfChainStart(boot.kind));

  std::uint32_t rootEntries = boot.rootEntriesField;
  if (rootEntries == 0) rootEntries = fat32 ? 65536u : 512u;

  FatVolumeInfo v{};
  v.kind.set(boot.kind);
  v.clusterBytes.set(clusterBytes);
  v.sectorsPerCluster.set(boot.sectorsPerCluster);
  v.reservedSectors.set(boot.reservedSectors);
  v.fatCount.set(boot.fatCount);
  v.sectorsPerFat.set(sectorsPerFat);
  v.rootEntries.set(rootEntries);
  v.fatBytes.set(static_cast<std::uint32_t>(fatBytes));
  v.rootCluster.set(fat32 ? boot.rootCluster : 0);
  v.clusterLimit.set(static_cast<std::uint32_t>(limit));
  v.fatCopy.set(0);
  out = v;
  return FatGeometryCheck::Ok;
}

bool FAT_GeometryFrom(const FatVolumeInfo& info, const std::uint8_t* fat, std::uint32_t sectorSize,
                      FatGeometry& out) noexcept {
  FatGeometry g;
  g.kind = info.kind.get();
  if (g.kind < kFsFat12 || g.kind > kFsFat32) return false;
  g.clusterBytes = info.clusterBytes.get();
  g.sectorsPerCluster = info.sectorsPerCluster.get();
  g.reservedSectors = info.reservedSectors.get();
  g.fatCount = info.fatCount.get();
  g.sectorsPerFat = info.sectorsPerFat.get();
  g.rootEntries = info.rootEntries.get();
  g.fatBytes = info.fatBytes.get();
  g.rootCluster = info.rootCluster.get();
  g.clusterLimit = info.clusterLimit.get();
  g.sectorSize = sectorSize;
  g.fat = fat;
  if (sectorSize == 0 || g.sectorsPerCluster == 0 || g.clusterBytes == 0) return false;
  if (std::uint64_t{sectorSize} * g.sectorsPerCluster != g.clusterBytes) return false;
  if (g.fatBytes != 0 && fat == nullptr) return false;
  out = g;
  return true;
}

std::uint64_t FAT_ClusterSector(const FatGeometry& g, std::uint64_t cluster) noexcept {
  std::uint64_t s = g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat;
  if (cluster > 2) s += (cluster - 2) * g.sectorsPerCluster;
  if (!g.isFat32() && g.sectorSize != 0) s += std::uint64_t{g.rootEntries} * 32 / g.sectorSize;
  return s;
}

std::uint64_t FAT_RootSector(const FatGeometry& g) noexcept {
  if (g.isFat32()) return FAT_ClusterSector(g, g.rootCluster);
  return g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat;
}

bool FAT_TableEntry(const FatGeometry& g, std::uint32_t cluster, std::uint32_t& next) noexcept {
  std::uint32_t v = 0;
  const std::uint64_t c = cluster;
  switch (g.kind) {
    case kFsFat12: {
      if (c * 3 >= 2ull * g.fatBytes) return false;
      const std::uint64_t at = c * 3 / 2;
      // The word may reach one byte past the table's end for the last odd entry.
      const std::uint32_t lo = g.fat[at];
      const std::uint32_t hi = at + 1 < g.fatBytes ? g.fat[at + 1] : 0;
      v = lo | hi << 8;
      if (cluster & 1) v >>= 4;
      v &= 0xFFF;
      break;
    }
    case kFsFat16:
      if (c * 2 + 2 > g.fatBytes) return false;
      v = loadLe<std::uint16_t>(g.fat + c * 2);
      break;
    case kFsFat32:
      if (c * 4 + 4 > g.fatBytes) return false;
      v = loadLe<std::uint32_t>(g.fat + c * 4);
      break;
    default:
      return false;
  }
  if (v < 2) return false;
  next = v;
  return true;
}

bool FAT_EndOfChainValue(std::uint32_t kind, std::uint32_t value) noexcept {
  switch (kind) {
    case kFsFat12:
    case kFsFat16:
    case kFsFat32:
      return value >= endOfChainStart(kind);
    default:
      return true;
  }
}

std::uint64_t FAT_DosToFileTime(std::uint16_t date, std::uint16_t time,
                                std::uint32_t tenths) noexcept {
  const unsigned year = 1980u + (date >> 9);
  const unsigned month = (date >> 5) & 15u;
  const unsigned day = date & 31u;
  const unsigned hour = time >> 11;
  const unsigned minute = (time >> 5) & 63u;
  unsigned second = (time & 31u) * 2;
  second += tenths / 100;
  const unsigned millis = (tenths % 100) * 10;
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return 0;
  const unsigned monthDays = kDays[month - 1] + (month == 2 && leapYear(year) ? 1u : 0u);
  if (day > monthDays || hour > 23 || minute > 59 || second > 59) return 0;
  const std::int64_t days = daysFrom1601(year, month, day);
  const std::int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
  return static_cast<std::uint64_t>(secs) * 10000000ull + millis * 10000ull;
}

char16_t FAT_Cp1252(std::uint8_t byte) noexcept { return Text_Cp1252(byte); }

void FAT_AppendLongNamePart(const std::uint8_t* entry, FatName& name) noexcept {
  const auto lfn = layoutAt<FatLfnEntry>(entry);
  char16_t part[13];
  for (int i = 0; i < 5; ++i) part[i] = lfn.chars1[i].get();
  for (int i = 0; i < 6; ++i) part[5 + i] = lfn.chars2[i].get();
  for (int i = 0; i < 2; ++i) part[11 + i] = lfn.chars3[i].get();
  std::uint32_t partLength = 13;
  if (name.length == 0) {
    partLength = 0;
    while (partLength < 13 && part[partLength] != 0) ++partLength;
  }
  // Keep the front of the name when it grows past the buffer: the tail was collected first.
  const std::uint32_t kept = std::min(name.length, kFatNameMax - partLength);
  std::memmove(name.chars + partLength, name.chars, kept * sizeof(char16_t));
  std::memcpy(name.chars, part, partLength * sizeof(char16_t));
  name.length = partLength + kept;
  name.chars[name.length] = 0;
}

bool FAT_FormatShortName(const std::uint8_t* entry, FatName& name) noexcept {
  if (name.length != 0) {
    for (std::uint32_t i = 0; i < name.length; ++i) {
      if (forbiddenInLongName(name.chars[i])) return false;
    }
    return true;
  }
  const auto e = layoutAt<FatDirEntry>(entry);
  for (int i = 0; i < 11; ++i) {
    if (forbiddenInShortName(i < 8 ? e.name[i] : e.ext[i - 8])) return false;
  }
  std::uint8_t base[8];
  std::memcpy(base, e.name, 8);
  int baseLength = 8;
  while (baseLength > 0 && base[baseLength - 1] <= 32) --baseLength;
  // Case flags as the NT family writes them (bit 3: base in lower case, bit 4: extension).
  const bool lowerBase = (e.reserved & 0x08) != 0;
  const bool lowerExt = (e.reserved & 0x10) != 0;
  auto lower = [](std::uint8_t c, bool on) -> std::uint8_t {
    return on && c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
  };
  std::uint8_t text[12];
  int n = 0;
  for (int i = 0; i < baseLength; ++i) text[n++] = lower(base[i], lowerBase);
  text[n++] = '.';
  for (int i = 0; i < 3; ++i) text[n++] = lower(e.ext[i], lowerExt);
  while (n > 0 && (text[n - 1] < '!' || text[n - 1] == '.')) --n;
  for (int i = 0; i < n; ++i) name.chars[i] = FAT_Cp1252(text[i]);
  name.length = static_cast<std::uint32_t>(n);
  if (e.name[0] == 0xE5 && n > 0) name.chars[0] = u'_';
  if (name.length == 0 && e.clusterLow.get() != 0) {
    name.chars[0] = u'_';
    name.length = 1;
  }
  name.chars[name.length] = 0;
  return true;
}

void FAT_ClassifyEntry(const std::uint8_t* entry, bool fat32, std::uint32_t clusterLimit,
                       FatName& collected, FatItem& out) noexcept {
  out.slot = FatSlot::Invalid;
  const auto e = layoutAt<FatDirEntry>(entry);
  if (e.name[0] == 0) {
    out.slot = FatSlot::End;
    return;
  }
  const std::uint8_t attributes = e.attributes;
  const std::uint16_t clusterLow = e.clusterLow.get();
  if (attributes == kFatAttrLongName && layoutAt<FatLfnEntry>(entry).type == 0 && clusterLow == 0) {
    FAT_AppendLongNamePart(entry, collected);
    out.slot = FatSlot::LongPart;
    return;
  }
  const std::uint32_t high = fat32 ? e.clusterHigh.get() : 0u;
  out.cluster = high << 16 | clusterLow;
  out.size = e.size.get();
  out.attributes = attributes;
  out.deleted = e.name[0] == 0xE5 || e.name[0] < 0x20;
  out.name = collected;
  collected.length = 0;
  collected.chars[0] = 0;
  if (out.cluster >= clusterLimit) return;
  if (!FAT_FormatShortName(entry, out.name)) return;
  if ((attributes & kFatAttrDirectory) != 0 && out.name.length != 0) {
    out.slot = FatSlot::Directory;
  } else if ((attributes & kFatAttrVolume) != 0) {
    out.slot = FatSlot::Volume;
  } else {
    out.slot = FatSlot::File;
  }
}

bool FAT_IsDotEntry(const std::uint8_t* entry, bool dotDot) noexcept {
  return std::memcmp(entry, dotDot ? "..         " : ".          ", 11) == 0;
}

std::uint8_t FAT_MapAttributes(std::uint8_t a) noexcept {
  std::uint8_t r = 0;
  if (a & kFatAttrReadOnly) r |= kAttrReadOnly;
  if (a & kFatAttrHidden) r |= kAttrHidden;
  if (a & kFatAttrSystem) r |= kAttrSystem;
  if (a & kFatAttrArchive) r |= kAttrArchive;
  return r;
}

FatTimes FAT_EntryTimes(const std::uint8_t* entry, std::uint32_t kind) noexcept {
  FatTimes t;
  const auto e = layoutAt<FatDirEntry>(entry);
  t.modified = FAT_DosToFileTime(e.writeDate.get(), e.writeTime.get(), 0);
  if (kind != kFsFat12) {
    t.created = FAT_DosToFileTime(e.createdDate.get(), e.createdTime.get(), e.createdTenths);
    t.accessed = FAT_DosToFileTime(e.accessedDate.get(), 0, 0);
  }
  return t;
}
