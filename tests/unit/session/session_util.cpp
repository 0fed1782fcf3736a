// Images and listings for the session tests.
#include "session_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "test_support.h"

namespace sessiontest {

using kvxtest::quote;
using kvxtest::run;

namespace {

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 97) & 0xFF);
  return v;
}

std::string narrow(const char16_t* s) {
  std::string out;
  for (; s != nullptr && *s != 0; ++s) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
  return out;
}

}  // namespace

bool makeFatImage(const std::filesystem::path& image, unsigned seed) {
  const std::string img = quote(image.string());
  const auto src = image.parent_path() / ("src" + std::to_string(seed));
  std::filesystem::create_directories(src);
  char id[16];
  std::snprintf(id, sizeof id, "%08X", 0x1234ABC0u + seed);
  if (run("mkfs.fat -C -F 12 -i " + std::string(id) + " --invariant " + img + " 1440 >/dev/null")
          .exitCode != 0)
    return false;
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
  if (run(mtools + "mmd -i " + img + " ::/DIR" + std::to_string(seed)).exitCode != 0) return false;
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"KEEP" + std::to_string(seed) + ".TXT", 3000 + seed},
      {"GONE" + std::to_string(seed) + ".BIN", 5000 + seed},
      {"DIR" + std::to_string(seed) + "/SUB" + std::to_string(seed) + ".TXT", 1500 + seed},
      {"Long name " + std::to_string(seed) + ".dat", 2500 + seed}};
  unsigned n = 0;
  for (const auto& [name, size] : files) {
    const auto local = src / ("f" + std::to_string(n));
    kvxtest::writeFile(local, pattern(size, seed * 10 + n++));
    if (run(mtools + "mcopy -i " + img + " " + quote(local.string()) + " " + quote("::/" + name))
            .exitCode != 0)
      return false;
  }
  // Copies first, deletions after: no deleted file's clusters are reused.
  for (std::size_t i = 1; i < files.size(); ++i)
    if (run(mtools + "mdel -i " + img + " " + quote("::/" + files[i].first)).exitCode != 0)
      return false;
  return true;
}

bool makeCarvingImage(const std::filesystem::path& dir, const std::filesystem::path& image,
                      unsigned mib) {
  if (!kvxtest::haveTools({"convert", "zip"})) return false;
  const std::string script = "cd " + quote(dir.string()) +
                             " && convert -size 96x64 plasma:fractal -seed 7 -quality 85 photo.jpg"
                             " && convert -size 64x48 gradient:red-blue pic.png"
                             " && convert -delay 10 -size 24x24 xc:red xc:blue xc:green anim.gif"
                             " && convert -size 33x17 gradient:white-black pic.bmp"
                             " && zip -q -X plain.zip pic.png pic.bmp";
  if (run(script).exitCode != 0) return false;
  // Noise from a fixed linear congruential generator: the same image every run.
  std::vector<std::uint8_t> bytes(std::size_t{mib} << 20);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    for (int k = 0; k < 8 && i + static_cast<std::size_t>(k) < bytes.size(); ++k)
      bytes[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(x >> (8 * k + 3));
  }
  const char* names[] = {"photo.jpg", "pic.png", "anim.gif", "pic.bmp", "plain.zip"};
  const std::uint64_t sectors = bytes.size() / 512;
  // Each file several times, spread from the first tenth to the last: finds on both sides of a
  // cancel half-way.
  int placed = 0;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 5; ++i) {
      const auto file = kvxtest::readFile(dir / names[i]);
      const std::uint64_t at =
          sectors / 10 + (sectors * 8 / 10) * static_cast<std::uint64_t>(round * 5 + i) / 20;
      if (file.empty() || (at * 512 + file.size()) > bytes.size()) return false;
      std::copy(file.begin(), file.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at * 512));
      ++placed;
    }
  }
  kvxtest::writeFile(image, bytes);
  return placed == 20;
}

std::multiset<std::string> listing(Undelete* u) {
  std::multiset<std::string> out;
  std::uint32_t count = 0;
  Undelete_GetFilesCount(u, &count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const FileRecord* r = nullptr;
    if (Undelete_GetFileInfo(u, i, &r) == 0 || r == nullptr) continue;
    const void* name = nullptr;
    Undelete_GetString(u, r->name.get(), &name);
    out.insert(std::to_string(r->location.get() & 0xFFF) + "|" +
               std::to_string((r->status & 1) == 0) + "|" + std::to_string(r->size.get()) + "|" +
               std::to_string((r->status >> 1) & 0x1F) + "|" +
               narrow(static_cast<const char16_t*>(name)));
  }
  return out;
}

bool waitIdle(Undelete* u, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (Undelete_IsSearching(u, nullptr)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace sessiontest
