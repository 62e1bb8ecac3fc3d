#include "bridge/input_error_report.hpp"

namespace quarnel::bridge {
namespace {

thread_local InputErrorReport current_mode = InputErrorReport::print;
thread_local std::optional<binding::PyError> kept_error;

}  // namespace

InputErrorScope::InputErrorScope(InputErrorReport mode) noexcept
    : outer_mode_(current_mode), outer_error_(std::move(kept_error)) {
  kept_error.reset();
  current_mode = mode;
}

InputErrorScope::~InputErrorScope() {
  kept_error = std::move(outer_error_);
  current_mode = outer_mode_;
}

std::optional<binding::PyError> InputErrorScope::take_kept_error() noexcept {
  std::optional<binding::PyError> error = std::move(kept_error);
  kept_error.reset();
  return error;
}

bool input_errors_are_kept() noexcept { return current_mode == InputErrorReport::keep; }

void report_input_error() noexcept {
  if (!input_errors_are_kept()) {
    PyErr_Print();
    PyErr_Clear();
    return;
  }
  binding::PyError error = binding::PyError::fetch();
  if (!kept_error) kept_error.emplace(std::move(error));
}

}  // namespace quarnel::bridge
