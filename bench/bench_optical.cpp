// Optical listing and recovery speed.
// Builds (once, kept in the work folder) a UDF bridge image with genisoimage -udf: FILES files
// (default 20,000) in 100 folders, about SIZE_MIB MiB (default 1024) in all. Then times, on the
// warm image:
//   (a) the UDF listing (recognise + walk) and the ISO 9660 listing of the same disc, against
//       `xorriso -indev IMAGE -find / -type f` (kernel udf/iso9660 mounts are not available on
//       the build machines, so a loop mount with `find` cannot be the reference here);
//   (b) recovery of every file through UDF_RecoverFile, against `xorriso -osirrox on -extract`
//       of the whole tree and against `cat IMAGE > /dev/null`.
// Recovered files go to /dev/shm (else WORKDIR) and are removed afterwards.
// Usage: bench_optical [WORKDIR [FILES [SIZE_MIB]]]   (default $TMPDIR/kvx-bench-optical)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "optical/cdfs.h"
#include "optical/udf.h"

namespace {

namespace fs = std::filesystem;

std::string q(const std::string& s) { return "'" + s + "'"; }

bool sh(const std::string& command) {
  const ChildRun r = runTimed(command);
  if (r.status != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return r.status == 0;
}

bool buildImage(const fs::path& dir, const fs::path& image, int files, std::uint64_t bytes,
                const std::string& stamp) {
  const fs::path tree = dir / "tree";
  fs::remove_all(tree);
  std::vector<char> data(1 << 20);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (auto& b : data) {
    x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
    b = static_cast<char>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  const std::uint64_t mean = bytes / static_cast<std::uint64_t>(files);
  std::uint64_t total = 0;
  for (int f = 0; f < files; ++f) {
    const fs::path folder = tree / ("d" + std::to_string(100 + f % 100));
    if (f < 100) fs::create_directories(folder);
    x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
    const std::uint64_t size = 1 + ((x * 0x2545F4914F6CDD1Dull) >> 20) % (2 * mean);
    std::ofstream out(folder / ("file" + std::to_string(f) + ".bin"), std::ios::binary);
    data[0] = static_cast<char>(f);
    for (std::uint64_t done = 0; done < size;) {
      const std::uint64_t n = std::min<std::uint64_t>(size - done, data.size());
      out.write(data.data(), static_cast<std::streamsize>(n));
      done += n;
    }
    total += size;
  }
  std::printf("tree: %d files, %.1f MiB\n", files, static_cast<double>(total) / 1048576.0);
  fs::remove(image);
  if (!sh("genisoimage -quiet -udf -V BENCH -o " + q(image.string()) + " " + q(tree.string())))
    return false;
  fs::remove_all(tree);
  std::ofstream(dir / "image.ok") << stamp << "\n";
  return true;
}

struct Engine {
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  ~Engine() {
    if (u != nullptr) {
      u->drive = nullptr;
      Undelete_Delete(u);
    }
    if (drive != nullptr) CachedDrive_Destroy(drive);
  }
  bool open(const fs::path& image) {
    if (!Undelete_Create(&u) || !CachedDrive_Create(&drive) ||
        !CachedDrive_OpenDevice(drive, Host_OpenPath(image.string(), false, true),
                                kDriveTypeCdRom) ||
        !Storage_Reserve(u))
      return false;
    drive->sectorSize = 2048;
    u->drive = drive;
    std::uint32_t root = 0;
    if (!Storage_AddFolder(u, u"BENCH", kNoParent, 0xFFFF, 0, false, false, &root)) return false;
    u->rootFolder = root;
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir =
      argc > 1 ? fs::path(argv[1]) : fs::path(tmp != nullptr ? tmp : "/tmp") / "kvx-bench-optical";
  const int files = argc > 2 ? std::atoi(argv[2]) : 20000;
  const std::uint64_t mib = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024;
  fs::create_directories(dir);
  const fs::path image = dir / "bench.udf";
  const std::string want = "ok " + std::to_string(files) + " " + std::to_string(mib);
  std::string stamp;
  std::getline(std::ifstream(dir / "image.ok"), stamp);
  if (stamp != want || !fs::exists(image)) {
    const double t0 = benchNowSeconds();
    if (!buildImage(dir, image, files, mib << 20, want)) return 1;
    std::printf("image built in %.1f s\n", benchNowSeconds() - t0);
  }
  const std::uint64_t imageBytes = fs::file_size(image);
  (void)runTimed("cat " + q(image.string()) + " >/dev/null");
  const ChildRun cat = runTimed("cat " + q(image.string()) + " >/dev/null");
  const ChildRun find =
      runTimed("xorriso -indev " + q(image.string()) + " -find / -type f >/dev/null 2>&1");

  // (a) Listing through UDF, then through ISO 9660 on the same disc.
  Engine udf;
  if (!udf.open(image)) return 1;
  const std::uint64_t rssBefore = benchPeakRssKiB();
  const double s0 = benchNowSeconds();
  if (!UDF_RecognizeDrive(udf.u, udf.drive) || !CachedDrive_SelectFileSystem(udf.drive, 0)) {
    std::fprintf(stderr, "UDF not recognised\n");
    return 1;
  }
  (void)UDF_SearchFiles(udf.u);
  const double udfSeconds = benchNowSeconds() - s0;
  const std::uint64_t udfPeak = benchPeakRssKiB();
  const std::uint32_t listed = udf.u->fileCount;
  Engine iso;
  if (!iso.open(image)) return 1;
  const double i0 = benchNowSeconds();
  if (!CDFS_RecognizeDrive(iso.u, iso.drive) || !CachedDrive_SelectFileSystem(iso.drive, 0)) {
    std::fprintf(stderr, "ISO 9660 not recognised\n");
    return 1;
  }
  (void)CDFS_SearchFiles(iso.u);
  const double isoSeconds = benchNowSeconds() - i0;

  // (b) Recovery of every file through UDF, and xorriso's extraction of the same tree.
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir;
  const fs::path out = base / "kvx-bench-optical-out";
  fs::remove_all(out);
  fs::create_directories(out);
  std::uint64_t bytes = 0;
  std::uint32_t recovered = 0;
  const double r0 = benchNowSeconds();
  for (std::uint32_t i = 0; i < listed; ++i) {
    FileRecord* r = Storage_File(udf.u, i);
    const std::string target = (out / std::to_string(i)).string();
    if (UDF_RecoverFile(udf.u, r, target.c_str(), &udf.u->bytesDone)) {
      ++recovered;
      bytes += r->size.get();
    }
  }
  const double recoverSeconds = benchNowSeconds() - r0;
  fs::remove_all(out);
  const ChildRun extract = runTimed("xorriso -osirrox on -indev " + q(image.string()) +
                                    " -extract / " + q(out.string()) + " >/dev/null 2>&1");
  fs::remove_all(out);

  const auto mibOf = [](std::uint64_t b) { return static_cast<double>(b) / 1048576.0; };
  const double catRate = mibOf(imageBytes) / cat.seconds;
  const double recRate = mibOf(bytes) / recoverSeconds;
  std::printf("image: %.0f MiB (UDF 1.02 bridge), %u files listed through UDF\n", mibOf(imageBytes),
              listed);
  std::printf("UDF listing: %.3f s, peak RSS %.1f MiB (%.1f before); ISO 9660 listing: %.3f s\n",
              udfSeconds, static_cast<double>(udfPeak) / 1024.0,
              static_cast<double>(rssBefore) / 1024.0, isoSeconds);
  std::printf("xorriso -find / -type f: %.3f s, peak RSS %.1f MiB; UDF listing / xorriso = %.2f\n",
              find.seconds, static_cast<double>(find.peakKiB) / 1024.0, udfSeconds / find.seconds);
  std::printf("recovery: %u files, %.1f MiB in %.3f s = %.0f MiB/s\n", recovered, mibOf(bytes),
              recoverSeconds, recRate);
  std::printf("xorriso -osirrox extract: %.3f s = %.0f MiB/s; recovery / xorriso = %.2f\n",
              extract.seconds, mibOf(bytes) / extract.seconds,
              recRate / (mibOf(bytes) / extract.seconds));
  std::printf("cat IMAGE >/dev/null: %.0f MiB/s; recovery / cat = %.2f\n", catRate,
              recRate / catRate);
  return 0;
}
