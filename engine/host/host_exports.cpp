// The drive-table exports: what front ends need of the host layer (mapping images to letters,
// listing both tables, probing a source, the mounts a destination lives on, failure texts).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "host/host.h"
#include "undelete/undelete.h"

namespace {

/// Copies @p text into @p out (capacity @p size), cut and NUL-terminated.
void copyText(const std::string& text, char* out, std::size_t size) noexcept {
  if (out == nullptr || size == 0) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

std::uint8_t originOf(HostOrigin origin) noexcept {
  switch (origin) {
    case HostOrigin::Environment:
      return kUndeleteOriginEnvironment;
    case HostOrigin::ConfigFile:
      return kUndeleteOriginConfigFile;
    case HostOrigin::Added:
      return kUndeleteOriginAdded;
    case HostOrigin::Discovered:
      break;
  }
  return kUndeleteOriginDiscovered;
}

void fillDrive(const HostDrive& d, UndeleteDriveEntry* out) noexcept {
  *out = UndeleteDriveEntry{};
  out->letter = d.letter;
  out->type = static_cast<std::uint8_t>(d.type);
  out->origin = originOf(d.origin);
  copyText(d.source, out->source, sizeof out->source);
  copyText(d.path, out->path, sizeof out->path);
}

void fillDisk(const HostDisk& d, UndeleteDriveEntry* out) noexcept {
  *out = UndeleteDriveEntry{};
  out->number = d.number;
  out->origin = originOf(d.origin);
  copyText(d.path, out->source, sizeof out->source);
  copyText(d.path, out->path, sizeof out->path);
}

/// Reads the first block of an opened source (2048 bytes on an optical one).
void probe(std::unique_ptr<HostDevice> device, bool optical, UndeleteProbe* out) noexcept {
  *out = UndeleteProbe{};
  if (!device) {
    out->status = kUndeleteProbeCannotOpen;
    return;
  }
  const std::uint64_t size = device->size();
  if (size == 0) {
    out->status = kUndeleteProbeEmpty;
    return;
  }
  std::uint8_t block[2048];
  const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, optical ? 2048 : 512));
  std::uint32_t got = 0;
  errno = 0;
  if (!device->read(0, block, want, &got) || got != want) {
    out->status = kUndeleteProbeReadError;
    out->systemError = errno;
    return;
  }
  out->size = size;
  out->status = kUndeleteProbeUsable;
}

/// Runs @p fn; an allocation failure inside it is a failure with kErrMemory.
template <class Fn>
int guarded(Fn fn) noexcept {
  try {
    return fn() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    Host_SetLastError(kErrMemory);
  } catch (...) {
  }
  return 0;
}

}  // namespace

extern "C" {

int Undelete_AddDrive(const char* source, char letter, char* used) noexcept {
  return guarded([&] {
    if (source == nullptr) {
      Host_SetLastError(kErrNullPointer);
      return false;
    }
    const char got = Host_AddDrive(source, letter);
    if (used != nullptr) *used = got;
    return got != 0;
  });
}

int Undelete_GetDriveEntry(std::uint32_t index, UndeleteDriveEntry* out) noexcept {
  return guarded([&] {
    if (out == nullptr) return false;
    const auto drives = Host_ListDrives();
    if (index >= drives.size()) return false;
    fillDrive(drives[index], out);
    return true;
  });
}

int Undelete_GetDiskEntry(std::uint32_t index, UndeleteDriveEntry* out) noexcept {
  return guarded([&] {
    if (out == nullptr) return false;
    const auto disks = Host_ListDisks();
    if (index >= disks.size()) return false;
    fillDisk(disks[index], out);
    return true;
  });
}

int Undelete_FindDrive(char letter, UndeleteDriveEntry* out) noexcept {
  return guarded([&] {
    const auto drive = Host_FindDrive(letter);
    if (!drive) return false;
    if (out != nullptr) fillDrive(*drive, out);
    return true;
  });
}

int Undelete_ProbeDrive(char letter, UndeleteProbe* out) noexcept {
  return guarded([&] {
    if (out == nullptr) return false;
    const bool optical = Host_GetDriveType(letter) == kHostDriveCdRom;
    probe(Host_OpenDrive(letter, false), optical, out);
    return true;
  });
}

int Undelete_ProbeDisk(std::uint32_t number, UndeleteProbe* out) noexcept {
  return guarded([&] {
    if (out == nullptr) return false;
    probe(Host_OpenDisk(number, false), false, out);
    return true;
  });
}

int Undelete_LettersOfPath(const char* directory, char* out, std::uint32_t outSize) noexcept {
  return guarded([&] {
    if (directory == nullptr || out == nullptr || outSize == 0) return false;
    const std::string letters = Host_LettersOfPath(directory);
    if (letters.size() >= outSize) return false;
    copyText(letters, out, outSize);
    return true;
  });
}

int Undelete_GetHostError(std::uint32_t* code, char* text, std::uint32_t textSize) noexcept {
  if (code != nullptr) *code = Host_GetLastError();
  if (text != nullptr && textSize > 0) {
    text[0] = '\0';
    try {
      copyText(Host_LastErrorText(), text, textSize);
    } catch (...) {
    }
  }
  return 1;
}

}  // extern "C"
