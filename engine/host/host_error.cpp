// Failure causes of the host layer: the engine code in the thread's last error, the text for
// people.
#include <cerrno>
#include <cstring>
#include <string>

#include "core/last_error.h"
#include "host/host_internal.h"
#include "undelete/undelete.h"

namespace {
thread_local std::string t_errorText;
}  // namespace

namespace host {

void fail(std::uint32_t code, std::string text) noexcept {
  Host_SetLastError(code);
  try {
    t_errorText = std::move(text);
  } catch (...) {
    t_errorText.clear();
  }
}

void failErrno(const std::string& what, int err) noexcept {
  const std::uint32_t code = (err == EACCES || err == EPERM) ? kErrAccessDenied : kErrOpenDrive;
  try {
    fail(code, what + ": " + std::strerror(err));
  } catch (...) {
    fail(code, {});
  }
}

}  // namespace host

std::string Host_LastErrorText() { return t_errorText; }

void Host_ClearLastError() noexcept { host::fail(0, {}); }

void Host_SetFailure(std::uint32_t code, const std::string& text) noexcept {
  try {
    host::fail(code, text);
  } catch (...) {
    host::fail(code, {});
  }
}
