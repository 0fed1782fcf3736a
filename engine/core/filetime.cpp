#include "core/filetime.h"

#include <sys/stat.h>

#include <ctime>

#include "undelete/undelete.h"

namespace {

constexpr std::int64_t kTicks = static_cast<std::int64_t>(UNDELETE_FILETIME_TICKS_PER_SECOND);

/// Seconds east of UTC of the local zone at @p seconds since 1970 (UTC).
long zoneOffsetAt(std::int64_t seconds) noexcept {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return tm.tm_gmtoff;
}

std::uint64_t shift(std::uint64_t fileTime, long seconds) noexcept {
  if (fileTime == 0) return 0;
  const std::int64_t ticks = static_cast<std::int64_t>(seconds) * kTicks;
  if (ticks < 0 && fileTime <= static_cast<std::uint64_t>(-ticks)) return 0;
  return fileTime + static_cast<std::uint64_t>(ticks);
}

std::int64_t unixSeconds(std::uint64_t fileTime) noexcept {
  return static_cast<std::int64_t>(fileTime / UNDELETE_FILETIME_TICKS_PER_SECOND) -
         UNDELETE_FILETIME_UNIX_EPOCH_SECONDS;
}

}  // namespace

std::uint64_t FileTime_FromUnix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept {
  if (seconds < -UNDELETE_FILETIME_UNIX_EPOCH_SECONDS) return 0;
  return static_cast<std::uint64_t>(seconds + UNDELETE_FILETIME_UNIX_EPOCH_SECONDS) *
             UNDELETE_FILETIME_TICKS_PER_SECOND +
         nanoseconds / 100u;
}

std::uint64_t FileTime_UtcToLocal(std::uint64_t fileTime) noexcept {
  return shift(fileTime, zoneOffsetAt(unixSeconds(fileTime)));
}

std::uint64_t FileTime_LocalToUtc(std::uint64_t fileTime) noexcept {
  // The offset of the instant read as UTC: off by one only within the hour a zone changes.
  return shift(fileTime, -zoneOffsetAt(unixSeconds(fileTime)));
}

timespec FileTime_ToTimespec(std::uint64_t localFileTime) noexcept {
  timespec ts{0, UTIME_OMIT};
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  if (!UndeleteFileTimeToUnix(FileTime_LocalToUtc(localFileTime), &seconds, &nanoseconds)) {
    return ts;
  }
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(nanoseconds);
  return ts;
}

std::uint64_t FileTime_LocalNow() noexcept {
  const std::time_t now = std::time(nullptr);
  return FileTime_FromUnix(static_cast<std::int64_t>(now) + zoneOffsetAt(now));
}
