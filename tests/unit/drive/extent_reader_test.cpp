// ExtentReader over many shapes of extent lists: 1-byte and odd extents, chunks that do not divide
// them, reads split at every size; plus skipping, alignment, the first-chunk drop and cancelling.
#include "core/extent_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "core/event.h"
#include "drive_test_util.h"

using namespace drivetest;

namespace {

constexpr std::size_t kDeviceSize = 1 << 20;

struct ReaderDeleter {
  void operator()(ExtentReader* r) const { ExtentReader_Destroy(r); }
};
using ReaderPtr = std::unique_ptr<ExtentReader, ReaderDeleter>;

struct ReaderRig {
  std::vector<std::uint8_t> bytes = pattern(kDeviceSize);
  std::vector<Request> log;
  DrivePtr drive = makeDrive();
  ReaderPtr reader;
  ManualResetEvent cancel, totalCancel;

  explicit ReaderRig(std::uint32_t chunk) {
    EXPECT_TRUE(CachedDrive_OpenDevice(drive.get(), std::make_unique<CountingDevice>(&bytes, &log),
                                       kHostDriveFixed));
    ExtentReader* r = nullptr;
    EXPECT_TRUE(ExtentReader_Create(&r));
    reader.reset(r);
    EXPECT_TRUE(ExtentReader_Init(&cancel, &totalCancel, drive.get(), r, chunk, 0, 0));
  }

  std::vector<std::uint8_t> streamOf(const std::vector<Extent>& extents) const {
    std::vector<std::uint8_t> out;
    for (const auto& e : extents)
      out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(e.offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(e.offset + e.length));
    return out;
  }
};

std::vector<Extent> oneByteExtents(std::size_t n) {
  std::vector<Extent> v;
  for (std::size_t i = 0; i < n; ++i) v.push_back({1000 + i * 2, 1});  // not adjacent: no merging
  return v;
}

struct ShapeCase {
  const char* name;
  std::vector<Extent> extents;
};

const std::vector<ShapeCase> kShapes = {
    {"OneByteExtents", oneByteExtents(300)},
    {"OddExtents", {{7, 3}, {100, 1}, {4099, 4097}, {20001, 511}, {90000, 13}}},
    {"WholeChunks", {{0, 4096}, {65536, 8192}, {8192, 4096}}},
    {"OneLongExtent", {{12345, 300000}}},
    {"UpToTheDeviceEnd",
     {{kDeviceSize - 5000, 3}, {kDeviceSize - 4000, 3999}, {kDeviceSize - 1, 1}}},
};

struct ReadCase {
  const char* shape;
  std::uint32_t chunk;
  std::uint64_t piece;
};
class ExtentStreamTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ExtentStreamTest, HandsOutTheStreamInOrder) {
  const auto& c = GetParam();
  const auto& extents = std::find_if(kShapes.begin(), kShapes.end(), [&](const auto& s) {
                          return s.name == std::string(c.shape);
                        })->extents;
  ReaderRig s(c.chunk);
  for (const auto& e : extents) ASSERT_TRUE(ExtentList_Append(s.reader.get(), e.offset, e.length));
  ASSERT_TRUE(ExtentReader_Rewind(s.reader.get()));
  const auto expected = s.streamOf(extents);
  std::vector<std::uint8_t> got;
  std::vector<std::uint8_t> piece;
  while (got.size() < expected.size()) {
    const std::size_t n = std::min<std::size_t>(c.piece, expected.size() - got.size());
    piece.assign(n, 0xEE);
    ASSERT_TRUE(ExtentReader_Read(s.reader.get(), piece.data(), n)) << "at " << got.size();
    got.insert(got.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(got, expected);
  std::uint64_t consumed = 0;
  ASSERT_TRUE(ExtentReader_GetConsumed(&consumed, s.reader.get()));
  EXPECT_EQ(consumed, expected.size());
  std::uint8_t b = 0;
  EXPECT_FALSE(ExtentReader_Read(s.reader.get(), &b, 1));  // nothing past the stream

  // Skip to every few positions from the start and read the byte there.
  for (std::size_t at = 0; at < expected.size(); at += 1 + expected.size() / 7) {
    ASSERT_TRUE(ExtentReader_Rewind(s.reader.get()));
    ASSERT_TRUE(ExtentReader_Skip(s.reader.get(), at));
    ASSERT_TRUE(ExtentReader_Read(s.reader.get(), &b, 1));
    EXPECT_EQ(b, expected[at]) << "after skipping " << at;
  }
}

std::vector<ReadCase> allReadCases() {
  std::vector<ReadCase> v;
  for (const auto& shape : kShapes)
    for (const std::uint32_t chunk : {1u, 3u, 512u, 4096u})
      for (const std::uint64_t piece : {1ull, 7ull, 4096ull, 1000000ull})
        v.push_back({shape.name, chunk, piece});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Drive, ExtentStreamTest, ::testing::ValuesIn(allReadCases()),
                         [](const auto& info) {
                           return std::string(info.param.shape) + "_chunk" +
                                  std::to_string(info.param.chunk) + "_piece" +
                                  std::to_string(info.param.piece);
                         });

TEST(ExtentReaderTest, SingleExtentAlignAndDropFirstChunk) {
  ReaderRig s(512);
  ASSERT_TRUE(ExtentReader_SetFirst(s.reader.get(), 4096, 4 * 512));
  std::uint8_t b[5] = {};
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), b, 5));
  ASSERT_TRUE(ExtentReader_AlignTo(s.reader.get(), 8));
  std::uint64_t consumed = 0;
  ASSERT_TRUE(ExtentReader_GetConsumed(&consumed, s.reader.get()));
  EXPECT_EQ(consumed, 8u);
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), b, 1));
  EXPECT_EQ(b[0], s.bytes[4096 + 8]);
  ASSERT_TRUE(ExtentReader_AlignTo(s.reader.get(), 0));

  ASSERT_TRUE(ExtentReader_DropFirstChunk(s.reader.get()));
  std::uint64_t length = 0, offset = 0;
  ASSERT_TRUE(ExtentReader_GetFirst(s.reader.get(), &length, &offset));
  EXPECT_EQ(offset, 4096u + 512);
  EXPECT_EQ(length, 3u * 512);
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), b, 1));
  EXPECT_EQ(b[0], s.bytes[4096 + 512]);
  std::vector<std::uint8_t> rest(3 * 512);
  EXPECT_FALSE(ExtentReader_Read(s.reader.get(), rest.data(), rest.size()));  // one byte short
}

TEST(ExtentReaderTest, AppendMergesAdjacentAndGrowsBy512) {
  ReaderRig s(512);
  ASSERT_TRUE(ExtentList_Append(s.reader.get(), 0, 100));
  ASSERT_TRUE(ExtentList_Append(s.reader.get(), 100, 50));
  ASSERT_EQ(s.reader->extents.size(), 1u);
  EXPECT_EQ(s.reader->extents[0].length, 150u);
  EXPECT_EQ(s.reader->extents.capacity(), 512u);
  for (std::uint64_t i = 0; i < 600; ++i)
    ASSERT_TRUE(ExtentList_Append(s.reader.get(), 1000 + i * 10, 1));
  EXPECT_EQ(s.reader->extents.capacity(), 1024u);
  EXPECT_FALSE(ExtentList_Append(s.reader.get(), ~0ull - 5, 10));
}

TEST(ExtentReaderTest, ReadPollsCancelEvery128Refills) {
  ReaderRig s(1);
  ASSERT_TRUE(ExtentReader_SetFirst(s.reader.get(), 0, 1000));
  std::vector<std::uint8_t> buf(200);
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), buf.data(), 1));  // refill 1 looks: not set
  s.cancel.set();
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), buf.data(), 127));  // refills 2..128 do not look
  EXPECT_FALSE(ExtentReader_Read(s.reader.get(), buf.data(), 1));   // refill 129 does
  EXPECT_FALSE(ExtentReader_Skip(s.reader.get(), 1));  // skipping looks before every refill
  s.cancel.reset();
  ASSERT_TRUE(ExtentReader_Skip(s.reader.get(), 1));
}

TEST(ExtentReaderTest, FarSkipsDoNotReadThePassedChunks) {
  ReaderRig s(4096);
  ASSERT_TRUE(ExtentReader_SetFirst(s.reader.get(), 0, kDeviceSize));
  s.log.clear();
  ASSERT_TRUE(ExtentReader_Skip(s.reader.get(), kDeviceSize - 100));
  std::uint8_t b = 0;
  ASSERT_TRUE(ExtentReader_Read(s.reader.get(), &b, 1));
  EXPECT_EQ(b, s.bytes[kDeviceSize - 100]);
  for (const auto& r : s.log) EXPECT_GE(r.offset, kDeviceSize - 3 * 4096);
}

TEST(ExtentReaderTest, FreedBufferFailsCleanly) {
  ReaderRig s(512);
  ASSERT_TRUE(ExtentReader_SetFirst(s.reader.get(), 0, 4096));
  ExtentReader_FreeBuffer(s.reader.get());
  std::uint8_t b = 0;
  EXPECT_FALSE(ExtentReader_Read(s.reader.get(), &b, 1));
}

}  // namespace
