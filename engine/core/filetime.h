// FILETIME conversions of the engine: one epoch, one rule for a missing time, and the local-zone
// shift between the UTC that NTFS keeps and the local wall-clock time every record holds.
#pragma once

#include <time.h>

#include <cstdint>

/// FILETIME of @p seconds (and @p nanoseconds) since 1970-01-01; 0 before 1601 (no time).
[[nodiscard]] std::uint64_t FileTime_FromUnix(std::int64_t seconds,
                                              std::uint32_t nanoseconds = 0) noexcept;
/// The local wall-clock reading of UTC FILETIME @p fileTime; 0 stays 0.
[[nodiscard]] std::uint64_t FileTime_UtcToLocal(std::uint64_t fileTime) noexcept;
/// UTC of local wall-clock FILETIME @p fileTime; 0 stays 0.
[[nodiscard]] std::uint64_t FileTime_LocalToUtc(std::uint64_t fileTime) noexcept;
/// The time to give a recovered file for a record's local FILETIME: its UTC instant, before 1970
/// too; UTIME_OMIT (the file keeps its own) when the record has none.
[[nodiscard]] timespec FileTime_ToTimespec(std::uint64_t localFileTime) noexcept;
/// Now, as the local wall clock reads it.
[[nodiscard]] std::uint64_t FileTime_LocalNow() noexcept;
