// exFAT listing and recovery speed.
// Builds (once, kept in the work folder) a 4 GiB exFAT image with 50,000 files in 50 folders,
// every third one deleted, with mkfs.exfat and the FUSE driver on a loop device (needs root).
// Then times, on the warm image:
//   (a) the exFAT scanner (recognise, search, estimate) against `fls -r -d -p` on the same image,
//       with peak memory of each. Target: at most half of fls's time.
//   (b) recovery of every deleted file, against `cat IMAGE > /dev/null`.
// Recovered files are written to /dev/shm (else WORKDIR) and removed afterwards.
// Usage: bench_exfat [WORKDIR] [SOURCE_DIR]   (default $TMPDIR/kvx-bench-exfat; SOURCE_DIR is the
// source tree, for tests/tools/exfat_fuse.sh; found from the working directory when omitted)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "exfat/exfat.h"
#include "host/host.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 1000;
constexpr const char* kStamp = "ok 1";

bool sh(const std::string& command) {
  const ChildRun r = runTimed(command);
  if (r.status != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return r.status == 0;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

bool buildImage(const fs::path& dir, const fs::path& image, const fs::path& mountScript) {
  fs::remove(image);
  if (!sh("truncate -s 4G " + q(image) + " && mkfs.exfat -c 32K -L BENCH " + q(image) +
          " >/dev/null"))
    return false;
  // Files of 256 B .. 40 KiB written straight into the mount; every third one is deleted later.
  const fs::path writer = dir / "populate.py";
  std::ofstream(writer) << "import os, random, sys\n"
                           "root = sys.argv[1]\n"
                           "rnd = random.Random(1234)\n"
                           "blob = bytes(rnd.getrandbits(8) for _ in range(65536))\n"
                           "for d in range("
                        << kFolders
                        << "):\n"
                           "    folder = os.path.join(root, 'd%d' % (100 + d))\n"
                           "    os.mkdir(folder)\n"
                           "    for f in range("
                        << kFilesPerFolder
                        << "):\n"
                           "        size = 256 + rnd.randrange(40000)\n"
                           "        name = ('f%04d_x.bin' if f % 3 == 0 else 'f%04d.bin') % f\n"
                           "        with open(os.path.join(folder, name), 'wb') as out:\n"
                           "            out.write(bytes([f & 255, d]) + blob[2:size])\n";
  if (!sh("bash " + q(mountScript) + " " + q(image) + " 'python3 " + writer.string() + " \"$M\"'"))
    return false;
  if (!sh("bash " + q(mountScript) + " " + q(image) + " 'rm \"$M\"/d*/*_x.bin'")) return false;
  std::ofstream(dir / "image.ok") << kStamp << "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir =
      argc > 1 ? fs::path(argv[1]) : fs::path(tmp != nullptr ? tmp : "/tmp") / "kvx-bench-exfat";
  const fs::path source = argc > 2 ? fs::path(argv[2]) : fs::current_path();
  const fs::path mountScript = source / "tests/tools/exfat_fuse.sh";
  fs::create_directories(dir);
  const fs::path image = dir / "exfat.img";
  std::string stamp;
  std::getline(std::ifstream(dir / "image.ok"), stamp);
  if (stamp != kStamp || !fs::exists(image)) {
    if (!fs::exists(mountScript)) {
      std::fprintf(stderr, "run from the source tree or name it: %s missing\n",
                   mountScript.c_str());
      return 1;
    }
    const double t0 = benchNowSeconds();
    if (!buildImage(dir, image, mountScript)) return 1;
    std::printf("image built in %.1f s\n", benchNowSeconds() - t0);
  }

  // Warm the page cache with what both listers read, then time them.
  (void)runTimed("fls -r -p -f exfat " + q(image) + " >/dev/null");
  const ChildRun fls = runTimed("fls -r -d -p -f exfat " + q(image) + " >/dev/null");
  const ChildRun flsAll = runTimed("fls -r -p -f exfat " + q(image) + " >/dev/null");
  const fs::path kvx = fs::absolute(fs::path(argv[0])).parent_path().parent_path() / "kvx";
  ChildRun kvxRun;
  if (fs::exists(kvx))
    kvxRun = runTimed(q(kvx.string()) + " scan " + q(image.string()) + " --json >/dev/null");

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
  if (!EXFAT_RecognizeDrive(u, drive) || !CachedDrive_SelectFileSystem(drive, 0)) {
    std::fprintf(stderr, "not recognised\n");
    return 1;
  }
  (void)EXFAT_SearchFiles(u);
  const double scanSeconds = benchNowSeconds() - s0;
  const std::uint64_t scanPeak = benchPeakRssKiB();
  const std::uint32_t files = u->fileCount, deletedCount = u->deletedCount;

  const fs::path out =
      (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir) / "kvx-bench-exfat-out";
  fs::remove_all(out);
  fs::create_directories(out);
  std::uint64_t recoveredBytes = 0;
  std::uint32_t recovered = 0, excellent = 0;
  const double r0 = benchNowSeconds();
  for (std::uint32_t i = 0; i < files; ++i) {
    FileRecord* r = Storage_File(u, i);
    if ((r->status & kStatusExisting) != 0) continue;
    if (((r->status >> 1) & 0x1F) == kStateExcellent) ++excellent;
    const std::string target = (out / std::to_string(i)).string();
    if (EXFAT_RecoverFile(u, r, target.c_str(), &u->bytesDone)) {
      ++recovered;
      recoveredBytes += r->size.get();
    }
  }
  const double recoverSeconds = benchNowSeconds() - r0;
  fs::remove_all(out);
  (void)runTimed("cat " + q(image) + " >/dev/null");
  const ChildRun cat = runTimed("cat " + q(image) + " >/dev/null");
  const double catRate = static_cast<double>(fs::file_size(image)) / cat.seconds / 1048576.0;

  std::printf("image: %.0f MiB, %u files listed, %u deleted (%u Excellent)\n",
              static_cast<double>(fs::file_size(image)) / 1048576.0, files, deletedCount,
              excellent);
  std::printf("scan (recognise+search+estimate): %.3f s, peak RSS %.1f MiB (%.1f MiB before)\n",
              scanSeconds, static_cast<double>(scanPeak) / 1024.0,
              static_cast<double>(rssBefore) / 1024.0);
  std::printf("fls -r -d -p: %.3f s, peak RSS %.1f MiB   (fls -r -p: %.3f s)\n", fls.seconds,
              static_cast<double>(fls.peakKiB) / 1024.0, flsAll.seconds);
  std::printf("scan / fls = %.2f (target <= 0.50)\n", scanSeconds / fls.seconds);
  if (kvxRun.seconds >= 0 && kvxRun.status == 0) {
    std::printf("kvx scan --json >/dev/null: %.3f s, peak RSS %.1f MiB; kvx / fls = %.2f\n",
                kvxRun.seconds, static_cast<double>(kvxRun.peakKiB) / 1024.0,
                kvxRun.seconds / fls.seconds);
  }
  std::printf(
      "recovery of the deleted files: %u files, %.1f MiB in %.3f s = %.0f MiB/s "
      "(cat of the sparse image: %.0f MiB/s)\n",
      recovered, static_cast<double>(recoveredBytes) / 1048576.0, recoverSeconds,
      static_cast<double>(recoveredBytes) / recoverSeconds / 1048576.0, catRate);
  u->drive = nullptr;
  Undelete_Delete(u);
  CachedDrive_Destroy(drive);
  return 0;
}
