#include "engine/pool/futex.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace quarnel::engine::pool {

// The kernel reads the word itself; std::atomic<uint32_t> has the size and
// representation of a plain uint32_t on every platform we build for.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

namespace {

long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value,
           const timespec* timeout = nullptr) noexcept {
  // PRIVATE: the words never live in memory shared with another process,
  // which lets the kernel skip the shared-mapping lookup.
  return syscall(SYS_futex, const_cast<std::atomic<std::uint32_t>*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                 timeout, nullptr, 0);
}

}  // namespace

void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  // EAGAIN (value changed), EINTR and spurious returns all mean "look again",
  // which every caller does.
  futex(word, FUTEX_WAIT, expected);
}

void futex_wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept {
  // FUTEX_WAIT takes a relative timeout; ETIMEDOUT is one more "look again".
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec relative{static_cast<time_t>(seconds.count()),
                          static_cast<long>((timeout - seconds).count())};
  futex(word, FUTEX_WAIT, expected, &relative);
}

void futex_wake_one(const std::atomic<std::uint32_t>& word) noexcept { futex(word, FUTEX_WAKE, 1); }

void futex_wake_all(const std::atomic<std::uint32_t>& word) noexcept { futex(word, FUTEX_WAKE, INT_MAX); }

}  // namespace quarnel::engine::pool
