// Manual-reset event: stays set until reset; polled without waiting by the scanning loops.
#pragma once

#include <atomic>

class ManualResetEvent {
 public:
  void set() noexcept { m_set.store(true, std::memory_order_relaxed); }
  void reset() noexcept { m_set.store(false, std::memory_order_relaxed); }
  [[nodiscard]] bool isSet() const noexcept { return m_set.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_set{false};
};
