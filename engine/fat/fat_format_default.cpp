// Default for the deep scan's question about lost FAT directories: take nothing. The format
// recovery module defines the real one, which replaces this at link time.
#include "fat/fat.h"

__attribute__((weak)) bool FAT_RecognizeFileSystem(Undelete*, std::uint64_t) noexcept {
  return false;
}
