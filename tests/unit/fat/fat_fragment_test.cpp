// Fragmented deleted files on FAT16 and FAT32 images written with mtools, each step at its own
// time (SOURCE_DATE_EPOCH), allocation first-fit: media files fill holes (of files whose entries
// are gone) between live files and run on past them; the files around them are deleted later;
// one JPEG's gap is data nobody names, so only its content tells where it goes on; a later file
// overwrites deleted ones.
// The test wrote every byte, so the sources are the truth: whatever is rated Excellent recovers
// byte for byte, and every intact media file comes back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat_harness.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

namespace fs = std::filesystem;
using fattest::Found;
using fattest::Scan;

struct Kind {
  const char* name;
  int fatBits;
  int sizeKiB;
  int sectorsPerCluster;
};

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> v(size);
  std::uint32_t x = seed * 2654435761u + 7u;
  for (auto& b : v) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 11);
  }
  return v;
}

/// A FAT image made with mtools in a temporary folder, each step at its own time
/// (SOURCE_DATE_EPOCH), allocation first-fit; sources under src/.
class MtoolsImage {
 public:
  MtoolsImage(const std::string& tag, int fatBits)
      : m_dir(std::make_unique<kvxtest::TempDir>(tag)), m_fatBits(fatBits) {
    fs::create_directories(*m_dir / "src");
  }
  [[nodiscard]] const fs::path& dir() const { return m_dir->path(); }
  [[nodiscard]] fs::path image() const { return *m_dir / "v.img"; }

  void sh(const std::string& cmd, int time = 0) {
    const std::string env =
        time != 0 ? "export SOURCE_DATE_EPOCH=" + std::to_string(1600000000 + time * 1000) + "; "
                  : "";
    const auto r = kvxtest::run("cd " + kvxtest::quote(dir().string()) +
                                " && export MTOOLS_SKIP_CHECK=1; " + env + cmd + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.out;
  }
  void put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    kvxtest::writeFile(*m_dir / "src" / name, bytes);
  }
  /// mtools allocates first-fit on FAT12/16; on FAT32 it follows the FSInfo hint, cleared here.
  std::string firstFit() const {
    return m_fatBits == 32 ? "printf '\\377\\377\\377\\377' | dd of=v.img bs=1 seek=1004 "
                             "conv=notrunc 2>/dev/null; "
                           : "";
  }
  /// Deletes short-named files and loses their entries: their clusters become free space that
  /// nobody names.
  void forget(const std::vector<std::string>& shortNames, int time) {
    std::string names;
    for (const auto& n : shortNames) names += " ::/" + n;
    sh("mdel -i v.img" + names, time);
    auto img = kvxtest::readFile(image());
    for (const auto& n : shortNames) {
      std::string name11 = n.substr(0, n.find('.'));
      name11.resize(8, ' ');
      name11 += n.substr(n.find('.') + 1);
      for (std::size_t at = 0; at + 32 <= img.size(); at += 32) {
        if (img[at] == 0xE5 && std::memcmp(img.data() + at + 1, name11.data() + 1, 10) == 0) {
          std::fill(img.begin() + static_cast<std::ptrdiff_t>(at),
                    img.begin() + static_cast<std::ptrdiff_t>(at + 32), 0);
          img[at] = 0xE5;
          img[at + 11] = 0x20;
        }
      }
    }
    kvxtest::writeFile(image(), img);
  }
  void copy(const std::string& names, int time) {
    sh(firstFit() + "cd src && mcopy -i ../v.img " + names + " ::/", time);
  }

  struct Outcome {
    const Found* found = nullptr;
    bool same = false;  // recovers byte-identical to its source
  };
  /// Recovers every deleted file of @p scan whose source is known (names match from the second
  /// character on), by deleted name.
  std::map<std::string, Outcome> recoverDeleted(Scan& scan) {
    std::map<std::string, Outcome> out;
    for (const Found& f : scan.files()) {
      if (f.existing || f.size == 0) continue;
      for (const auto& e : fs::directory_iterator(*m_dir / "src")) {
        const std::string n = e.path().filename().string();
        if (n.size() != f.path.size() || n.substr(1) != f.path.substr(1)) continue;
        const fs::path rec = *m_dir / ("rec-" + std::to_string(f.index));
        (void)scan.recover(f.index, rec);
        out[f.path] = {&f, fs::exists(rec) && kvxtest::md5File(rec) == kvxtest::md5File(e.path())};
      }
    }
    return out;
  }

 private:
  std::unique_ptr<kvxtest::TempDir> m_dir;
  int m_fatBits;
};

class FatFragmentTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "convert", "gs", "zip"}))
      GTEST_SKIP() << "mtools, ImageMagick, ghostscript or zip missing";
    m_img = std::make_unique<MtoolsImage>(std::string("fat-frag-") + GetParam().name,
                                          GetParam().fatBits);
    m_dir = m_img->dir();
    m_image = m_img->image();
    build();
  }
  void sh(const std::string& cmd, int time = 0) { m_img->sh(cmd, time); }
  void put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    m_img->put(name, bytes);
  }
  void forget(const std::vector<std::string>& shortNames, int time) {
    m_img->forget(shortNames, time);
  }
  void copy(const std::string& names, int time) { m_img->copy(names, time); }
  std::string firstFit() const { return m_img->firstFit(); }

  void build() {
    const Kind& k = GetParam();
    for (int i = 0; i < 24; ++i) {
      char n[16];
      std::snprintf(n, sizeof n, "S%02d.BIN", i);
      put(n, noise(3072, 100 + i));
    }
    put("XGAP.BIN", noise(7168, 1));
    put("YGAP.BIN", noise(7168, 2));
    put("PLAIN.BIN", noise(10000, 3));
    put("NEWER.BIN", noise(3000, 4));
    put("A.BIN", noise(3000, 5));
    std::string text;
    for (int i = 0; i < 400; ++i) text += "Line " + std::to_string(i) + " of a member text.\n";
    kvxtest::writeFile(m_dir / "src" / "B.TXT",
                       std::vector<std::uint8_t>(text.begin(), text.end()));
    std::string ps = "%!PS\n/Helvetica findfont 11 scalefont setfont\n";
    for (int page = 0; page < 3; ++page) {
      for (int line = 0; line < 40; ++line)
        ps += "60 " + std::to_string(760 - line * 17) + " moveto (Page " + std::to_string(page) +
              " line " + std::to_string(line) + " of the fragmented document) show\n";
      ps += "showpage\n";
    }
    kvxtest::writeFile(m_dir / "src" / "doc.ps", std::vector<std::uint8_t>(ps.begin(), ps.end()));
    sh("cd src && convert -seed 1 -size 160x120 plasma:fractal -quality 92 PHOTO.JPG && "
       "convert -seed 2 -size 90x70 plasma:fractal PIC.PNG && "
       "convert -seed 3 -size 200x160 plasma:fractal -quality 90 PHOTO2.JPG && "
       "gs -q -sDEVICE=pdfwrite -dCompressPages=false -o DOC.PDF doc.ps && "
       "zip -q -0 -X ARCH.ZIP A.BIN && zip -q -X ARCH.ZIP B.TXT");

    sh("mkfs.fat -C -F " + std::to_string(k.fatBits) + " -s " +
       std::to_string(k.sectorsPerCluster) + " -i 1234ABCD --invariant v.img " +
       std::to_string(k.sizeKiB) + " >/dev/null");
    // A folder for the last file, the small files with two gap files after the first one.
    sh("mmd -i v.img ::/SUB", 1);
    std::string first = "S00.BIN XGAP.BIN YGAP.BIN";
    for (int i = 1; i < 24; ++i) {
      char n[16];
      std::snprintf(n, sizeof n, " S%02d.BIN", i);
      first += n;
    }
    copy(first, 1);
    // Every other small file goes, entry and all; the media files fill those holes first-fit,
    // passing the live ones, and the last runs on behind everything.
    std::vector<std::string> odd;
    for (int i = 1; i < 24; i += 2) {
      char n[16];
      std::snprintf(n, sizeof n, "S%02d.BIN", i);
      odd.push_back(n);
    }
    forget(odd, 2);
    const char* media[] = {"PHOTO.JPG", "PIC.PNG", "DOC.PDF", "ARCH.ZIP", "PLAIN.BIN"};
    for (int m = 0; m < 5; ++m) copy(media[m], 3 + m);
    // PHOTO2 fills XGAP's clusters, passes the live YGAP and goes on behind everything; then
    // YGAP goes and its entry is lost: its clusters are free space nobody names.
    forget({"XGAP.BIN"}, 13);
    copy("PHOTO2.JPG", 14);
    forget({"YGAP.BIN"}, 15);
    // S00 goes, and a later file takes its clusters (the lowest free ones).
    sh("mdel -i v.img ::/S00.BIN", 16);
    sh(firstFit() + "cd src && mcopy -i ../v.img NEWER.BIN ::/SUB/", 17);
    // Everything goes; the small files around the media files too, so that those were fragmented
    // around files that are deleted now.
    sh("mdel -i v.img ::/PHOTO.JPG ::/PIC.PNG ::/DOC.PDF ::/ARCH.ZIP ::/PLAIN.BIN ::/PHOTO2.JPG",
       18);
    sh("mdel -i v.img ::/S02.BIN ::/S04.BIN ::/S06.BIN ::/S08.BIN ::/S10.BIN", 19);
  }

  std::unique_ptr<MtoolsImage> m_img;
  fs::path m_dir;
  fs::path m_image;
};

TEST_P(FatFragmentTest, ExcellentMeansByteIdenticalAndMediaComeBackWhole) {
  const std::string imageMd5 = kvxtest::md5File(m_image);
  Scan scan(m_image);
  ASSERT_TRUE(scan.recognized());
  const auto deleted = m_img->recoverDeleted(scan);
  std::size_t excellent = 0, wrongAndNotExcellent = 0;
  for (const auto& [path, o] : deleted) {
    if (o.found->state == kStateExcellent) {
      ++excellent;
      EXPECT_TRUE(o.same) << path << " is Excellent but does not recover byte-identical";
    } else if (!o.same) {
      ++wrongAndNotExcellent;
    }
  }
  EXPECT_GE(excellent, 5u);
  EXPECT_GE(wrongAndNotExcellent, 1u) << "NEWER.BIN overwrote deleted files";

  // Every media file was fragmented and none was overwritten: each comes back whole, the JPEG
  // whose gap nobody names through the search for its second fragment.
  for (const char* name : {"_HOTO.JPG", "_IC.PNG", "_OC.PDF", "_RCH.ZIP", "_HOTO2.JPG"}) {
    const auto it = deleted.find(name);
    ASSERT_NE(it, deleted.end()) << name;
    EXPECT_EQ(it->second.found->state, kStateExcellent) << name;
  }
  const Found* photo2 = deleted.at("_HOTO2.JPG").found;
  const FileRecord* r = Storage_File(scan.engine(), photo2->index);
  const auto* note = static_cast<const char16_t*>(Storage_At(scan.engine(), r->note.get()));
  ASSERT_NE(note, nullptr);
  EXPECT_NE(kvxtest::utf8(note).find("second part was found by its content"), std::string::npos);
  // The file written last took deleted clusters: what it overwrote is not Excellent.
  EXPECT_NE(deleted.at("_00.BIN").found->state, kStateExcellent);
  EXPECT_EQ(kvxtest::md5File(m_image), imageMd5) << "scanning or recovery changed the image";
}

INSTANTIATE_TEST_SUITE_P(Fat, FatFragmentTest,
                         ::testing::Values(Kind{"Fat16", 16, 16384, 2},
                                           Kind{"Fat32", 32, 34000, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// Files whose data lies past where their walk puts it, built on purpose on FAT16 (1 KiB clusters,
// first-fit). OLDER is written around GAP, whose entry is lost afterwards; newer files fill GAP's
// hole, so OLDER's walk meets them and its last clusters lie further on, where DNEW, written past
// them while OLDER was there, now seems to run on. NROUND is written around the older HOLD and the
// live OTHER. ELAST comes last, behind everything that is in doubt.
TEST(FatTailTest, WalksThroughAnUncertainFilesSpanAreNotExcellent) {
  if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel"})) GTEST_SKIP() << "mtools missing";
  MtoolsImage img("fat-tail", 16);
  const std::vector<std::pair<const char*, int>> files = {
      {"P1.BIN", 2},   {"GAP.BIN", 5},    {"Q1.BIN", 2},    {"W1.BIN", 2},
      {"HOLD.BIN", 2}, {"OLDER.BIN", 4},  {"OTHER.BIN", 2}, {"XFILL.BIN", 3},
      {"DNEW.BIN", 3}, {"NROUND.BIN", 3}, {"ELAST.BIN", 2}};
  std::uint32_t seed = 40;
  for (const auto& [name, clusters] : files)
    img.put(name, noise(static_cast<std::size_t>(clusters) * 1024 - 100, ++seed));
  img.sh("mkfs.fat -C -F 16 -s 2 -i 1234ABCD --invariant v.img 16384 >/dev/null");
  img.copy("P1.BIN GAP.BIN Q1.BIN W1.BIN HOLD.BIN", 1);  // 2-3, 4-8, 9-10, 11-12, 13-14
  img.forget({"P1.BIN", "Q1.BIN"}, 2);
  img.copy("OLDER.BIN OTHER.BIN", 3);  // 2-3 9-10 around GAP; 15-16
  img.forget({"GAP.BIN", "W1.BIN"}, 4);
  img.copy("XFILL.BIN DNEW.BIN NROUND.BIN ELAST.BIN", 5);  // 4-6; 7-8 11; 12 17-18; 19-20
  img.sh(
      "mdel -i v.img ::/OLDER.BIN ::/XFILL.BIN ::/DNEW.BIN ::/NROUND.BIN ::/HOLD.BIN "
      "::/ELAST.BIN",
      6);

  const std::string imageMd5 = kvxtest::md5File(img.image());
  Scan scan(img.image());
  ASSERT_TRUE(scan.recognized());
  const auto deleted = img.recoverDeleted(scan);
  ASSERT_EQ(deleted.size(), 6u);
  for (const auto& [path, o] : deleted)
    if (o.found->state == kStateExcellent)
      EXPECT_TRUE(o.same) << path << " is Excellent but does not recover byte-identical";
  // DNEW's walk runs on into OLDER's last clusters, and OLDER's walk reads XFILL and DNEW: the
  // volume cannot tell, so neither is Excellent.
  EXPECT_FALSE(deleted.at("_NEW.BIN").same);
  EXPECT_NE(deleted.at("_NEW.BIN").found->state, kStateExcellent);
  EXPECT_NE(deleted.at("_LDER.BIN").found->state, kStateExcellent);
  // Written around an older deleted file and a live one: right, but not certain.
  EXPECT_TRUE(deleted.at("_ROUND.BIN").same);
  EXPECT_EQ(deleted.at("_ROUND.BIN").found->state, kStateGood);
  // Past every span in doubt.
  EXPECT_EQ(deleted.at("_LAST.BIN").found->state, kStateExcellent);
  EXPECT_EQ(kvxtest::md5File(img.image()), imageMd5) << "scanning or recovery changed the image";
}
