// Run-time binding of libKVXDLL.so.
#include "engine_api.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

constexpr const char* kNames[] = {
#define REKOVIA_ENGINE_NAME(name, type) #name,
    REKOVIA_ENGINE_EXPORTS(REKOVIA_ENGINE_NAME) REKOVIA_ENGINE_HOST_EXPORTS(REKOVIA_ENGINE_NAME)
#undef REKOVIA_ENGINE_NAME
};

}  // namespace

const char* const* EngineApi_Names(int* count) {
  if (count != nullptr) *count = static_cast<int>(std::size(kNames));
  return kNames;
}

bool EngineApi_Load(EngineApi& api, const std::string& file, std::string& error) {
  api = EngineApi{};
  // RTLD_LOCAL: the engine's symbols stay out of the global scope (the program and Qt never
  // resolve against them by accident).
  void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : file + ": cannot be loaded";
    return false;
  }
  EngineApi bound;
  bound.module = module;
  // Every name is required: the first one missing ends the binding (the rest are not tried).
#define REKOVIA_ENGINE_BIND(name, type)          \
  {                                              \
    void* symbol = ::dlsym(module, #name);       \
    if (symbol == nullptr) {                     \
      error = file + " lacks " #name;            \
      ::dlclose(module);                         \
      return false;                              \
    }                                            \
    bound.name = reinterpret_cast<type>(symbol); \
  }
  REKOVIA_ENGINE_EXPORTS(REKOVIA_ENGINE_BIND)
  REKOVIA_ENGINE_HOST_EXPORTS(REKOVIA_ENGINE_BIND)
#undef REKOVIA_ENGINE_BIND
  api = bound;
  return true;
}

std::string EngineApi_DefaultLibrary() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    const std::string nextTo = dir + "libKVXDLL.so";
    if (::access(nextTo.c_str(), F_OK) == 0) return nextTo;
  }
  return "libKVXDLL.so";
}
