// Result storage under a large scan: 2 million files with names, the second million added with
// duplicate marking over the first million (as a raw pass over an earlier directory pass does).
#include <cstdio>
#include <string>

#include "bench_util.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "undelete/undelete.h"

namespace {

constexpr std::uint32_t kEarlier = 1000000;
constexpr std::uint32_t kLater = 1000000;


bool addNamed(Undelete* u, std::uint32_t i, std::uint64_t key) {
  char16_t name[32];
  char ascii[32];
  const int n = std::snprintf(ascii, sizeof ascii, "file%08u.dat", i);
  for (int k = 0; k <= n; ++k) name[k] = static_cast<char16_t>(ascii[k]);
  std::uint32_t ref = 0;
  if (!Storage_AddString(u, name, &ref)) return false;
  FileRecord r{};
  r.name.set(ref);
  r.size.set(i * 512ull);
  r.status = static_cast<std::uint8_t>(i % 3 == 0 ? kStatusExisting : 0);
  u->scanKey = key;
  return Storage_AddFile(u, &r, false);
}

}  // namespace

int main() {
  Undelete* u = nullptr;
  if (Undelete_Create(&u) != 1 || !Storage_Reserve(u)) {
    std::printf("cannot reserve the result storage\n");
    return 1;
  }
  const std::uint64_t rssStart = benchResidentKiB();
  const double t0 = benchNowSeconds();
  for (std::uint32_t i = 0; i < kEarlier; ++i) {
    if (!addNamed(u, i, i)) {
      std::printf("add %u failed\n", i);
      return 1;
    }
  }
  const double t1 = benchNowSeconds();
  u->dupFirst = 0;
  u->dupEnd = kEarlier;
  for (std::uint32_t i = 0; i < kLater; ++i) {
    // Every other new record has a twin among the earlier ones.
    const std::uint64_t key = i % 2 == 0 ? (i * 7919ull) % kEarlier : kEarlier + i;
    if (!addNamed(u, kEarlier + i, key)) {
      std::printf("add %u failed\n", kEarlier + i);
      return 1;
    }
  }
  const double t2 = benchNowSeconds();

  std::uint32_t replaced = 0;
  for (std::uint32_t i = 0; i < kEarlier; ++i) replaced += Storage_File(u, i)->marks.get() & 1u;
  const std::uint64_t rssEnd = benchResidentKiB();
  std::printf("bench_storage: %u files, %u strings units, %u marked replaced\n",
              u->fileCount.load(), u->stringsUsed, replaced);
  std::printf("  first %u adds (no marking): %.3f s\n", kEarlier, t1 - t0);
  std::printf("  next %u adds (marking over %u): %.3f s\n", kLater, kEarlier, t2 - t1);
  std::printf("  total: %.3f s\n", t2 - t0);
  std::printf("  peak RSS: %llu KiB, RSS growth: %llu KiB\n",
              static_cast<unsigned long long>(benchPeakRssKiB()),
              static_cast<unsigned long long>(rssEnd - rssStart));
  Undelete_Delete(u);
  return replaced == kLater / 2 ? 0 : 1;
}
