// The thread's last-error value: engine code below the interface leaves its error code here and
// the export that fails copies it into the engine object. Never travels in errno.
#pragma once

#include <cstdint>

void Host_SetLastError(std::uint32_t code) noexcept;
[[nodiscard]] std::uint32_t Host_GetLastError() noexcept;
