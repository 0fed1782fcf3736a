// How far FAT states can be trusted, on a generated FAT32 image with churn: rounds of writes (each
// at its own time, allocation first-fit, so new files fill the holes of deleted ones and are
// fragmented around live ones) and deletions, then a last deletion of half the live files, whose
// cluster lists The Sleuth Kit records just before. The sources are the truth. Prints:
//   (a) the share of files rated Excellent that recover byte-identical (target 100 %), and how
//       many files of each state recover byte-identical; of the files deleted last (intact), how
//       many are Excellent, contiguous ones apart;
//   (b) of the files deleted last that were fragmented (intact, nothing written after them), how
//       many kvx and `tsk_recover` recover byte-identical, media files apart.
// Usage: bench_fat_states [WORKDIR] [--files N] [--size-mib N] [--explain] [--reuse]
//   --explain prints where each wrong Excellent file really lies and whose data it reads;
//   --reuse scans the image and sources a previous run left in WORKDIR again.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat/fat_layout.h"
#include "host/host.h"

namespace {

namespace fs = std::filesystem;

std::string q(const std::string& s) { return "'" + s + "'"; }

std::string capture(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

bool sh(const std::string& cmd) {
  if (std::system(cmd.c_str()) == 0) return true;
  std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  return false;
}

std::string md5(const fs::path& p) {
  const std::string out = capture("md5sum " + q(p.string()) + " 2>/dev/null");
  return out.substr(0, 32);
}

struct Source {
  std::string name;  // 8.3, unique from its second character on
  bool media = false;
  std::string md5;
};

std::string nameOf(Undelete* u, const FileRecord* r) {
  std::string name;
  for (const char16_t* c = static_cast<const char16_t*>(Storage_At(u, r->name.get())); *c; ++c)
    name.push_back(static_cast<char>(*c));
  return name;
}

std::string runsText(const FatLayout& l) {
  std::string runs;
  for (const FatRun& run : l.runs)
    runs += " " + std::to_string(run.first) + "+" + std::to_string(run.count);
  return runs + (l.inferred ? " inferred" : "") + (l.passedBy ? " passed" : "") +
         (l.contested ? " contested" : "");
}

/// Where a file rated Excellent that recovers wrong really lies: its layout against the clusters
/// whose bytes equal the source's, cluster by cluster; then, for the clusters its layout reads
/// that are not its own, whose data they hold and how that file is listed.
void explainWrong(Undelete* u, const FileRecord* r, const std::string& name, const fs::path& src,
                  const std::vector<Source>& sources) {
  FatGeometry g;
  FatLayout l;
  if (!FAT_GetGeometry(u->drive, g) || !FAT_LayoutForRecovery(u, r, g, l)) return;
  const std::uint64_t cb = g.clusterBytes;
  std::vector<std::uint8_t> buf(cb);
  auto hash = [](const std::uint8_t* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
  };
  static std::map<std::uint64_t, std::uint32_t> where;  // cluster hash -> cluster
  static std::map<std::uint32_t, std::string> owner;    // cluster -> random source holding it
  auto clustersOf = [&](const fs::path& p) {
    std::vector<std::uint32_t> out;
    std::ifstream in(p, std::ios::binary);
    while (in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(cb))) {
      const auto it = where.find(hash(buf.data(), cb));
      out.push_back(it == where.end() ? 0 : it->second);
    }
    return out;
  };
  if (where.empty()) {
    for (std::uint32_t c = 2; c < g.clusterLimit; ++c) {
      std::uint32_t got = 0;
      if (CachedDrive_Read(u->drive, FAT_ClusterSector(g, c) * g.sectorSize,
                           static_cast<std::uint32_t>(cb), buf.data(), &got) &&
          got == cb)
        where.emplace(hash(buf.data(), cb), c);
    }
    for (const Source& s : sources)
      if (!s.media)
        for (std::uint32_t c : clustersOf(src / s.name))
          if (c != 0) owner[c] = s.name;
  }
  const std::vector<std::uint32_t> truth = clustersOf(src / name);
  std::string truthText;
  for (std::uint32_t c : truth) truthText += " " + (c == 0 ? "?" : std::to_string(c));
  std::printf("  wrong Excellent %s (created %llu, written %llu): layout%s\n    truth%s\n",
              name.c_str(), static_cast<unsigned long long>(r->created.get()),
              static_cast<unsigned long long>(r->modified.get()), runsText(l).c_str(),
              truthText.c_str());
  std::set<std::string> others;
  for (const FatRun& run : l.runs)
    for (std::uint32_t k = 0; k < run.count; ++k)
      if (std::find(truth.begin(), truth.end(), run.first + k) == truth.end())
        if (const auto it = owner.find(run.first + k); it != owner.end()) others.insert(it->second);
  for (const std::string& o : others) {
    std::string text = "not listed";
    for (std::uint32_t i = 0; i < u->fileCount; ++i) {
      const FileRecord* f = Storage_File(u, i);
      if (nameOf(u, f).substr(1) != o.substr(1)) continue;
      FatLayout ol;
      (void)FAT_LayoutForRecovery(u, f, g, ol);
      text = std::string((f->status & kStatusExisting) != 0 ? "live" : "deleted") + " state " +
             std::to_string((f->status >> 1) & 0x1F) + " created " +
             std::to_string(f->created.get()) + " layout" + runsText(ol);
    }
    std::string where2;
    for (std::uint32_t c : clustersOf(src / o)) where2 += " " + std::to_string(c);
    std::printf("    reads data of %s (%s)\n      its truth%s\n", o.c_str(), text.c_str(),
                where2.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  fs::path dir = fs::path(tmp != nullptr ? tmp : "/tmp") / "kvx-bench-fat-states";
  int files = 900;
  std::uint64_t sizeMiB = 256;
  bool explain = false;
  bool reuse = false;  // scan the image and sources a previous run left in WORKDIR
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--files" && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (a == "--size-mib" && i + 1 < argc) {
      sizeMiB = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--explain") {
      explain = true;
    } else if (a == "--reuse") {
      reuse = true;
    } else {
      dir = a;
    }
  }
  const fs::path image = dir / "v.img";
  const fs::path src = dir / "src";
  std::vector<Source> sources;
  std::map<std::string, std::size_t> fragments;  // name -> runs
  if (reuse) {
    for (const auto& e : fs::directory_iterator(src)) {
      const std::string n = e.path().filename().string();
      if (n.size() != 9 || (n[0] != 'M' && n[0] != 'F')) continue;
      sources.push_back({n, n[0] == 'M', md5(e.path())});
    }
    std::ifstream last(dir / "deleted-last.txt");
    std::string n;
    std::size_t runs = 0;
    while (last >> n >> runs) fragments[n] = runs;
    std::printf("image: %s reused, %zu sources\n", image.c_str(), sources.size());
  } else {
    fs::remove_all(dir);
    fs::create_directories(dir / "src");

    // Media made by the tools, copied under many names; random files of many sizes.
    if (!sh("cd " + q(src.string()) +
            " && for i in 1 2 3 4 5 6; do convert -seed $i -size $((120+i*40))x$((90+i*30)) "
            "plasma:fractal -quality 90 base$i.jpg && convert -seed $((i+10)) -size "
            "$((60+i*20))x$((50+i*10)) plasma:fractal base$i.png; done && "
            "printf '%%!PS\\n/Helvetica findfont 11 scalefont setfont\\n' > t.ps && "
            "for k in $(seq 1 120); do echo \"60 $((800 - (k % 60) * 12)) moveto (Line $k of a "
            "bench page) show\" >> t.ps; [ $((k % 60)) -eq 0 ] && echo showpage >> t.ps; done; "
            "gs -q -sDEVICE=pdfwrite -dCompressPages=false -o base1.pdf t.ps && "
            "head -c 20000 /dev/urandom > r.bin && zip -q -X -0 base1.zip r.bin base1.png")) {
      std::fprintf(stderr, "needs ImageMagick, ghostscript and zip\n");
      return 1;
    }
    const std::vector<std::string> bases = {"base1.jpg", "base2.jpg", "base3.jpg", "base4.jpg",
                                            "base5.jpg", "base6.jpg", "base1.png", "base2.png",
                                            "base3.png", "base4.png", "base1.pdf", "base1.zip"};
    std::mt19937_64 rng(2026);
    for (int i = 0; i < files; ++i) {
      Source s;
      char name[16];
      if (i % 3 == 0) {
        const std::string& b = bases[rng() % bases.size()];
        const std::string ext = b.substr(b.size() - 3);
        std::snprintf(name, sizeof name, "M%04d.%s", i, ext.c_str());
        for (char& c : name) c = static_cast<char>(std::toupper(c));
        fs::copy_file(src / b, src / name);
        s.media = true;
      } else {
        std::snprintf(name, sizeof name, "F%04d.BIN", i);
        std::vector<char> bytes(1000 + rng() % (rng() % 4 == 0 ? 400000 : 40000));
        for (auto& c : bytes) c = static_cast<char>(rng());
        std::ofstream(src / name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      }
      s.name = name;
      s.md5 = md5(src / name);
      sources.push_back(s);
    }

    if (!sh("mkfs.fat -C -F 32 -s 4 -i 1234ABCD --invariant " + q(image.string()) + " " +
            std::to_string(sizeMiB * 1024) + " >/dev/null"))
      return 1;
    const std::string firstFit = "printf '\\377\\377\\377\\377' | dd of=" + q(image.string()) +
                                 " bs=1 seek=1004 conv=notrunc 2>/dev/null; ";
    auto at = [](int t) {
      return "export MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=" +
             std::to_string(1600000000 + t * 600) + "; ";
    };
    std::vector<int> live;
    const int rounds = 6;
    int next = 0, t = 1;
    const double t0 = benchNowSeconds();
    for (int r = 0; r < rounds; ++r) {
      std::string names;
      const int until = files * (r + 1) / rounds;
      for (; next < until; ++next) {
        names += " " + sources[next].name;
        live.push_back(next);
      }
      if (!sh(firstFit + "cd " + q(src.string()) + " && " + at(t++) + "mcopy -i " +
              q(image.string()) + names + " ::/"))
        return 1;
      if (r + 1 == rounds) break;
      // Churn: a third of the live files go; the next round's files fill their clusters.
      std::shuffle(live.begin(), live.end(), rng);
      const std::size_t gone = live.size() / 3;
      std::string del;
      for (std::size_t k = 0; k < gone; ++k) del += " ::/" + sources[live[k]].name;
      live.erase(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(gone));
      if (!sh(at(t++) + "mdel -i " + q(image.string()) + del)) return 1;
    }
    // Cluster lists of the files about to be deleted last, while they are live.
    std::shuffle(live.begin(), live.end(), rng);
    const std::size_t lastCount = live.size() / 2;
    {
      std::map<std::string, std::string> inode;
      std::istringstream in(capture("fls -f fat " + q(image.string())));
      std::string line;
      while (std::getline(in, line)) {
        const auto colon = line.find(":\t");
        const auto sp = line.rfind(' ', colon);
        if (colon == std::string::npos) continue;
        inode[line.substr(colon + 2)] = line.substr(sp + 1, colon - sp - 1);
      }
      for (std::size_t k = 0; k < lastCount; ++k) {
        const std::string& n = sources[live[k]].name;
        std::istringstream sectors(capture("istat -f fat " + q(image.string()) + " " + inode[n] +
                                           " | sed -n '/^Sectors:/,$p' | tail -n +2"));
        std::uint64_t prev = 0, s = 0;
        std::size_t runs = 0;
        bool first = true;
        while (sectors >> s) {
          if (first || s != prev + 1) ++runs;
          first = false;
          prev = s;
        }
        fragments[n] = runs;
      }
      std::ofstream last(dir / "deleted-last.txt");
      for (const auto& [n, runs] : fragments) last << n << ' ' << runs << '\n';
    }
    {
      std::string del;
      for (std::size_t k = 0; k < lastCount; ++k) del += " ::/" + sources[live[k]].name;
      if (!sh(at(t++) + "mdel -i " + q(image.string()) + del)) return 1;
    }
    std::printf(
        "image: %llu MiB FAT32, 2 KiB clusters, %d files written in %d rounds, built in "
        "%.1f s\n",
        static_cast<unsigned long long>(sizeMiB), files, rounds, benchNowSeconds() - t0);
  }

  // kvx: scan, then recover every deleted file.
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  if (!Undelete_Create(&u) || !CachedDrive_Create(&drive) ||
      !CachedDrive_OpenDevice(drive, Host_OpenPath(image.string(), false, false),
                              kHostDriveFixed) ||
      !Storage_Reserve(u))
    return 1;
  u->drive = drive;
  std::uint32_t root = 0;
  (void)Storage_AddFolder(u, u"B", kNoParent, 0xFFFF, 0, false, false, &root);
  u->rootFolder = root;
  if (!FAT_RecognizeDrive(u, drive) || !CachedDrive_SelectFileSystem(drive, 0)) return 1;
  const double s0 = benchNowSeconds();
  (void)FAT_SearchFiles(u);
  const double scanSeconds = benchNowSeconds() - s0;
  std::map<std::string, const Source*> byTail;
  for (const Source& s : sources) byTail[s.name.substr(1)] = &s;
  const fs::path out = dir / "kvx";
  fs::remove_all(out);
  fs::create_directories(out);
  std::uint32_t perState[6][2] = {};  // state -> {files, byte-identical}
  std::map<std::string, bool> kvxRight;
  std::map<std::string, std::uint32_t> stateOf;
  for (std::uint32_t i = 0; i < u->fileCount; ++i) {
    FileRecord* r = Storage_File(u, i);
    if ((r->status & kStatusExisting) != 0) continue;
    std::string name;
    for (const char16_t* c = static_cast<const char16_t*>(Storage_At(u, r->name.get())); *c; ++c)
      name.push_back(static_cast<char>(*c));
    const auto it = byTail.find(name.substr(1));
    if (it == byTail.end()) continue;
    const fs::path target = out / name;
    const bool ok =
        FAT_RecoverFile(u, r, target.c_str(), &u->bytesDone) && md5(target) == it->second->md5;
    const std::uint32_t state = (r->status >> 1) & 0x1F;
    if (explain && state == kStateExcellent && !ok)
      explainWrong(u, r, it->second->name, src, sources);
    ++perState[std::min(state, 5u)][0];
    perState[std::min(state, 5u)][1] += ok ? 1 : 0;
    kvxRight[it->second->name] = ok;
    stateOf[it->second->name] = state;
  }
  std::printf("kvx scan: %.2f s, %u deleted files listed\n", scanSeconds, u->deletedCount.load());
  const char* stateNames[] = {"Unrecoverable", "Bad", "Poor", "Good", "Excellent", "?"};
  std::printf("(a) Excellent files recovering byte-identical: %u of %u (%.2f %%)\n", perState[4][1],
              perState[4][0], 100.0 * perState[4][1] / std::max(perState[4][0], 1u));
  for (int s = 0; s < 5; ++s)
    std::printf("    %-13s %5u files, %5u byte-identical\n", stateNames[s], perState[s][0],
                perState[s][1]);

  // Files deleted last are intact: how many the states call Excellent, contiguous ones apart.
  std::uint32_t intact = 0, intactRight = 0, intactExcellent = 0, contiguous = 0,
                contiguousExcellent = 0;
  for (const auto& [name, runs] : fragments) {
    ++intact;
    intactRight += kvxRight[name];
    intactExcellent += stateOf[name] == kStateExcellent;
    contiguous += runs == 1;
    contiguousExcellent += runs == 1 && stateOf[name] == kStateExcellent;
  }
  std::printf(
      "    intact (deleted last): %u, %u of them recovered byte-identical, %u Excellent; "
      "contiguous %u, %u of them Excellent\n",
      intact, intactRight, intactExcellent, contiguous, contiguousExcellent);

  // tsk_recover over the same image.
  const fs::path tsk = dir / "tsk";
  fs::remove_all(tsk);
  fs::create_directories(tsk);
  (void)sh("tsk_recover -f fat " + q(image.string()) + " " + q(tsk.string()) + " >/dev/null 2>&1");
  std::uint32_t frag = 0, fragMedia = 0, kvxFrag = 0, kvxFragMedia = 0, tskFrag = 0,
                tskFragMedia = 0;
  for (const auto& [name, runs] : fragments) {
    if (runs < 2) continue;
    const Source* s = byTail[name.substr(1)];
    ++frag;
    fragMedia += s->media;
    const bool k = kvxRight[name];
    const fs::path viaTsk = tsk / ("_" + name.substr(1));
    const bool tr = fs::exists(viaTsk) && md5(viaTsk) == s->md5;
    kvxFrag += k;
    kvxFragMedia += k && s->media;
    tskFrag += tr;
    tskFragMedia += tr && s->media;
  }
  std::printf(
      "(b) intact fragmented deleted files: %u (%u media); byte-identical: kvx %u (%u "
      "media), tsk_recover %u (%u media)\n",
      frag, fragMedia, kvxFrag, kvxFragMedia, tskFrag, tskFragMedia);
  u->drive = nullptr;
  Undelete_Delete(u);
  CachedDrive_Destroy(drive);
  return 0;
}
