// ISO 9660 and UDF parsers on bytes built here: the good case, then one field changed per case.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "optical/cdfs.h"
#include "optical/udf_parse.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  if (at + 4 > b.size()) return;
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// --- ISO 9660 ------------------------------------------------------------------------------

Bytes descriptor(std::uint8_t type, std::uint32_t volumeBlocks, std::uint32_t root,
                 const char* escape = "") {
  Bytes b(2048, 0);
  b[0] = type;
  std::memcpy(&b[1], "CD001", 5);
  b[6] = 1;
  put32(b, 80, volumeBlocks);
  std::memcpy(&b[88], escape, std::strlen(escape));
  put16(b, 128, 2048);
  put32(b, 140, 19);
  b[156] = 34;
  put32(b, 158, root);
  put32(b, 166, 2048);
  return b;
}

/// A directory record for @p id (bytes as recorded) at @p at of @p block; returns its length.
std::size_t record(Bytes& block, std::size_t at, const std::string& id, std::uint32_t extent,
                   std::uint32_t size, std::uint8_t flags,
                   std::array<std::uint8_t, 7> when = {107, 6, 1, 12, 0, 0, 8}) {
  const std::size_t len = (33 + id.size() + 1) & ~std::size_t{1};
  block[at] = static_cast<std::uint8_t>(len);
  put32(block, at + 2, extent);
  put32(block, at + 10, size);
  std::memcpy(&block[at + 18], when.data(), 7);
  block[at + 25] = flags;
  block[at + 32] = static_cast<std::uint8_t>(id.size());
  std::memcpy(&block[at + 33], id.data(), id.size());
  return len;
}

TEST(CdfsDescriptor, PrimaryJolietEnhancedAndForeign) {
  CdfsDescriptor d;
  ASSERT_EQ(CDFS_ParseDescriptor(descriptor(1, 500, 20), d), Parse::Ok);
  EXPECT_EQ(d.type, 1);
  EXPECT_FALSE(d.joliet);
  EXPECT_EQ(d.volumeBlocks, 500u);
  EXPECT_EQ(d.rootExtent, 20u);
  EXPECT_EQ(d.rootLength, 2048u);
  EXPECT_EQ(d.pathTable, 19u);
  ASSERT_EQ(CDFS_ParseDescriptor(descriptor(2, 500, 30, "%/E"), d), Parse::Ok);
  EXPECT_TRUE(d.joliet);
  // A supplementary descriptor without a UCS-2 escape (ISO 9660:1999) is not Joliet.
  ASSERT_EQ(CDFS_ParseDescriptor(descriptor(2, 500, 30), d), Parse::Ok);
  EXPECT_FALSE(d.joliet);
  Bytes foreign = descriptor(1, 500, 20);
  foreign[3] = 'X';
  EXPECT_EQ(CDFS_ParseDescriptor(foreign, d), Parse::NotThis);
  EXPECT_EQ(CDFS_ParseDescriptor(Bytes(100, 0), d), Parse::NotThis);
}

TEST(CdfsDirRecord, NamesVersionsAndBounds) {
  Bytes b(2048, 0);
  std::size_t at = record(b, 0, std::string(1, '\0'), 20, 2048, 2);
  const std::size_t file = at;
  at += record(b, at, "README.TXT;1", 40, 1234, 0);
  const std::size_t noExt = at;
  at += record(b, at, "NOEXT.;1", 41, 1, 0);
  const std::size_t dir = at;
  at += record(b, at, "DIR.X", 50, 2048, 2);
  CdfsEntry e;
  ASSERT_EQ(CDFS_ParseDirRecord(b, 0, false, e), Parse::Ok);
  EXPECT_TRUE(e.dot);
  ASSERT_EQ(CDFS_ParseDirRecord(b, file, false, e), Parse::Ok);
  EXPECT_EQ(e.name, u"README.TXT");
  EXPECT_EQ(e.extent, 40u);
  EXPECT_EQ(e.dataLength, 1234u);
  ASSERT_EQ(CDFS_ParseDirRecord(b, noExt, false, e), Parse::Ok);
  EXPECT_EQ(e.name, u"NOEXT");
  ASSERT_EQ(CDFS_ParseDirRecord(b, dir, false, e), Parse::Ok);
  EXPECT_EQ(e.name, u"DIR.X");  // directories have no version to drop
  EXPECT_EQ(CDFS_ParseDirRecord(b, at, false, e), Parse::NotThis);  // zero length: padding

  // Joliet: UCS-2 big-endian, version dropped likewise; 8-bit names are Windows-1252.
  Bytes j(2048, 0);
  record(j, 0, std::string("\0a\0\xe9\0;\0001", 8), 60, 5, 0);
  ASSERT_EQ(CDFS_ParseDirRecord(j, 0, true, e), Parse::Ok);
  EXPECT_EQ(e.name, u"a\u00e9");
  record(j, 0, "\x80", 60, 5, 0);
  ASSERT_EQ(CDFS_ParseDirRecord(j, 0, false, e), Parse::Ok);
  EXPECT_EQ(e.name, u"\u20ac");

  // A record running past the block, or an identifier longer than its record.
  Bytes cut(2048, 0);
  record(cut, 2048 - 48, "ABCDEFGH.TXT;1", 1, 1, 0);
  cut[2048 - 48] = 60;
  EXPECT_EQ(CDFS_ParseDirRecord(cut, 2048 - 48, false, e), Parse::Corrupt);
  Bytes longId(2048, 0);
  record(longId, 0, "A.TXT;1", 1, 1, 0);
  longId[32] = 200;
  EXPECT_EQ(CDFS_ParseDirRecord(longId, 0, false, e), Parse::Corrupt);
  // The extended attribute record comes before the data.
  Bytes ext(2048, 0);
  record(ext, 0, "A;1", 100, 1, 0);
  ext[1] = 3;
  ASSERT_EQ(CDFS_ParseDirRecord(ext, 0, false, e), Parse::Ok);
  EXPECT_EQ(e.extent, 103u);
}

TEST(CdfsTime, ZoneIsAppliedInQuarterHours) {
  // 2007-06-01 12:00:00 at +8 (two hours east) is 10:00 UTC.
  const std::uint8_t east[7] = {107, 6, 1, 12, 0, 0, 8};
  const std::uint8_t utc[7] = {107, 6, 1, 10, 0, 0, 0};
  EXPECT_EQ(CDFS_RecordingTime(east), CDFS_RecordingTime(utc));
  EXPECT_EQ(CDFS_RecordingTime(utc), Optical_FileTime(2007, 6, 1, 10, 0, 0));
  EXPECT_EQ(Optical_FileTime(1601, 1, 1, 0, 0, 0), 0u);
  EXPECT_EQ(Optical_FileTime(1970, 1, 1, 0, 0, 0), 116444736000000000ull);
  const std::uint8_t unset[7] = {0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(CDFS_RecordingTime(unset), 0u);
}

TEST(CdfsLocator, OneExtentIsFourBytesAndPiecesRoundTrip) {
  std::vector<CdfsExtent> one{{77, 5000}};
  const Bytes a = CDFS_EncodeLocator(one, 5000);
  ASSERT_EQ(a.size(), 4u);
  std::vector<CdfsExtent> back;
  ASSERT_TRUE(CDFS_DecodeLocator(a, 5000, back));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].block, 77u);
  EXPECT_EQ(back[0].length, 5000u);
  std::vector<CdfsExtent> three{{10, 8192}, {20, 8192}, {30, 100}};
  const Bytes m = CDFS_EncodeLocator(three, 16484);
  ASSERT_TRUE(CDFS_DecodeLocator(m, 16484, back));
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2].block, 30u);
  // A size that the pieces do not add up to, or a locator cut short, is refused.
  EXPECT_FALSE(CDFS_DecodeLocator(m, 16485, back));
  EXPECT_FALSE(CDFS_DecodeLocator(std::span(m).first(m.size() - 1), 16484, back));
}

/// Blocks of a fake disc: block number -> descriptor.
struct FakeDisc {
  std::map<std::uint32_t, Bytes> blocks;
  static bool read(void* self, std::uint32_t block, std::uint8_t* out) {
    auto& b = static_cast<FakeDisc*>(self)->blocks;
    const auto it = b.find(block);
    if (it == b.end()) {
      std::memset(out, 0, 2048);
      return block < 100000;
    }
    std::memcpy(out, it->second.data(), 2048);
    return true;
  }
};

TEST(CdfsSessions, ChainsOfBothLayouts) {
  // Overwritable media: sessions at 32, 128, 160 (sizes counted from their starts), and a copy
  // of the newest descriptor at 16.
  FakeDisc grown;
  grown.blocks[16] = descriptor(1, 188, 183);
  grown.blocks[48] = descriptor(1, 78, 40);
  grown.blocks[144] = descriptor(1, 28, 150);
  grown.blocks[176] = descriptor(1, 28, 183);
  EXPECT_EQ(CDFS_FindSessions(FakeDisc::read, &grown), (std::vector<std::uint32_t>{32, 128, 160}));
  // Sessions that each count from block 0 and follow one another.
  FakeDisc chained;
  chained.blocks[16] = descriptor(1, 174, 20);
  chained.blocks[174 + 16] = descriptor(1, 348, 200);
  chained.blocks[348 + 16] = descriptor(1, 522, 380);
  EXPECT_EQ(CDFS_FindSessions(FakeDisc::read, &chained), (std::vector<std::uint32_t>{0, 174, 348}));
  // A single session; and nothing at all still gives one session at block 0.
  FakeDisc single;
  single.blocks[16] = descriptor(1, 300, 20);
  EXPECT_EQ(CDFS_FindSessions(FakeDisc::read, &single), (std::vector<std::uint32_t>{0}));
  FakeDisc empty;
  EXPECT_EQ(CDFS_FindSessions(FakeDisc::read, &empty), (std::vector<std::uint32_t>{0}));
  // A descriptor whose size points back at itself does not loop.
  FakeDisc selfish;
  selfish.blocks[16] = descriptor(1, 0, 20);
  EXPECT_EQ(CDFS_FindSessions(FakeDisc::read, &selfish).size(), 1u);
}

// --- UDF -----------------------------------------------------------------------------------

Bytes sealed(Bytes b, std::uint16_t id, std::uint32_t location, std::size_t crcLength) {
  put16(b, 0, id);
  put16(b, 2, 2);
  put32(b, 12, location);
  UDF_SealTag(b, static_cast<std::uint16_t>(crcLength));
  return b;
}

/// A file entry at @p location with allocation type @p alloc and @p ads as its descriptors.
Bytes fileEntry(std::uint32_t location, std::uint8_t alloc, const Bytes& ads, std::uint64_t size,
                std::uint8_t fileType = 5) {
  Bytes b(2048, 0);
  b[16 + 11] = fileType;
  put16(b, 34, static_cast<std::uint16_t>(0x20 | alloc));
  for (int i = 0; i < 8; ++i) b[56 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  put16(b, 84 + 2, 2024);  // modification time: 2024-02-29 23:59:58
  b[84 + 4] = 2;
  b[84 + 5] = 29;
  b[84 + 6] = 23;
  b[84 + 7] = 59;
  b[84 + 8] = 58;
  put32(b, 172, static_cast<std::uint32_t>(ads.size()));
  std::memcpy(&b[176], ads.data(), ads.size());
  return sealed(b, kUdfTagFileEntry, location, 176 + ads.size() - 16);
}

Bytes shortAd(std::uint32_t length, std::uint32_t block, std::uint8_t type = 0) {
  Bytes b(8, 0);
  put32(b, 0, (std::uint32_t{type} << 30) | length);
  put32(b, 4, block);
  return b;
}

TEST(UdfTag, ChecksumAndLocation) {
  const Bytes good = sealed(Bytes(512, 0), kUdfTagAnchor, 256, 16);
  EXPECT_EQ(UDF_CheckTag(good, kUdfTagAnchor, 256), Parse::Ok);
  EXPECT_EQ(UDF_CheckTag(good, kUdfTagAnchor, 257), Parse::NotThis);
  EXPECT_EQ(UDF_CheckTag(good, kUdfTagPartition), Parse::NotThis);
  Bytes bad = good;
  bad[12] ^= 1;  // location changed without resealing
  EXPECT_EQ(UDF_CheckTag(bad, kUdfTagAnchor), Parse::NotThis);
}

TEST(UdfFileEntry, DescriptorsMustFitTheBlock) {
  Bytes ads = shortAd(5000, 40);
  const Bytes fe = fileEntry(7, 0, ads, 5000);
  UdfEntry e;
  ASSERT_EQ(UDF_ParseFileEntry(fe, e), Parse::Ok);
  EXPECT_EQ(e.allocation, 0);
  EXPECT_EQ(e.informationLength, 5000u);
  EXPECT_EQ(UDF_TimestampToFileTime(e.modification), Optical_FileTime(2024, 2, 29, 23, 59, 58));
  std::vector<UdfExtent> x;
  ASSERT_TRUE(UDF_ParseAllocation(e.descriptors, e.allocation, 0, x, nullptr));
  ASSERT_EQ(x.size(), 1u);
  EXPECT_EQ(x[0].block, 40u);
  EXPECT_EQ(x[0].length, 5000u);

  // Descriptors that fill the block exactly are inside it; one byte more is not.
  Bytes full(2048, 0);
  put32(full, 172, 2048 - 176);
  EXPECT_EQ(UDF_ParseFileEntry(sealed(full, kUdfTagFileEntry, 7, 2048 - 16), e), Parse::Ok);
  put32(full, 168, 1);
  EXPECT_EQ(UDF_ParseFileEntry(sealed(full, kUdfTagFileEntry, 7, 2048 - 16), e), Parse::Corrupt);
  Bytes huge = fe;
  put32(huge, 168, 0xFFFFFFFFu);  // an extended-attribute length that would wrap in 32 bits
  EXPECT_EQ(UDF_ParseFileEntry(sealed(huge, kUdfTagFileEntry, 7, 200), e), Parse::Corrupt);

  // Embedded data is the descriptor area itself.
  const Bytes text = {'h', 'i', '!'};
  const Bytes embedded = fileEntry(8, 3, text, 3);  // e.descriptors points into it
  ASSERT_EQ(UDF_ParseFileEntry(embedded, e), Parse::Ok);
  EXPECT_EQ(e.allocation, 3);
  EXPECT_EQ(Bytes(e.descriptors.begin(), e.descriptors.end()), text);
}

TEST(UdfAllocation, ContinuationAndSparseExtents) {
  Bytes ads = shortAd(4096, 10);
  const Bytes sparse = shortAd(2048, 0, 2);
  const Bytes next = shortAd(2048, 99, 3);
  ads.insert(ads.end(), sparse.begin(), sparse.end());
  ads.insert(ads.end(), next.begin(), next.end());
  std::vector<UdfExtent> x;
  UdfExtent cont{};
  ASSERT_TRUE(UDF_ParseAllocation(ads, 0, 1, x, &cont));
  ASSERT_EQ(x.size(), 2u);
  EXPECT_EQ(x[1].type, 2);
  EXPECT_EQ(x[0].partition, 1);  // short descriptors stay in the entry's partition
  EXPECT_EQ(cont.block, 99u);
  EXPECT_EQ(cont.length, 2048u);
  EXPECT_FALSE(UDF_ParseAllocation(std::span(ads).first(5), 0, 0, x, nullptr));
}

Bytes identifier(std::uint8_t characteristics, std::uint32_t icb, const Bytes& name) {
  const std::size_t length = (38 + name.size() + 3) & ~std::size_t{3};
  Bytes b(length, 0);
  put16(b, 16, 1);
  b[18] = characteristics;
  b[19] = static_cast<std::uint8_t>(name.size());
  put32(b, 20, 2048);
  put32(b, 24, icb);
  if (!name.empty()) std::memcpy(&b[38], name.data(), name.size());
  return sealed(b, kUdfTagFileIdentifier, 3, length - 16);
}

TEST(UdfIdentifier, DeletedFlagNamesAndDamage) {
  Bytes dir = identifier(kUdfFidDirectory | kUdfFidParent, 2, {});
  const std::size_t second = dir.size();
  const Bytes gone = identifier(kUdfFidDeleted, 77, {16, 0, 'A', 0, 'B'});
  dir.insert(dir.end(), gone.begin(), gone.end());
  UdfIdentifier id;
  ASSERT_EQ(UDF_ParseIdentifier(dir, 0, id), Parse::Ok);
  EXPECT_FALSE(id.valid);  // the parent has no name
  EXPECT_EQ(id.length, second);
  ASSERT_EQ(UDF_ParseIdentifier(dir, second, id), Parse::Ok);
  EXPECT_TRUE(id.valid);
  EXPECT_EQ(id.name, u"AB");
  EXPECT_EQ(id.characteristics & kUdfFidDeleted, kUdfFidDeleted);
  EXPECT_EQ(id.icbBlock, 77u);
  // Damaged bytes: no identifier here; too few bytes left: the end.
  Bytes broken = dir;
  broken[second + 20] ^= 0xFF;
  broken[second + 4] ^= 0;  // checksum covers the tag only: the body change is not seen
  EXPECT_EQ(UDF_ParseIdentifier(broken, second, id), Parse::Ok);
  broken[second + 12] ^= 1;  // the tag itself
  EXPECT_EQ(UDF_ParseIdentifier(broken, second, id), Parse::Corrupt);
  EXPECT_EQ(UDF_ParseIdentifier(dir, dir.size() - 20, id), Parse::NotThis);
  Bytes cut = gone;
  put16(cut, 36, 4000);  // implementation use running past the data
  cut = sealed(cut, kUdfTagFileIdentifier, 3, 16);
  EXPECT_EQ(UDF_ParseIdentifier(cut, 0, id), Parse::Corrupt);
}

TEST(UdfName, CompressionIdentifiers) {
  EXPECT_EQ(UDF_DecodeName(Bytes{16, 0x00, 0x41, 0x00, 0x42}), u"AB");
  EXPECT_EQ(UDF_DecodeName(Bytes{255, 0x04, 0x36}), u"\u0436");
  EXPECT_EQ(UDF_DecodeName(Bytes{8, 'F', 0xE9}), u"F\u00e9");
  EXPECT_EQ(UDF_DecodeName(Bytes{254, 'x'}), u"x");
  EXPECT_EQ(UDF_DecodeName(Bytes{9, 'x'}), u"");
  EXPECT_EQ(UDF_DecodeName(Bytes{16, 0x00}), u"");  // half a character
}

TEST(UdfLocator, ExtentsAndEmbeddedDataRoundTrip) {
  std::vector<UdfExtent> x{{4096, 0, 10, 0}, {100, 2, 0, 0}, {(1u << 30) - 1, 0, 500, 0}};
  const Bytes loc = UDF_EncodeLocator(x, {}, false);
  std::vector<UdfPiece> p;
  ASSERT_TRUE(UDF_DecodeLocator(loc, p));
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].block, 10u);
  EXPECT_EQ(p[1].type, 2);
  EXPECT_EQ(p[2].length, (1u << 30) - 1);
  const Bytes data = {1, 2, 3, 4, 5};
  const Bytes emb = UDF_EncodeLocator({}, data, true);
  ASSERT_TRUE(UDF_DecodeLocator(emb, p));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_TRUE(p[0].embedded);
  EXPECT_EQ(Bytes(p[0].bytes.begin(), p[0].bytes.end()), data);
  // A total larger than the bytes there is refused rather than read past.
  Bytes bad = emb;
  put32(bad, 0, 1000);
  EXPECT_FALSE(UDF_DecodeLocator(bad, p));
}

}  // namespace
