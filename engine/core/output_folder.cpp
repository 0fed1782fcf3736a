// Folders for recovered files, and the system's reason for the last failure, for front ends.
#include <algorithm>
#include <cstring>
#include <string>

#include "host/host.h"
#include "host/host_output.h"
#include "undelete/undelete.h"

namespace {
thread_local std::string t_detail;
}  // namespace

extern "C" {

int Undelete_OpenOutputFolder(int parent, const char* name, char* chosen,
                              std::uint32_t chosenSize) noexcept {
  if (chosen != nullptr && chosenSize != 0) chosen[0] = '\0';
  if (name == nullptr) return -1;
  if (parent < 0) return Host_OpenOutputRoot(name);
  std::string used;
  const int fd = Host_OpenOutputFolder(parent, name, true, &used);
  if (fd >= 0 && chosen != nullptr && chosenSize != 0) {
    const std::size_t n = std::min<std::size_t>(used.size(), chosenSize - 1);
    std::memcpy(chosen, used.data(), n);
    chosen[n] = '\0';
  }
  return fd;
}

int Undelete_GetErrorDetail(const char** out) noexcept {
  if (out == nullptr) return 0;
  try {
    t_detail = Host_LastErrorText();
  } catch (...) {
    t_detail.clear();
  }
  *out = t_detail.c_str();
  return 1;
}

}  // extern "C"
