// The diagnostic trace and the scan report: one line formatter, two destinations.
#include "core/log.h"

#include <cstdio>

#include "core/cached_drive.h"
#include "core/undelete_object.h"

namespace {

constexpr std::size_t kLineBuffer = kLogLineMax + 3;  // text, "\r\n", NUL

void writeTrace(const char* line, std::size_t length) noexcept {
  // One fwrite per line keeps lines from different threads whole on stderr.
  std::fwrite(line, 1, length, stderr);
}

}  // namespace

std::size_t formatLogLine(char* out, const char* format, va_list args) noexcept {
  int n = std::vsnprintf(out, kLineBuffer, format, args);
  std::size_t length = n < 0 ? 0 : static_cast<std::size_t>(n);
  if (length > kLogLineMax) length = kLogLineMax;
  while (length > 0) {
    const char c = out[length - 1];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    --length;
  }
  out[length++] = '\r';
  out[length++] = '\n';
  out[length] = '\0';
  return length;
}

void Undelete_Log(const Undelete* u, const char* format, ...) noexcept {
  if (u == nullptr || u->traceOn == 0) return;
  char line[kLineBuffer];
  va_list args;
  va_start(args, format);
  const std::size_t length = formatLogLine(line, format, args);
  va_end(args);
  writeTrace(line, length);
}

void Undelete_Report(const Undelete* u, const char* format, ...) noexcept {
  if (u == nullptr || u->reportCallback == nullptr) return;
  char line[kLineBuffer];
  va_list args;
  va_start(args, format);
  formatLogLine(line, format, args);
  va_end(args);
  u->reportCallback(u->reportContext, line);
}

void CachedDrive_Log(const CachedDrive* drive, const char* format, ...) noexcept {
  if (drive == nullptr || drive->traceOn == 0) return;
  char line[kLineBuffer];
  va_list args;
  va_start(args, format);
  const std::size_t length = formatLogLine(line, format, args);
  va_end(args);
  writeTrace(line, length);
}
