// Folders for recovered files, for front ends.
#include <algorithm>
#include <cstring>
#include <string>

#include "host/host_output.h"
#include "undelete/undelete.h"

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

}  // extern "C"
