// Session results file: the parser, the description and loading the results into the storage.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/session.h"
#include "core/storage.h"
#include "core/undelete_object.h"

namespace {

Undelete& engine() {
  static Undelete* u = [] {
    auto* e = new Undelete;
    e->pageSize = 4096;
    e->filesReserve = 1u << 22;
    e->stringsReserve = 1u << 22;
    e->foldersReserve = 1u << 22;
    return e;
  }();
  return *u;
}

bool anyLetter(char letter, void*) noexcept { return letter != 'Z'; }
bool diskOne(const SessionDrive& d, std::uint8_t* index, void*) noexcept {
  *index = 1;
  return d.disk == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SessionImage image;
  if (Session_Parse(std::span(data, size), image) != Parse::Ok) return 0;

  char text[0x4000];
  std::uint8_t driveMap[kSessionMaxDrives + 1];
  int all = 0;
  const SessionDriveLookup lookup{anyLetter, diskOne, nullptr};
  Session_Describe(image, lookup, text, sizeof text, &all, driveMap);

  Undelete& u = engine();
  if (!Storage_Reserve(&u)) return 0;
  if (Session_LoadResults(&u, image)) {
    // Everything a restored session hands out must stay inside the storage.
    char16_t path[8192];
    for (std::uint32_t i = 0; i < u.folderCount && i < 64; ++i)
      (void)Storage_FolderPath(&u, i, path, 8192);
    for (std::uint32_t i = 0; i < u.fileCount && i < 64; ++i) {
      const FileRecord* f = Storage_File(&u, i);
      const auto* name = static_cast<const char16_t*>(Storage_At(&u, f->name.get()));
      std::size_t n = 0;
      while (name != nullptr && name[n] != 0) ++n;
    }
  }
  Storage_Release(&u);
  return 0;
}
