// Writing recovered files: the loop every recoverer needs around write(2).
#pragma once

#include <cstddef>

/// Writes all @p length bytes to @p fd, retrying short writes and EINTR; false on any error
/// or when the file system takes nothing (a full disk).
[[nodiscard]] bool Host_WriteAll(int fd, const void* data, std::size_t length) noexcept;
