// Published NTFS images and $MFT samples made by other people's tools (Windows, the Linux ntfs3
// driver, mkntfs): the scanner's listing and recovered bytes against their published facts and
// against the Sleuth Kit.
#include <gtest/gtest.h>

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

fs::path corpus(const std::string& name) {
  return kvxtest::sourceDir() / "tests" / "fixtures" / "corpus" / name;
}

std::map<std::string, ntfstest::Listed> byPath(const ntfstest::ImageScan& scan) {
  std::map<std::string, ntfstest::Listed> out;
  for (const auto& f : scan.files()) out[f.path] = f;
  return out;
}

std::string md5Of(ntfstest::ImageScan& scan, const ntfstest::Listed& f,
                  const kvxtest::TempDir& dir) {
  const std::string target = (dir / ("r" + std::to_string(f.index))).string();
  if (!scan.recover(f.index, target)) return "recovery failed";
  return kvxtest::md5File(target);
}

TEST(NtfsCorpus, RustTestfs1PublishedContents) {
  const std::string image = (corpus("rust-ntfs-testfs1") / "testfs1").string();
  ntfstest::ImageScan scan(image);
  ASSERT_TRUE(scan.recognized());
  ASSERT_TRUE(scan.scanned());
  auto files = byPath(scan);
  kvxtest::TempDir out("ntfs-testfs1");
  ASSERT_TRUE(files.count("empty-file"));
  EXPECT_EQ(files["empty-file"].size, 0u);
  EXPECT_EQ(files["file-with-12345"].size, 5u);
  EXPECT_EQ(md5Of(scan, files["file-with-12345"], out), "827ccb0eea8a706c4c34a16891f84e7b");
  EXPECT_EQ(md5Of(scan, files["1000-bytes-file"], out), "b427a4e60ca793a321a8e2a41e6a7581");
  EXPECT_EQ(files["sparse-file"].size, 500005u);
  EXPECT_EQ(md5Of(scan, files["sparse-file"], out), "ab08ecee3b915e1b34f778709f9af63b");
  int subdirs = 0;
  for (std::uint32_t i = 0; i < scan.engine()->folderCount.load(); ++i) {
    if (scan.folderPath(i).rfind("many_subdirs/", 0) == 0 && scan.folderPath(i) != "many_subdirs/")
      ++subdirs;
  }
  EXPECT_EQ(subdirs, 512);
}

/// Unpacks a gzip fixture into @p dir.
std::string gunzip(const std::string& name, const kvxtest::TempDir& dir) {
  const std::string out = (dir / fs::path(name).stem().string()).string();
  run("gunzip -c " + quote((corpus("dfir_ntfs") / name).string()) + " > " + quote(out));
  return out;
}

struct VolumeCase {
  const char* name;
  const char* file;
  std::uint64_t windowStart;  // bytes
  // A record whose data sits in extension records behind an attribute list: the scanner reads
  // base records only, so that file is listed under its base record's name without its data.
  std::uint64_t attributeListRecord;
};
class NtfsCorpusVolume : public ::testing::TestWithParam<VolumeCase> {};

// Every regular file the Sleuth Kit lists (allocated and deleted) is listed with its size, and
// every file the scanner calls Existing or Excellent comes back as icat gives it.
TEST_P(NtfsCorpusVolume, AgreesWithTheSleuthKit) {
  if (!kvxtest::haveTools({"fls", "icat", "gunzip"})) GTEST_SKIP() << "needs the Sleuth Kit";
  kvxtest::TempDir dir("ntfs-corpus");
  const std::string image = gunzip(GetParam().file, dir);
  ntfstest::ImageScan scan(image, 0, GetParam().windowStart);
  ASSERT_TRUE(scan.recognized());
  ASSERT_TRUE(scan.scanned());
  std::multimap<std::string, ntfstest::Listed> byName;
  for (const auto& f : scan.files()) byName.emplace(f.name, f);
  const std::string offset = " -o " + std::to_string(GetParam().windowStart / 512) + " ";
  const auto listing = run("fls -r -p -l" + offset + quote(image)).out;
  std::istringstream in(listing);
  // Names by record: a record with several hard links is listed once, under one of them.
  std::map<std::string, std::vector<std::pair<std::string, std::uint64_t>>> byRecord;
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos || line[0] == 'd' || line[2] == 'd') continue;
    if (line.find("(realloc)") != std::string::npos) continue;
    std::vector<std::string> cols;
    std::istringstream cs(line.substr(tab + 1));
    for (std::string c; std::getline(cs, c, '\t');) cols.push_back(c);
    if (cols.size() < 6) continue;
    const std::string name = cols[0].substr(cols[0].find_last_of('/') + 1);
    if (name.find(':') != std::string::npos || name.rfind("OrphanFile-", 0) == 0 || name[0] == '$')
      continue;
    std::istringstream head(line.substr(0, tab));
    std::string type, meta;
    head >> type >> meta;
    if (meta == "*") head >> meta;
    byRecord[meta.substr(0, meta.find('-'))].emplace_back(name, std::stoull(cols[5]));
  }
  int checked = 0;
  for (const auto& [record, names] : byRecord) {
    if (std::stoull(record) == GetParam().attributeListRecord) continue;
    bool found = false;
    for (const auto& [name, size] : names) {
      for (auto [it, end] = byName.equal_range(name); it != end; ++it)
        found |= it->second.size == size;
    }
    EXPECT_TRUE(found) << "record " << record << " (" << names.front().first << ", "
                       << names.front().second << " bytes)";
    ++checked;
  }
  EXPECT_GT(checked, 0);
  kvxtest::TempDir out("ntfs-corpus-out");
  for (const auto& [name, f] : byName) {
    if ((f.state != kStateExisting && f.state != kStateExcellent) || name[0] == '$') continue;
    if (f.recordNumber == GetParam().attributeListRecord) continue;
    const std::string oracle = (out / "icat").string();
    run("icat" + offset + quote(image) + " " + std::to_string(f.recordNumber) + " > " +
        quote(oracle));
    EXPECT_EQ(md5Of(scan, f, out), kvxtest::md5File(oracle)) << f.path;
  }
}
INSTANTIATE_TEST_SUITE_P(
    Published, NtfsCorpusVolume,
    ::testing::Values(VolumeCase{"Ntfs3Driver", "ntfs3.raw.gz", 0, 0},
                      VolumeCase{"AttributeList", "ntfs3_attrlist.raw.gz", 0, 0},
                      VolumeCase{"WindowsIndex", "ntfs_index.raw.gz", 128 * 512, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NtfsCorpus, WindowsIndexFolderContents) {
  kvxtest::TempDir dir("ntfs-index");
  const std::string image = gunzip("ntfs_index.raw.gz", dir);
  ntfstest::ImageScan scan(image, 0, 128 * 512);
  ASSERT_TRUE(scan.scanned());
  auto files = byPath(scan);
  for (const char* name :
       {"111111111111111.txt", "777777777777777.txt", "999999999999999.txt", "AAAAAAAAAAA.txt"}) {
    EXPECT_TRUE(files.count(std::string("test_dir/") + name)) << name;
  }
}

/// The records of a bare $MFT through the parser (no volume to read data from).
std::map<std::uint64_t, NtfsParsedRecord> parseMft(const std::string& file) {
  std::vector<std::uint8_t> bytes = kvxtest::readFile(corpus("dfir_ntfs") / file);
  std::map<std::uint64_t, NtfsParsedRecord> out;
  for (std::size_t at = 0; at + 1024 <= bytes.size(); at += 1024) {
    NtfsParsedRecord rec;
    if (NTFS_ParseFileRecord(std::span(bytes.data() + at, 1024), rec) == Parse::Ok)
      out[at / 1024] = rec;
  }
  return out;
}

TEST(NtfsCorpus, CompressedAndSparseRecords) {
  bool compressed = false, sparse = false;
  for (const auto& [n, rec] : parseMft("compressed_sparse.mft")) {
    if (rec.name == u"compressed.txt") {
      compressed = true;
      EXPECT_EQ(rec.size, 22308u);
      EXPECT_TRUE(rec.dataFlags & kNtfsDataCompressed);
      EXPECT_NE(rec.runListLength, 0u);
    }
    if (rec.name == u"sparse") {
      sparse = true;
      EXPECT_EQ(rec.size, 1048582u);
      EXPECT_FALSE(rec.dataFlags & kNtfsDataCompressed);
    }
  }
  EXPECT_TRUE(compressed);
  EXPECT_TRUE(sparse);
}

TEST(NtfsCorpus, DeletedRecordKeepsItsPath) {
  const auto records = parseMft("deleted.mft");
  bool found = false;
  for (const auto& [n, rec] : records) {
    if (rec.name != u"file.txt" || (rec.recordFlags & kNtfsRecordInUse)) continue;
    std::string path = "file.txt";
    std::uint64_t parent = rec.parent & 0xFFFFFFFFFFFFull;
    for (int guard = 0; parent != 5 && guard < 16; ++guard) {
      const auto it = records.find(parent);
      if (it == records.end()) break;
      path = ntfstest::utf8((it->second.name + u'\0').c_str()) + "/" + path;
      parent = it->second.parent & 0xFFFFFFFFFFFFull;
    }
    found |= path == "1/2/3/4/file.txt";
  }
  EXPECT_TRUE(found);
}

}  // namespace
