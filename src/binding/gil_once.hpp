#pragma once
// A process-wide value made on first use.  The initialiser runs holding the
// interpreter lock (it imports modules); a thread that finds another one
// initialising waits for it with the lock released, so the two cannot
// deadlock over the lock.  A failed initialisation is retried next time.

#include <Python.h>

#include <atomic>
#include <mutex>

#include "binding/py_error.hpp"

namespace quarnel::binding {

template <class T>
class GilOnce {
 public:
  template <class Init>
  PyResult<T> get(Init&& init) {
    if (ready_.load(std::memory_order_acquire)) return value_;  // pairs with the release below
    if (!mutex_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
    if (!ready_.load(std::memory_order_relaxed)) {  // the mutex orders this
      PyResult<T> made = init();
      if (!made) return made;
      value_ = made.value();
      ready_.store(true, std::memory_order_release);  // publishes value_
    }
    return value_;
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> ready_{false};
  T value_{};
};

}  // namespace quarnel::binding
