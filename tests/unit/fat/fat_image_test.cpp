// Whole-image tests: FAT12/16/32 images made with mkfs.fat and mtools (nested folders, long and
// non-ASCII names, deletions with mdel and mdeltree, a deleted file partly overwritten by a later
// one, a fragmented deleted file). The Sleuth Kit is the oracle for what the image holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "fat_harness.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using fattest::Found;
using fattest::Scan;

struct ImageKind {
  const char* name;
  int fatBits;
  int sizeKiB;
  int sectorsPerCluster;
};

/// Deterministic file contents.
std::vector<std::uint8_t> content(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> v(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return v;
}

std::string md5Of(const std::vector<std::uint8_t>& bytes, const fs::path& scratch) {
  kvxtest::writeFile(scratch, bytes);
  return kvxtest::md5File(scratch);
}

class FatImageTest : public ::testing::TestWithParam<ImageKind> {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools(
            {"mkfs.fat", "mcopy", "mdel", "mdeltree", "mmd", "fls", "icat", "md5sum"})) {
      GTEST_SKIP() << "mkfs.fat, mtools or sleuthkit missing";
    }
    m_dir = std::make_unique<kvxtest::TempDir>(std::string("fat-image-") + GetParam().name);
    m_image = *m_dir / "volume.img";
    build();
  }

  /// Adds a source file and remembers the checksum the scanner's path should recover to.
  void addSource(const std::string& rel, std::size_t size, const std::string& foundAs = "") {
    const fs::path p = *m_dir / "src" / rel;
    fs::create_directories(p.parent_path());
    const auto bytes = content(size, static_cast<std::uint32_t>(m_md5.size() + 1));
    kvxtest::writeFile(p, bytes);
    m_md5[foundAs.empty() ? rel : foundAs] = kvxtest::md5File(p);
  }

  void sh(const std::string& cmd) {
    const auto r =
        kvxtest::run("cd " + kvxtest::quote(m_dir->path().string()) +
                     " && export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 && " + cmd + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.out;
  }

  void build() {
    const ImageKind& k = GetParam();
    const std::size_t cluster = 512u * static_cast<std::size_t>(k.sectorsPerCluster);
    addSource("keep.txt", 3000);
    addSource("Long File Name.bin", 7000);
    addSource("\xC3\x9Cn\xC3\xAF\x63\xC3\xB6\x64\xC3\xA9 \xC3\x91\x61me.dat", 9000);
    addSource("dir1/sub/deep.bin", 12000);
    addSource("dir1/keep2.txt", 500);
    addSource("dir1/gone.bin", 8000);
    addSource("del1.bin", 20000, "_el1.bin");
    addSource("Deleted Long Name With Spaces.bin", 15000);
    addSource("deldir/a.bin", 4000, "_eldir/_.bin");
    addSource("deldir/inner/Inner Deleted.bin", 6000, "_eldir/_nner/Inner Deleted.bin");
    addSource("dir1/victim.bin", 30000, "dir1/_ictim.bin");
    addSource("fragA.bin", cluster, "_ragA.bin");
    addSource("fragB.bin", cluster);
    addSource("dir1/sub/frag.bin", 3 * cluster, "dir1/sub/_rag.bin");
    addSource("newcomer.bin", 20000);
    addSource("empty.txt", 0);

    sh("mkfs.fat -C -F " + std::to_string(k.fatBits) + " -s " +
       std::to_string(k.sectorsPerCluster) + " -i 1234ABCD -n TESTVOL --invariant volume.img " +
       std::to_string(k.sizeKiB) + " >/dev/null");
    const std::string img = " -i volume.img ";
    const std::string fromSrc = " -i ../volume.img ";
    sh("cd src && mcopy -m" + fromSrc +
       "keep.txt 'Long File Name.bin' \"$(printf '\\303\\234n\\303\\257c\\303\\266d\\303\\251 "
       "\\303\\221ame.dat')\" del1.bin 'Deleted Long Name With Spaces.bin' fragA.bin fragB.bin "
       "empty.txt ::/");
    sh("mmd" + img + "::/dir1 ::/dir1/sub ::/deldir ::/deldir/inner");
    sh("cd src && mcopy -m" + fromSrc +
       "dir1/keep2.txt dir1/gone.bin dir1/victim.bin ::/dir1/ && mcopy -m" + fromSrc +
       "dir1/sub/deep.bin ::/dir1/sub/ && mcopy -m" + fromSrc +
       "deldir/a.bin ::/deldir/ && mcopy -m" + fromSrc +
       "'deldir/inner/Inner Deleted.bin' ::/deldir/inner/");
    // mtools allocates first-fit on FAT12/16; on FAT32 it follows the FSInfo next-free hint,
    // which is cleared so that it allocates first-fit there too.
    const std::string firstFit = k.fatBits == 32
                                     ? "printf '\\377\\377\\377\\377' | dd of=volume.img bs=1 "
                                       "seek=1004 conv=notrunc 2>/dev/null && "
                                     : "";
    // frag.bin gets fragA's one-cluster hole and then clusters past everything else.
    sh("mdel" + img + "::/fragA.bin && " + firstFit + "cd src && mcopy -m" + fromSrc +
       "dir1/sub/frag.bin ::/dir1/sub/");
    sh("mdel" + img + "::/dir1/sub/frag.bin ::/dir1/victim.bin");
    // newcomer.bin takes the first free clusters: frag.bin's first one, then victim.bin's.
    sh(firstFit + "cd src && mcopy -m" + fromSrc + "newcomer.bin ::/");
    sh("mdel" + img + "::/del1.bin '::/Deleted Long Name With Spaces.bin' ::/dir1/gone.bin");
    sh("mdeltree" + img + "::/deldir");
  }

  std::unique_ptr<kvxtest::TempDir> m_dir;
  fs::path m_image;
  std::map<std::string, std::string> m_md5;  // path as found -> checksum of the original
};

TEST_P(FatImageTest, MatchesSleuthKitAndRecoversIntactFiles) {
  const std::string imageMd5 = kvxtest::md5File(m_image);
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());

  // Every deleted file the oracle lists is found with the same path and size.
  const auto deleted = fattest::fls(m_image, true);
  std::size_t deletedFiles = 0;
  for (const auto& e : deleted) {
    if (e.directory) continue;
    ++deletedFiles;
    const Found* f = scan.find(e.path, true);
    ASSERT_NE(f, nullptr) << "deleted file not found: " << e.path;
    EXPECT_EQ(f->size, e.size) << e.path;
  }
  EXPECT_GE(deletedFiles, 7u);
  // Every allocated file likewise, in state Existing.
  std::map<std::string, std::string> inodeOf;
  for (const auto& e : fattest::fls(m_image, false)) {
    inodeOf[e.path + (e.deleted ? "*" : "")] = e.inode;
    if (e.directory || e.deleted) continue;
    const Found* f = scan.find(e.path, false);
    ASSERT_NE(f, nullptr) << "existing file not found: " << e.path;
    EXPECT_EQ(f->size, e.size) << e.path;
    EXPECT_EQ(f->state, 5u) << e.path;
  }

  // Files inside the removed tree are deleted, and so are its folders.
  for (const auto& path : {"_eldir/_.bin", "_eldir/_nner/Inner Deleted.bin"}) {
    const Found* f = scan.find(path, true);
    ASSERT_NE(f, nullptr) << path;
  }
  std::set<std::string> deletedFolders;
  for (const auto& d : scan.folders()) {
    if (d.deleted) deletedFolders.insert(d.path);
  }
  EXPECT_TRUE(deletedFolders.count("_eldir/") && deletedFolders.count("_eldir/_nner/"));

  // The file written after the deletions took clusters of victim.bin: not Excellent, and the
  // newcomer is named as the owner.
  const Found* victim = scan.find("dir1/_ictim.bin", true);
  const Found* newcomer = scan.find("newcomer.bin", false);
  ASSERT_TRUE(victim && newcomer);
  EXPECT_NE(victim->state, 4u);
  EXPECT_GT(victim->overwritten, 0u);
  EXPECT_EQ(victim->overwrittenBy, static_cast<std::int32_t>(newcomer->index));
  const Found* frag = scan.find("dir1/sub/_rag.bin", true);
  ASSERT_NE(frag, nullptr);
  EXPECT_NE(frag->state, 4u) << "a fragmented deleted file runs into another file";

  // Excellent and Existing files recover byte-identical to the original and to icat.
  std::size_t checked = 0;
  for (const Found& f : scan.files()) {
    if (f.state != 4 && f.state != 5) continue;
    const fs::path out = *m_dir / ("rec-" + std::to_string(f.index));
    ASSERT_TRUE(scan.recover(f.index, out)) << f.path;
    ASSERT_EQ(fs::file_size(out), f.size) << f.path;
    const std::string got = kvxtest::md5File(out);
    if (auto it = m_md5.find(f.path); it != m_md5.end()) {
      EXPECT_EQ(got, it->second) << f.path;
      ++checked;
    }
    const auto ino = inodeOf.find(f.path + (f.existing ? "" : "*"));
    if (ino != inodeOf.end()) {
      const fs::path viaIcat = *m_dir / ("icat-" + std::to_string(f.index));
      kvxtest::run("icat -f fat " + kvxtest::quote(m_image.string()) + " " + ino->second + " > " +
                   kvxtest::quote(viaIcat.string()));
      EXPECT_EQ(got, kvxtest::md5File(viaIcat)) << f.path;
    }
  }
  EXPECT_GE(checked, 10u);
  EXPECT_EQ(kvxtest::md5File(m_image), imageMd5) << "scanning or recovery changed the image";
}

INSTANTIATE_TEST_SUITE_P(Fat, FatImageTest,
                         ::testing::Values(ImageKind{"Fat12", 12, 4096, 4},
                                           ImageKind{"Fat16", 16, 32768, 4},
                                           ImageKind{"Fat32", 32, 65536, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
