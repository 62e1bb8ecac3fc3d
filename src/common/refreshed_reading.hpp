#pragma once
// A reading that costs a system call or a file under /proc and changes
// seldom, taken again only once `period` has passed since the last one.
// Each engine call checks its sizes against memory several times; reading
// the system each time cost more than a small call's whole arithmetic.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quarnel {

class RefreshedReading {
 public:
  using Read = std::uint64_t (*)();

  RefreshedReading(Read read, std::chrono::nanoseconds period) noexcept
      : read_(read), period_(period.count()) {}
  RefreshedReading(const RefreshedReading&) = delete;
  RefreshedReading& operator=(const RefreshedReading&) = delete;

  // Threads that find it stale at once each take a reading; any of them
  // is as good.
  std::uint64_t get() noexcept {
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    // acquire: pairs with the release below, so the value read next is the
    // one stored with this time or a later one.
    const std::int64_t taken = taken_at_.load(std::memory_order_acquire);
    if (taken != never && now - taken < period_) return value_.load(std::memory_order_relaxed);
    const std::uint64_t value = read_();
    value_.store(value, std::memory_order_relaxed);
    taken_at_.store(now, std::memory_order_release);
    return value;
  }

 private:
  static constexpr std::int64_t never = INT64_MIN;

  Read read_;
  std::int64_t period_;  // steady_clock ticks (nanoseconds)
  std::atomic<std::uint64_t> value_{0};
  std::atomic<std::int64_t> taken_at_{never};
};

}  // namespace quarnel
