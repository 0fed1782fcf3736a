// Deep scan by content over a generated 1 GiB carving image: noise with ~4,000 real JPEG, PNG,
// GIF, BMP, ZIP and PDF files (made by ImageMagick, zip and Ghostscript, replicated with small
// valid variations, ~10% cut short) at sector offsets. Prints wall time, files found, recall
// (complete files listed at their offset with their exact length, hence recovered
// byte-identical), and sectors per second over pure noise and over zeros. When photorec is
// installed it runs over the same image for comparison.
//
//   bench_deepscan [--size-mib N] [--files N] [--keep DIR] [--no-photorec]
//   bench_deepscan --reformat [DIR]   deep scan of reformatted FAT32 and NTFS volumes instead
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "host/host.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kSector = 512;

int sh(const std::string& cmd) { return std::system(cmd.c_str()); }

Bytes readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

std::uint64_t fnv(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h ^ n;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void putBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct Base {
  std::string kind;  // jpg png gif bmp zip pdf
  Bytes bytes;
};

/// A copy of @p b that differs from every other copy (tag @p n) and is still a valid file.
Bytes vary(const Base& b, std::uint32_t n) {
  char tag[32];
  const int len = std::snprintf(tag, sizeof tag, "copy %08u", n);
  Bytes out = b.bytes;
  if (b.kind == "jpg") {  // a comment segment after the start-of-image marker
    Bytes seg = {0xFF, 0xFE, 0, static_cast<std::uint8_t>(len + 2)};
    seg.insert(seg.end(), tag, tag + len);
    out.insert(out.begin() + 2, seg.begin(), seg.end());
  } else if (b.kind == "png") {  // a tEXt chunk after IHDR
    Bytes chunk(8);
    putBe32(chunk, 0, static_cast<std::uint32_t>(len + 4));
    std::memcpy(&chunk[4], "tEXt", 4);
    const char* key = "Tag";
    chunk.insert(chunk.end(), key, key + 3);
    chunk.push_back(0);
    chunk.insert(chunk.end(), tag, tag + len);
    chunk.resize(chunk.size() + 4);
    putBe32(chunk, chunk.size() - 4, crc32(chunk.data() + 4, chunk.size() - 8));
    out.insert(out.begin() + 33, chunk.begin(), chunk.end());
  } else if (b.kind == "gif") {  // a comment extension after the global colour table
    const std::size_t gct = (out[10] & 0x80) ? 3u << ((out[10] & 7) + 1) : 0;
    Bytes ext = {0x21, 0xFE, static_cast<std::uint8_t>(len)};
    ext.insert(ext.end(), tag, tag + len);
    ext.push_back(0);
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(13 + gct), ext.begin(), ext.end());
  } else if (b.kind == "bmp") {  // the last pixel bytes
    std::memcpy(out.data() + out.size() - len, tag, static_cast<std::size_t>(len));
  } else if (b.kind == "zip") {  // an archive comment
    out[out.size() - 2] = static_cast<std::uint8_t>(len);
    out.insert(out.end(), tag, tag + len);
  } else if (b.kind == "pdf") {  // the binary comment on the second line
    for (int i = 0; i < 4; ++i)
      out[10 + i] = static_cast<std::uint8_t>(0x80 | ((n >> (7 * i)) & 0x7F));
  }
  return out;
}

bool makeBases(const fs::path& dir, std::vector<Base>& bases) {
  const std::string script = R"SH(set -e
cd ")SH" + dir.string() + R"SH("
i=0
for s in 160x120 320x240 480x360 640x480 800x600 1024x768 1280x960; do
  i=$((i+1))
  convert -size $s gradient:navy-orange -attenuate 0.4 +noise Gaussian -quality 88 b$i.jpg
done
for s in 96x64 200x150 320x240 500x300; do
  i=$((i+1))
  convert -size $s gradient:red-blue -attenuate 0.15 +noise Uniform b$i.png
  convert -size $s gradient:green-white -attenuate 0.3 +noise Impulse -colors 64 b$i.gif
  convert -size $s gradient:black-yellow b$i.bmp
done
printf 'Deep scan bench text member\n' > t.txt
zip -q -X z1.zip b1.png t.txt
zip -q -X z2.zip b2.jpg b9.bmp t.txt
zip -q -X -0 z3.zip b1.jpg t.txt
for n in 1 2 3; do
  printf '%%!PS\n/Helvetica findfont 14 scalefont setfont\n' > p$n.ps
  for k in $(seq 1 $((n*20))); do
    printf '72 %d moveto (Line %d of page text for the bench, sample %d) show\n' $((760-k*12)) $k $n >> p$n.ps
    if [ $k -eq 50 ]; then printf 'showpage 72 700 moveto\n' >> p$n.ps; fi
  done
  printf 'showpage\n' >> p$n.ps
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=p$n.pdf p$n.ps
done
)SH";
  fs::create_directories(dir);
  const fs::path scriptPath = dir / "make.sh";
  std::ofstream(scriptPath) << script;
  if (sh("bash '" + scriptPath.string() + "'") != 0) return false;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".jpg" || ext == ".png" || ext == ".gif" || ext == ".bmp" || ext == ".zip" ||
        ext == ".pdf")
      bases.push_back({ext.substr(1), readAll(e.path())});
  }
  std::sort(bases.begin(), bases.end(), [](const Base& a, const Base& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.bytes.size() < b.bytes.size();
  });
  return !bases.empty();
}

void fillNoise(std::uint8_t* p, std::size_t n, std::uint64_t seed) {
  std::uint64_t x = seed;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    x += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::memcpy(p + i, &z, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<std::uint8_t>(x >> (i % 8));
}

struct Placed {
  std::uint64_t sector;
  std::uint64_t length;  // bytes of the file present in the image
  std::uint64_t fullLength;
  bool cut;
  std::string kind;
  std::uint64_t hash;  // of the complete file
};

/// CPU seconds (user and system) of this process, or with @p children of its waited-for children.
double cpuSeconds(bool children) {
  rusage r{};
  ::getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct ScanFigures {
  double seconds = 0;
  double cpu = 0;  // the machine may be shared: CPU time compares fairly
  std::uint32_t files = 0;
  std::map<std::uint64_t, std::uint64_t> sizeAt;   // sector -> listed size
  std::map<std::uint64_t, std::uint32_t> stateAt;  // sector -> state
  std::map<std::string, std::uint32_t> perFolder;
  std::map<std::uint64_t, std::string> folderAt;  // sector -> folder
};

/// Runs the deep scan over @p image (all sectors free).
ScanFigures scan(Bytes& image) {
  ScanFigures f;
  CachedDrive* drive = nullptr;
  Undelete* u = nullptr;
  if (!CachedDrive_Create(&drive) ||
      !CachedDrive_OpenDevice(drive, Host_OpenMemory(image, false), 0) ||
      Undelete_Create(&u) != 1 || !Storage_Reserve(u)) {
    std::fprintf(stderr, "bench_deepscan: set-up failed\n");
    std::exit(1);
  }
  u->drive = drive;
  std::memset(u->scanScratch, 0xFF, sizeof u->scanScratch);
  std::uint32_t root = 0;
  (void)Storage_AddFolder(u, u"E:", kNoParent, 0xFFFF, 0, false, false, &root);
  u->rootFolder = root;
  const std::uint64_t sectors = image.size() / kSector;
  if (!CachedDrive_InitMap(drive, sectors, nullptr, 0)) std::exit(1);
  u->deepScanTotal = sectors;
  const double t0 = benchNowSeconds();
  const double c0 = cpuSeconds(false);
  (void)FileFormat_ScanHole(u, 0, 9500);
  f.seconds = benchNowSeconds() - t0;
  f.cpu = cpuSeconds(false) - c0;
  f.files = u->fileCount;
  for (std::uint32_t i = 0; i < u->fileCount; ++i) {
    const FileRecord* r = Storage_File(u, i);
    std::uint32_t s = 0;
    std::memcpy(&s, Storage_At(u, r->locator.get()), 4);
    f.sizeAt[s] = r->size.get();
    f.stateAt[s] = (r->status >> 1) & 0x1F;
    const FolderRecord* folder = Storage_Folder(u, r->folder.get());
    std::string name;
    for (auto* c = static_cast<const char16_t*>(Storage_At(u, folder->name.get())); c && *c; ++c)
      name.push_back(static_cast<char>(*c));
    ++f.perFolder[name];
    f.folderAt[s] = name;
  }
  u->drive = nullptr;
  Undelete_Delete(u);
  CachedDrive_Destroy(drive);
  return f;
}

}  // namespace

/// Deep scan of reformatted volumes: a 1 GiB FAT32 volume filled with a tree by mtools and
/// formatted again by mkfs.fat with another cluster size, and a 1 GiB NTFS volume filled through
/// ntfs-3g and formatted again by `mkntfs -Q`. Times `kvx scan --deep` (which lists the earlier
/// trees under "Before format") against `cat` of the same image.
int reformatBench(const fs::path& work, const fs::path& kvx) {
  fs::create_directories(work);
  const fs::path tree = work / "tree";
  fs::remove_all(tree);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  Bytes data(1 << 16);
  std::uint32_t files = 0;
  for (int d = 0; d < 20; ++d) {
    const fs::path folder = tree / ("folder" + std::to_string(d)) / "inner";
    fs::create_directories(folder);
    for (int f = 0; f < 200; ++f, ++files) {
      for (auto& b : data) {
        x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
        b = static_cast<std::uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56);
      }
      const std::size_t size = 1000 + static_cast<std::size_t>(x % 60000);
      std::ofstream((f % 2 ? folder : folder.parent_path()) / ("file" + std::to_string(f) + ".bin"),
                    std::ios::binary)
          .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    }
  }
  const std::string t = "'" + tree.string() + "'";
  const fs::path fat = work / "reformatted_fat32.img", ntfs = work / "reformatted_ntfs.img";
  const fs::path mnt = work / "mnt";
  fs::create_directories(mnt);
  const std::string f = "'" + fat.string() + "'", n = "'" + ntfs.string() + "'",
                    m = "'" + mnt.string() + "'";
  fs::remove(fat);
  fs::remove(ntfs);
  if (sh("mkfs.fat -C -F 32 -s 8 " + f + " 1048576 >/dev/null && cd " + t +
         " && MTOOLS_SKIP_CHECK=1 mcopy -s -i " + f + " folder* ::/ && mkfs.fat -F 32 -s 16 " + f +
         " >/dev/null") != 0 ||
      sh("truncate -s 1G " + n + " && mkntfs -F -Q -q " + n + " 2>/dev/null && ntfs-3g " + n + " " +
         m + " && cp -r " + t + "/. " + m + "/ && umount " + m + " && mkntfs -F -Q -q " + n +
         " 2>/dev/null") != 0) {
    std::fprintf(stderr, "bench_deepscan: needs mkfs.fat, mtools, mkntfs and ntfs-3g\n");
    return 1;
  }
  std::printf("reformatted volumes: 1 GiB each, %u earlier files in 40 folders\n", files);
  for (const fs::path& img : {fat, ntfs}) {
    const std::string i = "'" + img.string() + "'";
    (void)runTimed("cat " + i + " >/dev/null");
    const ChildRun cat = runTimed("cat " + i + " >/dev/null");
    const fs::path listing = work / "listing.json";
    const ChildRun scan = runTimed("'" + kvx.string() + "' scan " + i + " --deep --json > '" +
                                   listing.string() + "' 2>/dev/null");
    std::ifstream in(listing);
    const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t earlier = 0;
    for (std::size_t at = 0;
         (at = json.find("\"path\":\"D:\\\\Before format", at)) != std::string::npos; ++at)
      ++earlier;
    const double mib = static_cast<double>(fs::file_size(img)) / 1048576.0;
    std::printf(
        "%s: deep scan %.2f s = %.1f MiB/s (peak RSS %.1f MiB), %zu entries under "
        "\"Before format\"; cat %.1f MiB/s; ratio %.2f\n",
        img.filename().c_str(), scan.seconds, mib / scan.seconds,
        static_cast<double>(scan.peakKiB) / 1024.0, earlier, mib / cat.seconds,
        cat.seconds / scan.seconds);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--reformat") {
    const fs::path kvx = fs::absolute(fs::path(argv[0])).parent_path().parent_path() / "kvx";
    return reformatBench(
        argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "kvx-bench-reformat", kvx);
  }
  std::uint64_t sizeMiB = 1024;
  std::uint32_t wantFiles = 4000;
  std::string keep;
  bool photorec = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-photorec") {
      photorec = false;
      continue;
    }
    if (i + 1 >= argc) break;
    if (a == "--size-mib") sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
    if (a == "--files")
      wantFiles = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (a == "--keep") keep = argv[i + 1];
    ++i;
  }
  const fs::path work =
      keep.empty() ? fs::temp_directory_path() / "kvx-bench-deepscan" : fs::path(keep);
  fs::create_directories(work);
  std::vector<Base> bases;
  const double tMake = benchNowSeconds();
  if (!makeBases(work / "bases", bases)) {
    std::fprintf(stderr, "bench_deepscan: needs ImageMagick (convert), zip and Ghostscript (gs)\n");
    return 1;
  }
  std::printf("base files: %zu made by real tools in %.1f s\n", bases.size(),
              benchNowSeconds() - tMake);

  // The carving image: noise, then files at sector offsets with noise between them.
  const std::uint64_t imageBytes = sizeMiB << 20;
  Bytes image(imageBytes);
  fillNoise(image.data(), image.size(), 0x5EED);
  std::mt19937_64 rng(42);
  std::uint64_t totalFileBytes = 0;
  for (const Base& b : bases) totalFileBytes += b.bytes.size();
  const double meanFile = static_cast<double>(totalFileBytes) / static_cast<double>(bases.size());
  // Spread the files evenly: the mean gap leaves room for all of them.
  const double room = static_cast<double>(imageBytes) - meanFile * wantFiles;
  const std::uint64_t meanGapSectors =
      room > 0 ? static_cast<std::uint64_t>(room / wantFiles / kSector) : 1;
  std::vector<Placed> placed;
  std::uint64_t s = 64;
  std::uint32_t cutCount = 0;
  for (std::uint32_t n = 0; n < wantFiles; ++n) {
    const Base& b = bases[rng() % bases.size()];
    const Bytes file = vary(b, n);
    const bool cut = rng() % 10 == 0;
    std::uint64_t len = file.size();
    if (cut) len = len * (30 + rng() % 60) / 100;
    if ((s + 1) * kSector + len > imageBytes) break;
    std::memcpy(image.data() + s * kSector, file.data(), len);
    placed.push_back({s, len, file.size(), cut, b.kind, fnv(file.data(), file.size())});
    cutCount += cut;
    s += (len + kSector - 1) / kSector + 1 + rng() % (2 * meanGapSectors + 1);
  }
  std::uint64_t placedBytes = 0;
  for (const Placed& p : placed) placedBytes += p.length;
  std::printf("image: %llu MiB, %zu files placed (%u cut short), %.0f MiB of file data\n",
              static_cast<unsigned long long>(sizeMiB), placed.size(), cutCount,
              static_cast<double>(placedBytes) / 1048576.0);

  // Deep scan of the carving image.
  const ScanFigures carve = scan(image);
  std::uint32_t complete = 0, recalled = 0, cutFound = 0;
  std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> perKind;  // recalled, complete
  for (const Placed& p : placed) {
    const auto it = carve.sizeAt.find(p.sector);
    if (p.cut) {
      cutFound += it != carve.sizeAt.end();
      continue;
    }
    ++complete;
    ++perKind[p.kind].second;
    if (it != carve.sizeAt.end() && it->second == p.fullLength) {
      ++recalled;
      ++perKind[p.kind].first;
    }
  }
  const double sectors = static_cast<double>(imageBytes / kSector);
  std::printf("deep scan: %.2f s wall, %.2f s CPU, %u files listed, %.0f sectors/s, %.1f MiB/s\n",
              carve.seconds, carve.cpu, carve.files, sectors / carve.seconds,
              static_cast<double>(imageBytes) / 1048576.0 / carve.seconds);
  std::printf(
      "recall: %u of %u complete files listed at their offset with their exact length "
      "(%.2f%%); %u of %u cut files listed\n",
      recalled, complete, 100.0 * recalled / std::max(complete, 1u), cutFound, cutCount);
  for (const auto& [kind, rc] : perKind)
    std::printf("  %s: %u/%u\n", kind.c_str(), rc.first, rc.second);
  // Cut files rated above Poor, and finds that start at no placed file: inside a placed ZIP they
  // are its stored members (real files); anywhere else spurious.
  {
    std::uint32_t cutAbovePoor = 0, embedded = 0, spurious = 0;
    std::map<std::uint64_t, const Placed*> starts;
    for (const Placed& p : placed) starts[p.sector] = &p;
    for (const Placed& p : placed) {
      const auto it = carve.stateAt.find(p.sector);
      if (p.cut && it != carve.stateAt.end() && it->second > 2) {
        ++cutAbovePoor;
        std::printf("  cut %s at sector %llu rated %u\n", p.kind.c_str(),
                    static_cast<unsigned long long>(p.sector), it->second);
      }
    }
    for (const auto& [sector, size] : carve.sizeAt) {
      if (starts.count(sector) != 0) continue;
      auto it = starts.upper_bound(sector);
      const Placed* in = it == starts.begin() ? nullptr : std::prev(it)->second;
      if (in != nullptr && sector * kSector < in->sector * kSector + in->length &&
          in->kind == "zip")
        ++embedded;
      else if (++spurious <= 40) {
        const std::uint8_t* h = image.data() + sector * kSector;
        std::printf(
            "  spurious %s find at sector %llu, %llu bytes, state %u, %s, head %02x %02x %02x %02x "
            "%02x %02x\n",
            carve.folderAt.at(sector).c_str(), static_cast<unsigned long long>(sector),
            static_cast<unsigned long long>(size), carve.stateAt.at(sector),
            in != nullptr && sector * kSector < in->sector * kSector + in->length
                ? (in->kind + (in->cut ? " cut" : "") + " from " + std::to_string(in->sector) +
                   " found as " +
                   std::to_string(carve.sizeAt.count(in->sector) ? carve.sizeAt.at(in->sector)
                                                                 : 0) +
                   " of " + std::to_string(in->length))
                      .c_str()
                : "in noise",
            h[0], h[1], h[2], h[3], h[4], h[5]);
      }
    }
    std::printf(
        "cut files rated above Poor: %u of %u; finds inside ZIPs (stored members): %u; "
        "spurious finds: %u (%.2f per 1,000 placed files)\n",
        cutAbovePoor, cutCount, embedded, spurious, 1000.0 * spurious / placed.size());
  }
  std::printf("listed per folder:");
  for (const auto& [folder, n] : carve.perFolder) std::printf(" %s=%u", folder.c_str(), n);
  std::printf("\n");

  // Throughput over data with no files: pure noise and zeros (256 MiB each).
  {
    Bytes noise(std::min<std::uint64_t>(imageBytes, 256ull << 20));
    fillNoise(noise.data(), noise.size(), 7);
    const ScanFigures f = scan(noise);
    for (const auto& [sector, folder] : f.folderAt)
      std::printf("  false %s find in noise at sector %llu, %llu bytes\n", folder.c_str(),
                  static_cast<unsigned long long>(sector),
                  static_cast<unsigned long long>(f.sizeAt.at(sector)));
    std::printf("pure noise: %.0f MiB in %.2f s, %.0f sectors/s, %u false finds\n",
                static_cast<double>(noise.size()) / 1048576.0, f.seconds,
                static_cast<double>(noise.size() / kSector) / f.seconds, f.files);
    std::fill(noise.begin(), noise.end(), 0);
    const ScanFigures z = scan(noise);
    std::printf("zeros:      %.0f MiB in %.2f s, %.0f sectors/s, %u finds\n",
                static_cast<double>(noise.size()) / 1048576.0, z.seconds,
                static_cast<double>(noise.size() / kSector) / z.seconds, z.files);
  }
  std::printf("peak RSS: %llu MiB\n", static_cast<unsigned long long>(benchPeakRssKiB() / 1024));

  // The same image through photorec, when it is installed.
  if (!photorec) {
    std::printf("photorec: not run (--no-photorec)\n");
  } else if (sh("command -v photorec >/dev/null 2>&1") == 0) {
    const fs::path img = work / "carve.img";
    const fs::path out = work / "photorec";
    Bytes imageHeads;  // the first 512 bytes of every placed file, in order
    fs::remove_all(out);
    {
      std::ofstream f(img, std::ios::binary);
      f.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    }
    for (const Placed& p : placed) {
      Bytes head(512, 0);
      std::memcpy(head.data(), image.data() + p.sector * kSector,
                  static_cast<std::size_t>(std::min<std::uint64_t>(p.length, 512)));
      imageHeads.insert(imageHeads.end(), head.begin(), head.end());
    }
    image = Bytes();  // its memory is not needed any more
    fs::create_directories(out);
    // photorec wants a terminal even when scripted; script(1) gives it one. Its log goes to the
    // current folder, hence the cd.
    const std::string pr = "photorec /log /d " + (out / "f").string() + " /cmd " + img.string() +
                           " partition_none,fileopt,everything,disable,jpg,enable,png,enable,"
                           "gif,enable,bmp,enable,zip,enable,pdf,enable,search";
    const std::string cmd =
        "cd '" + work.string() + "' && script -q -c '" + pr + "' /dev/null > photorec.out 2>&1";
    const double t0 = benchNowSeconds();
    const double pc0 = cpuSeconds(true);
    const int rc = sh(cmd);
    const double prCpu = cpuSeconds(true) - pc0;
    const double secs = benchNowSeconds() - t0;
    std::set<std::uint64_t> hashes;
    std::uint32_t count = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(out, ec)) {
      if (!e.is_regular_file() || e.path().filename() == "report.xml") continue;
      ++count;
      const Bytes b = readAll(e.path());
      hashes.insert(fnv(b.data(), b.size()));
    }
    std::uint32_t prRecalled = 0;
    for (const Placed& p : placed)
      if (!p.cut && hashes.count(p.hash) != 0) ++prRecalled;
    // Outputs that begin like no placed file (complete or cut) are spurious.
    std::set<std::uint64_t> heads;
    for (const Placed& p : placed) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(p.length, 512));
      const std::uint8_t* at = imageHeads.data() + (&p - placed.data()) * 512;
      heads.insert(fnv(at, n));
    }
    std::uint32_t prSpurious = 0;
    for (const auto& e : fs::recursive_directory_iterator(out, ec)) {
      if (!e.is_regular_file() || e.path().filename() == "report.xml") continue;
      Bytes b = readAll(e.path());
      b.resize(std::min<std::size_t>(b.size(), 512));
      if (heads.count(fnv(b.data(), b.size())) == 0) ++prSpurious;
    }
    std::printf("photorec: %u outputs begin like no placed file (%.2f per 1,000 placed files)\n",
                prSpurious, 1000.0 * prSpurious / placed.size());
    std::printf(
        "photorec: exit %d, %.2f s wall, %.2f s CPU, %u files written, recall %u of %u (%.2f%%)\n",
        rc, secs, prCpu, count, prRecalled, complete, 100.0 * prRecalled / std::max(complete, 1u));
    if (keep.empty()) {
      fs::remove_all(out, ec);
      fs::remove(img, ec);
    }
  } else {
    std::printf("photorec: not installed (apt-get install testdisk)\n");
  }
  if (keep.empty()) {
    std::error_code ec;
    fs::remove_all(work / "bases", ec);
  }
  return 0;
}
