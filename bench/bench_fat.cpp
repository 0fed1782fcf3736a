// FAT32 scan and recovery speed.
// Builds (once, kept in the work folder) a 2 GiB FAT32 image with 50,000 files in 50 folders,
// every third one deleted, with mkfs.fat and mtools (a prepared tree copied with `mcopy -s`,
// deletions by wildcard per folder). Then times, on the warm image:
//   (a) the FAT scanner (recognise, search, estimate) against `fls -r -d -p` on the same image,
//       with peak memory of each. Target: at most half of fls's time.
//   (b) recovery of every deleted file against `cat IMAGE > /dev/null`. Target: >= 70% of cat.
// Recovered files are written to /dev/shm (else WORKDIR) and removed afterwards.
// Usage: bench_fat [WORKDIR]   (default $TMPDIR/kvx-bench-fat or /tmp/kvx-bench-fat)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "fat/fat.h"
#include "host/host.h"


namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 1000;
constexpr std::uint64_t kBigFileBytes = 512ull << 20;



bool sh(const std::string& command) {
  const ChildRun r = runTimed(command);
  if (r.status != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return r.status == 0;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

bool buildImage(const fs::path& dir, const fs::path& image) {
  const fs::path tree = dir / "tree";
  fs::remove_all(tree);
  std::uint64_t x = 0x9E3779B97F4A7C15ull, total = 0;
  std::vector<std::uint8_t> data(1 << 16);
  for (auto& b : data) {
    x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
    b = static_cast<std::uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  for (int d = 0; d < kFolders; ++d) {
    const fs::path folder = tree / ("d" + std::to_string(100 + d));
    fs::create_directories(folder);
    for (int f = 0; f < kFilesPerFolder; ++f) {
      x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
      const std::size_t size =
          256 + static_cast<std::size_t>((x * 0x2545F4914F6CDD1Dull) >> 40) % 40000;
      char name[32];
      std::snprintf(name, sizeof name, f % 3 == 0 ? "f%04d_x.bin" : "f%04d.bin", f);
      std::ofstream out(folder / name, std::ios::binary);
      data[0] = static_cast<std::uint8_t>(f);  // no two files alike
      data[1] = static_cast<std::uint8_t>(d);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
      total += size;
    }
  }
  // One large deleted file: the streaming rate, apart from per-file creation costs.
  {
    fs::create_directories(tree / "big");
    std::ofstream out(tree / "big" / "big_x.bin", std::ios::binary);
    for (std::uint64_t done = 0; done < kBigFileBytes; done += data.size()) {
      data[0] = static_cast<std::uint8_t>(done >> 16);
      out.write(reinterpret_cast<const char*>(data.data()),
                static_cast<std::streamsize>(data.size()));
    }
  }
  std::printf("tree: %d files, %.1f MiB\n", kFolders * kFilesPerFolder,
              static_cast<double>(total) / 1048576.0);
  fs::remove(image);
  if (!sh("mkfs.fat -C -F 32 -i 1234ABCD -n BENCH --invariant " + q(image) + " 2097152 >/dev/null"))
    return false;
  std::string copy = "cd " + q(tree) + " && MTOOLS_SKIP_CHECK=1 mcopy -s -i " + q(image);
  for (int d = 0; d < kFolders; ++d) copy += " d" + std::to_string(100 + d);
  copy += " big";
  if (!sh(copy + " ::/")) return false;
  std::string del = "export MTOOLS_SKIP_CHECK=1";
  for (int d = 0; d < kFolders; ++d) {
    del += " && mdel -i " + q(image) + " '::/d" + std::to_string(100 + d) + "/*_x.bin'";
  }
  del += " && mdel -i " + q(image) + " '::/big/big_x.bin'";
  if (!sh(del)) return false;
  fs::remove_all(tree);
  std::ofstream(dir / "image.ok") << "ok 2\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir =
      argc > 1 ? fs::path(argv[1]) : fs::path(tmp != nullptr ? tmp : "/tmp") / "kvx-bench-fat";
  fs::create_directories(dir);
  const fs::path image = dir / "fat32.img";
  std::string stamp;
  std::getline(std::ifstream(dir / "image.ok"), stamp);
  if (stamp != "ok 2" || !fs::exists(image)) {
    const double t0 = benchNowSeconds();
    if (!buildImage(dir, image)) return 1;
    std::printf("image built in %.1f s\n", benchNowSeconds() - t0);
  }
  const std::uint64_t imageBytes = fs::file_size(image);

  // Warm the page cache, then time cat.
  (void)runTimed("cat " + q(image) + " >/dev/null");
  const ChildRun cat = runTimed("cat " + q(image) + " >/dev/null");
  // The whole command line path as well (search thread, storage, JSON), when kvx is built.
  const fs::path kvx = fs::absolute(fs::path(argv[0])).parent_path().parent_path() / "kvx";
  ChildRun kvxRun;
  if (fs::exists(kvx))
    kvxRun = runTimed(q(kvx.string()) + " scan " + q(image.string()) + " --json >/dev/null");
  const ChildRun fls = runTimed("fls -r -d -p -f fat " + q(image) + " >/dev/null");
  const ChildRun flsAll = runTimed("fls -r -p -f fat " + q(image) + " | grep -c . >/dev/null");

  // The scanner: recognise, search, estimate, as a search pass does.
  Undelete* u = nullptr;
  CachedDrive* drive = nullptr;
  if (!Undelete_Create(&u) || !CachedDrive_Create(&drive) ||
      !CachedDrive_OpenDevice(drive, Host_OpenPath(image.string(), false, false),
                              kHostDriveFixed) ||
      !Storage_Reserve(u)) {
    std::fprintf(stderr, "cannot open the image\n");
    return 1;
  }
  const std::uint64_t rssBefore = benchPeakRssKiB();
  const double s0 = benchNowSeconds();
  u->drive = drive;
  std::uint32_t root = 0;
  (void)Storage_AddFolder(u, u"BENCH", kNoParent, 0xFFFF, 0, false, false, &root);
  u->rootFolder = root;
  if (!FAT_RecognizeDrive(u, drive) || !CachedDrive_SelectFileSystem(drive, 0)) {
    std::fprintf(stderr, "not recognised\n");
    return 1;
  }
  (void)FAT_SearchFiles(u);
  const double scanSeconds = benchNowSeconds() - s0;
  const std::uint64_t scanPeak = benchPeakRssKiB();
  const std::uint32_t files = u->fileCount, deletedCount = u->deletedCount;

  // Recovery of every deleted file.
  // Recovered files go to memory (/dev/shm when present) so that the figure is the engine's, not
  // the scratch disk's file creation.
  const fs::path out =
      (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir) / "kvx-bench-fat-out";
  fs::remove_all(out);
  fs::create_directories(out);
  std::uint64_t recoveredBytes = 0, bigBytes = 0;
  std::uint32_t recovered = 0, excellent = 0;
  double bigSeconds = 0;
  const double r0 = benchNowSeconds();
  for (std::uint32_t i = 0; i < files; ++i) {
    FileRecord* r = Storage_File(u, i);
    if ((r->status & kStatusExisting) != 0) continue;
    if (((r->status >> 1) & 0x1F) == kStateExcellent) ++excellent;
    const std::string target = (out / std::to_string(i)).string();
    const bool big = r->size.get() >= kBigFileBytes;
    const double b0 = benchNowSeconds();
    if (FAT_RecoverFile(u, r, target.c_str(), &u->bytesDone)) {
      ++recovered;
      recoveredBytes += r->size.get();
      if (big) {
        bigSeconds = benchNowSeconds() - b0;
        bigBytes = r->size.get();
      }
    }
    if (big) fs::remove(target);  // keep memory use down
  }
  const double recoverSeconds = benchNowSeconds() - r0;
  fs::remove_all(out);
  // The same syscalls for the same files with nothing read: the floor of per-file creation here.
  fs::create_directories(out);
  const double f0 = benchNowSeconds();
  for (std::uint32_t i = 0; i < files; ++i) {
    const FileRecord* r = Storage_File(u, i);
    if ((r->status & kStatusExisting) != 0 || r->size.get() >= kBigFileBytes) continue;
    const int fd =
        ::open((out / std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) continue;
    static std::vector<std::uint8_t> zeros(1 << 20);
    std::uint64_t left = r->size.get();
    while (left > 0) {
      const std::size_t n = left < zeros.size() ? static_cast<std::size_t>(left) : zeros.size();
      if (::write(fd, zeros.data(), n) <= 0) break;
      left -= n;
    }
    timespec ts[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    (void)::futimens(fd, ts);
    ::close(fd);
  }
  const double floorSeconds = benchNowSeconds() - f0;
  fs::remove_all(out);

  const double catRate = static_cast<double>(imageBytes) / cat.seconds / 1048576.0;
  // Copying the same number of bytes into the same folder with cat: what writing costs here.
  fs::create_directories(out);
  const ChildRun copyRun = runTimed("head -c " + std::to_string(kBigFileBytes) + " " + q(image) +
                                    " > " + q((out / "copy").string()));
  fs::remove_all(out);
  const double copyRate = static_cast<double>(kBigFileBytes) / copyRun.seconds / 1048576.0;
  const double recRate = static_cast<double>(recoveredBytes) / recoverSeconds / 1048576.0;
  std::printf("image: %.0f MiB, %u files listed, %u deleted (%u Excellent)\n",
              static_cast<double>(imageBytes) / 1048576.0, files, deletedCount, excellent);
  std::printf("scan (recognise+search+estimate): %.3f s, peak RSS %.1f MiB (%.1f MiB before)\n",
              scanSeconds, static_cast<double>(scanPeak) / 1024.0,
              static_cast<double>(rssBefore) / 1024.0);
  std::printf("fls -r -d -p: %.3f s, peak RSS %.1f MiB   (fls -r -p: %.3f s)\n", fls.seconds,
              static_cast<double>(fls.peakKiB) / 1024.0, flsAll.seconds);
  std::printf("scan / fls = %.2f (target <= 0.50)\n", scanSeconds / fls.seconds);
  if (kvxRun.seconds >= 0) {
    std::printf("kvx scan --json >/dev/null: %.3f s, peak RSS %.1f MiB; kvx / fls = %.2f\n",
                kvxRun.seconds, static_cast<double>(kvxRun.peakKiB) / 1024.0,
                kvxRun.seconds / fls.seconds);
  }
  std::printf(
      "large deleted file: %.0f MiB in %.3f s = %.0f MiB/s; ratio to cat %.2f (target >= 0.70)\n",
      static_cast<double>(bigBytes) / 1048576.0, bigSeconds,
      static_cast<double>(bigBytes) / bigSeconds / 1048576.0,
      static_cast<double>(bigBytes) / bigSeconds / 1048576.0 / catRate);
  std::printf("  cat of as many bytes of the image into the same folder: %.0f MiB/s; ratio %.2f\n",
              copyRate, static_cast<double>(bigBytes) / bigSeconds / 1048576.0 / copyRate);
  std::printf(
      "small files: creating and writing them with nothing read takes %.3f s of the total\n",
      floorSeconds);
  std::printf(
      "recovery (all): %u files, %.1f MiB in %.3f s = %.0f MiB/s; cat: %.0f MiB/s; ratio %.2f "
      "(target >= 0.70)\n",
      recovered, static_cast<double>(recoveredBytes) / 1048576.0, recoverSeconds, recRate, catRate,
      recRate / catRate);
  u->drive = nullptr;
  Undelete_Delete(u);
  CachedDrive_Destroy(drive);
  return 0;
}
