// NTFS scan and compressed recovery speed.
// Builds (once, kept in the work folder) a 3 GiB NTFS image through an ntfs-3g mount (needs root):
// 100,000 small files in 100 folders, every fifth one deleted, plus a 1 GiB file in a compressed
// folder. Then times, on the warm image:
//   (a) the MFT scan (`kvx scan IMAGE --json` and `--jsonl` when kvx is built next to this
//       program, and the engine's NTFS_SearchFiles in this process) against `fls -r -d -p` and `ntfsundelete -s`,
//       with peak memory and MFT records per second. Targets: at most half of fls's time, within
//       three times ntfsundelete's.
//   (b) recovery of the 1 GiB compressed file, in MB/s.
// Usage: bench_ntfs [WORKDIR]   (default $TMPDIR/kvx-bench-ntfs or /tmp/kvx-bench-ntfs)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "host/host.h"
#include "ntfs/ntfs.h"


namespace {

namespace fs = std::filesystem;



// The files are written by one python process (no process per file); the big file is text-like
// so that it compresses to about a third.
constexpr const char* kBuild = R"SH(
set -e
d="$1"; img="$d/ntfs.img"; m="$d/mnt"
mkdir -p "$m"
rm -f "$img"; truncate -s 3G "$img"
mkntfs -F -Q -q -s 512 -c 4096 -L BENCH "$img" >/dev/null 2>&1
ntfs-3g -o compression "$img" "$m"
trap 'umount "$m" 2>/dev/null || true' EXIT
python3 - "$m" <<'PY'
import os, sys, random
m = sys.argv[1]
r = random.Random(1)
for f in range(100):
    d = os.path.join(m, "dir%03d" % f)
    os.mkdir(d)
    for i in range(1000):
        with open(os.path.join(d, "file%04d.dat" % i), "wb") as fh:
            fh.write(r.randbytes(200 + (i * 37) % 3000))
for f in range(100):
    d = os.path.join(m, "dir%03d" % f)
    for i in range(0, 1000, 5):
        os.remove(os.path.join(d, "file%04d.dat" % i))
c = os.path.join(m, "compressed")
os.mkdir(c)
os.setxattr(c, "system.ntfs_attrib_be", (0x810).to_bytes(4, "big"))
words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta", b"theta"]
pool = []
for k in range(16):
    line = b" ".join(r.choice(words) + str(r.randrange(100000)).encode() for _ in range(100000))
    pool.append((line + r.randbytes(65536))[:1 << 20])
with open(os.path.join(c, "big.txt"), "wb") as fh:
    for chunk in range(1024):
        fh.write(pool[r.randrange(16)])
PY
)SH";

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path work =
      argc > 1 ? fs::path(argv[1]) : fs::path(tmp ? tmp : "/tmp") / "kvx-bench-ntfs";
  fs::create_directories(work);
  const std::string image = (work / "ntfs.img").string();
  if (!fs::exists(work / "ready")) {
    std::printf("building %s (100,000 files, 1 GiB compressed file)...\n", image.c_str());
    std::ofstream(work / "build.sh") << kBuild;
    const ChildRun b =
        runTimed("sh '" + (work / "build.sh").string() + "' '" + work.string() + "'");
    if (b.status != 0) {
      std::fprintf(stderr, "image build failed (needs root, mkntfs, ntfs-3g, python3)\n");
      return 1;
    }
    std::ofstream(work / "ready") << "ok\n";
    std::printf("built in %.1f s\n", b.seconds);
  }
  runTimed("cat '" + image + "' > /dev/null");  // warm the page cache for everyone alike

  // (a) Scan.
  const fs::path kvx = fs::path(argv[0]).parent_path().parent_path() / "kvx";
  ChildRun kvxRun, kvxLinesRun, kvxQuietRun;
  if (fs::exists(kvx)) {
    kvxRun = runTimed("'" + kvx.string() + "' scan '" + image + "' --json > /dev/null 2>&1");
    kvxLinesRun = runTimed("'" + kvx.string() + "' scan '" + image + "' --jsonl > /dev/null 2>&1");
    // The same command with a filter that lists nothing: the scan without the output.
    kvxQuietRun = runTimed("'" + kvx.string() + "' scan '" + image +
                           "' --pattern no-such-name > /dev/null 2>&1");
  }
  const ChildRun flsRun = runTimed("fls -r -d -p '" + image + "' > /dev/null");
  const ChildRun undelRun = runTimed("ntfsundelete -s '" + image + "' > /dev/null 2>&1");

  Undelete* u = nullptr;
  Undelete_Create(&u);
  CachedDrive* drive = nullptr;
  if (!Storage_Reserve(u) || !CachedDrive_Create(&drive) ||
      !CachedDrive_OpenDevice(drive, Host_OpenPath(image, false, false), kHostDriveFixed)) {
    std::fprintf(stderr, "cannot open the image\n");
    return 1;
  }
  u->drive = drive;
  std::memset(u->scanMarks, 0xFF, sizeof u->scanMarks);
  if (!Storage_AddFolder(u, u"BENCH", kNoParent, 0xFFFF, 0, false, false, &u->rootFolder)) return 1;
  u->rootName = Storage_Folder(u, u->rootFolder)->name.get();
  const std::uint64_t rssBefore = benchPeakRssKiB();
  const double t0 = benchNowSeconds();
  if (!NTFS_RecognizeDrive(drive, u) || !CachedDrive_SelectFileSystem(drive, 0)) return 1;
  const bool scanned = NTFS_SearchFiles(u);
  const double scanSeconds = benchNowSeconds() - t0;
  const NtfsVolume* volume = NTFS_CurrentVolume(drive);
  NtfsParsedRecord mft;
  const std::uint64_t records = volume && NTFS_ReadMftDescription(drive, *volume, mft)
                                    ? mft.size / volume->info.recordBytes.get()
                                    : 0;

  std::printf("\nMFT scan of %s (%llu records, %u files listed, %u deleted):\n", image.c_str(),
              static_cast<unsigned long long>(records), u->fileCount.load(),
              u->deletedCount.load());
  if (kvxRun.seconds >= 0) {
    std::printf("  kvx scan --json         %8.3f s  peak %7llu KiB\n", kvxRun.seconds,
                static_cast<unsigned long long>(kvxRun.peakKiB));
    std::printf("  kvx scan --jsonl        %8.3f s  peak %7llu KiB\n", kvxLinesRun.seconds,
                static_cast<unsigned long long>(kvxLinesRun.peakKiB));
    std::printf("  kvx scan (no output)    %8.3f s  peak %7llu KiB\n", kvxQuietRun.seconds,
                static_cast<unsigned long long>(kvxQuietRun.peakKiB));
  }
  std::printf("  NTFS_SearchFiles        %8.3f s  peak %7llu KiB (process, %llu before)  %s\n",
              scanSeconds, static_cast<unsigned long long>(benchPeakRssKiB()),
              static_cast<unsigned long long>(rssBefore), scanned ? "ok" : "FAILED");
  std::printf("  fls -r -d -p            %8.3f s  peak %7llu KiB\n", flsRun.seconds,
              static_cast<unsigned long long>(flsRun.peakKiB));
  std::printf("  ntfsundelete -s         %8.3f s  peak %7llu KiB\n", undelRun.seconds,
              static_cast<unsigned long long>(undelRun.peakKiB));
  std::printf("  MFT records/s (engine)  %8.0f\n", records / scanSeconds);
  const double ours = kvxRun.seconds >= 0 ? kvxRun.seconds : scanSeconds;
  std::printf("  vs fls: %.2fx of its time (target <= 0.5); vs ntfsundelete: %.2fx (target <= 3)\n",
              ours / flsRun.seconds, ours / undelRun.seconds);
  if (kvxRun.seconds >= 0)
    std::printf("  kvx --json / --jsonl against the engine's scan: %.2fx / %.2fx (target <= 2); "
                "--jsonl vs ntfsundelete %.2fx (target <= 3)\n",
                kvxRun.seconds / scanSeconds, kvxLinesRun.seconds / scanSeconds,
                kvxLinesRun.seconds / undelRun.seconds);

  // (b) Compressed recovery.
  for (std::uint32_t i = 0; i < u->fileCount.load(); ++i) {
    FileRecord* f = Storage_File(u, i);
    const auto* name = static_cast<const char16_t*>(Storage_At(u, f->name.get()));
    if (name == nullptr || std::u16string_view(name) != u"big.txt") continue;
    const fs::path out = fs::exists("/dev/shm") ? fs::path("/dev/shm/kvx-bench-ntfs-big.txt")
                                                : work / "recovered-big.txt";
    u->bytesDone = 0;
    const double r0 = benchNowSeconds();
    const bool ok = NTFS_RecoverFile(f, &u->bytesDone, u, out.string().c_str());
    const double rs = benchNowSeconds() - r0;
    const double mb = static_cast<double>(f->size.get()) / 1e6;
    std::printf("\nRecovery of big.txt (%.0f MB, compressed): %.3f s, %.1f MB/s %s\n", mb, rs,
                mb / rs, ok ? "ok" : "FAILED");
    const ChildRun icatRun = runTimed(
        "icat '" + image + "' " +
        std::to_string(
            static_cast<const NtfsFileInfo*>(Storage_At(u, f->locator.get()))->recordNumber.get()) +
        " | cmp - '" + out.string() + "'");
    std::printf("  same bytes as icat: %s (icat + cmp %.3f s)\n",
                icatRun.status == 0 ? "yes" : "NO", icatRun.seconds);
    fs::remove(out);
    break;
  }
  Undelete_Done(u);
  return 0;
}
