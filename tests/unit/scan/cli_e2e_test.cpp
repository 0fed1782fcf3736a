// kvx scan and kvx recover end to end on a FAT image made with mkfs.fat and mtools: the JSON
// listing parses and shows the deleted files, recovered Excellent files equal the originals, and
// the image is not changed by either command.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/fs_dispatch.h"
#include "test_support.h"
#include "undelete/undelete.h"

namespace {

using kvxtest::quote;
using kvxtest::run;

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 97) & 0xFF);
  return v;
}

TEST(KvxUsage, ExitCodes) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  EXPECT_EQ(run(kvx + " scan 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan a b 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan --bogus x 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " recover x.img 2>/dev/null").exitCode, 2) << "no --to";
  EXPECT_EQ(run(kvx + " recover x.img --to /tmp --state great 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " scan /nonexistent/image.img 2>/dev/null").exitCode, 1);
}

// Every command answers --help and `kvx help CMD` alike (exit 0), describes each option it
// accepts, and the man page and completions name the same options: they are made from one
// declaration, and this checks that nothing is left out on the way.
TEST(KvxUsage, HelpOfEveryCommandMatchesManPageAndCompletion) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto general = run(kvx + " help");
  ASSERT_EQ(general.exitCode, 0);
  const auto commands = run(kvx + " help | sed -n '/^Commands:/,/^$/p' | awk 'NF>1 {print $1}'");
  const std::string man = run(kvx + " --generate man").out;
  const std::string bash = run(kvx + " --generate bash").out;
  const std::string zsh = run(kvx + " --generate zsh").out;
  std::istringstream names(commands.out);
  int checked = 0;
  for (std::string name; std::getline(names, name);) {
    const auto viaFlag = run(kvx + " " + name + " --help");
    const auto viaHelp = run(kvx + " help " + name);
    EXPECT_EQ(viaFlag.exitCode, 0) << name;
    EXPECT_EQ(viaFlag.out, viaHelp.out) << name;
    EXPECT_EQ(viaFlag.out.rfind("usage: kvx " + name, 0), 0u) << viaFlag.out;
    const auto options = run(kvx + " help " + name +
                             " | sed -n '/^Options:/,/^$/p' | grep -o -- '--[a-z-]*' | sort -u");
    std::istringstream opts(options.out);
    for (std::string o; std::getline(opts, o);) {
      if (o == "--help") continue;
      EXPECT_NE(bash.find(" " + o), std::string::npos) << name << " " << o;
      EXPECT_NE(zsh.find("'" + o), std::string::npos) << name << " " << o;
      std::string roff;
      for (const char c : o) roff += c == '-' ? "\\-" : std::string(1, c);
      EXPECT_NE(man.find(".B " + roff), std::string::npos) << name << " " << o;
      // The parser knows every option the help describes.
      EXPECT_EQ(run(kvx + " " + name + " " + o + " 2>&1").out.find("unknown option"),
                std::string::npos) << name << " " << o;
    }
    ++checked;
  }
  EXPECT_GE(checked, 10) << commands.out;
  EXPECT_EQ(run(kvx + " help states").out.find("(overwritten/total clusters)") != std::string::npos, true);
  EXPECT_EQ(run(kvx + " help nosuch 2>/dev/null").exitCode, 2);
  EXPECT_EQ(run(kvx + " --version").out.rfind("kvx ", 0), 0u);
  EXPECT_EQ(run(kvx + " --generate bash | bash -n").exitCode, 0);
  // A missing value names the option, not "unknown option".
  const auto missing = run(kvx + " recover x.img --to 2>&1");
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.out.find("--to needs a value"), std::string::npos) << missing.out;
}

// The completions load in their shells and complete a command, an option and each item of a
// comma-separated list (in any case). bash: _kvx called as bash calls it; zsh: keys typed into an
// interactive zsh on a pseudo-terminal, the line read back after TAB.
TEST(KvxUsage, CompletionsCompleteCommandsOptionsAndListItems) {
  if (!kvxtest::haveTools({"bash", "zsh"})) GTEST_SKIP() << "bash and zsh are needed";
  kvxtest::TempDir dir("kvx-complete");
  const std::string d = quote(dir.path().string());
  const std::string kvx = quote(kvxtest::cliPath().string());
  ASSERT_EQ(run("mkdir -p " + d + "/fn && " + kvx + " --generate zsh > " + d + "/fn/_kvx && " +
                kvx + " --generate bash > " + d + "/kvx.bash")
                .exitCode,
            0);
  const auto bash = run("cd " + d + " && bash -c 'source ./kvx.bash\n"
                        "t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($#-1)); _kvx 2>/dev/null\n"
                        "  printf \"%s \" \"${COMPREPLY[@]}\"; echo; }\n"
                        "t kvx sc; t kvx scan --ts; t kvx scan x.img --state excellent,go\n"
                        "t kvx recover x.img --state Good,Ex'");
  EXPECT_EQ(bash.out, "scan \n--tsv \nexcellent,Good \nGood,Excellent Good,Existing \n");

  // Each line is typed with TAB, then ^X, bound to a widget that appends the edited line to a file.
  const auto zsh = run(
      "cd " + d + " && timeout 30 zsh -f -c 'zmodload zsh/zpty\n"
      "zpty -b z \"zsh -f -i\"\n"
      "zpty -w z \"PS1=; fpath=($PWD/fn \\$fpath); autoload -Uz compinit; compinit -u -D; "
      "dump() { print -r -- \\\"\\$BUFFER\\\" >> $PWD/lines; BUFFER=; }; zle -N dump; "
      "bindkey ^X dump\"\n"
      "for l in \"kvx sc\" \"kvx scan --ts\" \"kvx scan x.img --state excellent,go\"; do\n"
      "  zpty -w -n z \"$l$(printf \"\\t\\030\")\"; done\n"
      "zpty -w z \"print end >> $PWD/lines\"\n"
      "for i in {1..200}; do grep -qx end lines 2>/dev/null && break; sleep 0.1; done\n"
      "zpty -d z\ncat lines'");
  EXPECT_EQ(zsh.out, "kvx scan \nkvx scan --tsv \nkvx scan x.img --state excellent,Good,\nend\n");
}

TEST(KvxUsage, FailedScanStillWritesJson) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto r = run(kvx + " scan /nonexistent/image.img --json 2>/dev/null");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\"error\":{\"code\""), std::string::npos) << r.out;
}

class KvxFatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvxtest::haveTools({"mkfs.fat", "mcopy", "mdel", "mmd", "python3", "md5sum"}))
      GTEST_SKIP() << "mkfs.fat, mtools and python3 are needed";
    if (Fs_OfKind(kKindFat) == nullptr) GTEST_SKIP() << "the FAT scanner is not in this build";
    img = dir / "fat.img";
    const auto src = dir / "src";
    std::filesystem::create_directories(src);
    struct Item {
      const char* name;
      std::size_t size;
      bool remove;
    };
    const Item items[] = {{"KEEP.TXT", 3000, false},
                          {"GONE1.BIN", 5000, true},
                          {"DIR/GONE2.TXT", 1500, true},
                          {"Long file name.dat", 2500, true}};
    ASSERT_EQ(run("mkfs.fat -C -F 12 -i 1234ABCD -n KVXTEST --invariant " + quote(img.string()) +
                  " 1440 >/dev/null")
                  .exitCode,
              0);
    ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mmd -i " + quote(img.string()) + " ::/DIR").exitCode, 0);
    // Everything is copied before anything is deleted, so no deleted file's clusters or entries
    // are reused: every deleted file stays Excellent.
    unsigned seed = 1;
    for (const auto& item : items) {
      const auto local = src / ("f" + std::to_string(seed));
      kvxtest::writeFile(local, pattern(item.size, seed++));
      ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mcopy -i " + quote(img.string()) + " " +
                    quote(local.string()) + " " + quote(std::string("::/") + item.name))
                    .exitCode,
                0);
      if (item.remove) removed.insert(kvxtest::md5File(local));
    }
    for (const auto& item : items)
      if (item.remove)
        ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mdel -i " + quote(img.string()) + " " +
                      quote(std::string("::/") + item.name))
                      .exitCode,
                  0);
    md5Before = kvxtest::md5File(img);
  }

  kvxtest::TempDir dir{"kvx-e2e"};
  std::filesystem::path img;
  std::set<std::string> removed;  // md5 of every deleted original
  std::string md5Before;
};

TEST_F(KvxFatImage, ScanJsonListsDeletedFiles) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto json = dir / "scan.json";
  ASSERT_EQ(run(kvx + " scan " + quote(img.string()) + " --json > " + quote(json.string())).exitCode, 0);
  // python3 is the independent parser: one line per file, "deleted size state path".
  const auto r = run("python3 -c 'import json,sys\n"
                     "d=json.load(open(sys.argv[1]))\n"
                     "assert d[\"error\"][\"code\"]==0, d[\"error\"]\n"
                     "assert len(d[\"drives\"])==1\n"
                     "for f in d[\"files\"]:\n"
                     "  print(int(f[\"deleted\"]), f[\"size\"], f[\"stateName\"], f[\"path\"])' " +
                     quote(json.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line;
  int deleted = 0, existing = 0;
  bool keep = false;
  while (std::getline(lines, line)) {
    if (line[0] == '1') ++deleted;
    else ++existing;
    if (line == "0 3000 Existing KEEP.TXT") keep = true;  // native path: relative, no letter
  }
  EXPECT_EQ(deleted, 3) << r.out;
  EXPECT_TRUE(keep) << r.out;
  EXPECT_EQ(kvxtest::md5File(img), md5Before) << "scanning must not write to the image";
}

TEST_F(KvxFatImage, RecoverExcellentFilesByteIdentical) {
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto out = dir / "out";
  const auto r = run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
                     " --deleted --state excellent");
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("3 recovered, 0 failed"), std::string::npos) << r.out;
  std::set<std::string> got;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out))
    if (e.is_regular_file()) got.insert(kvxtest::md5File(e.path()));
  EXPECT_EQ(got, removed);
  EXPECT_TRUE(std::filesystem::is_directory(out / "DIR")) << "folders below the root are kept";
  EXPECT_EQ(kvxtest::md5File(img), md5Before) << "recovery must not write to the image";

  // A second run into the same folder is refused (nothing piled up beside the first files) unless
  // --skip-existing or --overwrite says what to do; neither makes "name (2)" copies.
  const auto recoverAgain = [&](const std::string& flags) {
    return run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
               " --pattern '*.bin' " + flags + " 2>&1").out;
  };
  const std::string refused = recoverAgain("");
  EXPECT_NE(refused.find("--overwrite"), std::string::npos) << refused;
  EXPECT_NE(refused.find("--skip-existing"), std::string::npos) << refused;
  EXPECT_NE(recoverAgain("--skip-existing").find("0 recovered, 0 failed, 1 skipped"),
            std::string::npos);
  EXPECT_EQ(run(kvx + " recover " + quote(img.string()) + " --to " + quote(out.string()) +
                " --pattern '*.bin' --overwrite >/dev/null").exitCode, 0);
  // --json: one document, each file with its target; the summary goes to stderr.
  const auto json = dir / "recover.json";
  ASSERT_EQ(run(kvx + " recover " + quote(img.string()) + " --to " + quote((dir / "out2").string()) +
                " --pattern '*.DAT' --json > " + quote(json.string()))
                .exitCode,
            0);
  const auto parsed = run("python3 -c 'import json,sys,os\n"
                          "d=json.load(open(sys.argv[1]))\n"
                          "assert d[\"recovered\"]==1 and d[\"failed\"]==0, d\n"
                          "f=d[\"files\"][0]\n"
                          "assert f[\"recovered\"] and f[\"error\"] is None, f\n"
                          "print(os.path.basename(f[\"target\"]), os.path.getsize(f[\"target\"]))' " +
                          quote(json.string()));
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out;
  EXPECT_EQ(parsed.out, "Long file name.dat 2500\n");

  int numbered = 0;
  for (const auto& e : std::filesystem::directory_iterator(out))
    numbered += e.path().filename().string().find(" (2)") != std::string::npos;
  EXPECT_EQ(numbered, 0);
  std::set<std::string> again;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out))
    if (e.is_regular_file()) again.insert(kvxtest::md5File(e.path()));
  EXPECT_EQ(again, removed) << "the overwritten file is whole again";
}

// The machine-readable outputs split and parse as a TSK user's tools expect: awk -F'\t' on --tsv,
// one JSON object per line of --jsonl (python as the independent parser), the same ids in both,
// and native paths (relative, '/') next to the windows form on request.
TEST_F(KvxFatImage, TsvAndJsonLinesAgreeOnIdsAndPaths) {
  const std::string kvx = quote(kvxtest::cliPath().string()) + " scan " + quote(img.string());
  const auto tsv =
      run(kvx + " --tsv 2>/dev/null | awk -F'\\t' 'NR>1 {print $1, $2, $3, $10}' | sort");
  ASSERT_EQ(tsv.exitCode, 0);
  const auto jsonl = run(kvx +
                         " --jsonl 2>/dev/null | python3 -c 'import json,sys\n"
                         "for l in sys.stdin:\n"
                         "  f=json.loads(l)\n"
                         "  assert f[\"id\"]==f[\"index\"]\n"
                         "  assert \"mftRecord\" not in f and \"offset\" not in f\n"
                         "  print(f[\"id\"], \"cluster:%d\" % f[\"firstCluster\"],"
                         " int(f[\"deleted\"]), f[\"path\"])' | sort");
  ASSERT_EQ(jsonl.exitCode, 0);
  EXPECT_EQ(tsv.out, jsonl.out);
  EXPECT_NE(tsv.out.find(" 1 DIR/_ONE2.TXT\n"), std::string::npos) << tsv.out;
  EXPECT_NE(tsv.out.find(" 0 KEEP.TXT\n"), std::string::npos) << tsv.out;
  // Filters on scan as on recover; a '/' pattern matches the path.
  const auto dirOnly = run(kvx + " --jsonl --deleted --pattern 'dir/*' 2>/dev/null");
  EXPECT_EQ(std::count(dirOnly.out.begin(), dirOnly.out.end(), '\n'), 1) << dirOnly.out;
  const auto windows = run(kvx + " --path-style windows 2>/dev/null").out;
  EXPECT_NE(windows.find(":\\DIR\\_ONE2.TXT"), std::string::npos) << windows;
  // The table: every column before PATH is one word, so awk's default split finds the path.
  const auto table = run(kvx + " --deleted 2>/dev/null | awk 'NR>1 {print $5, $NF}' | sort").out;
  EXPECT_EQ(table, "Excellent DIR/_ONE2.TXT\nExcellent _ONE1.BIN\nExcellent name.dat\n");
}

// One file by its id: recover --id and cat give the bytes icat gives for that entry.
TEST_F(KvxFatImage, RecoverByIdAndCatMatchIcat) {
  if (!kvxtest::haveTools({"fls", "icat"})) GTEST_SKIP() << "The Sleuth Kit is needed";
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto row = run(kvx + " scan " + quote(img.string()) +
                       " --tsv --pattern '*.dat' 2>/dev/null | awk -F'\\t' 'NR==2 {print $1, $2}'");
  const auto space = row.out.find(' ');
  ASSERT_NE(space, std::string::npos) << row.out;
  const std::string n = row.out.substr(0, space);
  const auto inode = run("fls -r -d " + quote(img.string()) +
                         " | sed -n 's/^r\\/r \\* \\([0-9]*\\):\\tLong file name.dat$/\\1/p'");
  ASSERT_FALSE(inode.out.empty()) << "fls lists the deleted long name";
  // LOCATION is the first cluster istat places the entry at: its first sector, counted from the
  // cluster area in clusters from 2.
  const auto cluster =
      run("img=" + quote(img.string()) + "; first=$(istat \"$img\" " +
          inode.out.substr(0, inode.out.size() - 1) +
          " | sed -n '/^Sectors:/{n;p}' | awk '{print $1}'); "
          "data=$(fsstat \"$img\" | sed -n 's/^\\*\\* Cluster Area: \\([0-9]*\\) - .*/\\1/p'); "
          "size=$(fsstat \"$img\" | sed -n 's/^Cluster Size: //p'); "
          "echo cluster:$(( (first - data) / (size / 512) + 2 ))");
  EXPECT_EQ(row.out.substr(space + 1), cluster.out);
  ASSERT_EQ(run("icat " + quote(img.string()) + " " + inode.out.substr(0, inode.out.size() - 1) +
                " > " + quote((dir / "icat.bin").string())).exitCode, 0);
  ASSERT_EQ(run(kvx + " cat " + quote(img.string()) + " " + n + " > " +
                quote((dir / "cat.bin").string()) + " 2>/dev/null").exitCode, 0);
  EXPECT_EQ(kvxtest::md5File(dir / "cat.bin"), kvxtest::md5File(dir / "icat.bin"));
  EXPECT_EQ(std::filesystem::file_size(dir / "cat.bin"), 2500u);

  const auto out = dir / "by-id";
  const auto r = run(kvx + " recover " + quote(img.string()) + " --id " + n + " --to " +
                     quote(out.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Long file name.dat -> "), std::string::npos) << "native source path";
  EXPECT_EQ(kvxtest::md5File(out / "Long file name.dat"), kvxtest::md5File(dir / "icat.bin"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1) << "that file only";

  EXPECT_EQ(run(kvx + " cat " + quote(img.string()) + " 999 > /dev/null 2>&1").exitCode, 1);
  EXPECT_EQ(run(kvx + " cat " + quote(img.string()) + " x > /dev/null 2>&1").exitCode, 2);
  EXPECT_EQ(kvxtest::md5File(img), md5Before) << "neither may write to the image";
}

// A filter that matches nothing is a warning and exit 1, with nothing written; existing files
// come only with --all.
TEST_F(KvxFatImage, NoMatchFailsAndExistingNeedsAll) {
  const std::string kvx = quote(kvxtest::cliPath().string()) + " recover " + quote(img.string());
  const auto none = dir / "none";
  const auto r = run(kvx + " --pattern '*.png,*.gif' --to " + quote(none.string()) + " 2>&1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("warning: no file matches"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::is_empty(none));
  const auto keep = dir / "keep";
  EXPECT_EQ(run(kvx + " --pattern keep.txt --to " + quote(keep.string()) + " 2>/dev/null").exitCode, 1)
      << "an existing file is not recovered by default";
  EXPECT_EQ(run(kvx + " --pattern keep.txt --all --to " + quote(keep.string()) + " 2>/dev/null")
                .exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(keep / "KEEP.TXT"));
  // A file named by its id is taken whatever it is.
  const auto id = run(quote(kvxtest::cliPath().string()) + " scan " + quote(img.string()) +
                      " --tsv --pattern keep.txt 2>/dev/null | awk -F'\\t' 'NR==2 {print $1}'");
  ASSERT_FALSE(id.out.empty());
  const auto byId = dir / "by-id";
  EXPECT_EQ(run(kvx + " --id " + id.out.substr(0, id.out.size() - 1) + " --to " +
                quote(byId.string()) + " 2>/dev/null").exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(byId / "KEEP.TXT"));
}

}  // namespace

namespace {

// A destination inside a mount of the scanned image is refused before anything is written.
TEST(KvxRecoverDestination, RefusedOnTheScannedImage) {
  if (!kvxtest::haveTools({"mkntfs", "ntfs-3g", "umount"})) GTEST_SKIP() << "mkntfs and ntfs-3g needed";
  kvxtest::TempDir dir("kvx-refuse");
  const auto img = dir / "ntfs.img";
  const auto mnt = dir / "mnt";
  std::filesystem::create_directories(mnt);
  ASSERT_EQ(run("truncate -s 16M " + quote(img.string()) + " && mkntfs -F -Q -q -s 512 -c 4096 " +
                quote(img.string()) + " >/dev/null 2>&1")
                .exitCode,
            0);
  if (run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string()) + " 2>/dev/null").exitCode != 0)
    GTEST_SKIP() << "cannot mount with ntfs-3g here";
  const std::string kvx = quote(kvxtest::cliPath().string());
  const auto r = run(kvx + " recover " + quote(img.string()) + " --to " +
                     quote((mnt / "new" / "sub").string()) + " 2>&1");
  const bool created = std::filesystem::exists(mnt / "new");
  run("umount " + quote(mnt.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("refusing to write"), std::string::npos) << r.out;
  EXPECT_FALSE(created) << "nothing may be created on the source";
}

}  // namespace
