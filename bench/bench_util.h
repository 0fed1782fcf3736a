// Small helpers for the benchmark programs: wall clock and peak resident memory.
#pragma once

#include <cstdint>

double benchNowSeconds();
/// Peak resident set size of this process so far, in KiB.
std::uint64_t benchPeakRssKiB();
