// Output of kvx scan: the listing as a table or as one JSON document.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "scan_session.h"

namespace kvx {

/// The JSON document {"drives", "files", "folders", "error"}; records are written as they are
/// read, so memory does not grow with the number of files.
void writeScanJson(const ScanSession& s, std::uint32_t errorCode, const std::string& errorMessage,
                   std::FILE* out);
/// The table: one line per listed file (replaced records and hidden folders left out).
void writeScanTable(const ScanSession& s, std::FILE* out);

}  // namespace kvx
