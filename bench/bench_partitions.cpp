// Lost-partition scan of a 64 GiB sparse disk image whose MBR is gone: three volumes (FAT32 at
// 1 MiB, NTFS at 20 GiB, FAT32 at 30 GiB) to be found again. Quick and full scans each run in a
// child process for their own wall time and peak memory; TestDisk's table listing and quick
// search run on the same image when it is installed.
// Usage: bench_partitions [SCRATCH_DIR] [--no-testdisk]   (needs sfdisk, mkfs.fat, mkntfs; the
// image takes ~60 MiB on disk)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_util.h"
#include "host/host.h"
#include "undelete/undelete.h"

namespace {

int scanChild(const char* image, bool quick) {
  const std::uint32_t disk = Host_AddDisk(image);
  Undelete* u = nullptr;
  if (disk == 0xFFFFFFFFu || !Undelete_Create(&u)) return 2;
  const double t0 = benchNowSeconds();
  if (Undelete_ScanForPartitions(u, static_cast<int>(disk), quick ? 1 : 0) != 1) return 3;
  std::uint64_t pos = 0, total = 1;
  while (total != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Undelete_GetPartitionProgress(u, &pos, &total);
  }
  const double seconds = benchNowSeconds() - t0;
  int shown = 0;
  for (unsigned i = 0; i < kMaxFoundPartitions; ++i) {
    FoundPartition p{};
    if (Undelete_GetPartitionDesc(u, i, &p) != 1 || Undelete_ShouldShow(u, i) != 1) continue;
    ++shown;
    std::printf("    found %llu + %llu sectors, type 0x%02X, status %u\n",
                static_cast<unsigned long long>(p.start.get() / 512),
                static_cast<unsigned long long>(p.length.get() / 512), p.type, foundStatus(p));
  }
  std::printf("    scan only: %.3f s, %d partitions\n", seconds, shown);
  Undelete_Delete(u);
  return shown == 3 ? 0 : 1;
}

bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--scan") return scanChild(argv[2], argv[3][0] == '1');
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const bool skipTestdisk = argc > 2 && std::string(argv[2]) == "--no-testdisk";
  const std::string img = dir + "/bench_partitions.img", ntfs = dir + "/bench_partitions_ntfs.img";
  constexpr unsigned long long kGiB = 1ull << 30, kSector = 512;
  const unsigned long long p1 = 2048, p2 = 20 * kGiB / kSector, p3 = 30 * kGiB / kSector;
  const unsigned long long s1 = 16 * kGiB / kSector, s2 = 2 * kGiB / kSector,
                           s3 = 24 * kGiB / kSector;
  std::printf("building %s (64 GiB sparse)\n", img.c_str());
  char table[256];
  std::snprintf(table, sizeof table,
                "printf 'label: dos\\nstart=%llu, size=%llu, type=c\\nstart=%llu, size=%llu, "
                "type=7\\nstart=%llu, size=%llu, type=c\\n' | sfdisk -q '%s'",
                p1, s1, p2, s2, p3, s3, img.c_str());
  char fat1[256], fat3[256], nt[512];
  std::snprintf(fat1, sizeof fat1, "mkfs.fat -F 32 --offset %llu '%s' %llu >/dev/null 2>&1", p1,
                img.c_str(), s1 / 2);
  std::snprintf(fat3, sizeof fat3, "mkfs.fat -F 32 --offset %llu '%s' %llu >/dev/null 2>&1", p3,
                img.c_str(), s3 / 2);
  std::snprintf(
      nt, sizeof nt,
      "rm -f '%s' && truncate -s %llu '%s' && mkntfs -F -Q -q -p %llu '%s' >/dev/null 2>&1 "
      "&& dd if='%s' of='%s' bs=1M seek=%llu conv=notrunc,sparse status=none && rm -f '%s'",
      ntfs.c_str(), s2 * kSector, ntfs.c_str(), p2, ntfs.c_str(), ntfs.c_str(), img.c_str(),
      p2 * kSector / (1 << 20), ntfs.c_str());
  if (!sh("rm -f '" + img + "' && truncate -s 64G '" + img + "'") || !sh(table) || !sh(fat1) ||
      !sh(fat3) || !sh(nt)) {
    std::fprintf(stderr, "could not build the image (sfdisk, mkfs.fat, mkntfs needed)\n");
    return 2;
  }
  const bool testdisk = !skipTestdisk && sh("command -v testdisk >/dev/null");
  if (testdisk) {
    const ChildRun list = runTimed("testdisk /list '" + img + "' >/dev/null 2>&1");
    std::printf("testdisk /list (table intact): %.3f s, peak %llu KiB\n", list.seconds,
                static_cast<unsigned long long>(list.peakKiB));
  }
  if (!sh("dd if=/dev/zero of='" + img + "' bs=512 count=1 conv=notrunc status=none")) return 2;
  std::printf(
      "MBR zeroed; gaps to search: %.1f GiB\n",
      static_cast<double>(64 * kGiB - (s1 + s2 + s3) * kSector) / static_cast<double>(kGiB));
  int failures = 0;
  for (const bool quick : {true, false}) {
    std::printf("%s scan:\n", quick ? "quick" : "full");
    std::fflush(stdout);
    const ChildRun r =
        runTimed(std::string("'") + argv[0] + "' --scan '" + img + "' " + (quick ? "1" : "0"));
    std::printf("  wall %.3f s (process), peak %llu KiB, exit %d\n", r.seconds,
                static_cast<unsigned long long>(r.peakKiB), r.status);
    failures += r.status != 0;
  }
  if (testdisk) {
    const ChildRun q = runTimed("cd '" + dir + "' && testdisk /cmd '" + img +
                                "' analyze,search >/dev/null 2>&1 </dev/null");
    std::printf("testdisk /cmd analyze,search: %.3f s, peak %llu KiB\n", q.seconds,
                static_cast<unsigned long long>(q.peakKiB));
  }
  const ChildRun reading =
      runTimed("dd if='" + img + "' of=/dev/null bs=2M skip=" + std::to_string(22 * 512) +
               " count=" + std::to_string(8 * 512) + " status=none");
  std::printf("reference: dd of one 8 GiB gap: %.3f s (%.2f GiB/s)\n", reading.seconds,
              8.0 / reading.seconds);
  sh("rm -f '" + img + "'");
  return failures == 0 ? 0 : 1;
}
