#include "bench_util.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

double benchNowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t benchPeakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<std::uint64_t>(ru.ru_maxrss);
}

std::uint64_t benchResidentKiB() {
  unsigned long size = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * 4;  // pages of 4 KiB
}

ChildRun runTimed(const std::string& command) {
  ChildRun r;
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  const double t0 = benchNowSeconds();
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
    return r;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) < 0) return r;
  r.seconds = benchNowSeconds() - t0;
  r.peakKiB = static_cast<std::uint64_t>(ru.ru_maxrss);
  r.status = status;
  return r;
}
