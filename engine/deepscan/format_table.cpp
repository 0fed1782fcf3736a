// The format table (extensions and notes), the recognisers' reader and the detector's order.
#include <algorithm>
#include <array>
#include <cstring>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr std::array<FormatRow, kFormatCount> kRows{{
    {kFmtWav, ".wav", "Real file type is WAV."},
    {kFmtAvi, ".avi", "Real file type is AVI."},
    {kFmtAni, ".ani", "Real file type is ANI."},
    {kFmtCdr, ".cdr", "Real file type is CDR."},
    {kFmtCmx, ".cmx", "Real file type is CMX."},
    {kFmtRmi, ".rmi", "Real file type is RMI."},
    {kFmtExe, ".exe", "Real file type is EXE."},
    {kFmtDll, ".dll", "Real file type is DLL."},
    {kFmtBmp, ".bmp", "Real file type is BMP."},
    {kFmtJpg, ".jpg", "Real file type is JPG."},
    {kFmtGif, ".gif", "Real file type is GIF."},
    {kFmtPng, ".png", "Real file type is PNG."},
    {kFmtZip, ".zip", "Real file type is ZIP."},
    {kFmtRar, ".rar", "Real file type is RAR."},
    {kFmtCab, ".cab", "Real file type is CAB."},
    {kFmtTar, ".tar", "Real file type is TAR."},
    {kFmtIco, ".ico", "Real file type is ICO."},
    {kFmtCur, ".cur", "Real file type is CUR."},
    {kFmtPdf, ".pdf", "Real file type is PDF."},
    {kFmtTtf, ".ttf", "Real file type is TTF."},
    {kFmtMof, ".mof", "Real file type is MOF."},
    {kFmtDoc, ".doc", "Real file type is DOC."},
    {kFmtDocx, ".docx", "Real file type is DOCX."},
    {kFmtXls, ".xls", "Real file type is XLS."},
    {kFmtXlsx, ".xlsx", "Real file type is XLSX."},
    {kFmtPpt, ".ppt", "Real file type is PPT."},
    {kFmtPptx, ".pptx", "Real file type is PPTX."},
    {kFmtWmz, ".wmz", "Real file type is WMZ."},
    {kFmtChm, ".chm", "Real file type is CHM."},
    {kFmtHlp, ".hlp", "Real file type is HLP."},
    {kFmtHtm, ".htm", "Real file type is HTML."},
    {kFmtXml, ".xml", "Real file type is XML."},
    {kFmtRtf, ".rtf", "Real file type is RTF."},
    {kFmtTxt, ".txt", "Real file type is TXT."},
    {kFmtDllMui, ".dll.mui", "Real file type is DLL.MUI."},
    {kFmtExeMui, ".exe.mui", "Real file type is EXE.MUI."},
    {kFmtAsf, ".asf", "Real file type is ASF."},
    {kFmtWmv, ".wmv", "Real file type is WMV."},
    {kFmtSwf, ".swf", "Real file type is SWF."},
    {kFmtMov, ".mov", "Real file type is MOV."},
}};

constexpr bool rowsInOrder() {
  for (std::size_t i = 0; i < kRows.size(); ++i)
    if (kRows[i].id != i + 1) return false;
  return true;
}
static_assert(rowsInOrder());

using Head = std::span<const std::uint8_t, 16>;

bool startsWith(Head h, std::string_view s) noexcept {
  return std::memcmp(h.data(), s.data(), s.size()) == 0;
}

// The ASF header object identifier as it is stored (GUID fields little-endian).
constexpr std::uint8_t kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

constexpr std::size_t kAsfIndex = 14;        // position of ASF in the order below
constexpr std::size_t kQuickTimeIndex = 17;  // where a half-matching ASF identifier goes on

}  // namespace

const std::array<FormatRecogniser, kRecogniserCount> kFormatRecognisers{{
    {"ttf", [](Head h) noexcept { return h[0] == 0 && h[1] == 1 && h[2] == 0 && h[3] == 0; },
     FileFormat_RecognizeTrueType},
    {"compound", [](Head h) noexcept { return deepscan::le32At(h.data()) == 0xE011CFD0u; },
     FileFormat_RecognizeCompound},
    {"chm", [](Head h) noexcept { return startsWith(h, "ITSF"); }, FileFormat_RecognizeChm},
    {"hlp", [](Head h) noexcept { return deepscan::le32At(h.data()) == 0x00035F3Fu; },
     FileFormat_RecognizeHlp},
    {"riff", [](Head h) noexcept { return startsWith(h, "RIFF"); }, FileFormat_RecognizeRiff},
    {"exe", [](Head h) noexcept { return startsWith(h, "MZ"); }, FileFormat_RecognizeExe},
    {"bmp", [](Head h) noexcept { return startsWith(h, "BM"); }, FileFormat_RecognizeBmp},
    {"jpeg", [](Head h) noexcept { return h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF; },
     FileFormat_RecognizeJpeg},
    {"zip", [](Head h) noexcept { return startsWith(h, "PK"); }, FileFormat_RecognizeZip},
    {"rar", [](Head h) noexcept { return startsWith(h, std::string_view("Rar!\x1A\x07\x00", 7)); },
     FileFormat_RecognizeRar},
    {"gif", [](Head h) noexcept { return startsWith(h, "GIF87a") || startsWith(h, "GIF89a"); },
     FileFormat_RecognizeGif},
    {"png", [](Head h) noexcept { return startsWith(h, std::string_view("\x89PNG\r\n\x1A\n", 8)); },
     FileFormat_RecognizePng},
    {"icon",
     [](Head h) noexcept {
       const std::uint16_t type = deepscan::le16At(h.data() + 2);
       return deepscan::le16At(h.data()) == 0 && (type == 1 || type == 2);
     },
     FileFormat_RecognizeIcon},
    {"pdf", [](Head h) noexcept { return startsWith(h, "%PDF"); }, FileFormat_RecognizePdf},
    {"asf", [](Head h) noexcept { return std::memcmp(h.data(), kAsfHeaderGuid, 16) == 0; },
     FileFormat_RecognizeAsf},
    {"cab", [](Head h) noexcept { return startsWith(h, "MSCF"); }, FileFormat_RecognizeCab},
    {"tar", [](Head h) noexcept { return startsWith(h, "./"); }, FileFormat_RecognizeTar},
    {"quicktime",
     [](Head h) noexcept {
       return std::memcmp(h.data() + 4, "moov", 4) == 0 ||
              std::memcmp(h.data() + 4, "mdat", 4) == 0;
     },
     FileFormat_RecognizeQuickTime},
    {"flash", [](Head h) noexcept { return startsWith(h, "FWS") || startsWith(h, "CWS"); },
     FileFormat_RecognizeFlash},
    {"text", [](Head h) noexcept { return h[0] != 0; }, FileFormat_RecognizeText},
}};

const FormatRow* FileFormat_Row(std::uint32_t id) noexcept {
  return id >= 1 && id <= kFormatCount ? &kRows[id - 1] : nullptr;
}

std::uint32_t FileFormat_ExtensionOf(std::u16string_view name) noexcept {
  for (const FormatRow& row : kRows) {
    const std::string_view ext = row.extension;
    if (name.size() < ext.size()) continue;
    const std::u16string_view tail = name.substr(name.size() - ext.size());
    bool same = true;
    for (std::size_t i = 0; i < ext.size() && same; ++i) {
      char16_t c = tail[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      same = c == static_cast<char16_t>(static_cast<unsigned char>(ext[i]));
    }
    if (same) return row.id;
  }
  return kFmtNone;
}

namespace deepscan {
namespace {
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();
}  // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
}  // namespace deepscan

bool FormatReader::alignTo(std::uint32_t unit) noexcept {
  if (unit <= 1) return true;
  const std::uint64_t rem = consumed() % unit;
  return rem == 0 || skip(unit - rem);
}

bool FormatReader::readLe16(std::uint16_t& v) noexcept {
  std::uint8_t b[2];
  if (!read(b, 2)) return false;
  v = deepscan::le16At(b);
  return true;
}
bool FormatReader::readLe32(std::uint32_t& v) noexcept {
  std::uint8_t b[4];
  if (!read(b, 4)) return false;
  v = deepscan::le32At(b);
  return true;
}
bool FormatReader::readBe16(std::uint16_t& v) noexcept {
  std::uint8_t b[2];
  if (!read(b, 2)) return false;
  v = deepscan::be16(b);
  return true;
}
bool FormatReader::readBe32(std::uint32_t& v) noexcept {
  std::uint8_t b[4];
  if (!read(b, 4)) return false;
  v = deepscan::be32(b);
  return true;
}

bool SpanFormatReader::read(void* out, std::uint64_t n) noexcept {
  if (n > m_data.size() - m_pos) return false;
  if (n > 0) std::memcpy(out, m_data.data() + m_pos, static_cast<std::size_t>(n));
  m_pos += static_cast<std::size_t>(n);
  return true;
}

bool SpanFormatReader::skip(std::uint64_t n) noexcept {
  if (n > m_data.size() - m_pos) return false;
  m_pos += static_cast<std::size_t>(n);
  return true;
}

std::span<const std::uint8_t> SpanFormatReader::peek(std::size_t max) noexcept {
  return m_data.subspan(m_pos, std::min(max, m_data.size() - m_pos));
}

bool FileFormat_DetectIn(FormatReader& reader, FormatResult& out, bool withText) noexcept {
  reader.rewind();
  std::array<std::uint8_t, 16> head{};
  {
    const auto view = reader.peek(head.size());
    std::copy(view.begin(), view.end(), head.begin());
  }
  const Head h(head);
  for (std::size_t i = 0; i < kFormatRecognisers.size(); ++i) {
    const FormatRecogniser& r = kFormatRecognisers[i];
    if (!withText && r.recognize == FileFormat_RecognizeText) continue;
    if (!r.signature(h)) {
      // Only the first half of the ASF identifier: neither a cabinet nor a tar; try QuickTime.
      if (i == kAsfIndex && std::memcmp(head.data(), kAsfHeaderGuid, 8) == 0)
        i = kQuickTimeIndex - 1;
      continue;
    }
    reader.rewind();
    FormatResult result;
    if (!r.recognize(reader, result)) continue;
    reader.rewind();
    if (result.identifier == kFmtNone) return false;
    out = result;
    return true;
  }
  reader.rewind();
  return false;
}

bool FileFormat_DetectBytes(std::span<const std::uint8_t> window, FormatResult& out) noexcept {
  SpanFormatReader reader(window);
  return FileFormat_DetectIn(reader, out);
}
