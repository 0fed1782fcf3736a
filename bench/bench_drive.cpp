// CachedDrive throughput and used-map walking.
// (a) A 1 GiB image of random bytes read front to back in 512-byte requests through the cache,
//     against `cat IMAGE > /dev/null` on the same warm image. Target: at least 70% of cat.
// (b) NextFreeRun over a map of 2^32 bits (512 MiB) holding 1000 free runs.
// Usage: bench_drive [IMAGE_MiB]   (default 1024; the image goes to $TMPDIR or /tmp)
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/cached_drive.h"
#include "host/host.h"

namespace {

bool writeRandomImage(const std::string& path, std::uint64_t bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t done = 0; done < bytes; done += block.size() * 8) {
    for (auto& w : block) {  // xorshift64*: incompressible, cheap
      x ^= x >> 12;
      x ^= x << 25;
      x ^= x >> 27;
      w = x * 0x2545F4914F6CDD1Dull;
    }
    if (std::fwrite(block.data(), 8, block.size(), f) != block.size()) {
      std::fclose(f);
      return false;
    }
  }
  return std::fclose(f) == 0;
}

double timeCat(const std::string& path) {
  const double t0 = benchNowSeconds();
  const std::string cmd = "cat '" + path + "' > /dev/null";
  if (std::system(cmd.c_str()) != 0) return -1;
  return benchNowSeconds() - t0;
}

double timeDrive(const std::string& path, std::uint64_t bytes, std::uint64_t* checksum,
                 std::uint64_t* deviceReads) {
  CachedDrive* drive = nullptr;
  if (!CachedDrive_Create(&drive)) return -1;
  auto device = Host_OpenPath(path, false, false);
  if (!device || !CachedDrive_OpenDevice(drive, std::move(device), kHostDriveFixed)) {
    CachedDrive_Destroy(drive);
    return -1;
  }
  std::uint8_t buffer[512];
  std::uint64_t sum = 0;
  const double t0 = benchNowSeconds();
  for (std::uint64_t off = 0; off < bytes; off += sizeof buffer) {
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, off, sizeof buffer, buffer, &got) || got != sizeof buffer) {
      CachedDrive_Destroy(drive);
      return -1;
    }
    sum += buffer[off % sizeof buffer];  // keep the copy observable
  }
  const double t = benchNowSeconds() - t0;
  *checksum = sum;
  *deviceReads = drive->deviceReads;
  CachedDrive_Destroy(drive);
  return t;
}

void benchThroughput(std::uint64_t mib) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/bench_drive_" +
                           std::to_string(::getpid()) + ".img";
  const std::uint64_t bytes = mib << 20;
  std::printf("(a) image %s, %llu MiB of random bytes\n", path.c_str(),
              static_cast<unsigned long long>(mib));
  if (!writeRandomImage(path, bytes)) {
    std::printf("    cannot write the image\n");
    return;
  }
  timeCat(path);  // warm the page cache
  double bestCat = 1e9, bestDrive = 1e9;
  std::uint64_t sum = 0, reads = 0;
  for (int round = 0; round < 3; ++round) {
    const double c = timeCat(path);
    const double d = timeDrive(path, bytes, &sum, &reads);
    if (c < 0 || d < 0) {
      std::printf("    read failed\n");
      std::remove(path.c_str());
      return;
    }
    bestCat = std::min(bestCat, c);
    bestDrive = std::min(bestDrive, d);
  }
  std::remove(path.c_str());
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("    cat > /dev/null             : %8.1f MB/s (best of 3)\n", mb / bestCat);
  std::printf("    CachedDrive_Read, 512 B each: %8.1f MB/s (best of 3, %llu device reads)\n",
              mb / bestDrive, static_cast<unsigned long long>(reads));
  std::printf("    ratio                       : %8.1f %% (target >= 70 %%)  [checksum %llu]\n",
              100.0 * bestCat / bestDrive, static_cast<unsigned long long>(sum));
}

void benchMapWalk() {
  constexpr std::uint64_t kBits = 1ull << 32;
  constexpr std::uint64_t kRuns = 1000;
  CachedDrive* drive = nullptr;
  if (!CachedDrive_Create(&drive) || !CachedDrive_InitMap(drive, kBits, nullptr, 0)) {
    std::printf("(b) cannot allocate the map\n");
    CachedDrive_Destroy(drive);
    return;
  }
  CachedDrive_SetMapRange(drive, 0, kBits);
  // 1000 free runs of 1..4096 bits spread over the map, at odd bit positions.
  const std::uint64_t spacing = kBits / kRuns;
  for (std::uint64_t i = 0; i < kRuns; ++i) {
    const std::uint64_t start = i * spacing + 12345 + i * 7;
    const std::uint64_t length = 1 + (i * 37) % 4096;
    for (std::uint64_t b = start; b < start + length; ++b)
      drive->map[b >> 3] = static_cast<std::uint8_t>(drive->map[b >> 3] & ~(1u << (b & 7)));
  }
  const double t0 = benchNowSeconds();
  std::uint64_t pos = 0, end = 0, runs = 0, freeBits = 0;
  while (CachedDrive_NextFreeRun(drive, &pos, &end)) {
    ++runs;
    freeBits += end - pos;
    pos = end;
  }
  const double t = benchNowSeconds() - t0;
  std::printf("(b) NextFreeRun over 2^32 bits (512 MiB): %llu runs, %llu free bits, walk %.3f s\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(freeBits), t);
  CachedDrive_Destroy(drive);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  benchThroughput(mib == 0 ? 1024 : mib);
  benchMapWalk();
  std::printf("peak RSS %llu KiB\n", static_cast<unsigned long long>(benchPeakRssKiB()));
  return 0;
}
