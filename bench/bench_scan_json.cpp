// kvx scan output over a million files in a thousand folders: time to stream the JSON document and
// the table, and how much resident memory writing them adds (it should be near nothing: records
// are written as they are read, never gathered).
#include <cstdio>
#include <cstring>
#include <string>

#include "json_writer.h"
#include "scan_output.h"
#include "scan_session.h"
#include "bench_util.h"
#include "core/storage.h"
#include "core/undelete_object.h"

namespace {

constexpr std::uint32_t kFolders = 1000;
constexpr std::uint32_t kFiles = 1000000;


std::u16string wide(const char* ascii) {
  std::u16string s;
  while (*ascii != 0) s.push_back(static_cast<char16_t>(*ascii++));
  return s;
}

bool fill(Undelete* u) {
  if (!Storage_Reserve(u)) return false;
  std::uint32_t root = 0;
  if (!Storage_AddFolder(u, u"X:", kNoParent, 0xFFFF, 0, false, false, &root)) return false;
  std::uint32_t first = 0;
  for (std::uint32_t f = 0; f < kFolders; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "Folder %04u", f);
    std::uint32_t index = 0;
    if (!Storage_AddFolder(u, wide(name).c_str(), root, 0, 0x01, f % 7 == 0, false, &index))
      return false;
    if (f == 0) first = index;
  }
  FileRecord r;
  std::memset(&r, 0, sizeof r);
  for (std::uint32_t i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "photo_%07u.jpg", i);
    std::uint32_t ref = 0;
    if (!Storage_AddString(u, wide(name).c_str(), &ref)) return false;
    r.name.set(ref);
    r.folder.set(first + i / (kFiles / kFolders));
    r.size.set(100000 + i);
    r.modified.set(132223824000000000ull + i * 10000000ull);
    r.status = static_cast<std::uint8_t>(i % 3 == 0 ? 1 | (5 << 1) : (4 << 1));
    r.totalClusters.set(25);
    r.overwrittenBy.set(0xFFFFFFFFu);
    for (auto& c : r.firstOverwritten) c.set(~std::uint64_t{0});
    r.location.set(1u << 12);
    if (!Storage_AddFile(u, &r, false)) return false;
  }
  Storage_SetReadOnly(u, true);
  return true;
}

/// A stream that only counts what is written to it.
ssize_t countBytes(void* cookie, const char*, size_t n) {
  *static_cast<std::uint64_t*>(cookie) += n;
  return static_cast<ssize_t>(n);
}

void measure(const char* what, const kvx::ScanSession& s, bool json) {
  std::uint64_t bytes = 0;
  cookie_io_functions_t io{};
  io.write = countBytes;
  std::FILE* out = fopencookie(&bytes, "w", io);
  if (out == nullptr) return;
  static char buffer[1 << 16];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  const std::uint64_t before = benchResidentKiB();
  const double t0 = benchNowSeconds();
  if (json) kvx::writeScanJson(s, 0, "No errors.", out);
  else kvx::writeScanTable(s, out);
  const double t1 = benchNowSeconds();
  std::fclose(out);
  const std::uint64_t after = benchResidentKiB();
  std::printf("%-6s %u files: %.2f s, %.0f files/s, %.1f MiB written, resident %+lld KiB\n", what,
              kFiles, t1 - t0, kFiles / (t1 - t0), static_cast<double>(bytes) / (1 << 20),
              static_cast<long long>(after) - static_cast<long long>(before));
}

}  // namespace

int main() {
  kvx::ScanSession session;
  Undelete* u = session.engine();
  if (u == nullptr || !fill(u)) {
    std::fprintf(stderr, "cannot fill the result storage\n");
    return 1;
  }
  std::printf("records in storage: resident %llu KiB\n", static_cast<unsigned long long>(benchResidentKiB()));
  measure("json", session, true);
  measure("table", session, false);
  std::printf("peak resident %llu KiB\n", static_cast<unsigned long long>(benchPeakRssKiB()));
  return 0;
}
