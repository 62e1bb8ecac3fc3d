#pragma once
// Sleeping and waking on a 32-bit word with the Linux futex system call.
// The pool sleeps only on words it owns itself, never on a job's memory,
// so a waker can never touch a frame that its waiter has already left.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quarnel::engine::pool {

// Blocks while `word` holds `expected`.  Returns on a wake, on a signal, at
// once when the word already differs, or spuriously: callers loop on their
// own condition.
void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// As futex_wait, and also returns once `timeout` has passed.
void futex_wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept;

// Wakes at most one thread blocked on `word`.
void futex_wake_one(const std::atomic<std::uint32_t>& word) noexcept;

// Wakes every thread blocked on `word`.
void futex_wake_all(const std::atomic<std::uint32_t>& word) noexcept;

}  // namespace quarnel::engine::pool
