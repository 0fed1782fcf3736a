// Small helpers for the benchmark programs: wall clock and peak resident memory.
#pragma once

#include <cstdint>
#include <string>

double benchNowSeconds();
/// Peak resident set size of this process so far, in KiB.
std::uint64_t benchPeakRssKiB();

/// Resident set size of this process now, in KiB.
std::uint64_t benchResidentKiB();

/// Wall time, peak resident memory and wait status of a child command.
struct ChildRun {
  double seconds = -1;
  std::uint64_t peakKiB = 0;
  int status = -1;
};
/// Runs `sh -c command` and measures it.
ChildRun runTimed(const std::string& command);
