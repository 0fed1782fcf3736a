// Table repairs on sfdisk/sgdisk images damaged the ways users lose partitions: the repaired
// image must list what the undamaged one did (sfdisk -d, sgdisk -p), the volumes inside must still
// check clean, a dry run must leave the image alone, and undo must give back the damaged image
// byte for byte while the disk still holds what the repair wrote.
#include "partitions/repair.h"

#include <unistd.h>

#include <fstream>
#include <regex>

#include "core/undelete_object.h"
#include "host/host.h"
#include "partition_test_util.h"

using namespace parttest;

namespace {

using Patches = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;
std::vector<std::uint8_t> zeros(std::size_t n) { return std::vector<std::uint8_t>(n, 0); }

/// Runs the test in @p dir: backup files go to the current directory.
class InDir {
 public:
  explicit InDir(const std::filesystem::path& dir) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDir() { std::filesystem::current_path(m_old); }

 private:
  std::filesystem::path m_old;
};

std::vector<std::string> filesEnding(const std::filesystem::path& dir, const std::string& ext) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ext) out.push_back(e.path().filename().string());
  return out;
}

/// A tool's listing of @p img with the image's path taken out, so that copies compare.
std::string listing(const std::string& command, const std::filesystem::path& img) {
  std::string out = kvxtest::run(command + " " + kvxtest::quote(img.string()) + " 2>&1").out;
  std::size_t at;
  while ((at = out.find(img.string())) != std::string::npos)
    out.replace(at, img.string().size(), "IMG");
  return out;
}

std::optional<unsigned> indexAt(const std::vector<FoundPartition>& table, std::uint64_t sector) {
  for (unsigned i = 0; i < table.size(); ++i)
    if (table[i].start.get() == sector * 512 && table[i].type != 0x05 && table[i].type != 0x0F)
      return i;
  return std::nullopt;
}

struct Volume {
  std::uint64_t start, sectors;
  bool ntfs;
};
const std::vector<Volume> kMbrVolumes = {{2048, 16384, false},
                                         {18432, 32768, true},
                                         {53248, 16384, false},
                                         {71680, 32768, true},
                                         {106496, 81920, false}};
const std::vector<Volume> kChsVolumes = {
    {63, 20097, false}, {20223, 20097, false}, {40383, 20097, false}};

/// fsck.fat -n / ntfsfix -n of each volume, copied out of @p img.
void checkVolumes(const std::filesystem::path& img, const std::filesystem::path& dir,
                  const std::vector<Volume>& volumes) {
  for (const Volume& v : volumes) {
    const auto part = dir / "volume.img";
    kvxtest::run("dd if=" + kvxtest::quote(img.string()) + " of=" + kvxtest::quote(part.string()) +
                 " bs=512 skip=" + std::to_string(v.start) + " count=" + std::to_string(v.sectors) +
                 " conv=sparse status=none");
    const std::string check = v.ntfs ? "ntfsfix -n " : "fsck.fat -n ";
    EXPECT_EQ(kvxtest::run(check + kvxtest::quote(part.string()) + " >/dev/null 2>&1").exitCode, 0)
        << check << "at sector " << v.start;
    std::filesystem::remove(part);
  }
}

std::vector<UndeleteRepairWrite> repairWrites() {
  std::vector<UndeleteRepairWrite> out;
  UndeleteRepairWrite w{};
  for (unsigned i = 0; Undelete_GetRepairWrite(i, &w) == 1; ++i) out.push_back(w);
  return out;
}

std::string repairBackup() {
  char name[512] = {};
  return Undelete_GetRepairBackup(name, sizeof name) == 1 ? name : "";
}

struct MbrCase {
  const char* name;
  const char* image;
  Patches patches;
  std::vector<std::uint64_t> restore;  // start sectors of the found entries to restore, in order
  std::vector<std::uint64_t> pieces;   // sectors the backup names, in order
  bool quick = true;        // false: only a full scan finds the volume (off the usual places)
  bool sameListing = true;  // false: a volume found by its boot sector has the size and type that
                            // sector gives, so only the starts compare
};

std::string starts(const std::string& listing) {
  std::string out;
  const std::regex start(R"(start=\s*\d+)");
  for (std::sregex_iterator i(listing.begin(), listing.end(), start), end; i != end; ++i)
    out += i->str() + "\n";
  return out;
}

class MbrRepair : public ::testing::TestWithParam<MbrCase> {};

TEST_P(MbrRepair, RestoresTheOriginalTableAndUndoes) {
  if (!kvxtest::haveTools({"sfdisk", "fsck.fat", "ntfsfix"})) GTEST_SKIP();
  const MbrCase& c = GetParam();
  kvxtest::TempDir dir("mbrfix");
  InDir cwd(dir.path());
  const auto img = damagedCopy(images() / c.image, dir.path(), "disk.img", c.patches);
  const std::string damaged = kvxtest::md5File(img);
  Engine e;
  auto table = scan(e.get(), diskOf(img), c.quick);
  const auto index = indexAt(table, c.restore[0]);
  ASSERT_TRUE(index.has_value());
  ASSERT_EQ(foundStatus(table[*index]), kPartFound);

  // A dry run plans the same sectors and leaves disk, directory and found table alone.
  Undelete_SetRepairDryRun(1);
  EXPECT_EQ(Undelete_FixMBR(e.get(), *index), 1);
  Undelete_SetRepairDryRun(0);
  auto planned = repairWrites();
  ASSERT_EQ(planned.size(), c.pieces.size());
  for (std::size_t i = 0; i < planned.size(); ++i) {
    EXPECT_EQ(planned[i].offset, c.pieces[i] * 512);
    EXPECT_EQ(planned[i].written, 0);
  }
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());
  FoundPartition p{};
  ASSERT_EQ(Undelete_GetPartitionDesc(e.get(), *index, &p), 1);
  EXPECT_EQ(foundStatus(p), kPartFound);

  EXPECT_EQ(Undelete_FixMBR(e.get(), *index), 1);
  ASSERT_EQ(Undelete_GetPartitionDesc(e.get(), *index, &p), 1);
  EXPECT_EQ(foundStatus(p), kPartExisting);

  // The backup: one 24-digit piece per sector, offsets in order, the old sectors inside.
  const std::string name = repairBackup();
  ASSERT_EQ(name.size(), 24 * c.pieces.size() + 4) << name;
  const auto pieces = Repair_ParseMbrName(name);
  ASSERT_TRUE(pieces.has_value());
  for (std::size_t i = 0; i < c.pieces.size(); ++i)
    EXPECT_EQ((*pieces)[i].offset, c.pieces[i] * 512);
  EXPECT_EQ(std::filesystem::file_size(dir / name), 512 * c.pieces.size());
  char found[256] = {};
  EXPECT_EQ(Undelete_CanUndoMBRFix(static_cast<int>(diskOf(img)), found, sizeof found), 1);
  EXPECT_EQ(found, name);

  for (std::size_t k = 1; k < c.restore.size(); ++k) {
    table = scan(e.get(), diskOf(img), c.quick);
    const auto next = indexAt(table, c.restore[k]);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(Undelete_FixMBR(e.get(), *next), 1);
  }
  const std::string got = listing("sfdisk -d", img),
                    want = listing("sfdisk -d", images() / c.image);
  if (c.sameListing)
    EXPECT_EQ(got, want);
  else
    EXPECT_EQ(starts(got), starts(want)) << got;
  std::vector<Volume> restored;
  for (const Volume& v : std::string(c.image) == "mbr.img" ? kMbrVolumes : kChsVolumes)
    if (std::find(c.restore.begin(), c.restore.end(), v.start) != c.restore.end())
      restored.push_back(v);
  checkVolumes(img, dir.path(), restored);

  // A rescan sees the partitions in place; undo, newest repair first, gives back the damaged
  // disk and uses up the files.
  table = scan(e.get(), diskOf(img), c.quick);
  for (const std::uint64_t start : c.restore)
    EXPECT_EQ(foundStatus(table[*indexAt(table, start)]), kPartExisting) << start;
  for (std::size_t k = 0; k < c.restore.size(); ++k)
    EXPECT_EQ(Undelete_UndoMBRFix(static_cast<int>(diskOf(img))), 1);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_FALSE(std::filesystem::exists(dir / name));
  EXPECT_EQ(Undelete_CanUndoMBRFix(static_cast<int>(diskOf(img)), nullptr, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Mbr, MbrRepair,
    ::testing::Values(
        MbrCase{"PrimaryDeleted", "mbr.img", {{0x1CE, zeros(16)}}, {18432}, {0}},
        // The first EBR's link cut: the second EBR, still whole, is linked again as it stands,
        // and the third comes back with it.
        MbrCase{"EbrLinkCut",
                "chs.img",
                {{20160ull * 512 + 0x1CE, zeros(16)}},
                {40383},
                {20160},
                false},
        MbrCase{"EbrLinkCutAligned",
                "mbr.img",
                {{51200ull * 512 + 0x1CE, zeros(16)}},
                {71680},
                {51200}},
        // The second EBR destroyed: its volume gets a new EBR where the volume before it ends
        // (the link to there is still right, so the first EBR stays); the third volume, now cut
        // off, is restored next and linked behind it.
        MbrCase{"EbrDestroyed",
                "mbr.img",
                {{69632ull * 512, zeros(512)}},
                {71680, 106496},
                {69632},
                true,
                false},
        // The extended entry deleted: the chain, found at its first EBR, comes back whole with
        // the first logical; only the MBR is written.
        MbrCase{"ExtendedEntryDeleted", "mbr.img", {{0x1DE, zeros(16)}}, {53248}, {0}},
        // A hidden FAT16 and a deleted NTFS entry: the rebuilt MBR holds both, unhidden.
        MbrCase{
            "HiddenAndDeleted", "mbr.img", {{0x1C2, {0x1E}}, {0x1CE, zeros(16)}}, {18432}, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MbrRepair, ActiveFlagToggleAndUndoRefusedAfterChange) {
  kvxtest::TempDir dir("mbractive");
  InDir cwd(dir.path());
  const auto img = damagedCopy(images() / "mbr.img", dir.path(), "disk.img", {{0x1CE, zeros(16)}});
  const int disk = static_cast<int>(diskOf(img));
  Engine e;
  auto table = scan(e.get(), diskOf(img), true);
  const unsigned p1 = *indexAt(table, 2048), p2 = *indexAt(table, 18432);

  // An entry in place writes nothing and leaves no backup.
  EXPECT_EQ(Undelete_FixMBR(e.get(), p1), 1);
  EXPECT_TRUE(repairWrites().empty());
  EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());

  EXPECT_EQ(Undelete_FixMBR(e.get(), p2), 1);
  ASSERT_EQ(Undelete_CanUndoMBRFix(disk, nullptr, 0), 1);
  for (unsigned i = 0; i < table.size(); ++i)
    if (table[i].type == 0x05) EXPECT_EQ(Undelete_CanMakeActive(e.get(), i), 0);
  ASSERT_EQ(Undelete_CanMakeActive(e.get(), p1), 1);

  // Activating p1 changes sector 0: the earlier backup no longer matches and is not replayed.
  const std::string beforeActive = kvxtest::md5File(img);
  ASSERT_EQ(Undelete_MakeActive(e.get(), p1), 1);
  EXPECT_EQ(kvxtest::readFile(img)[0x1BE], 0x80);
  EXPECT_EQ(Undelete_CanUndoMBRFix(disk, nullptr, 0), 0);
  EXPECT_EQ(Undelete_UndoMBRFix(disk), 0);
  EXPECT_EQ(filesEnding(dir.path(), ".mbr").size(), 1u);

  // Activating it again leaves no partition active, and the sector as it was before.
  ASSERT_EQ(Undelete_MakeActive(e.get(), p1), 1);
  const auto bytes = kvxtest::readFile(img);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[0x1BE + 16 * i], 0) << i;
  EXPECT_EQ(kvxtest::md5File(img), beforeActive);
  FoundPartition p{};
  ASSERT_EQ(Undelete_GetPartitionDesc(e.get(), p1, &p), 1);
  EXPECT_FALSE(foundActive(p));
  EXPECT_EQ(Undelete_CanUndoMBRFix(disk, nullptr, 0), 1);  // the disk holds the repair again
}

TEST(BootCode, SourceAssemblesToTheBytesKeptAndPointsAtItsMessages) {
  if (!kvxtest::haveTools({"nasm"})) GTEST_SKIP();
  kvxtest::TempDir dir("bootcode");
  const auto out = dir / "boot.bin";
  const auto src = kvxtest::sourceDir() / "engine/partitions/boot_code.asm";
  ASSERT_EQ(kvxtest::run("nasm -f bin -o " + kvxtest::quote(out.string()) + " " +
                         kvxtest::quote(src.string()))
                .exitCode,
            0);
  const auto bytes = kvxtest::readFile(out);
  ASSERT_EQ(bytes.size(), kMbrBootCode.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), kMbrBootCode.begin()));
  // Three messages, each reached through its pointer byte (offset - 0x100) and ended by a NUL
  // before the pointers; signature field and the two bytes after it zero.
  const char* expected[] = {"Invalid partition table", "Error loading operating system",
                            "Missing operating system"};
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = 0x100u + kMbrBootCode[0x1B5 + static_cast<unsigned>(i)];
    ASSERT_LT(at, 0x1B5u);
    const auto nul = std::find(kMbrBootCode.begin() + static_cast<std::ptrdiff_t>(at),
                               kMbrBootCode.begin() + 0x1B5, 0);
    ASSERT_NE(nul, kMbrBootCode.begin() + 0x1B5);
    EXPECT_EQ(std::string(kMbrBootCode.begin() + static_cast<std::ptrdiff_t>(at), nul),
              expected[i]);
  }
  for (unsigned i = 0x1B8; i < 0x1BE; ++i) EXPECT_EQ(kMbrBootCode[i], 0) << i;
}

TEST(BootCode, RepairKeepsTableAndDiskSignatureAndUndoes) {
  kvxtest::TempDir dir("bootfix");
  InDir cwd(dir.path());
  const auto img = damagedCopy(images() / "mbr.img", dir.path(), "disk.img", {});
  const std::string before = kvxtest::md5File(img);
  const int disk = static_cast<int>(diskOf(img));
  Engine e;
  (void)scan(e.get(), diskOf(img), true);
  ASSERT_EQ(Undelete_NeedFixMBRBootCode(e.get()), 1);
  ASSERT_EQ(Undelete_FixMBRBootCode(e.get(), disk), 1);
  const auto bytes = kvxtest::readFile(img);
  EXPECT_TRUE(std::equal(kMbrBootCode.begin(), kMbrBootCode.begin() + 0x1B8, bytes.begin()));
  EXPECT_EQ(bytes[0x1B8], 0xcd);  // label-id 0x1234abcd stays
  EXPECT_EQ(bytes[0x1BB], 0x12);
  EXPECT_EQ(listing("sfdisk -d", img), listing("sfdisk -d", images() / "mbr.img"));
  (void)scan(e.get(), diskOf(img), true);
  EXPECT_EQ(Undelete_NeedFixMBRBootCode(e.get()), 0);
  const std::string name = repairBackup();
  EXPECT_EQ(name.substr(0, 16), std::string(16, '0'));
  EXPECT_EQ(Undelete_FixMBRBootCode(e.get(), -1), 0);
  ASSERT_EQ(Undelete_UndoMBRFix(disk), 1);
  EXPECT_EQ(kvxtest::md5File(img), before);
}

struct GptCase {
  const char* name;
  Patches patches;
  bool sameListing;  // sgdisk -p as the original's (a partition found by scan gets a new name)
};

class GptRepair : public ::testing::TestWithParam<GptCase> {};

constexpr std::uint64_t kGptBackupArray = 64ull * 1024 * 2 - 1 - 32;

TEST_P(GptRepair, WritesAValidGptAndUndoes) {
  if (!kvxtest::haveTools({"sgdisk"})) GTEST_SKIP();
  const GptCase& c = GetParam();
  kvxtest::TempDir dir("gptfix");
  InDir cwd(dir.path());
  const auto img = damagedCopy(images() / "gpt.img", dir.path(), "disk.img", c.patches);
  const std::string damaged = kvxtest::md5File(img);
  const int disk = static_cast<int>(diskOf(img));
  Engine e;
  const auto table = scan(e.get(), diskOf(img), true);
  ASSERT_EQ(Undelete_NeedFixGPT(e.get()), 1);
  unsigned index = 0;
  for (unsigned i = 0; i < table.size(); ++i)
    if (foundStatus(table[i]) == kPartFound) index = i;

  Undelete_SetRepairDryRun(1);
  EXPECT_EQ(Undelete_FixGPT(e.get(), index), 1);
  Undelete_SetRepairDryRun(0);
  EXPECT_EQ(repairWrites().size(), 5u);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_TRUE(filesEnding(dir.path(), ".gpt").empty());

  ASSERT_EQ(Undelete_FixGPT(e.get(), index), 1);
  EXPECT_NE(listing("sgdisk -v", img).find("No problems found"), std::string::npos)
      << listing("sgdisk -v", img);
  const std::string got = listing("sgdisk -p", img),
                    want = listing("sgdisk -p", images() / "gpt.img");
  if (c.sameListing) {
    EXPECT_EQ(got, want);
  } else {
    // Same partitions at the same places; the one found by the scan carries its found name.
    const std::regex row(R"(\n\s+\d+\s+\d+\s+\d+)");
    std::string a, b;
    for (std::sregex_iterator i(got.begin(), got.end(), row), end; i != end; ++i) a += i->str();
    for (std::sregex_iterator i(want.begin(), want.end(), row), end; i != end; ++i) b += i->str();
    EXPECT_EQ(a, b);
  }
  const std::string name = repairBackup();
  ASSERT_EQ(name.size(), 44u) << name;
  char found[64] = {};
  ASSERT_EQ(Undelete_CanUndoGPTFix(disk, found, sizeof found), 1);
  EXPECT_EQ(found, name);
  ASSERT_EQ(Undelete_UndoGPTFix(disk), 1);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_TRUE(std::filesystem::exists(dir / name));  // a GPT backup stays
}

INSTANTIATE_TEST_SUITE_P(
    Gpt, GptRepair,
    ::testing::Values(
        GptCase{"PrimaryHeaderDestroyed", {{512, zeros(512)}}, true},
        GptCase{"BackupArrayEntryMissing", {{kGptBackupArray * 512 + 128, zeros(128)}}, true},
        GptCase{"ProtectiveMbrOverwritten", {{0, zeros(512)}}, true},
        GptCase{"EntryDeletedFromBothCopies",
                {{2 * 512 + 128, zeros(128)}, {kGptBackupArray * 512 + 128, zeros(128)}},
                false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SectorBackups, BackupNamesOnlyInTheirExactForm) {
  EXPECT_TRUE(Repair_ParseMbrName("0000000000000000000012ab.mbr").has_value());
  EXPECT_FALSE(Repair_ParseMbrName("0000000000000000000012AB.mbr").has_value());  // uppercase
  EXPECT_FALSE(Repair_ParseMbrName("0000000000000000000012a.mbr").has_value());
  EXPECT_FALSE(Repair_ParseMbrName(".mbr").has_value());
  const std::string gpt = "0123456789abcdef0123456789abcdef01234567.gpt";
  ASSERT_TRUE(Repair_ParseGptName(gpt).has_value());
  EXPECT_EQ((*Repair_ParseGptName(gpt))[4], 0x01234567u);
  EXPECT_FALSE(Repair_ParseGptName(gpt.substr(1)).has_value());
  EXPECT_FALSE(Repair_ParseGptName("0" + gpt).has_value());
  // Records: whole or nothing.
  std::vector<std::uint8_t> file = {0x00, 0x02, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'};
  const auto records = Repair_ParseRecords(file, 4);
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ((*records)[0].offset, 0x200u);
  file.pop_back();
  EXPECT_FALSE(Repair_ParseRecords(file, 4).has_value());
}

TEST(SectorBackups, WholeTableBackupRestoresAChainAndRefusesADamagedFile) {
  kvxtest::TempDir dir("tablebackup");
  const auto original = images() / "mbr.img";
  const auto copy = damagedCopy(original, dir.path(), "disk.img", {});
  const auto backup = dir / "tables.bin";
  ASSERT_EQ(Undelete_BackupPartitions(static_cast<int>(diskOf(copy)), backup.c_str()), 1);
  // The MBR and the three EBRs, 512 bytes each.
  const auto bytes = kvxtest::readFile(backup);
  ASSERT_EQ(bytes.size(), 4u * (12 + 512));
  const auto records = Repair_ParseRecords(bytes, 16);
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ((*records)[1].offset, 51200u * 512);
  EXPECT_EQ((*records)[3].offset, 104448u * 512);

  const auto lost = damagedCopy(original, dir.path(), "lost.img",
                                {{0, zeros(512)}, {51200ull * 512, zeros(512)}});
  const std::string lostMd5 = kvxtest::md5File(lost);
  auto cut = bytes;
  cut.resize(bytes.size() - 100);
  kvxtest::writeFile(dir / "cut.bin", cut);
  EXPECT_EQ(Undelete_RestorePartitions((dir / "cut.bin").c_str(), static_cast<int>(diskOf(lost))),
            0);
  EXPECT_EQ(kvxtest::md5File(lost), lostMd5);
  ASSERT_EQ(Undelete_RestorePartitions(backup.c_str(), static_cast<int>(diskOf(lost))), 1);
  EXPECT_EQ(kvxtest::md5File(lost), kvxtest::md5File(original));
  std::uint8_t sector[512];
  ASSERT_EQ(Undelete_ReadMBR(static_cast<int>(diskOf(lost)), sector), 1);
  EXPECT_TRUE(std::equal(sector, sector + 512, bytes.begin() + 12));
}

}  // namespace

namespace {

/// A volume of an image mounted read-only through a loop device and ntfs-3g; undone on exit.
class LoopMount {
 public:
  LoopMount(const std::filesystem::path& img, std::uint64_t offset, std::uint64_t length,
            const std::filesystem::path& dir)
      : m_mnt(dir / "mnt") {
    std::filesystem::create_directories(m_mnt);
    const auto r =
        kvxtest::run("losetup --find --show -o " + std::to_string(offset) + " --sizelimit " +
                     std::to_string(length) + " " + kvxtest::quote(img.string()) + " 2>/dev/null");
    if (r.exitCode != 0 || r.out.empty()) return;
    m_loop = r.out.substr(0, r.out.find('\n'));
    m_mounted = kvxtest::run("ntfs-3g -o ro " + m_loop + " " + kvxtest::quote(m_mnt.string()) +
                             " >/dev/null 2>&1")
                    .exitCode == 0;
  }
  ~LoopMount() {
    if (m_mounted) kvxtest::run("umount " + kvxtest::quote(m_mnt.string()));
    if (!m_loop.empty()) kvxtest::run("losetup -d " + m_loop);
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  [[nodiscard]] bool mounted() const { return m_mounted; }

 private:
  std::filesystem::path m_mnt;
  std::string m_loop;
  bool m_mounted = false;
};

/// A boot store holding, among decoys, the entry the boot-code repair reads its disk signature
/// from: the key "11000001", "Element" and its NUL 0x20 bytes later, the signature at 0x64.
std::vector<std::uint8_t> bootStore(std::uint32_t signature) {
  std::vector<std::uint8_t> store(1024, 0);
  std::memcpy(store.data(), "regf", 4);
  const auto put = [&](std::size_t at, std::uint32_t sig, bool element) {
    std::memcpy(&store[at], "11000001", 8);
    if (element) std::memcpy(&store[at + 0x20], "Element", 8);
    for (unsigned b = 0; b < 4; ++b) store[at + 0x64 + b] = static_cast<std::uint8_t>(sig >> 8 * b);
  };
  put(0x40, 0x0BADF00D, false);  // no value name after the key
  put(0x100, 0, true);           // an element without a signature: the search goes on
  put(0x200, signature, true);
  return store;
}

TEST(BootCode, SignatureFromTheBootStoreMountedOrNot) {
  if (!kvxtest::haveTools({"sfdisk", "mkntfs", "ntfs-3g", "losetup"})) GTEST_SKIP();
  kvxtest::TempDir dir("bootstore");
  InDir cwd(dir.path());
  // An NTFS partition holding Boot/BCD, on a disk whose own signature is 0x1234abcd.
  const auto vol = dir / "vol.img", mnt = dir / "build", img = dir / "disk.img";
  kvxtest::writeFile(dir / "BCD", bootStore(0xCAFEF00D));
  std::filesystem::create_directories(mnt);
  const std::string v = kvxtest::quote(vol.string()), m = kvxtest::quote(mnt.string());
  ASSERT_EQ(kvxtest::run("truncate -s 16M " + v + " && mkntfs -F -Q -q -p 2048 " + v +
                         " >/dev/null 2>&1 && ntfs-3g " + v + " " + m + " && mkdir " + m +
                         "/Boot && cp BCD " + m + "/Boot/BCD; umount " + m +
                         " && truncate -s 32M disk.img && printf 'label: dos\\nlabel-id: "
                         "0x1234abcd\\nstart=2048, size=32768, type=7, bootable\\n' | "
                         "sfdisk -q disk.img && dd if=" +
                         v + " of=disk.img bs=512 seek=2048 conv=notrunc,sparse status=none")
                .exitCode,
            0);
  const int disk = static_cast<int>(diskOf(img));
  const std::string before = kvxtest::md5File(img);
  Engine e;
  const auto signatureOf = [](const std::uint8_t* sector) {
    return std::uint32_t{sector[0x1B8]} | std::uint32_t{sector[0x1B9]} << 8 |
           std::uint32_t{sector[0x1BA]} << 16 | std::uint32_t{sector[0x1BB]} << 24;
  };
  std::vector<std::uint8_t> plannedSector;
  {
    LoopMount mount(img, 2048ull * 512, 32768ull * 512, dir.path());
    ASSERT_TRUE(mount.mounted()) << "loop device or ntfs-3g mount unavailable";
    Host_RefreshDrives();  // the loop device is a drive letter now
    (void)scan(e.get(), static_cast<std::uint32_t>(disk), true);
    // The store names the disk by 0xcafef00d: the new sector carries that number.
    Undelete_SetRepairDryRun(1);
    EXPECT_EQ(Undelete_FixMBRBootCode(e.get(), disk), 1);
    Undelete_SetRepairDryRun(0);
    const auto planned = repairWrites();
    ASSERT_EQ(planned.size(), 1u);
    EXPECT_EQ(signatureOf(planned[0].after), 0xCAFEF00Du);
    EXPECT_TRUE(std::equal(kMbrBootCode.begin(), kMbrBootCode.begin() + 0x1B8, planned[0].after));
    EXPECT_TRUE(
        std::equal(planned[0].before + 0x1BE, planned[0].before + 512, planned[0].after + 0x1BE));
    plannedSector.assign(planned[0].after, planned[0].after + 512);
    // A disk with a mounted partition is not written.
    EXPECT_EQ(Undelete_FixMBRBootCode(e.get(), disk), 0);
    EXPECT_EQ(kvxtest::md5File(img), before);
  }
  Host_RefreshDrives();
  // Unmounted, the store is read from the volume itself: kvx writes the planned sector with the
  // store's number, and nothing else of the disk changes (the reading wrote nothing).
  const auto image = kvxtest::readFile(img);
  std::vector<std::uint8_t> expected(image);
  std::copy(plannedSector.begin(), plannedSector.end(), expected.begin());
  const std::string kvx = kvxtest::quote(kvxtest::cliPath().string()) + " ";
  const std::string q = kvxtest::quote(img.string());
  auto r = kvxtest::run(kvx + "fix-boot-code " + q + " --quick --dry-run 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("write 512 bytes at offset 0 (sector 0)"), std::string::npos) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), before);
  r = kvxtest::run(kvx + "fix-boot-code " + q + " --quick --yes 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const auto written = kvxtest::readFile(img);
  EXPECT_EQ(signatureOf(written.data()), 0xCAFEF00Du);
  EXPECT_TRUE(written == expected);
  EXPECT_EQ(filesEnding(dir.path(), ".mbr").size(), 1u);
  r = kvxtest::run(kvx + "undo " + q + " --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), before);

  // A FAT volume's store, its names in lower case, is found the same way.
  if (!kvxtest::haveTools({"mkfs.fat", "mmd", "mcopy"})) return;
  ASSERT_EQ(kvxtest::run("truncate -s 32M fat.img && printf 'label: dos\\nstart=2048, "
                         "size=32768, type=c\\n' | sfdisk -q fat.img && mkfs.fat --offset 2048 "
                         "fat.img 16384 >/dev/null 2>&1 && mmd -i fat.img@@1M ::/boot && mcopy -i "
                         "fat.img@@1M BCD ::/boot/bcd")
                .exitCode,
            0);
  const int fatDisk = static_cast<int>(diskOf(dir / "fat.img"));
  (void)scan(e.get(), static_cast<std::uint32_t>(fatDisk), true);
  Undelete_SetRepairDryRun(1);
  EXPECT_EQ(Undelete_FixMBRBootCode(e.get(), fatDisk), 1);
  Undelete_SetRepairDryRun(0);
  const auto fatPlan = repairWrites();
  ASSERT_EQ(fatPlan.size(), 1u);
  EXPECT_EQ(signatureOf(fatPlan[0].after), 0xCAFEF00Du);
}

TEST(KvxRepair, ShowsAsksWritesUndoesAndNeverWritesAMountedDisk) {
  kvxtest::TempDir dir("kvxrepair");
  InDir cwd(dir.path());
  const auto img = damagedCopy(images() / "mbr.img", dir.path(), "disk.img", {{0x1CE, zeros(16)}});
  const std::string damaged = kvxtest::md5File(img);
  const std::string kvx = kvxtest::quote(kvxtest::cliPath().string()) + " ";
  const std::string disk = kvxtest::quote(img.string());

  auto r = kvxtest::run(kvx + "fix-mbr " + disk + " 1 --quick --dry-run 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("write 512 bytes at offset 0 (sector 0)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("entry 1: unused  ->  type 0x07 start 18432 sectors 32768"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(kvxtest::run(kvx + "fix-mbr " + disk + " 1 --quick </dev/null 2>&1").exitCode, 1);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());

  {
    // A volume of the disk mounted: the disk is not written, and the user is told why.
    LoopMount mount(img, 71680ull * 512, 32768ull * 512, dir.path());
    if (mount.mounted()) {
      r = kvxtest::run(kvx + "fix-mbr " + disk + " 1 --quick --yes 2>&1");
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_NE(r.out.find("mounted"), std::string::npos) << r.out;
      EXPECT_EQ(kvxtest::md5File(img), damaged);
      EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());
    } else {
      ADD_FAILURE() << "loop device or ntfs-3g mount unavailable";
    }
  }

  r = kvxtest::run(kvx + "fix-mbr " + disk + " 1 --quick --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("undo: kvx undo"), std::string::npos) << r.out;
  EXPECT_EQ(listing("sfdisk -d", img), listing("sfdisk -d", images() / "mbr.img"));
  r = kvxtest::run(kvx + "undo " + disk + " --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_EQ(kvxtest::run(kvx + "undo " + disk + " --yes 2>&1").exitCode, 1);

  // Whole-table backup of the intact disk, restored onto the damaged one; what the restore
  // overwrote is saved first and can itself be restored.
  const std::string tables = kvxtest::quote((dir / "tables.bin").string());
  EXPECT_EQ(kvxtest::run(kvx + "backup-partitions " +
                         kvxtest::quote((images() / "mbr.img").string()) + " " + tables + " 2>&1")
                .exitCode,
            0);
  EXPECT_EQ(kvxtest::run(kvx + "backup-partitions " + disk + " " + tables + " 2>&1").exitCode, 1);
  r = kvxtest::run(kvx + "restore-partitions " + tables + " " + disk + " --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), kvxtest::md5File(images() / "mbr.img"));
  const auto saved = filesEnding(dir.path(), ".bin");
  std::string before;
  for (const auto& f : saved)
    if (f.rfind("before-restore-", 0) == 0) before = f;
  ASSERT_FALSE(before.empty());
  r = kvxtest::run(kvx + "restore-partitions " + kvxtest::quote(before) + " " + disk +
                   " --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), damaged);
}

}  // namespace

namespace {

/// @p name unpacked from the corpus's dynamic disks into @p dir.
std::filesystem::path ldmImage(const std::filesystem::path& dir, const std::string& name) {
  const auto archive = kvxtest::sourceDir() / "tests/fixtures/corpus/libldm/ldm-data.tar.xz";
  EXPECT_EQ(kvxtest::run("tar -C " + kvxtest::quote(dir.string()) + " -SJxf " +
                         kvxtest::quote(archive.string()) + " " + name)
                .exitCode,
            0);
  return dir / name;
}

TEST(LdmRepair, DynamicDiskMbrRewrittenForTheDatabaseAndUndone) {
  if (!kvxtest::haveTools({"ldmtool", "tar"})) GTEST_SKIP();
  kvxtest::TempDir dir("ldmfix");
  InDir cwd(dir.path());
  const auto original = ldmImage(dir.path(), "ldm-2003r2-simple-1.img");
  // The MBR's entries lost: only the database still describes the disk.
  const auto img = damagedCopy(original, dir.path(), "disk.img", {{0x1BE, zeros(64)}});
  const std::string damaged = kvxtest::md5File(img);
  Engine e;
  const auto table = scan(e.get(), diskOf(img), true);
  ASSERT_EQ(Undelete_IsDriveDynamic(e.get()), 1);
  ASSERT_EQ(Undelete_NeedFixProtectiveMBR(e.get()), 1);
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(Undelete_FixMBR(e.get(), 0), 1);
  const auto bytes = kvxtest::readFile(img);
  EXPECT_EQ(bytes[0x1C2], 0x42);
  EXPECT_EQ(bytes[0x1C6], 63);  // the data area, from the private header
  EXPECT_EQ(bytes[0x1CA] | bytes[0x1CB] << 8 | bytes[0x1CC] << 16, 96327);
  const auto volume = kvxtest::run("ldmtool -d " + kvxtest::quote(img.string()) +
                                   " show volume 03c0c4fc-8b6f-402b-9431-4be2e5823b1c Volume1");
  EXPECT_NE(volume.out.find("\"size\" : 96256"), std::string::npos) << volume.out;
  (void)scan(e.get(), diskOf(img), true);
  EXPECT_EQ(Undelete_NeedFixProtectiveMBR(e.get()), 0);
  ASSERT_EQ(Undelete_UndoMBRFix(static_cast<int>(diskOf(img))), 1);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
}

}  // namespace

namespace {

/// A disk image seen through a loop device with 4096-byte logical sectors, as a 4Kn disk is;
/// detached on exit.
class Loop4k {
 public:
  explicit Loop4k(const std::filesystem::path& img) {
    const auto r = kvxtest::run("losetup --find --show --sector-size 4096 " +
                                kvxtest::quote(img.string()) + " 2>/dev/null");
    if (r.exitCode == 0 && !r.out.empty()) m_dev = r.out.substr(0, r.out.find('\n'));
  }
  ~Loop4k() {
    if (!m_dev.empty()) kvxtest::run("losetup -d " + m_dev);
  }
  Loop4k(const Loop4k&) = delete;
  Loop4k& operator=(const Loop4k&) = delete;
  [[nodiscard]] const std::string& dev() const { return m_dev; }

 private:
  std::string m_dev;
};

/// A 64 MiB disk of 4096-byte sectors, empty, in a folder that is also the current one.
class Sector4k : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"losetup", "sfdisk", "sgdisk", "mkntfs", "ntfsfix", "mkfs.fat"}))
      GTEST_SKIP();
    ASSERT_FALSE(m_loop.dev().empty()) << "no loop device";
  }
  /// Runs @p script in the folder with $dev set; its exit code.
  int sh(const std::string& script) {
    const auto r = kvxtest::run("cd " + kvxtest::quote(m_dir.path().string()) +
                                " && dev=" + m_loop.dev() + " && { " + script + "; } 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return r.exitCode;
  }
  /// `@p command DEV`, the device's name taken out.
  std::string tool(const std::string& command) {
    std::string out = kvxtest::run(command + " " + m_loop.dev()).out;
    for (std::size_t at; (at = out.find(m_loop.dev())) != std::string::npos;)
      out.replace(at, m_loop.dev().size(), "DEV");
    return out;
  }
  int disk() { return static_cast<int>(diskOf(m_loop.dev())); }

  kvxtest::TempDir m_dir{"disk4k"};
  InDir m_cwd{m_dir.path()};
  std::filesystem::path m_img = [this] {
    const auto img = m_dir / "disk.img";
    kvxtest::run("truncate -s 64M " + kvxtest::quote(img.string()));
    return img;
  }();
  Loop4k m_loop{m_img};
};

constexpr std::uint64_t k4k = 4096;

TEST_F(Sector4k, MbrChainRepairUndoAndWholeTableRestore) {
  // FAT p1, NTFS p2, and an extended partition with a FAT and an NTFS logical, in 4096-byte
  // sectors (EBRs at 4352 and 6656).
  ASSERT_EQ(sh("printf 'label: dos\\nlabel-id: 0x4096abcd\\nstart=256, size=2048, type=6\\n"
               "start=2304, size=2048, type=7\\nstart=4352, type=5\\nstart=4608, size=2048, "
               "type=6\\nstart=6912, size=2048, type=7\\n' | sfdisk -q --no-reread $dev && "
               "for at in 256 4608; do mkfs.fat -S 4096 -s 1 -i 12345678 --invariant -C f.img "
               "8192 >/dev/null && dd if=f.img of=$dev bs=4096 seek=$at conv=notrunc "
               "status=none && rm f.img; done && for at in 2304 6912; do truncate -s 8M n.img && "
               "mkntfs -F -Q -q -s 4096 -c 4096 -p $at -H 255 -S 63 n.img >/dev/null && "
               "dd if=n.img of=$dev bs=4096 seek=$at conv=notrunc status=none && rm n.img; done"),
            0);
  const std::string original = tool("sfdisk -d"), originalMd5 = kvxtest::md5File(m_img);
  ASSERT_NE(original.find("sector-size: 4096"), std::string::npos) << original;

  // Whole-table backup: the MBR and both EBRs, found by links counted in 4096-byte sectors.
  const auto tables = m_dir / "tables.bin";
  ASSERT_EQ(Undelete_BackupPartitions(disk(), tables.c_str()), 1);
  const auto records = Repair_ParseRecords(kvxtest::readFile(tables), 16);
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), 3u);
  EXPECT_EQ((*records)[1].offset, 4352 * k4k);
  EXPECT_EQ((*records)[2].offset, 6656 * k4k);

  // The NTFS primary's entry deleted: found with its full size, put back, undone.
  ASSERT_EQ(sh("dd if=/dev/zero of=$dev bs=1 seek=462 count=16 conv=notrunc status=none"), 0);
  const std::string damaged = kvxtest::md5File(m_img);
  Engine e;
  for (const bool quick : {true, false}) {
    const auto table = scan(e.get(), static_cast<std::uint32_t>(disk()), quick);
    std::optional<unsigned> index;
    for (unsigned i = 0; i < table.size(); ++i)
      if (table[i].start.get() == 2304 * k4k) index = i;
    ASSERT_TRUE(index.has_value()) << (quick ? "quick" : "full");
    EXPECT_EQ(table[*index].length.get(), 2048 * k4k);
    EXPECT_EQ(foundStatus(table[*index]), kPartFound);
    // The logicals, checked through the chain in 4096-byte units, are in place.
    for (const std::uint64_t start : {4608ull, 6912ull}) {
      const auto it = std::find_if(table.begin(), table.end(), [&](const FoundPartition& p) {
        return p.start.get() == start * k4k;
      });
      ASSERT_NE(it, table.end()) << start;
      EXPECT_EQ(foundStatus(*it), kPartExisting) << start;
    }
    if (!quick) {
      ASSERT_EQ(Undelete_FixMBR(e.get(), *index), 1);
    }
  }
  EXPECT_EQ(tool("sfdisk -d"), original);
  EXPECT_EQ(sh("dd if=$dev of=p2.img bs=4096 skip=2304 count=2048 status=none && ntfsfix -n "
               "p2.img >/dev/null && rm p2.img"),
            0);
  ASSERT_EQ(Undelete_UndoMBRFix(disk()), 1);
  EXPECT_EQ(kvxtest::md5File(m_img), damaged);

  // The whole-table backup puts the intact tables back; kvx shows its sectors in 4096 bytes.
  const auto plan = kvxtest::run(kvxtest::quote(kvxtest::cliPath().string()) +
                                 " restore-partitions tables.bin " + m_loop.dev() + " --dry-run");
  EXPECT_NE(plan.out.find("at offset 17825792 (sector 4352)"), std::string::npos) << plan.out;
  ASSERT_EQ(Undelete_RestorePartitions(tables.c_str(), disk()), 1);
  EXPECT_EQ(kvxtest::md5File(m_img), originalMd5);

  // An image of the disk has no device to say its sector size: the primaries' boot sectors tell
  // it, and the chain whose MBR entry is gone is found at its first EBR, 1 MiB in.
  const auto copy = damagedCopy(m_img, m_dir.path(), "copy.img", {{0x1DE, zeros(16)}});
  auto got = shown(e.get(), scan(e.get(), diskOf(copy), false));
  for (auto& x : got) x.startSector /= 8, x.sectors /= 8;
  EXPECT_EQ(describe(got), describe({{256, 2048, 0x06, 1},
                                     {2304, 2048, 0x07, 1},
                                     {4608, 2048, 0x06, 2},
                                     {6912, 2048, 0x07, 2}}));
}

TEST_F(Sector4k, GptRepairWritesAValidGptAndUndoes) {
  ASSERT_EQ(sh("sgdisk -o -U 11111111-2222-3333-4444-555555555555 -n 1:256:+8M -t 1:0700 -c "
               "1:data -u 1:AAAAAAAA-0000-0000-0000-000000000001 -n 2:0:+8M -t 2:0700 -c 2:more "
               "-u 2:AAAAAAAA-0000-0000-0000-000000000002 $dev >/dev/null"),
            0);
  const std::string original = tool("sgdisk -p");
  ASSERT_NE(original.find("4096/4096 bytes"), std::string::npos) << original;
  // The protective MBR overwritten and the primary header destroyed.
  ASSERT_EQ(sh("dd if=/dev/zero of=$dev bs=4096 count=2 conv=notrunc status=none"), 0);
  const std::string damaged = kvxtest::md5File(m_img);
  Engine e;
  const auto table = scan(e.get(), static_cast<std::uint32_t>(disk()), true);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[1].start.get(), (256 + 2048) * k4k);
  ASSERT_EQ(Undelete_NeedFixGPT(e.get()), 1);
  ASSERT_EQ(Undelete_FixGPT(e.get(), 0), 1);
  EXPECT_NE(tool("sgdisk -v").find("No problems found"), std::string::npos) << tool("sgdisk -v");
  EXPECT_EQ(tool("sgdisk -p"), original);
  const auto bytes = kvxtest::readFile(m_img);
  // The protective entry spans the disk in its own sectors: 16384 - 1 of them.
  EXPECT_EQ(bytes[0x1CA] | bytes[0x1CB] << 8 | bytes[0x1CC] << 16 | bytes[0x1CD] << 24, 16383);
  ASSERT_EQ(Undelete_CanUndoGPTFix(disk(), nullptr, 0), 1);
  ASSERT_EQ(Undelete_UndoGPTFix(disk()), 1);
  EXPECT_EQ(kvxtest::md5File(m_img), damaged);
}

}  // namespace

namespace {

constexpr std::uint64_t kSimpleVmdb = 51388928;  // the VMDB of the 2003 corpus disks
const std::string kGroup = "03c0c4fc-8b6f-402b-9431-4be2e5823b1c";

std::uint32_t be32At(const std::vector<std::uint8_t>& b, std::uint64_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

struct LostBlock {
  unsigned slot;
  std::string name;
};
/// A volume deleted the way the disk manager deletes it: its volume, component and partition
/// blocks freed (signature and sequence number kept, the rest zero) and the VMDB counting
/// @p volume, @p component and @p partition records fewer in both counter sets. The blocks are
/// those of the corpus images' databases, checked by the names they hold.
Patches loseVolume(const std::vector<std::uint8_t>& img, const std::vector<LostBlock>& blocks,
                   std::array<std::uint32_t, 3> counts) {
  Patches out;
  EXPECT_EQ(std::string(img.begin() + kSimpleVmdb, img.begin() + kSimpleVmdb + 4), "VMDB");
  for (const LostBlock& b : blocks) {
    const std::uint64_t at = kSimpleVmdb + 512 + b.slot * 128ull;
    const std::string block(img.begin() + static_cast<std::ptrdiff_t>(at),
                            img.begin() + static_cast<std::ptrdiff_t>(at + 128));
    const std::string held = char(b.name.size()) + b.name;  // length-prefixed
    EXPECT_NE(block.find(held), std::string::npos) << "block " << b.slot;
    out.push_back({at + 8, zeros(120)});
  }
  for (unsigned set = 0; set < 2; ++set)
    for (unsigned k = 0; k < 3; ++k) {
      const std::uint64_t counter = kSimpleVmdb + (set == 0 ? 0x85 : 0xA1) + 4 * k;
      const std::uint32_t n = be32At(img, counter) - counts[k];
      out.push_back(
          {counter,
           {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)}});
    }
  return out;
}

/// ldmtool's description of a volume without the parts a restore makes anew (GUID, letter hint).
std::string volumeShape(const std::filesystem::path& img, const std::string& name) {
  const std::string out = kvxtest::run("ldmtool -d " + kvxtest::quote(img.string()) +
                                       " show volume " + kGroup + " " + name + " 2>/dev/null")
                              .out;
  return std::regex_replace(out, std::regex(R"re(\n *"(guid|hint)" : "[^"]*",)re"), "");
}

TEST(LdmRepair, LostVolumeBackInTheDatabaseForLdmtoolAndUndone) {
  if (!kvxtest::haveTools({"ldmtool", "tar", "ntfsfix"})) GTEST_SKIP();
  kvxtest::TempDir dir("ldmvol");
  InDir cwd(dir.path());
  const auto original = ldmImage(dir.path(), "ldm-2003r2-simple-1.img");
  const auto img =
      damagedCopy(original, dir.path(), "disk.img",
                  loseVolume(kvxtest::readFile(original),
                             {{2, "Volume1"}, {24, "Volume1-01"}, {25, "Disk1-01"}}, {1, 1, 1}));
  const std::string damaged = kvxtest::md5File(img);
  ASSERT_EQ(volumeShape(img, "Volume1"), "");  // ldmtool reads the group without it
  const std::string kvx = kvxtest::quote(KVX_CLI) + " ";
  const std::string disk = kvxtest::quote(img.string());

  auto r = kvxtest::run(kvx + "fix-mbr " + disk + " 0 --quick --dry-run 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), damaged);
  EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());

  r = kvxtest::run(kvx + "fix-mbr " + disk + " 0 --quick --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("written: 4 ranges"), std::string::npos) << r.out;
  // The volume is back with its extent: one partition at the start of Disk1's data area.
  EXPECT_EQ(volumeShape(img, "Volume1"), volumeShape(original, "Volume1"));
  EXPECT_NE(volumeShape(img, "Volume1").find("\"size\" : 96256"), std::string::npos);
  const std::string part = " show partition " + kGroup + " Disk1-01 2>/dev/null";
  EXPECT_EQ(kvxtest::run("ldmtool -d " + disk + part).out,
            kvxtest::run("ldmtool -d " + kvxtest::quote(original.string()) + part).out);
  checkVolumes(img, dir.path(), {{63, 96256, true}});
  // The MBR was whole: only the database (the configuration area) changed.
  {
    const auto now = kvxtest::readFile(img);
    const auto was = kvxtest::readFile(original);
    ASSERT_EQ(now.size(), was.size());
    const auto dbStart = static_cast<std::ptrdiff_t>(100352ull * 512);
    const auto dbEnd = static_cast<std::ptrdiff_t>(102400ull * 512);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + dbStart, was.begin()));
    EXPECT_TRUE(std::equal(now.begin() + dbEnd, now.end(), was.begin() + dbEnd));
  }
  {
    Engine e;
    const auto table = scan(e.get(), diskOf(img), true);
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(foundStatus(table[0]), kPartExisting);
    EXPECT_EQ(nameOf(table[0]), "Disk1-01");
  }
  r = kvxtest::run(kvx + "undo " + disk + " --yes 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), damaged);

  // A VMDB gone after the scan: the database is not touched.
  Engine e;
  ASSERT_FALSE(scan(e.get(), diskOf(img), true).empty());
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(kSimpleVmdb));
    f.write("XMDB", 4);
  }
  const std::string noVmdb = kvxtest::md5File(img);
  EXPECT_EQ(Undelete_FixMBR(e.get(), 0), 1);
  EXPECT_EQ(kvxtest::md5File(img), noVmdb);
  EXPECT_TRUE(filesEnding(dir.path(), ".mbr").empty());
}

// A mirrored volume lost from the database of its second disk (Disk7), and the MBR's entries with
// it: the MBR comes back and one copy of the mirror comes back as a simple volume on that disk,
// not on the group's first disk.
TEST(LdmRepair, VolumeGoesBackOnTheScannedDisk) {
  if (!kvxtest::haveTools({"ldmtool", "tar"})) GTEST_SKIP();
  kvxtest::TempDir dir("ldmdisk7");
  InDir cwd(dir.path());
  const auto original = ldmImage(dir.path(), "ldm-2003r2-mirrored-2.img");
  auto patches = loseVolume(
      kvxtest::readFile(original),
      {{15, "Volume3"}, {37, "Volume3-01"}, {38, "Disk6-01"}, {39, "Volume3-02"}, {40, "Disk7-01"}},
      {1, 2, 2});
  patches.push_back({0x1BE, zeros(64)});
  const auto img = damagedCopy(original, dir.path(), "disk.img", patches);
  const std::string damaged = kvxtest::md5File(img);
  Engine e;
  const auto table = scan(e.get(), diskOf(img), true);
  ASSERT_EQ(table.size(), 1u);
  ASSERT_EQ(foundStatus(table[0]), kPartFound);
  EXPECT_EQ(Undelete_FixMBR(e.get(), 0), 1);
  EXPECT_EQ(repairWrites().size(), 5u);  // the MBR, three blocks in three sectors, the VMDB
  // The entry is in place now (the export still reports it found: the disk state stays the
  // scan's until the next scan).
  const FoundPartition& p = e.get()->foundPartitions[0];
  EXPECT_EQ(foundStatus(p), kPartExisting);
  EXPECT_EQ(p.origType, 0);
  EXPECT_EQ(volumeShape(img, "Volume3"),
            "{\n  \"name\" : \"Volume3\",\n  \"type\" : \"simple\",\n  \"size\" : 96256,\n"
            "  \"chunk-size\" : 0,\n  \"partitions\" : [\n    \"Disk7-01\"\n  ]\n}\n");
  const std::string part = " show partition " + kGroup + " Disk7-01 2>/dev/null";
  EXPECT_EQ(kvxtest::run("ldmtool -d " + kvxtest::quote(img.string()) + part).out,
            kvxtest::run("ldmtool -d " + kvxtest::quote(original.string()) + part).out);
  EXPECT_EQ(Undelete_UndoMBRFix(static_cast<int>(diskOf(img))), 1);
  EXPECT_EQ(kvxtest::md5File(img), damaged);
}

}  // namespace
