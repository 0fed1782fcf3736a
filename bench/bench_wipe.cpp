// Free-space wipe throughput: a 2 GiB FAT32 image with a few files, one pass of zeros through the
// fast method, against dd writing the same number of bytes of zeros to a new file in the same
// folder (both flushed to the disk before the clock stops).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_util.h"
#include "undelete/undelete.h"

namespace fs = std::filesystem;

namespace {

int sh(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kvx-bench-wipe";
  fs::create_directories(dir);
  const fs::path img = dir / "free.img", ddOut = dir / "dd.out";
  const std::uint64_t bytes = 2ull << 30;
  std::printf("free-space wipe bench in %s (2 GiB image)\n", dir.c_str());
  fs::remove(img);
  if (sh("truncate -s 2G '" + img.string() + "' && mkfs.fat -F 32 -s 8 '" + img.string() +
         "' >/dev/null && head -c 50000000 /dev/urandom > '" + (dir / "f").string() +
         "' && MTOOLS_SKIP_CHECK=1 mcopy -i '" + img.string() + "' '" + (dir / "f").string() +
         "' ::/F.BIN") != 0) {
    std::fprintf(stderr, "cannot build the image (mkfs.fat, mtools)\n");
    return 1;
  }
  sh("sync");

  const std::string env = "D=" + img.string();
  ::setenv("KVX_DRIVES", env.c_str(), 1);
  Undelete* u = nullptr;
  if (Undelete_Create(&u) == 0) return 1;
  Undelete_SetWipeMethod(u, 0, 1);
  const std::uint32_t driveSpec = 'D' - 'A';
  const double t0 = benchNowSeconds();
  if (Undelete_WipeFreeSpace(u, &driveSpec, 1, 0, 0) == 0) {
    std::fprintf(stderr, "the wipe did not start\n");
    return 1;
  }
  std::uint32_t pos = 0, total = 0;
  while (Undelete_GetWipeProgress(u, &pos, &total) != 0) {
    struct timespec ts {
      0, 5'000'000
    };
    nanosleep(&ts, nullptr);
  }
  const double wipeSeconds = benchNowSeconds() - t0;
  std::uint32_t error = 0;
  Undelete_GetError(u, &error);
  Undelete_Delete(u);
  if (error != 0) {
    std::fprintf(stderr, "the wipe failed: 0x%08X\n", error);
    return 1;
  }

  fs::remove(ddOut);
  sh("sync");
  const ChildRun dd = runTimed("dd if=/dev/zero of='" + ddOut.string() +
                               "' bs=2M count=1024 conv=fdatasync status=none");
  fs::remove(ddOut);
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("wipe-free (fast method, 1 pass): %.2f s, %.0f MB/s (volume size over time)\n",
              wipeSeconds, mb / wipeSeconds);
  std::printf("dd if=/dev/zero, same size:      %.2f s, %.0f MB/s\n", dd.seconds, mb / dd.seconds);
  std::printf("ratio: %.0f %% of dd\n", 100.0 * dd.seconds / wipeSeconds);
  std::printf("peak memory: %llu KiB\n", static_cast<unsigned long long>(benchPeakRssKiB()));
  fs::remove(img);
  fs::remove(dir / "f");
  return 0;
}
