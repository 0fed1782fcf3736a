// Shared by the session tests: tool-made FAT images, a carving image of noise with real files,
// and the result listing of an engine object as a comparable set.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "undelete/undelete.h"

namespace sessiontest {

/// A 1.44 MB FAT12 image with a few files, some of them deleted by mtools. @p seed varies the
/// contents and names so that two images give different listings. False when a tool failed.
bool makeFatImage(const std::filesystem::path& image, unsigned seed);

/// An image of @p mib MiB of pseudo-random bytes with files made by image tools and zip laid at
/// sector offsets spread over the whole image. False when a tool is missing or failed.
bool makeCarvingImage(const std::filesystem::path& dir, const std::filesystem::path& image,
                      unsigned mib);

/// One line per file record: "slot|deleted|size|state|name".
std::multiset<std::string> listing(Undelete* u);

/// Waits until the search thread has ended (at most @p seconds); false on a timeout.
bool waitIdle(Undelete* u, int seconds = 120);

}  // namespace sessiontest
