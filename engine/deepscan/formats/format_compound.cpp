// Compound documents (Word, Excel, PowerPoint and management-object files): header, FAT sector
// list, the FAT itself for the length and soundness, and the first directory entries for the
// kind of document.
#include <cstring>
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kFree = 0xFFFFFFFFu;
constexpr std::uint32_t kSpecial = 0xFF000000u;  // marks (free, end of chain, FAT, DIFAT) from here
constexpr std::uint32_t kMaxFatSectors = 1u << 20;

/// Reads sector @p n (which lies at (n + 1) * size) whole.
bool readSector(FormatReader& reader, std::uint32_t n, std::uint32_t size,
                std::vector<std::uint8_t>& buf) noexcept {
  buf.resize(size);
  reader.rewind();
  return reader.skip((std::uint64_t{n} + 1) * size) && reader.read(buf.data(), size);
}

/// UTF-16 directory-entry name equal to @p ascii with the name length field @p lengthField.
bool entryIs(const std::uint8_t* e, const char* ascii, std::uint16_t lengthField) noexcept {
  if (deepscan::le16At(e + 64) != lengthField) return false;
  for (std::size_t i = 0; ascii[i] != 0; ++i)
    if (deepscan::le16At(e + 2 * i) != static_cast<std::uint8_t>(ascii[i])) return false;
  return true;
}

}  // namespace

bool FileFormat_RecognizeCompound(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[76];
  if (!reader.read(h, sizeof h) || deepscan::le32At(h) != 0xE011CFD0u) return false;
  const std::uint16_t shift = deepscan::le16At(h + 30);
  const std::uint32_t fatSectors = deepscan::le32At(h + 44);
  const std::uint32_t firstDir = deepscan::le32At(h + 48);
  const std::uint32_t firstDifat = deepscan::le32At(h + 68);
  const std::uint32_t difatSectors = deepscan::le32At(h + 72);
  if (shift < 9 || shift > 20 || fatSectors == 0) return false;
  const std::uint32_t S = 1u << shift;
  const bool noDifat = firstDifat == kEndOfChain || firstDifat == kFree || difatSectors == 0;
  if (noDifat && fatSectors > 109) return false;
  out.identifier = kFmtMof;
  out.completeness = kComplUnrecoverable;
  out.length = 76;
  if (fatSectors > kMaxFatSectors) return true;  // more than any window here can hold

  // FAT sector list: 109 entries in the header, the rest in the DIFAT chain.
  std::vector<std::uint8_t> buf(S - 76u);
  if (!reader.read(buf.data(), buf.size())) return true;
  std::vector<std::uint32_t> fatList;
  fatList.reserve(fatSectors);
  for (std::uint32_t i = 0; i < 109 && fatList.size() < fatSectors; ++i)
    fatList.push_back(deepscan::le32At(buf.data() + 4 * i));
  const std::uint32_t perSector = S / 4;
  std::uint32_t difat = firstDifat;
  for (std::uint32_t k = 0; fatList.size() < fatSectors; ++k) {
    if (noDifat || k >= difatSectors || difat >= kSpecial || !readSector(reader, difat, S, buf))
      return true;
    for (std::uint32_t i = 0; i + 1 < perSector && fatList.size() < fatSectors; ++i)
      fatList.push_back(deepscan::le32At(buf.data() + 4 * i));
    difat = deepscan::le32At(buf.data() + S - 4);
  }

  const std::uint64_t entries = std::uint64_t{fatSectors} * perSector;
  out.length = std::uint64_t{S} * (entries + 1);
  out.completeness = kComplBad;

  auto sound = [&](const std::vector<std::uint8_t>& sector) {
    for (std::uint32_t i = 0; i < perSector; ++i) {
      const std::uint32_t v = deepscan::le32At(sector.data() + 4 * i);
      if (v >= entries && v < kSpecial) return false;
    }
    return true;
  };
  std::vector<std::uint8_t> lastFat;
  const bool haveLast = readSector(reader, fatList.back(), S, lastFat) && sound(lastFat);
  if (haveLast) {
    for (std::uint32_t i = perSector; i-- > 0;) {
      if (deepscan::le32At(lastFat.data() + 4 * i) != kFree) {
        const std::uint64_t g = std::uint64_t{fatSectors - 1} * perSector + i;
        out.length = (g + 2) * S;
        out.completeness = kComplGood;
        break;
      }
    }
    for (std::size_t k = 0; k + 1 < fatList.size(); ++k) {
      if (!readSector(reader, fatList[k], S, buf) || !sound(buf)) {
        out.completeness = kComplBad;
        break;
      }
    }
  }

  // The directory: its first sector and the one the FAT chains it to.
  std::uint32_t next = firstDir;
  if (firstDir / perSector < fatList.size()) {
    const std::uint32_t holder = fatList[firstDir / perSector];
    if (holder == fatList.back() && haveLast) {
      next = deepscan::le32At(lastFat.data() + 4 * (firstDir % perSector));
    } else if (readSector(reader, holder, S, buf)) {
      next = deepscan::le32At(buf.data() + 4 * (firstDir % perSector));
    }
  }
  std::vector<std::uint8_t> dir;
  if (!readSector(reader, firstDir, S, dir)) return true;
  if (next != firstDir && next != firstDifat) {
    std::vector<std::uint8_t> second;
    if (readSector(reader, next == firstDir + 1 ? firstDir + 1 : next, S, second))
      dir.insert(dir.end(), second.begin(), second.end());
  } else if (next == firstDir) {  // a chain onto itself: the sector after it, as laid out
    std::vector<std::uint8_t> second;
    if (readSector(reader, firstDir + 1, S, second))
      dir.insert(dir.end(), second.begin(), second.end());
  }
  if (!entryIs(dir.data(), "Root Entry", 22)) {
    out.completeness = kComplUnrecoverable;
    return true;
  }
  struct Kind {
    const char* name;
    std::uint16_t length;
    std::uint32_t id;
  };
  static constexpr Kind kKinds[] = {
      {"Catalog", 16, kFmtMof},  {"WordDocument", 26, kFmtDoc},
      {"Workbook", 18, kFmtXls}, {"Book", 10, kFmtXls},
      {"Pictures", 18, kFmtPpt}, {"PowerPoint Document", 40, kFmtPpt}};
  for (std::size_t off = 128; off + 128 <= dir.size(); off += 128) {
    for (const Kind& k : kKinds) {
      if (entryIs(dir.data() + off, k.name, k.length)) {
        out.identifier = k.id;
        return true;
      }
    }
  }
  out.completeness = kComplUnrecoverable;
  return true;
}
