// Shared helpers of the deep-scan tests: files made by real tools in a scratch folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace dstest {

using Bytes = std::vector<std::uint8_t>;

/// Runs @p command in @p dir (sh -c) and fails the calling test when it fails.
bool sh(const std::filesystem::path& dir, const std::string& command);
/// A file of @p n bytes of deterministic pseudo-random data.
Bytes noise(std::size_t n, std::uint32_t seed);
/// Makes one sample file of each format a tool here writes into @p dir. Returns false (and
/// records a failure) when a tool is missing or fails.
bool makeToolSamples(const std::filesystem::path& dir);

}  // namespace dstest
