// Wipe patterns: the five methods' pass tables and the engine's random generator (a
// multiplicative congruential generator; its bytes only need to be unpredictable enough that a
// wiped cluster does not repeat a known byte, not cryptographically strong).
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>

#include "core/undelete_object.h"
#include "core/wipe.h"
#include "host/host_volume_control.h"

namespace {

std::atomic<std::uint32_t> g_random{0};
std::atomic<std::uint8_t> g_remembered{0};  // the byte whose complement a later pass writes

constexpr std::uint32_t kModulus = 0x7FFFFFFF;

std::uint32_t step(std::uint32_t x) noexcept {
  if (x == 0) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    x = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms) % kModulus);
    if (x == 0) x = 1;  // 0 is a fixed point of the generator
  }
  return static_cast<std::uint32_t>((std::uint64_t{x} * 69621u) % kModulus);
}

void fillRandom(std::uint8_t* buffer, std::uint32_t length) noexcept {
  // One writer at a time is the intended use; a race only mixes two streams of random bytes.
  std::uint32_t x = g_random.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < length; ++i) {
    x = step(x);
    buffer[i] = static_cast<std::uint8_t>(x >> 8);
  }
  g_random.store(x, std::memory_order_relaxed);
}

void fillTriple(std::uint8_t* buffer, std::uint32_t length, std::uint8_t a, std::uint8_t b,
                std::uint8_t c) noexcept {
  const std::uint8_t t[3] = {a, b, c};
  for (std::uint32_t i = 0; i < length; ++i) buffer[i] = t[i % 3];
}

void fillByte(std::uint8_t* buffer, std::uint32_t length, std::uint8_t v) noexcept {
  std::memset(buffer, v, length);
}

std::uint8_t rememberNew() noexcept {
  const std::uint8_t c = Wipe_RandomByte();
  g_remembered.store(c, std::memory_order_relaxed);
  return c;
}

std::uint8_t complementOfRemembered() noexcept {
  return static_cast<std::uint8_t>(~g_remembered.load(std::memory_order_relaxed));
}

// Method 4, passes 4..30 (passes 0..3 and 31..34 are random bytes).
struct Fixed {
  std::uint8_t a, b, c;
};
constexpr std::array<Fixed, 27> kMethod4{{
    {0x55, 0x55, 0x55}, {0xAA, 0xAA, 0xAA}, {0x92, 0x49, 0x24}, {0x49, 0x24, 0x92},
    {0x24, 0x92, 0x49}, {0x00, 0x00, 0x00}, {0x11, 0x11, 0x11}, {0x22, 0x22, 0x22},
    {0x33, 0x33, 0x33}, {0x44, 0x44, 0x44}, {0x55, 0x55, 0x55}, {0x66, 0x66, 0x66},
    {0x77, 0x77, 0x77}, {0x88, 0x88, 0x88}, {0x99, 0x99, 0x99}, {0xAA, 0xAA, 0xAA},
    {0xBB, 0xBB, 0xBB}, {0xCC, 0xCC, 0xCC}, {0xDD, 0xDD, 0xDD}, {0xEE, 0xEE, 0xEE},
    {0xFF, 0xFF, 0xFF}, {0x92, 0x49, 0x24}, {0x49, 0x24, 0x92}, {0x24, 0x92, 0x49},
    {0x6D, 0xB6, 0xDB}, {0xB6, 0xDB, 0x6D}, {0xDB, 0x6D, 0xB6},
}};

}  // namespace

std::uint8_t Wipe_RandomByte() noexcept {
  std::uint8_t b = 0;
  fillRandom(&b, 1);
  return b;
}

void Wipe_SeedRandom(std::uint32_t state) noexcept {
  g_random.store(state % kModulus, std::memory_order_relaxed);
}

bool Wipe_FillPattern(std::uint32_t pass, std::uint32_t method, std::uint8_t* buffer,
                      std::uint32_t length) noexcept {
  if (method >= kWipeMethods) return false;
  if (buffer == nullptr || length == 0) return true;
  switch (method) {
    case 0:
      fillByte(buffer, length, 0);
      break;
    case 1:
      fillRandom(buffer, length);
      break;
    case 2:
      if (pass == 0 || pass == 2) fillByte(buffer, length, rememberNew());
      if (pass == 1) fillByte(buffer, length, complementOfRemembered());
      break;
    case 3:
      if (pass == 0 || pass == 4 || pass == 6) fillByte(buffer, length, rememberNew());
      if (pass == 1 || pass == 5) fillByte(buffer, length, complementOfRemembered());
      if (pass == 2 || pass == 3) fillByte(buffer, length, Wipe_RandomByte());
      break;
    default:
      if (pass < 4 || (pass >= 31 && pass <= 34)) {
        fillRandom(buffer, length);
      } else if (pass <= 30) {
        const Fixed& f = kMethod4[pass - 4];
        fillTriple(buffer, length, f.a, f.b, f.c);
      }
      break;
  }
  return true;
}

bool Wipe_WriteRun(std::uint32_t method, std::uint32_t passes, std::uint32_t length,
                   std::uint64_t offset, std::uint8_t* buffer, HostVolume& volume) noexcept {
  bool ok = true;
  for (std::uint32_t p = 0; p < passes; ++p) {
    Wipe_FillPattern(p, method, buffer, length);
    if (!volume.writeFree(offset, buffer, length)) ok = false;
  }
  return ok;
}

std::uint32_t Wipe_Method(const Undelete* u) noexcept { return u->wipeFlags >> 2; }

std::uint32_t Wipe_Passes(const Undelete* u) noexcept {
  // No passes would write nothing and still report the data destroyed.
  return std::max<std::uint32_t>(u->wipePasses, 1);
}

bool Wipe_OverwriteClusters(Undelete* u, HostVolume& volume, HostScratchFile& scratch,
                            std::uint64_t lcn, std::uint64_t count,
                            std::vector<std::uint8_t>& buffer) noexcept {
  const std::uint32_t method = Wipe_Method(u), passes = Wipe_Passes(u);
  const std::uint32_t cb = volume.bitmap().clusterBytes;
  const std::uint64_t most = std::min<std::uint64_t>(scratch.clusters(), buffer.size() / cb);
  if (cb == 0 || most == 0) return false;
  while (count > 0 && !u->cancelEvent.isSet()) {
    const std::uint64_t k = std::min(count, most);
    // All at once, halving on refusal; a single refused cluster (in use now, so no longer the
    // deleted file's) is skipped on both sides.
    std::uint64_t v = 0, t = lcn, todo = k;
    while (todo > 0) {
      std::uint64_t d = todo;
      while (d > 0 && !volume.moveFile(scratch, v, t, static_cast<std::uint32_t>(d))) d /= 2;
      if (d == 0) d = 1;
      v += d;
      t += d;
      todo -= d;
    }
    const auto bytes = static_cast<std::uint32_t>(k * cb);
    for (std::uint32_t p = 0; p < passes; ++p) {
      Wipe_FillPattern(p, method, buffer.data(), bytes);
      if (!scratch.write(0, buffer.data(), bytes)) return false;
    }
    lcn += k;
    count -= k;
  }
  return true;
}

int Wipe_CreateTemporary(int dir, const char* name) noexcept {
  return ::openat(dir, name, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
}
