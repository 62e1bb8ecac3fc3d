#pragma once
// The system's failures as plain values.  Nothing here knows about Python:
// the binding turns an Error into an exception at the module boundary.

#include <string>
#include <utility>

namespace quarnel {

enum class ErrorKind {
  type_error,
  value_error,
  overflow_error,
  runtime_error,
  memory_error,
  not_implemented_error,
  os_error,        // `os_errno` selects the OSError subclass
  internal_fault,  // a broken invariant of the module, never the caller's fault
  interrupted,     // the caller's stop check stopped the call (binding: what its handler raised)
};

struct Error {
  ErrorKind kind;
  std::string message;
  int os_errno = 0;
};

inline Error make_error(ErrorKind kind, std::string message) { return Error{kind, std::move(message), 0}; }

// "{system text} (os error {n})", the wording of every operating-system error.
std::string describe_os_error(int errnum);

inline Error os_error(int errnum) { return Error{ErrorKind::os_error, describe_os_error(errnum), errnum}; }

}  // namespace quarnel
