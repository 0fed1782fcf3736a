// ISO 9660 bytes to values. Every field is read through the layouts of cdfs_ondisk.h.
#include "optical/cdfs_parse.h"

#include <cstring>
#include <ctime>

#include "core/checked.h"
#include "fat/fat_parse.h"

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

std::int64_t daysSince1601(int y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 134774;
}

bool isJolietEscape(const std::uint8_t (&e)[32]) noexcept {
  // Level 1, 2 or 3: "%/@", "%/C", "%/E" at the start of the escape-sequence field.
  return e[0] == '%' && e[1] == '/' && (e[2] == '@' || e[2] == 'C' || e[2] == 'E');
}

}  // namespace

std::uint64_t Optical_FileTime(int year, int month, int day, int hour, int minute,
                               int second) noexcept {
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
    return 0;
  const std::int64_t days =
      daysSince1601(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  if (seconds < 0) return 0;
  return static_cast<std::uint64_t>(seconds) * kTicksPerSecond;
}

std::uint64_t Optical_UtcToLocal(std::uint64_t fileTime) noexcept {
  if (fileTime < kUnixEpochTicks) return fileTime;
  const auto seconds = static_cast<std::time_t>((fileTime - kUnixEpochTicks) / kTicksPerSecond);
  std::tm tm{};
  if (localtime_r(&seconds, &tm) == nullptr) return fileTime;
  const std::int64_t shift = static_cast<std::int64_t>(tm.tm_gmtoff) * 10000000;
  if (shift < 0 && fileTime < static_cast<std::uint64_t>(-shift)) return 0;
  return fileTime + static_cast<std::uint64_t>(shift);
}

Parse CDFS_ParseDescriptor(std::span<const std::uint8_t> block, CdfsDescriptor& out) noexcept {
  ByteReader r(block);
  const auto d = r.read<CdfsVolumeDescriptor>();
  if (!d || std::memcmp(d->identifier, "CD001", 5) != 0) return Parse::NotThis;
  out = {};
  out.type = d->type;
  if (d->type != 1 && d->type != 2) return Parse::Ok;
  out.joliet = d->type == 2 && isJolietEscape(d->escapes);
  out.volumeBlocks = d->volumeBlocks.get();
  out.pathTable = d->pathTable.get();
  out.pathTableOptional = d->pathTableOptional.get();
  ByteReader root(d->rootRecord);
  const auto rec = root.read<CdfsDirRecord>();
  if (!rec) return Parse::Corrupt;  // cannot happen: the record is 34 bytes
  out.rootExtent = rec->extent.get();
  out.rootLength = rec->dataLength.get();
  return Parse::Ok;
}

Parse CDFS_ParseDirRecord(std::span<const std::uint8_t> block, std::size_t at, bool joliet,
                          CdfsEntry& out) {
  ByteReader r(block);
  if (!r.seek(at)) return Parse::Corrupt;
  if (r.remaining() == 0) return Parse::NotThis;
  const auto rec = r.read<CdfsDirRecord>();
  if (!rec) {
    // Fewer bytes than a record's fixed part: padding if they are zero.
    return block[at] == 0 ? Parse::NotThis : Parse::Corrupt;
  }
  if (rec->length == 0) return Parse::NotThis;
  if (!fitsIn<std::size_t>(at, rec->length, block.size())) return Parse::Corrupt;
  if (std::size_t{rec->nameLength} + sizeof(CdfsDirRecord) > rec->length) return Parse::Corrupt;
  const auto id = r.bytes(rec->nameLength);
  if (!id) return Parse::Corrupt;
  out.recordLength = rec->length;
  out.extent = rec->extent.get();
  if (auto e = checkedAdd<std::uint32_t>(out.extent, rec->extAttrBlocks)) out.extent = *e;
  out.dataLength = rec->dataLength.get();
  out.flags = rec->flags;
  std::memcpy(out.recorded, rec->recorded, sizeof out.recorded);
  out.dot = rec->nameLength == 1 && ((*id)[0] == 0 || (*id)[0] == 1);
  out.name.clear();
  if (out.dot) return Parse::Ok;
  if (joliet) {
    for (std::size_t i = 0; i + 1 < id->size(); i += 2)
      out.name.push_back(static_cast<char16_t>(((*id)[i] << 8) | (*id)[i + 1]));
  } else {
    for (const std::uint8_t b : *id) out.name.push_back(FAT_Cp1252(b));
  }
  // NUL cannot be kept in a stored name; a name cut there is still the best one there is.
  if (const auto nul = out.name.find(u'\0'); nul != std::u16string::npos) out.name.resize(nul);
  if ((out.flags & kCdfsFlagDirectory) == 0) {
    if (const auto semi = out.name.rfind(u';'); semi != std::u16string::npos) out.name.resize(semi);
    // "NAME." is how a name without extension is recorded.
    if (!out.name.empty() && out.name.back() == u'.') out.name.pop_back();
  }
  return Parse::Ok;
}

std::uint64_t CDFS_RecordingTime(const std::uint8_t (&t)[7]) noexcept {
  const std::uint64_t local = Optical_FileTime(1900 + t[0], t[1], t[2], t[3], t[4], t[5]);
  if (local == 0) return 0;
  const auto zone = static_cast<std::int8_t>(t[6]);  // 15-minute steps east of Greenwich
  if (zone < -48 || zone > 52) return local;
  const std::int64_t shift = std::int64_t{zone} * 15 * 60 * 10000000;
  if (shift > 0 && local < static_cast<std::uint64_t>(shift)) return 0;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(local) - shift);
}

std::vector<std::uint8_t> CDFS_EncodeLocator(const std::vector<CdfsExtent>& extents,
                                             std::uint32_t size) {
  std::vector<std::uint8_t> out;
  auto put = [&out](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  if (extents.size() <= 1) {
    put(extents.empty() ? 0 : extents.front().block);
    (void)size;
    return out;
  }
  put(kCdfsMultiExtentMark);
  put(static_cast<std::uint32_t>(extents.size()));
  for (const CdfsExtent& e : extents) {
    put(e.block);
    put(e.length);
  }
  return out;
}

bool CDFS_DecodeLocator(std::span<const std::uint8_t> locator, std::uint64_t size,
                        std::vector<CdfsExtent>& out) {
  out.clear();
  ByteReader r(locator);
  const auto first = r.read<le32>();
  if (!first) return false;
  if (first->get() != kCdfsMultiExtentMark) {
    out.push_back({first->get(), static_cast<std::uint32_t>(std::min<std::uint64_t>(size, ~0u))});
    return true;
  }
  const auto count = r.read<le32>();
  if (!count || count->get() == 0 || count->get() > kCdfsMaxExtents) return false;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < count->get(); ++i) {
    const auto block = r.read<le32>();
    const auto length = r.read<le32>();
    if (!block || !length) return false;
    out.push_back({block->get(), length->get()});
    total += length->get();
  }
  return total == size;
}
