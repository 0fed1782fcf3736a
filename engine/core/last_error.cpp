// The thread's last-error value (one per thread, like the platform's own).
#include "core/last_error.h"

namespace {
thread_local std::uint32_t t_lastError = 0;
}  // namespace

void Host_SetLastError(std::uint32_t code) noexcept { t_lastError = code; }

std::uint32_t Host_GetLastError() noexcept { return t_lastError; }
