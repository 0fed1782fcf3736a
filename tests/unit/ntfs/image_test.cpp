// NTFS images made at test time with mkntfs and populated through an ntfs-3g mount (deleted files
// and folders, resident, sparse, compressed and fragmented data, named streams, Unicode names),
// scanned by the engine and checked against the Sleuth Kit (fls, icat) and the original files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs_engine_util.h"
#include "test_support.h"

namespace {

using kvxtest::quote;
using kvxtest::run;
namespace fs = std::filesystem;

// Builds vol.img in $1, keeping a copy of every file written in $1/orig (same relative paths).
// Deletions go through the driver. The 64 KiB fillers are written until the volume is full and
// every other one is removed, so that the MFT grows into the holes and ends up fragmented.
constexpr const char* kBuildScript = R"SH(
set -e
d="$1"; img="$d/vol.img"; m="$d/mnt"; o="$d/orig"
mkdir -p "$m" "$o"
truncate -s 48M "$img"
mkntfs -F -Q -q -s 512 -c 4096 -L KVXTEST "$img" >/dev/null 2>&1
ntfs-3g -o streams_interface=windows,compression "$img" "$m"
trap 'umount "$m" 2>/dev/null || true' EXIT
put() {  # put PATH SOURCE-COMMAND: writes the file on the volume and its original copy
  mkdir -p "$(dirname "$o/$1")"; eval "$2" > "$o/$1"; mkdir -p "$(dirname "$m/$1")"; cp "$o/$1" "$m/$1"
}
put small.txt 'printf "tiny resident file\n"'
put victim-early.txt 'printf "patched later\n"'
put a/b/c/deep.txt 'head -c 3000 /dev/urandom'
put "ünïcødé/日本語.txt" 'head -c 20000 /dev/urandom'
put big.bin 'head -c 300000 /dev/urandom'
put ads.txt 'printf "main data\n"'
printf 'stream data' > "$m/ads.txt:alt"; printf 'stream data' > "$o/ads.txt:alt"
head -c 50000 /dev/urandom > "$o/ads.txt:big"; cp "$o/ads.txt:big" "$m/ads.txt:big"
# Sparse: data, a 1 MiB hole, data.
mkdir -p "$o/sp"; mkdir -p "$m/sp"
head -c 8192 /dev/urandom > "$d/p1"; head -c 8192 /dev/urandom > "$d/p2"
for t in "$o/sp/sparse.bin" "$m/sp/sparse.bin"; do
  dd if="$d/p1" of="$t" bs=4096 conv=notrunc status=none
  dd if="$d/p2" of="$t" bs=4096 seek=258 conv=notrunc status=none
done
# Compressed folder: text, random (raw units), text with a zero gap (sparse units), deleted one.
mkdir "$m/comp" "$o/comp"
python3 -c "import os,sys; os.setxattr(sys.argv[1],'system.ntfs_attrib_be',(0x810).to_bytes(4,'big'))" "$m/comp"
gen() { python3 -c "import sys,random; r=random.Random(int(sys.argv[1])); w=['alpha','beta','gamma','delta','epsilon','zeta']; sys.stdout.write(' '.join(r.choice(w) for _ in range(int(sys.argv[2]))))" "$1" "$2"; }
put comp/text.txt 'gen 1 60000'
put comp/random.bin 'head -c 100000 /dev/urandom'
put comp/gap.bin "gen 2 3000; head -c 200000 /dev/zero; gen 3 3000"
put comp/tail.txt 'gen 4 1234'
put comp/gone.txt 'gen 5 30000'
# Fill, punch holes, then grow the MFT through them.
mkdir "$m/fill"; i=0
while head -c 65536 /dev/zero > "$m/fill/x$i" 2>/dev/null; do i=$((i+1)); done
rm -f "$m/fill/x$i"
j=0; while [ $j -le $i ]; do rm -f "$m/fill/x$j"; j=$((j+2)); done
mkdir "$m/many"
k=1; while [ $k -le 1200 ]; do echo "file $k" > "$m/many/f$k" || break; k=$((k+1)); done
k=1; while [ $k -le 1200 ]; do rm "$m/many/f$k"; k=$((k+7)); done
# Deletions come after the MFT grew, so that no later file takes their records.
# Written into the punched holes and long enough that its run list spills into extension
# records behind an attribute list.
put comp/spread.txt 'for n in 1 2 3 4 5 6 7 8 9 10 11 12; do gen 1$n 150000; head -c 40000 /dev/urandom; done'
# Deleted files and a deleted folder tree, all removed together; then a file that takes over
# some of the clusters they freed.
put victim.bin 'head -c 400000 /dev/urandom'
put del_small.txt 'printf "deleted resident\n"'
put del_big.bin 'head -c 200000 /dev/urandom'
put deldir/inner.txt 'head -c 5000 /dev/urandom'
put deldir/sub/x.bin 'head -c 70000 /dev/urandom'
rm "$m/victim.bin" "$m/comp/gone.txt" "$m/del_small.txt" "$m/del_big.bin"; rm -r "$m/deldir"
put taker.bin 'head -c 400000 /dev/urandom'
# Last, so that the clusters above stay where they were: small resident unnamed data with a
# compressed named stream (each stream has its own flags).
put comp/adsc.txt 'printf "small main\n"'
gen 6 30000 > "$o/comp/adsc.txt:s"; cp "$o/comp/adsc.txt:s" "$m/comp/adsc.txt:s"
)SH";

struct Entry {
  std::string type;  // "r/r", "-/r", "d/d" ...
  std::uint64_t inode = 0;
  std::string attr;  // "128-2" part after the inode
  std::string path;
  std::uint64_t size = 0;
  bool realloc = false;
};

/// fls -r -p -l output ("-d" for deleted only).
std::vector<Entry> fls(const std::string& image, bool deletedOnly) {
  const auto r = run("fls -r -p -l " + std::string(deletedOnly ? "-d " : "") + quote(image));
  std::vector<Entry> out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    Entry e;
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::istringstream head(line.substr(0, tab));
    std::string star, meta;
    head >> e.type >> star;
    if (star != "*")
      meta = star;
    else
      head >> meta;
    e.realloc = meta.find("realloc") != std::string::npos;
    e.inode = std::stoull(meta);
    const auto dash = meta.find('-');
    if (dash != std::string::npos) e.attr = meta.substr(dash + 1, meta.find(':') - dash - 1);
    std::vector<std::string> cols;
    std::string rest = line.substr(tab + 1), col;
    std::istringstream cs(rest);
    while (std::getline(cs, col, '\t')) cols.push_back(col);
    if (cols.size() < 6) continue;
    e.path = cols[0];
    e.size = std::stoull(cols[5]);
    out.push_back(e);
  }
  return out;
}

std::string baseName(const std::string& p) {
  const auto s = p.find_last_of('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

class NtfsImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 ||
        !kvxtest::haveTools({"mkntfs", "ntfs-3g", "fls", "icat", "tsk_recover", "python3"}))
      return;
    s_dir = new kvxtest::TempDir("ntfs-image");
    const fs::path script = *s_dir / "build.sh";
    std::ofstream(script) << kBuildScript;
    s_built = run("sh " + quote(script.string()) + " " + quote(s_dir->path().string()) + " >&2")
                  .exitCode == 0;
    s_built = s_built && run("tsk_recover -e " + quote(image()) + " " +
                             quote(tskCopies().string()) + " >/dev/null")
                                 .exitCode == 0;
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override {
    if (!s_built) GTEST_SKIP() << "needs root, mkntfs, ntfs-3g, python3 and the Sleuth Kit";
  }
  static std::string image() { return (*s_dir / "vol.img").string(); }
  static fs::path orig() { return *s_dir / "orig"; }
  static fs::path tskCopies() { return *s_dir / "tsk"; }

  static kvxtest::TempDir* s_dir;
  static bool s_built;
};
kvxtest::TempDir* NtfsImage::s_dir = nullptr;
bool NtfsImage::s_built = false;

TEST_F(NtfsImage, MftIsFragmented) {
  const auto r = run("istat " + quote(image()) +
                     " 0 | sed -n '/^Type: \\$DATA/,/^Type/p' | tr ' ' '\\n' | grep -E '^[0-9]+$' "
                     "| awk 'NR>1 && $1!=p+1 {g++} {p=$1} END {print g+1}'");
  EXPECT_GT(std::stoi(r.out), 2) << "the volume did not fragment its MFT; the test proves less";
}

TEST_F(NtfsImage, DeletedFilesMatchTheOracle) {
  ntfstest::ImageScan scan(image());
  ASSERT_TRUE(scan.recognized());
  ASSERT_TRUE(scan.scanned());
  std::multimap<std::string, ntfstest::Listed> deleted;
  for (const auto& f : scan.files()) {
    if (!f.existing) deleted.emplace(f.name, f);
  }
  int compared = 0;
  for (const auto& e : fls(image(), true)) {
    if (e.realloc || e.type[0] == 'd' || e.type[2] == 'd') continue;
    const std::string name = baseName(e.path);
    if (name.find(':') != std::string::npos) continue;  // a named stream, listed with its file
    if (name.rfind("OrphanFile-", 0) == 0) continue;    // a record without a name
    bool found = false, placed = false;
    for (auto [it, end] = deleted.equal_range(name); it != end; ++it) {
      if (it->second.size != e.size) continue;
      found = true;
      // Where it lives is the inode fls gives it: its MFT record.
      std::uint32_t kind = 0;
      std::uint64_t record = 0;
      ASSERT_EQ(Undelete_GetFileLocation(scan.engine(), it->second.index, &kind, &record), 1);
      placed |= kind == kUndeleteLocationMftRecord && record == e.inode;
    }
    EXPECT_TRUE(found) << e.path << " (" << e.size << " bytes) is missing";
    EXPECT_TRUE(!found || placed) << e.path << " is not listed at MFT record " << e.inode;
    ++compared;
  }
  EXPECT_GE(compared, 170);  // the deleted test files and the removed "many" entries
  std::uint32_t kind = 0;
  std::uint64_t value = 0;
  EXPECT_EQ(Undelete_GetFileLocation(scan.engine(), ~0u, &kind, &value), 0);
  EXPECT_EQ(Undelete_GetFileLocation(scan.engine(), 0, nullptr, &value), 0);
}

TEST_F(NtfsImage, FoldersAndStatesAreResolved) {
  ntfstest::ImageScan scan(image());
  ASSERT_TRUE(scan.scanned());
  std::map<std::string, ntfstest::Listed> byPath;
  for (const auto& f : scan.files()) byPath[f.path] = f;
  ASSERT_TRUE(byPath.count("a/b/c/deep.txt"));
  ASSERT_TRUE(byPath.count("ünïcødé/日本語.txt"));
  ASSERT_TRUE(byPath.count("deldir/sub/x.bin"));  // a file in a deleted folder keeps its path
  EXPECT_FALSE(byPath["deldir/sub/x.bin"].existing);
  EXPECT_EQ(byPath["a/b/c/deep.txt"].state, kStateExisting);
  EXPECT_EQ(byPath["del_small.txt"].state, kStateExcellent);  // resident: nothing to overwrite
  EXPECT_TRUE(byPath["comp/text.txt"].attributes & kAttrCompressed);
  EXPECT_FALSE(byPath["sp/sparse.bin"].attributes & kAttrCompressed);
  // Its run list and its name sit in extension records behind an attribute list.
  EXPECT_EQ(byPath["comp/spread.txt"].size, fs::file_size(orig() / "comp/spread.txt"));
  EXPECT_EQ(byPath["comp/spread.txt"].state, kStateExisting);
  // The taker reused clusters that the deleted files freed: at least one of them says so.
  int overwritten = 0;
  for (const char* p :
       {"victim.bin", "del_big.bin", "deldir/sub/x.bin", "deldir/inner.txt", "comp/gone.txt"}) {
    ASSERT_TRUE(byPath.count(p)) << p;
    EXPECT_FALSE(byPath[p].existing) << p;
    if (byPath[p].state == kStatePoor || byPath[p].state == kStateUnrecoverable) ++overwritten;
  }
  EXPECT_GE(overwritten, 1);
}

TEST_F(NtfsImage, RecoveredFilesMatchOriginalsAndIcat) {
  ntfstest::ImageScan scan(image());
  ASSERT_TRUE(scan.scanned());
  kvxtest::TempDir out("ntfs-recover");
  int withOriginal = 0, withOracle = 0, viaIcat = 0;
  for (const auto& f : scan.files()) {
    if (f.state != kStateExcellent && f.state != kStateExisting) continue;
    if (f.name[0] == '$' || f.path.rfind("$Extend/", 0) == 0) continue;
    const std::string target = (out / ("f" + std::to_string(f.index))).string();
    ASSERT_TRUE(scan.recover(f.index, target)) << f.path;
    const auto got = kvxtest::readFile(target);
    const fs::path original = orig() / f.path;
    if (fs::exists(original)) {
      EXPECT_TRUE(got == kvxtest::readFile(original)) << f.path << " differs from the original";
      ++withOriginal;
    }
    // The Sleuth Kit's copy: tsk_recover wrote every file it could place by path; icat (one
    // process per file, so only for the rest) reads the record directly.
    fs::path oracle = tskCopies() / f.path;
    if (!fs::exists(oracle)) {
      oracle = out / "icat";
      run("icat " + quote(image()) + " " + std::to_string(f.recordNumber) + " > " +
          quote(oracle.string()));
      ++viaIcat;
    }
    EXPECT_TRUE(got == kvxtest::readFile(oracle))
        << f.path << " differs from the Sleuth Kit's copy";
    ++withOracle;
  }
  EXPECT_GE(withOriginal, 17);
  EXPECT_LT(viaIcat, 50);
  EXPECT_GT(withOracle, 1000);
}

TEST_F(NtfsImage, NamedStreamsBecomeSiblingFiles) {
  ntfstest::ImageScan scan(image());
  ASSERT_TRUE(scan.scanned());
  kvxtest::TempDir out("ntfs-streams");
  for (const auto& f : scan.files()) {
    if (f.path != "ads.txt") continue;
    const auto streams = NTFS_ListStreams(scan.engine(), Storage_File(scan.engine(), f.index));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].size + streams[1].size, 11u + 50000u);
    // The export front ends use gives the same streams, in the same order, and then no more.
    for (std::uint32_t k = 0; k < 2; ++k) {
      const char16_t* name = nullptr;
      std::uint64_t size = 0;
      ASSERT_EQ(Undelete_GetFileStream(scan.engine(), f.index, k, &name, &size), 1);
      EXPECT_EQ(std::u16string(name), streams[k].name);
      EXPECT_EQ(size, streams[k].size);
    }
    EXPECT_EQ(Undelete_GetFileStream(scan.engine(), f.index, 2, nullptr, nullptr), 0);
    const std::string target = (out / "ads.txt").string();
    ASSERT_TRUE(scan.recover(f.index, target));
    EXPECT_EQ(kvxtest::md5File(target + ":alt"), kvxtest::md5File(orig() / "ads.txt:alt"));
    EXPECT_EQ(kvxtest::md5File(target + ":big"), kvxtest::md5File(orig() / "ads.txt:big"));
    return;
  }
  FAIL() << "ads.txt not listed";
}

// A named stream is decompressed when it is compressed itself, whatever the unnamed data is: here
// the unnamed data is resident (never compressed) and the stream compressed.
TEST_F(NtfsImage, NamedStreamFollowsItsOwnCompression) {
  const auto attrs = run("istat " + quote(image()) + " $(ifind -n comp/adsc.txt " + quote(image()) +
                         ") | grep '^Type: \\$DATA'");
  ASSERT_NE(attrs.out.find("Name: s   Non-Resident, Compressed"), std::string::npos) << attrs.out;
  ASSERT_NE(attrs.out.find("Name: N/A   Resident"), std::string::npos) << attrs.out;
  ntfstest::ImageScan scan(image());
  ASSERT_TRUE(scan.scanned());
  kvxtest::TempDir out("ntfs-stream-comp");
  for (const auto& f : scan.files()) {
    if (f.path != "comp/adsc.txt") continue;
    const std::string target = (out / "adsc.txt").string();
    ASSERT_TRUE(scan.recover(f.index, target));
    EXPECT_EQ(kvxtest::md5File(target), kvxtest::md5File(orig() / "comp/adsc.txt"));
    EXPECT_EQ(kvxtest::md5File(target + ":s"), kvxtest::md5File(orig() / "comp/adsc.txt:s"));
    return;
  }
  FAIL() << "comp/adsc.txt not listed";
}

// kvx scan --json lists the named streams of a file with their sizes, and leaves the member out
// for files that have none.
TEST_F(NtfsImage, KvxJsonListsNamedStreams) {
  kvxtest::TempDir out("ntfs-json");
  const std::string json = (out / "scan.json").string();
  ASSERT_EQ(run(quote(kvxtest::cliPath().string()) + " scan " + quote(image()) + " --json > " +
                quote(json))
                .exitCode,
            0);
  // python3 parses the document on its own: "name: stream=size ..." for two known files.
  const auto r = run(
      "python3 -c 'import json,sys\n"
      "d=json.load(open(sys.argv[1]))\n"
      "for f in d[\"files\"]:\n"
      "  if f[\"name\"] in (\"ads.txt\", \"small.txt\"):\n"
      "    print(f[\"name\"] + \":\", \" \".join(\"%s=%d\" % (s[\"name\"], s[\"size\"])"
      " for s in f.get(\"streams\", [])), \"streams\" in f)' " +
      quote(json));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("ads.txt: alt=11 big=50000 True\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("small.txt:  False\n"), std::string::npos) << r.out;
}

TEST_F(NtfsImage, BadFixupSkipsOnlyThatRecordAndLeavesTheImageAlone) {
  kvxtest::TempDir work("ntfs-fixup");
  const std::string copy = (work / "bad.img").string();
  fs::copy_file(image(), copy);
  // Record of victim-early.txt: early enough to sit in the MFT's first run.
  std::uint64_t inode = 0;
  for (const auto& e : fls(copy, false)) {
    if (e.path == "victim-early.txt") inode = e.inode;
  }
  ASSERT_GT(inode, 0u);
  std::vector<std::uint8_t> boot(512);
  {
    std::ifstream in(copy, std::ios::binary);
    in.read(reinterpret_cast<char*>(boot.data()), 512);
  }
  const std::uint64_t cluster = boot[0x0B] | (boot[0x0C] << 8);
  const std::uint64_t mft = loadLe<std::uint64_t>(&boot[0x30]) * cluster * boot[0x0D];
  {
    std::fstream io(copy, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(mft + inode * 1024 + 510));
    io.write("\x55\xAA", 2);  // no longer the update sequence number
  }
  const std::string before = kvxtest::md5File(copy);
  std::set<std::string> names;
  std::size_t count = 0;
  {
    ntfstest::ImageScan scan(copy);
    ASSERT_TRUE(scan.scanned());
    for (const auto& f : scan.files()) names.insert(f.path), ++count;
  }
  EXPECT_FALSE(names.count("victim-early.txt"));
  EXPECT_TRUE(names.count("small.txt"));
  EXPECT_TRUE(names.count("big.bin"));
  ntfstest::ImageScan good(image());
  EXPECT_EQ(count + 1, good.files().size());
  EXPECT_EQ(kvxtest::md5File(copy), before);
}

}  // namespace
