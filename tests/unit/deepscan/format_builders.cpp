// Writers of the formats no installed tool writes (see format_builders.h).
#include "format_builders.h"

#include <cstring>

namespace fmtbuild {

void putLe16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void putLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void appendLe16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void appendLe32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void appendLe64(Bytes& b, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void appendBe32(Bytes& b, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void append(Bytes& b, const Bytes& s) { b.insert(b.end(), s.begin(), s.end()); }

Bytes riff(const std::string& form, std::size_t payload) {
  Bytes b;
  append(b, "RIFF");
  appendLe32(b, static_cast<std::uint32_t>(4 + 8 + payload));
  append(b, form);
  append(b, "data");
  appendLe32(b, static_cast<std::uint32_t>(payload));
  for (std::size_t i = 0; i < payload; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
  return b;
}

Bytes dosExe(std::uint16_t pages, std::uint16_t lastPage) {
  const std::size_t size = pages * 512u - (lastPage == 0 ? 0 : 512u - lastPage);
  Bytes b(size, 0x90);
  b[0] = 'M', b[1] = 'Z';
  putLe16(b, 2, lastPage);
  putLe16(b, 4, pages);
  putLe16(b, 6, 0);        // no relocations
  putLe16(b, 8, 2);        // header paragraphs
  putLe16(b, 0x18, 0x1C);  // relocation table
  return b;
}

Bytes peImage(bool dll, bool mui) {
  // Headers: DOS stub to 0x80, PE signature, file header, optional header (PE32, 16 directories),
  // two section headers; padded to 0x200. Sections: .text 0x200 bytes, .rsrc 0x200 bytes.
  Bytes b(0x600, 0);
  b[0] = 'M', b[1] = 'Z';
  putLe16(b, 0x18, 0x40);
  putLe32(b, 0x3C, 0x80);
  std::size_t p = 0x80;
  std::memcpy(&b[p], "PE\0\0", 4);
  putLe16(b, p + 4, 0x14C);  // i386
  putLe16(b, p + 6, 2);      // sections
  putLe16(b, p + 20, 224);   // optional header size
  putLe16(b, p + 22, static_cast<std::uint16_t>(0x0102 | (dll ? 0x2000 : 0)));
  const std::size_t opt = p + 24;
  putLe16(b, opt, 0x10B);
  putLe32(b, opt + 32, 0x1000);          // section alignment
  putLe32(b, opt + 36, 0x200);           // file alignment
  putLe32(b, opt + 92, 16);              // directories
  putLe32(b, opt + 96 + 2 * 8, 0x2000);  // resource directory RVA
  putLe32(b, opt + 96 + 2 * 8 + 4, 0x200);
  const std::size_t sec = opt + 224;
  std::memcpy(&b[sec], ".text", 5);
  putLe32(b, sec + 8, 0x200), putLe32(b, sec + 12, 0x1000), putLe32(b, sec + 16, 0x200),
      putLe32(b, sec + 20, 0x200);
  std::memcpy(&b[sec + 40], ".rsrc", 5);
  putLe32(b, sec + 48, 0x200), putLe32(b, sec + 52, 0x2000), putLe32(b, sec + 56, 0x200),
      putLe32(b, sec + 60, 0x400);
  for (std::size_t i = 0x200; i < 0x400; ++i) b[i] = 0xCC;
  // Resource root directory at file offset 0x400: one named entry (or one id entry).
  const std::size_t rs = 0x400;
  putLe16(b, rs + 12, mui ? 1 : 0);
  putLe16(b, rs + 14, mui ? 0 : 1);
  putLe32(b, rs + 16, mui ? 0x80000000u | 0x20 : 16);
  putLe32(b, rs + 20, 0x80000000u | 0x30);
  putLe16(b, rs + 0x20, 3);
  putLe16(b, rs + 0x22, 'M'), putLe16(b, rs + 0x24, 'U'), putLe16(b, rs + 0x26, 'I');
  return b;
}

Bytes compoundDocument(const std::u16string& stream) {
  constexpr std::uint32_t kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFat = 0xFFFFFFFD;
  // Sector 0: FAT; sector 1: directory; sectors 2..9: the stream (4096 bytes).
  Bytes b(512 * 11, 0);
  const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(b.data(), sig, 8);
  putLe16(b, 24, 0x3E), putLe16(b, 26, 3), putLe16(b, 28, 0xFFFE), putLe16(b, 30, 9),
      putLe16(b, 32, 6);
  putLe32(b, 44, 1);     // FAT sectors
  putLe32(b, 48, 1);     // first directory sector
  putLe32(b, 56, 4096);  // mini stream cutoff
  putLe32(b, 60, kEnd), putLe32(b, 64, 0), putLe32(b, 68, kEnd), putLe32(b, 72, 0);
  putLe32(b, 76, 0);
  for (int i = 1; i < 109; ++i) putLe32(b, 76 + 4 * i, kFree);
  const std::size_t fat = 512;
  for (int i = 0; i < 128; ++i) putLe32(b, fat + 4 * i, kFree);
  putLe32(b, fat, kFat);
  putLe32(b, fat + 4, kEnd);
  for (std::uint32_t i = 2; i < 9; ++i) putLe32(b, fat + 4 * i, i + 1);
  putLe32(b, fat + 4 * 9, kEnd);
  auto entry = [&](std::size_t at, const std::u16string& name, std::uint8_t type,
                   std::uint32_t start, std::uint32_t size) {
    for (std::size_t i = 0; i < name.size(); ++i) putLe16(b, at + 2 * i, name[i]);
    putLe16(b, at + 64, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    b[at + 66] = type;
    b[at + 67] = 1;
    putLe32(b, at + 68, kFree), putLe32(b, at + 72, kFree), putLe32(b, at + 76, kFree);
    putLe32(b, at + 116, start);
    putLe32(b, at + 120, size);
  };
  const std::size_t dir = 1024;
  entry(dir, u"Root Entry", 5, kEnd, 0);
  putLe32(b, dir + 76, 1);  // child
  entry(dir + 128, stream, 2, 2, 4096);
  for (std::size_t i = 1536; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

Bytes rar(const std::string& name, const Bytes& data) {
  Bytes b;
  append(b, std::string("Rar!\x1A\x07\x00", 7));
  // Archive header: CRC, type 0x73, flags, size 13, then 6 reserved bytes.
  appendLe16(b, 0x90CF), b.push_back(0x73), appendLe16(b, 0), appendLe16(b, 13);
  appendLe16(b, 0), appendLe32(b, 0);
  // File header: type 0x74, flags 0x8000 (long block), size 32 + name.
  appendLe16(b, 0), b.push_back(0x74), appendLe16(b, 0x8000);
  appendLe16(b, static_cast<std::uint16_t>(32 + name.size()));
  appendLe32(b, static_cast<std::uint32_t>(data.size()));  // packed
  appendLe32(b, static_cast<std::uint32_t>(data.size()));  // unpacked
  b.push_back(2);                                          // host OS
  appendLe32(b, 0);                                        // file CRC
  appendLe32(b, 0x4A2B1C00);                               // time
  b.push_back(20), b.push_back(0x30);                      // version, method "store"
  appendLe16(b, static_cast<std::uint16_t>(name.size()));
  appendLe32(b, 0x20);
  append(b, name);
  append(b, data);
  // End of archive: type 0x7B, flags 0x4000, size 7.
  appendLe16(b, 0x3DC4), b.push_back(0x7B), appendLe16(b, 0x4000), appendLe16(b, 7);
  return b;
}

Bytes chm(std::uint32_t fileSize) {
  Bytes b(fileSize, 0);
  std::memcpy(b.data(), "ITSF", 4);
  putLe32(b, 4, 3), putLe32(b, 8, 0x60), putLe32(b, 12, 1);
  putLe32(b, 0x38, 0x60), putLe32(b, 0x40, 0x18);  // section 0 at 0x60, 0x18 bytes
  putLe32(b, 0x48, 0x78), putLe32(b, 0x50, 0x54);  // section 1
  putLe32(b, 0x60, 0x1FE), putLe32(b, 0x68, fileSize);
  std::memcpy(&b[0x78], "ITSP", 4);
  return b;
}

Bytes hlp(std::uint32_t fileSize) {
  Bytes b(fileSize, 0);
  putLe32(b, 0, 0x00035F3F), putLe32(b, 4, 16), putLe32(b, 8, 0xFFFFFFFF), putLe32(b, 12, fileSize);
  putLe32(b, 16, 0x200), putLe32(b, 20, 0x1F0);  // reserved and used space of the directory
  b[24] = 4;
  return b;
}

namespace {
const std::uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const std::uint8_t kFilePropsGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const std::uint8_t kCodecListGuid[16] = {0x40, 0x52, 0xD1, 0x86, 0x1D, 0x31, 0xD0, 0x11,
                                         0xA3, 0xA4, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
const std::uint8_t kDataGuid[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const std::uint8_t kSimpleIndexGuid[16] = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                           0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
void appendGuid(Bytes& b, const std::uint8_t* g) { b.insert(b.end(), g, g + 16); }
}  // namespace

Bytes asf(bool wmvCodec, bool simpleIndex) {
  Bytes objects;
  // File properties object: 104 bytes, contents left zero.
  appendGuid(objects, kFilePropsGuid);
  appendLe64(objects, 104);
  objects.resize(objects.size() + 104 - 24, 0);
  {
    Bytes codec;
    appendGuid(codec, kCodecListGuid);
    Bytes body(16, 0);
    appendLe32(body, 1);
    appendLe16(body, 1);  // video
    const std::u16string name = wmvCodec ? u"Windows Media Video 9" : u"Some Other Codec";
    appendLe16(body, static_cast<std::uint16_t>(name.size()));
    for (char16_t c : name) appendLe16(body, c);
    appendLe16(body, 0);  // description
    appendLe16(body, 4);
    append(body, wmvCodec ? "WMV3" : "XVID");
    appendLe64(codec, 24 + body.size());
    append(codec, body);
    append(objects, codec);
  }
  Bytes b;
  appendGuid(b, kHeaderGuid);
  appendLe64(b, 30 + objects.size());
  appendLe32(b, 2);
  b.push_back(1), b.push_back(2);
  append(b, objects);
  appendGuid(b, kDataGuid);
  appendLe64(b, 24 + 26 + 2000);
  b.resize(b.size() + 26 + 2000, 0x5A);
  if (simpleIndex) {
    appendGuid(b, kSimpleIndexGuid);
    appendLe64(b, 24 + 32);
    b.resize(b.size() + 32, 0);
  }
  return b;
}

Bytes swf(std::uint32_t bodyBytes) {
  Bytes b;
  append(b, "FWS");
  b.push_back(6);
  appendLe32(b, 8 + bodyBytes);
  b.resize(8 + bodyBytes, 0x11);
  return b;
}

Bytes mov(std::size_t mdatBytes) {
  Bytes b;
  appendBe32(b, 8 + 100), append(b, "moov");
  appendBe32(b, 100), append(b, "mvhd");
  b.resize(b.size() + 92, 0);
  appendBe32(b, static_cast<std::uint32_t>(8 + mdatBytes)), append(b, "mdat");
  b.resize(b.size() + mdatBytes, 0x42);
  appendBe32(b, 16), append(b, "free");
  b.resize(b.size() + 8, 0);
  return b;
}

}  // namespace fmtbuild
