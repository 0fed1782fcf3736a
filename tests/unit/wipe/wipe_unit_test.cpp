// The wipe's building blocks without images: the pass tables and the method setting, and the
// volume controls over memory (placement onto free clusters only, writes that land where the
// scratch file was placed, the bitmap request, dismount).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/undelete_object.h"
#include "core/wipe.h"
#include "host/host.h"
#include "host/host_volume_control.h"
#include "undelete/undelete.h"

namespace {

std::vector<std::uint8_t> passBytes(std::uint32_t pass, std::uint32_t method,
                                    std::vector<std::uint8_t>& b) {
  EXPECT_TRUE(Wipe_FillPattern(pass, method, b.data(), static_cast<std::uint32_t>(b.size())));
  return b;
}

bool uniform(const std::vector<std::uint8_t>& b) {
  return std::all_of(b.begin(), b.end(), [&](std::uint8_t x) { return x == b[0]; });
}

TEST(WipePattern, MethodSettingKeepsFlagsAndRefusesUnknownMethods) {
  Undelete* u = nullptr;
  ASSERT_EQ(Undelete_Create(&u), 1);
  u->wipeFlags = 3;
  EXPECT_EQ(Undelete_SetWipeMethod(u, 2, 3), 0);
  EXPECT_EQ(u->wipeFlags, (2u << 2) | 3u);
  EXPECT_EQ(u->wipePasses, 3u);
  EXPECT_EQ(Undelete_SetWipeMethod(u, 5, 9), 0);
  EXPECT_EQ(u->wipeFlags, (2u << 2) | 3u) << "method 5 changes nothing";
  EXPECT_EQ(u->wipePasses, 3u);
  std::uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_FALSE(Wipe_FillPattern(0, 5, b, sizeof b));
  EXPECT_EQ(b[0], 1);
  // No passes would write nothing yet report the data gone: at least one pass is written.
  u->wipePasses = 0;
  EXPECT_EQ(Wipe_Passes(u), 1u);
  Undelete_Delete(u);
}

TEST(WipePattern, MethodTwoComplementThenNewByteAndFourthPassRepeatsThird) {
  Wipe_SeedRandom(12345);
  std::vector<std::uint8_t> b(1000);
  const auto p0 = passBytes(0, 2, b), p1 = passBytes(1, 2, b), p2 = passBytes(2, 2, b),
             p3 = passBytes(3, 2, b);
  EXPECT_TRUE(uniform(p0) && uniform(p1) && uniform(p2));
  EXPECT_EQ(p1[0], static_cast<std::uint8_t>(~p0[0]));
  EXPECT_EQ(p3, p2) << "a pass beyond the table leaves the buffer as it was";
  // Method 3: passes 1 and 5 are complements of the byte remembered by 0 and 4.
  const auto q0 = passBytes(0, 3, b), q1 = passBytes(1, 3, b);
  EXPECT_EQ(q1[0], static_cast<std::uint8_t>(~q0[0]));
  passBytes(2, 3, b);
  passBytes(3, 3, b);
  const auto q4 = passBytes(4, 3, b), q5 = passBytes(5, 3, b);
  EXPECT_EQ(q5[0], static_cast<std::uint8_t>(~q4[0])) << "passes 2 and 3 do not remember";
}

TEST(WipePattern, MethodFourTable) {
  std::vector<std::uint8_t> b(7);
  EXPECT_EQ(passBytes(29, 4, b),
            (std::vector<std::uint8_t>{0xB6, 0xDB, 0x6D, 0xB6, 0xDB, 0x6D, 0xB6}));
  EXPECT_EQ(passBytes(6, 4, b),
            (std::vector<std::uint8_t>{0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92}));
  EXPECT_EQ(passBytes(4, 4, b), std::vector<std::uint8_t>(7, 0x55));
  EXPECT_EQ(passBytes(24, 4, b), std::vector<std::uint8_t>(7, 0xFF));
  EXPECT_EQ(passBytes(0, 0, b), std::vector<std::uint8_t>(7, 0x00));
  // Random passes: the generator's bytes (x = x * 69621 mod 2^31-1, byte = bits 8..15).
  Wipe_SeedRandom(1);
  std::vector<std::uint8_t> r(3);
  passBytes(0, 4, r);
  std::uint64_t x = 1;
  for (int i = 0; i < 3; ++i) {
    x = x * 69621 % 0x7FFFFFFF;
    EXPECT_EQ(r[static_cast<std::size_t>(i)], static_cast<std::uint8_t>(x >> 8));
  }
}

// --- volume controls ----------------------------------------------------------------------------

constexpr std::uint32_t kCluster = 512;
constexpr std::uint64_t kFirst = 1024;  // LCN 0 after two sectors of metadata

struct MemoryVolume {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kFirst + 16 * kCluster, 0xEE);
  HostVolume volume{Host_OpenMemory(bytes, true)};
  MemoryVolume() {
    HostVolumeBitmap b;
    b.clusterBytes = kCluster;
    b.firstClusterOffset = kFirst;
    b.clusterCount = 16;
    b.bits = {0b0010'0110, 0b0000'0000};  // clusters 1, 2 and 5 in use
    volume.setBitmap(b);
  }
  std::uint8_t at(std::uint64_t lcn) const { return bytes[kFirst + lcn * kCluster]; }
};

TEST(VolumeControl, MovesOntoUsedClustersAreRefusedAndWritesLandOnlyWherePlaced) {
  MemoryVolume m;
  HostScratchFile* s = m.volume.createScratch(4 * kCluster);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->clusters(), 4u);
  EXPECT_FALSE(m.volume.moveFile(*s, 0, 0, 3)) << "cluster 1 is in use";
  EXPECT_EQ(s->placement(0), -1) << "a refused move changes nothing";
  EXPECT_FALSE(m.volume.moveFile(*s, 0, 5, 1));
  EXPECT_FALSE(m.volume.moveFile(*s, 0, 15, 2)) << "past the last cluster";
  ASSERT_TRUE(m.volume.moveFile(*s, 0, 3, 2));
  EXPECT_FALSE(m.volume.moveFile(*s, 2, 4, 1)) << "held by another scratch cluster";
  ASSERT_TRUE(m.volume.moveFile(*s, 2, 0, 1));
  std::vector<std::uint8_t> pattern(4 * kCluster, 0x5A);
  ASSERT_TRUE(s->write(0, pattern.data(), static_cast<std::uint32_t>(pattern.size())));
  EXPECT_EQ(m.at(3), 0x5A);
  EXPECT_EQ(m.at(4), 0x5A);
  EXPECT_EQ(m.at(0), 0x5A);
  for (const std::uint64_t lcn : {1u, 2u, 5u, 6u, 15u}) EXPECT_EQ(m.at(lcn), 0xEE) << lcn;
  EXPECT_TRUE(std::all_of(m.bytes.begin(), m.bytes.begin() + kFirst,
                          [](std::uint8_t b) { return b == 0xEE; }));
  // Moving a placed cluster lets its old target go.
  ASSERT_TRUE(m.volume.moveFile(*s, 0, 6, 1));
  EXPECT_TRUE(m.volume.clusterFree(3));
  EXPECT_FALSE(m.volume.clusterFree(6));
}

TEST(VolumeControl, FreeWritesBitmapRequestAndDismount) {
  MemoryVolume m;
  std::vector<std::uint8_t> data(2 * kCluster, 0x11);
  EXPECT_FALSE(m.volume.writeFree(kFirst + 4 * kCluster, data.data(), 2 * kCluster))
      << "the run reaches cluster 5";
  EXPECT_FALSE(m.volume.writeFree(kFirst - 1, data.data(), 2)) << "metadata before cluster 0";
  EXPECT_EQ(m.at(4), 0xEE);
  EXPECT_TRUE(m.volume.writeFree(kFirst + 6 * kCluster, data.data(), 2 * kCluster));
  EXPECT_EQ(m.at(7), 0x11);

  // Bitmap request: clusters held by the scratch file count as used; "more" until the end.
  HostScratchFile* s = m.volume.createScratch(kCluster);
  ASSERT_TRUE(m.volume.moveFile(*s, 0, 9, 1));
  std::uint8_t bits[1];
  std::uint64_t first = 0, count = 0;
  bool more = false;
  ASSERT_TRUE(m.volume.getBitmap(3, bits, 1, &first, &count, &more));
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(count, 8u);
  EXPECT_TRUE(more);
  EXPECT_EQ(bits[0], 0b0010'0110);
  ASSERT_TRUE(m.volume.getBitmap(8, bits, 1, &first, &count, &more));
  EXPECT_EQ(bits[0], 0b0000'0010);
  EXPECT_FALSE(more);
  EXPECT_FALSE(m.volume.getBitmap(16, bits, 1, &first, &count, &more));

  auto view = m.volume.readView();
  std::uint8_t b = 0;
  std::uint32_t got = 0;
  EXPECT_TRUE(view->read(0, &b, 1, &got));
  EXPECT_FALSE(view->write(0, &b, 1, &got)) << "the view never writes";
  EXPECT_TRUE(m.volume.dismount());
  EXPECT_FALSE(m.volume.isOpen());
  EXPECT_FALSE(view->read(0, &b, 1, &got)) << "dismounted: the view reads nothing";
  EXPECT_FALSE(m.volume.writeRaw(0, &b, 1));
}

TEST(VolumeControl, NoBitmapNoFreeCluster) {
  std::vector<std::uint8_t> bytes(4096, 0);
  HostVolume v(Host_OpenMemory(bytes, true));
  EXPECT_FALSE(v.clusterFree(0));
  EXPECT_EQ(v.createScratch(512), nullptr);
  std::uint8_t x = 1;
  EXPECT_FALSE(v.writeFree(0, &x, 1));
  // A bitmap that claims more clusters than the device holds is cut to what fits.
  HostVolumeBitmap b;
  b.clusterBytes = 512;
  b.clusterCount = 64;
  b.bits.assign(8, 0);
  v.setBitmap(b);
  EXPECT_EQ(v.bitmap().clusterCount, 8u);
  EXPECT_FALSE(v.writeFree(4096, &x, 1));
}

}  // namespace
