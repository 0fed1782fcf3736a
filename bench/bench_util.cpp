#include "bench_util.h"

#include <sys/resource.h>

#include <chrono>

double benchNowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t benchPeakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<std::uint64_t>(ru.ru_maxrss);
}
