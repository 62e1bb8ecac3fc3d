#pragma once
// How the bridge and the file writer report invalid input they cannot hand
// back as a value.  The module's own functions print it to standard error
// and go on with an empty set; the checked variants, which the quarnel
// package calls, keep it, and their entry point raises it.  The choice
// belongs to the calling thread for the length of one call: only that
// thread, holding the interpreter lock, reads Python objects.

#include <optional>

#include "binding/py_error.hpp"

namespace quarnel::bridge {

enum class InputErrorReport { print, keep };

// Sets the calling thread's report mode for one call and restores the
// previous one on the way out; a kept error not taken by then is dropped.
// Calls nest (a sequence's own Python code may call the module again), so
// the outer call's kept error is set aside meanwhile.
class InputErrorScope {
 public:
  explicit InputErrorScope(InputErrorReport mode) noexcept;
  ~InputErrorScope();
  InputErrorScope(const InputErrorScope&) = delete;
  InputErrorScope& operator=(const InputErrorScope&) = delete;

  // The first error kept during the call, if any.
  std::optional<binding::PyError> take_kept_error() noexcept;

 private:
  InputErrorReport outer_mode_;
  std::optional<binding::PyError> outer_error_;
};

bool input_errors_are_kept() noexcept;

// Reports the pending Python exception and leaves none pending: prints it,
// or keeps it when this thread keeps input errors (the first one wins).
void report_input_error() noexcept;

}  // namespace quarnel::bridge
