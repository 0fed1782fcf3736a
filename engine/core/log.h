// The engine's two log channels: the diagnostic trace and the scan report.
#pragma once

#include <cstdarg>
#include <cstddef>

struct Undelete;
struct CachedDrive;

/// Longest line a channel delivers before "\r\n" is appended.
inline constexpr std::size_t kLogLineMax = 4093;

/// Formats printf-style into @p out (at least kLogLineMax + 3 bytes): cut at kLogLineMax
/// characters, trailing white space removed, "\r\n" appended. Returns the length written.
std::size_t formatLogLine(char* out, const char* format, va_list args) noexcept;

/// Diagnostic trace (stderr when the object's traceOn is set; KVX_TRACE=1 sets it at creation).
void Undelete_Log(const Undelete* u, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
/// Scan report, delivered to the callback of Undelete_SetVerbose.
void Undelete_Report(const Undelete* u, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
/// The drive's own trace (KVX_TRACE_DRIVE=1).
void CachedDrive_Log(const CachedDrive* drive, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
