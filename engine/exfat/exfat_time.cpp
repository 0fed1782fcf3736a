// Local and UTC FILETIMEs: the records keep local wall-clock times, as FAT entries hold them; exFAT
// entries with a valid UTC offset are turned into this machine's local time, and recovery turns
// the record's time back into UTC for the file it writes.
#include <ctime>

#include "exfat/exfat.h"

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

/// Seconds east of UTC of the local zone at @p fileTime.
long zoneOffsetAt(std::uint64_t fileTime) noexcept {
  if (fileTime < kUnixEpochTicks) return 0;
  const auto seconds = static_cast<std::time_t>((fileTime - kUnixEpochTicks) / kTicksPerSecond);
  std::tm tm{};
  if (localtime_r(&seconds, &tm) == nullptr) return 0;
  return tm.tm_gmtoff;
}

std::uint64_t shift(std::uint64_t fileTime, long seconds) noexcept {
  if (fileTime == 0) return 0;  // no time stays no time
  const std::int64_t ticks = static_cast<std::int64_t>(seconds) * std::int64_t{10000000};
  if (ticks < 0 && fileTime <= static_cast<std::uint64_t>(-ticks)) return 0;
  return fileTime + static_cast<std::uint64_t>(ticks);
}

}  // namespace

std::uint64_t EXFAT_UtcToLocal(std::uint64_t fileTime) noexcept {
  return shift(fileTime, zoneOffsetAt(fileTime));
}

std::uint64_t EXFAT_LocalToUtc(std::uint64_t fileTime) noexcept {
  return shift(fileTime, -zoneOffsetAt(fileTime));
}
