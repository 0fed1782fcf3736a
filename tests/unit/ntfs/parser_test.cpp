// Pure NTFS parsers: update-sequence fix-up, run-list cursor and file-record parsing, each as a
// table of one-field mutations of a good input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/le.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint16_t v) { storeLe<std::uint16_t>(b.data() + at, v); }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { storeLe<std::uint32_t>(b.data() + at, v); }
void put64(Bytes& b, std::size_t at, std::uint64_t v) { storeLe<std::uint64_t>(b.data() + at, v); }

// ----------------------------------------------------------------------------------------------
// Fix-up: a 1024-byte record with the array at 0x30, sequence 0x0102, real end words AA BB / CC DD.
Bytes protectedRecord() {
  Bytes r(1024, 0);
  std::memcpy(r.data(), "FILE", 4);
  put16(r, 4, 0x30);
  put16(r, 6, 3);
  put16(r, 0x30, 0x0102);
  put16(r, 0x32, 0xBBAA);
  put16(r, 0x34, 0xDDCC);
  put16(r, 510, 0x0102);
  put16(r, 1022, 0x0102);
  return r;
}

struct FixupCase {
  const char* name;
  std::size_t offset;
  Bytes bytes;
  bool ok;
};
class FixupTest : public ::testing::TestWithParam<FixupCase> {};
TEST_P(FixupTest, MutatedField) {
  Bytes r = protectedRecord();
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(),
            r.begin() + static_cast<std::ptrdiff_t>(GetParam().offset));
  const Bytes before = r;
  EXPECT_EQ(NTFS_ApplyFixup(r, 512), GetParam().ok);
  if (!GetParam().ok) EXPECT_EQ(r, before);  // a refused record is left as it was
}
INSTANTIATE_TEST_SUITE_P(
    Ntfs, FixupTest,
    ::testing::Values(FixupCase{"Pristine", 0, {}, true},
                      FixupCase{"SecondBlockMismatch", 1022, {0x03, 0x01}, false},
                      FixupCase{"FirstBlockMismatch", 510, {0x00, 0x00}, false},
                      FixupCase{"ArrayPastRecord", 4, {0x00, 0x05}, false},
                      FixupCase{"ArrayEndsPastRecord", 4, {0xFE, 0x03}, false},
                      FixupCase{"MoreBlocksThanRecord", 6, {0x04, 0x00}, false},
                      FixupCase{"HugeCount", 6, {0xFF, 0xFF}, false},
                      FixupCase{"CountOneAccepted", 6, {0x01, 0x00}, true},
                      FixupCase{"CountZeroAccepted", 6, {0x00, 0x00}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fixup, RestoresTheRealEndWords) {
  Bytes r = protectedRecord();
  ASSERT_TRUE(NTFS_ApplyFixup(r, 512));
  EXPECT_EQ(r[510], 0xAA);
  EXPECT_EQ(r[511], 0xBB);
  EXPECT_EQ(r[1022], 0xCC);
  EXPECT_EQ(r[1023], 0xDD);
}

// ----------------------------------------------------------------------------------------------
// Run lists.
struct Run {
  std::uint64_t first, count;
  bool sparse;
  bool operator==(const Run&) const = default;
};
using Runs = std::vector<Run>;
std::vector<Run> runsOf(const Bytes& list, std::uint64_t limit, bool* corrupt = nullptr) {
  RunCursor c;
  c.load(list, limit);
  std::vector<Run> runs;
  std::uint64_t first = 0, count = 0;
  bool sparse = false;
  while (c.nextRun(&first, &count, &sparse) && runs.size() < 100)
    runs.push_back({first, count, sparse});
  if (corrupt) *corrupt = c.corrupt();
  return runs;
}

struct RunCase {
  const char* name;
  Bytes list;
  std::uint64_t limit;
  std::vector<Run> runs;
  bool corrupt;
};
class RunListTest : public ::testing::TestWithParam<RunCase> {};
TEST_P(RunListTest, Decodes) {
  bool corrupt = false;
  EXPECT_EQ(runsOf(GetParam().list, GetParam().limit, &corrupt), GetParam().runs);
  EXPECT_EQ(corrupt, GetParam().corrupt);
}
INSTANTIATE_TEST_SUITE_P(
    Ntfs, RunListTest,
    ::testing::Values(
        RunCase{"OneRun", {0x21, 0x10, 0x00, 0x01, 0x00}, 0, {{256, 16, false}}, false},
        RunCase{"NegativeOffset",
                {0x21, 0x04, 0x00, 0x10, 0x11, 0x02, 0xF0, 0x00},
                0,
                {{4096, 4, false}, {4080, 2, false}},
                false},
        RunCase{"SparseBetween",
                {0x11, 0x04, 0x20, 0x01, 0x0C, 0x11, 0x04, 0x10, 0x00},
                0,
                {{32, 4, false}, {0, 12, true}, {48, 4, false}},
                false},
        RunCase{"EightByteOffset",
                {0x81, 0x01, 1, 2, 3, 4, 5, 6, 7, 0, 0x00},
                0,
                {{0x07060504030201ull, 1, false}},
                false},
        RunCase{"LengthWidthNine", {0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 5, 0x00}, 0, {}, true},
        RunCase{"OffsetWidthNine", {0x91, 0x01, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0, {}, true},
        RunCase{"LengthWidthZero", {0x10, 0x05, 0x00}, 0, {}, true},
        RunCase{"PairPastList", {0x31, 0x04, 0x00}, 0, {}, true},
        RunCase{"ZeroLength", {0x11, 0x00, 0x05, 0x00}, 0, {}, true},
        RunCase{"NegativeLength", {0x11, 0x80, 0x05, 0x00}, 0, {}, true},
        RunCase{"StartBeforeClusterZero", {0x11, 0x01, 0xF0, 0x00}, 0, {}, true},
        RunCase{"PastVolume", {0x21, 0x10, 0x00, 0x01, 0x00}, 200, {}, true},
        RunCase{"EndsAtVolume", {0x21, 0x10, 0xF0, 0x00, 0x00}, 256, {{240, 16, false}}, false},
        RunCase{"GoodThenDamaged", {0x11, 0x02, 0x08, 0x1A, 0x00}, 0, {{8, 2, false}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunCursor, ClusterWalkAndSparseSkip) {
  const Bytes list{0x11, 0x02, 0x20, 0x01, 0x03, 0x11, 0x01, 0x10, 0x00};
  RunCursor c;
  c.load(list);
  std::uint64_t cl = 0, left = 0, n = 0;
  EXPECT_FALSE(c.skipSparse(&n));  // a data run comes first
  ASSERT_TRUE(c.next(&cl, &left));
  EXPECT_EQ(cl, 32u);
  EXPECT_EQ(left, 1u);
  EXPECT_FALSE(c.skipSparse(&n));  // only at a run boundary
  ASSERT_TRUE(c.next(&cl));
  EXPECT_EQ(cl, 33u);
  ASSERT_TRUE(c.skipSparse(&n));
  EXPECT_EQ(n, 3u);
  ASSERT_TRUE(c.next(&cl));
  EXPECT_EQ(cl, 48u);
  EXPECT_FALSE(c.next(&cl));
  EXPECT_FALSE(c.next(&cl));  // stays ended
}

TEST(RunCursor, DamagedHeaderStaysEnded) {
  const Bytes list{0x11, 0x01, 0x05, 0xA1, 0x01, 0x02};
  RunCursor c;
  c.load(list);
  std::uint64_t cl = 0;
  ASSERT_TRUE(c.next(&cl));
  EXPECT_FALSE(c.next(&cl));
  EXPECT_TRUE(c.corrupt());
  EXPECT_FALSE(c.next(&cl));
}

// ----------------------------------------------------------------------------------------------
// File records: a 1024-byte record of a file "report.txt" with $STANDARD_INFORMATION, a DOS name,
// a Win32 name, a non-resident unnamed $DATA and a resident named stream "x".
struct RecordBuilder {
  Bytes r = Bytes(1024, 0);
  std::size_t at = 0x38;
  std::map<std::string, std::size_t> where;

  void attr(const std::string& tag, std::uint32_t type, Bytes body) {
    where[tag] = at;
    body.resize((body.size() + 7) & ~std::size_t{7}, 0);
    put32(body, 0, type);
    put32(body, 4, static_cast<std::uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    at += body.size();
  }
  static Bytes resident(std::size_t contentSize, std::size_t nameUnits = 0) {
    const std::size_t contentAt = 0x18 + nameUnits * 2;
    Bytes b((contentAt + contentSize + 7) & ~std::size_t{7}, 0);
    b[9] = static_cast<std::uint8_t>(nameUnits);
    put16(b, 0x0A, 0x18);
    put32(b, 0x10, static_cast<std::uint32_t>(contentSize));
    put16(b, 0x14, static_cast<std::uint16_t>(contentAt));
    return b;
  }
  static Bytes fileName(const std::u16string& name, std::uint8_t space, std::uint64_t parent) {
    Bytes b = resident(0x42 + name.size() * 2);
    put64(b, 0x18, parent);
    put64(b, 0x18 + 0x08, 132000000000000000ull);
    put64(b, 0x18 + 0x10, 132000000010000000ull);
    put64(b, 0x18 + 0x20, 132000000020000000ull);
    b[0x18 + 0x40] = static_cast<std::uint8_t>(name.size());
    b[0x18 + 0x41] = space;
    for (std::size_t i = 0; i < name.size(); ++i) put16(b, 0x18 + 0x42 + 2 * i, name[i]);
    return b;
  }
  RecordBuilder() {
    std::memcpy(r.data(), "FILE", 4);
    put16(r, 4, 0x30);
    put16(r, 6, 3);
    put16(r, 0x14, 0x38);
    put16(r, 0x16, 0x01);
    put32(r, 0x2C, 77);
    Bytes si = resident(0x48);
    put32(si, 0x18 + 0x20, 0x20 | 0x02);  // archive, hidden
    attr("si", 0x10, si);
    attr("dos", 0x30, fileName(u"REPORT~1.TXT", 2, 0x0003000000000005ull));
    attr("name", 0x30, fileName(u"report.txt", 1, 0x0003000000000005ull));
    Bytes data(0x48, 0);
    data[8] = 1;
    put16(data, 0x20, 0x40);
    put64(data, 0x30, 5000);
    data[0x40] = 0x21;
    data[0x41] = 0x02;
    put16(data, 0x42, 0x0100);
    attr("data", 0x80, data);
    Bytes stream = resident(5, 1);
    put16(stream, 0x0A, 0x18);
    put16(stream, 0x18, u'x');
    std::memcpy(stream.data() + 0x1A, "hello", 5);
    attr("stream", 0x80, stream);
    put32(r, at, 0xFFFFFFFF);
    // Protect the two blocks: sequence 7, real end words saved in the array.
    put16(r, 0x30, 7);
    put16(r, 0x32, static_cast<std::uint16_t>(r[510] | (r[511] << 8)));
    put16(r, 0x34, static_cast<std::uint16_t>(r[1022] | (r[1023] << 8)));
    put16(r, 510, 7);
    put16(r, 1022, 7);
  }
};

TEST(FileRecord, ParsesNamesTimesDataAndStreams) {
  RecordBuilder b;
  NtfsParsedRecord rec;
  ASSERT_EQ(NTFS_ParseFileRecord(b.r, rec), Parse::Ok);
  EXPECT_EQ(rec.recordNumber, 77u);
  EXPECT_EQ(rec.name, u"report.txt");
  EXPECT_EQ(rec.parent, 0x0003000000000005ull);
  EXPECT_EQ(rec.size, 5000u);
  EXPECT_EQ(rec.runListLength, 8u);
  EXPECT_EQ(rec.dataLength, 8u);
  EXPECT_EQ(rec.attributes, kAttrArchive | kAttrHidden);
  EXPECT_EQ(rec.recordFlags, 1);
  ASSERT_EQ(rec.streamCount, 1u);
  EXPECT_EQ(rec.streams[0].name, u"x");
  EXPECT_EQ(rec.streams[0].size, 5u);
  EXPECT_EQ(rec.streams[0].runListLength, 0u);
  EXPECT_EQ(std::string(rec.streams[0].data.begin(), rec.streams[0].data.end()), "hello");
}

TEST(FileRecord, DosNameKeptOnlyWithoutAnother) {
  RecordBuilder b;
  // Turn the Win32 name into a second DOS name: the first name seen stays.
  b.r[b.where["name"] + 0x18 + 0x41] = 2;
  NtfsParsedRecord rec;
  ASSERT_EQ(NTFS_ParseFileRecord(b.r, rec), Parse::Ok);
  EXPECT_EQ(rec.name, u"REPORT~1.TXT");
}

struct RecordCase {
  const char* name;
  std::string attr;  // "" = record header
  std::size_t offset;
  Bytes bytes;
  Parse expected;
};
class FileRecordTest : public ::testing::TestWithParam<RecordCase> {};
TEST_P(FileRecordTest, MutatedField) {
  RecordBuilder b;
  const std::size_t base = GetParam().attr.empty() ? 0 : b.where[GetParam().attr];
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(),
            b.r.begin() + static_cast<std::ptrdiff_t>(base + GetParam().offset));
  NtfsParsedRecord rec;
  EXPECT_EQ(NTFS_ParseFileRecord(b.r, rec), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Ntfs, FileRecordTest,
    ::testing::Values(
        RecordCase{"Pristine", "", 0, {}, Parse::Ok},
        RecordCase{"LowerCaseMagic", "", 0, {'f'}, Parse::NotThis},
        RecordCase{"BadFixup", "", 510, {8, 0}, Parse::Corrupt},
        RecordCase{"AttributesPastRecord", "", 0x14, {0xF8, 0x03}, Parse::Corrupt},
        RecordCase{"FirstTypeZero", "si", 0, {0, 0, 0, 0}, Parse::Corrupt},
        RecordCase{"NameAttributeRunsPastRecord", "dos", 4, {0x00, 0x10, 0, 0}, Parse::Corrupt},
        RecordCase{"NameLongerThanAttribute", "dos", 0x18 + 0x40, {0xF0}, Parse::Ok},
        RecordCase{"ZeroLengthEndsWalk", "dos", 4, {0, 0, 0, 0}, Parse::Corrupt},
        RecordCase{"RunListOffsetPastAttribute", "data", 0x20, {0xFF, 0x00}, Parse::Ok},
        RecordCase{"StreamContentPastAttribute", "stream", 0x10, {0xFF, 0x00}, Parse::Ok},
        RecordCase{"StreamNamePastAttribute", "stream", 0x0A, {0xF0, 0x00}, Parse::Ok}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileRecord, EncryptedAndCompressedFlags) {
  RecordBuilder b;
  put16(b.r, b.where["data"] + 0x0C, 0x4001);
  put16(b.r, b.where["data"] + 0x22, 4);
  NtfsParsedRecord rec;
  ASSERT_EQ(NTFS_ParseFileRecord(b.r, rec), Parse::Ok);
  EXPECT_EQ(rec.dataFlags, 0x4004u);
  EXPECT_EQ(rec.attributes & (kAttrCompressed | kAttrEncrypted), kAttrCompressed | kAttrEncrypted);
}

TEST(FileRecord, SparseUnitWithoutCompressionIsNotCompressed) {
  RecordBuilder b;
  put16(b.r, b.where["data"] + 0x0C, 0x8000);
  put16(b.r, b.where["data"] + 0x22, 4);
  NtfsParsedRecord rec;
  ASSERT_EQ(NTFS_ParseFileRecord(b.r, rec), Parse::Ok);
  EXPECT_EQ(rec.dataFlags, 0u);
  EXPECT_EQ(rec.attributes & kAttrCompressed, 0);
}

// ----------------------------------------------------------------------------------------------
// Boot sectors.
Bytes bootSector() {
  Bytes s(512, 0);
  std::memcpy(s.data() + 3, "NTFS    ", 8);
  put16(s, 0x0B, 512);
  s[0x0D] = 8;
  put64(s, 0x30, 4);
  put64(s, 0x38, 8);
  s[0x40] = 0xF6;
  return s;
}
struct BootCase {
  const char* name;
  std::size_t offset;
  Bytes bytes;
  Parse expected;
  std::uint32_t recordBytes;
};
class BootTest : public ::testing::TestWithParam<BootCase> {};
TEST_P(BootTest, MutatedField) {
  Bytes s = bootSector();
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(),
            s.begin() + static_cast<std::ptrdiff_t>(GetParam().offset));
  NtfsBootGeometry g;
  ASSERT_EQ(NTFS_ParseBootSector(s, g), GetParam().expected);
  if (GetParam().expected == Parse::Ok) EXPECT_EQ(g.recordBytes, GetParam().recordBytes);
}
INSTANTIATE_TEST_SUITE_P(
    Ntfs, BootTest,
    ::testing::Values(BootCase{"Pristine", 0, {}, Parse::Ok, 1024},
                      BootCase{"LowerCaseName", 3, {'n', 't', 'f', 's'}, Parse::Ok, 1024},
                      BootCase{"FatCountSet", 0x10, {1}, Parse::NotThis, 0},
                      BootCase{"OtherName", 3, {'N', 'T', 'F', 'X'}, Parse::NotThis, 0},
                      BootCase{"RecordFromClusters", 0x40, {0x02}, Parse::Ok, 8192},
                      BootCase{"SectorSizeZero", 0x0B, {0, 0}, Parse::NotThis, 0},
                      BootCase{"ClusterSizeZero", 0x0D, {0}, Parse::NotThis, 0},
                      BootCase{"RecordShiftHuge", 0x40, {0x80}, Parse::NotThis, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

TEST(JoinRunLists, ExtentsBecomeOneList) {
  const std::vector<NtfsParsedRecord::Extent> extents{
      {0, 3, {0x11, 0x04, 0x20, 0x00}},
      {4, 15, {0x01, 0x02, 0x11, 0x0A, 0x10, 0x00}},  // sparse 2, then 10 at 16
  };
  Bytes joined;
  ASSERT_TRUE(NTFS_JoinRunLists(extents, joined));
  EXPECT_EQ(runsOf(joined, 0), (Runs{{32, 4, false}, {0, 2, true}, {16, 10, false}}));
}

TEST(JoinRunLists, RefusesGapsAndShortExtents) {
  Bytes joined;
  EXPECT_FALSE(NTFS_JoinRunLists(
      {{0, 3, {0x11, 0x04, 0x20, 0x00}}, {5, 6, {0x11, 0x02, 0x40, 0x00}}}, joined));
  EXPECT_FALSE(NTFS_JoinRunLists({{0, 9, {0x11, 0x04, 0x20, 0x00}}}, joined));  // 4 of 10 clusters
  EXPECT_FALSE(NTFS_JoinRunLists({{0, 3, {0x11, 0x04, 0xF0, 0x00}}}, joined));  // before cluster 0
}

}  // namespace
