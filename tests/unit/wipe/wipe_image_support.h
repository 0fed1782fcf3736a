// Checks shared by the wipe image tests, with The Sleuth Kit as the oracle of what is allocated
// and what the live files hold.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace wipetest {

/// True when @p marker occurs anywhere in the file's bytes.
bool contains(const std::filesystem::path& file, const std::string& marker);
/// True when any file below @p dir contains @p marker.
bool treeContains(const std::filesystem::path& dir, const std::string& marker);

/// Allocation units (FAT sectors, NTFS clusters) as blkls reports them.
struct Allocation {
  std::uint64_t unitBytes = 0;
  std::vector<bool> allocated;
};
Allocation allocation(const std::filesystem::path& image, bool ntfs);

/// Units of the structures a wipe may rewrite: directories, and on NTFS the $MFT.
std::set<std::uint64_t> metadataUnits(const std::filesystem::path& image, bool ntfs);

/// Path -> MD5 of every allocated regular file (fls -r -F -u -p, icat).
std::map<std::string, std::string> liveFiles(const std::filesystem::path& image);

/// Offsets of the bytes that differ, as allocation units of @p before; each changed unit must be
/// free in @p before or a metadata unit. Returns the offending units (empty: all fine).
std::vector<std::uint64_t> changedAllocatedUnits(const std::filesystem::path& before,
                                                 const std::filesystem::path& after, bool ntfs);

/// The kvx command line with @p args appended, for run().
std::string kvx(const std::string& args);

}  // namespace wipetest
