// Executables: DOS programs by their page count, PE images by headers plus section data, with
// the DLL flag and a "MUI" resource telling DLL, EXE.MUI and DLL.MUI apart.
#include <bit>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr std::uint16_t kDllFlag = 0x2000;
constexpr std::uint32_t kMaxDirectoriesRead = 16;

/// Looks for a single named root entry "MUI" in the resource section at @p raw. Moves the
/// reader; the caller goes back to where it was.
bool hasMuiResource(FormatReader& reader, std::uint32_t raw) noexcept {
  reader.rewind();
  std::uint8_t dir[16];
  if (!reader.skip(raw) || !reader.read(dir, sizeof dir)) return false;
  if (deepscan::le16At(dir + 12) != 1) return false;  // exactly one named entry
  std::uint8_t entry[8];
  if (!reader.read(entry, sizeof entry)) return false;
  const std::uint32_t name = deepscan::le32At(entry);
  if (!(name & 0x80000000u)) return false;
  reader.rewind();
  std::uint8_t text[8];  // length, then "MUI" in UTF-16
  if (!reader.skip(std::uint64_t{raw} + (name & 0x7FFFFFFFu)) || !reader.read(text, sizeof text))
    return false;
  return deepscan::le16At(text) == 3 && deepscan::le16At(text + 2) == 'M' &&
         deepscan::le16At(text + 4) == 'U' && deepscan::le16At(text + 6) == 'I';
}

}  // namespace

bool FileFormat_RecognizeExe(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t mz[32];
  if (!reader.read(mz, sizeof mz) || !deepscan::equals(mz, "MZ")) return false;
  out.identifier = kFmtExe;
  out.completeness = kComplBad;

  if (deepscan::le16At(mz + 0x18) < 64) {  // relocation table below 64: a DOS program
    const std::uint16_t pages = deepscan::le16At(mz + 4);
    if (pages < 2) return false;
    const std::uint16_t last = deepscan::le16At(mz + 2);
    // The header's own fields must agree (a last page within 512 bytes, a header of at least two
    // paragraphs holding its relocations, memory needs in order): two letters and noise do not.
    const std::uint32_t header = std::uint32_t{deepscan::le16At(mz + 8)} * 16;
    const std::uint32_t relocEnd =
        deepscan::le16At(mz + 0x18) + std::uint32_t{deepscan::le16At(mz + 6)} * 4;
    if (last > 512 || header < 32 || header > std::uint32_t{pages} * 512 || relocEnd > header ||
        deepscan::le16At(mz + 0x0C) < deepscan::le16At(mz + 0x0A))
      return false;
    // A last-page count of 0 means the last page is full.
    const std::uint64_t length = std::uint64_t{pages} * 512 - (last == 0 ? 0 : 512u - last);
    out.completeness = length >= 32 && reader.skip(length - 32) ? kComplGood : kComplPoor;
    out.length = reader.consumed();
    return true;
  }

  auto stop = [&]() {
    out.length = reader.consumed();
    return true;
  };
  std::uint16_t peOffset = 0;
  if (!reader.skip(0x3C - 32) || !reader.readLe16(peOffset)) return stop();
  if (peOffset < 64) return false;
  std::uint8_t fh[24];  // signature and file header
  if (!reader.skip(peOffset - 0x3Eu) || !reader.read(fh, sizeof fh)) return stop();
  // A new-style header names itself; without a known signature this is no program at all.
  if (!deepscan::equals(fh, std::string_view("PE\0\0", 4)) &&
      !deepscan::equals(fh, std::string_view("NE", 2)) &&
      !deepscan::equals(fh, std::string_view("LE", 2)) &&
      !deepscan::equals(fh, std::string_view("LX", 2)))
    return false;
  if (deepscan::le16At(fh + 22) & kDllFlag) out.identifier = kFmtDll;
  if (!deepscan::equals(fh, std::string_view("PE\0\0", 4))) return stop();
  const std::uint16_t sections = deepscan::le16At(fh + 6);

  std::uint8_t opt[112];
  if (!reader.read(opt, 24)) return stop();
  const std::uint16_t magic = deepscan::le16At(opt);
  std::size_t optSize = 0, countAt = 0;
  if (magic == 0x10B) {
    optSize = 96, countAt = 92;
  } else if (magic == 0x20B) {
    optSize = 112, countAt = 108;
  } else {
    return stop();
  }
  if (!reader.read(opt + 24, optSize - 24)) return stop();
  const std::uint32_t fileAlignment = deepscan::le32At(opt + 36);
  const std::uint32_t directories = deepscan::le32At(opt + countAt);
  std::uint32_t resourceRva = 0;
  for (std::uint32_t i = 0; i < directories && i < kMaxDirectoriesRead; ++i) {
    std::uint8_t d[8];
    if (!reader.read(d, sizeof d)) return stop();
    if (i == 2) resourceRva = deepscan::le32At(d);
  }
  if (directories > kMaxDirectoriesRead &&
      !reader.skip(std::uint64_t{directories - kMaxDirectoriesRead} * 8))
    return stop();

  std::uint64_t rawTotal = 0;
  std::uint32_t resourceRaw = 0;
  bool haveResource = false;
  for (std::uint16_t i = 0; i < sections; ++i) {
    std::uint8_t s[40];
    if (!reader.read(s, sizeof s)) return stop();
    rawTotal += deepscan::le32At(s + 16);
    if (resourceRva != 0 && deepscan::le32At(s + 12) == resourceRva) {
      resourceRaw = deepscan::le32At(s + 20);
      haveResource = true;
    }
  }
  // File alignment is a power of two by definition; anything else leaves the count as it is.
  if (std::has_single_bit(fileAlignment) && !reader.alignTo(fileAlignment)) return stop();
  const std::uint64_t headersEnd = reader.consumed();

  if (haveResource && hasMuiResource(reader, resourceRaw)) {
    if (out.identifier == kFmtExe) out.identifier = kFmtExeMui;
    if (out.identifier == kFmtDll) out.identifier = kFmtDllMui;
  }
  reader.rewind();
  if (!reader.skip(headersEnd)) return stop();
  out.completeness = reader.skip(rawTotal) ? kComplGood : kComplPoor;
  out.length = reader.consumed();
  return true;
}
