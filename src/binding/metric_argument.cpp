#include "binding/metric_argument.hpp"

#include <cmath>
#include <string>
#include <string_view>

#include "binding/converters.hpp"

namespace quarnel::binding {
namespace {

PyResult<double> convert_weight(PyObject* value, const char* parameter) {
  if (value == nullptr) return 1.0;
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return PyError::fetch().with_argument_prefix(parameter);
  // Written so that NaN fails too.
  if (!(number >= 0.0 && std::isfinite(number))) {
    return PyError(make_error(
        ErrorKind::value_error,
        std::string(parameter) + " must be a finite number of at least 0, not " + std::to_string(number)));
  }
  return number;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

PyResult<engine::MetricChoice> convert_metric(PyObject* name, PyObject* alpha, PyObject* beta) {
  engine::MetricChoice choice;
  if (name != nullptr) {
    if (!PyUnicode_Check(name)) {
      return PyError(make_error(ErrorKind::type_error, "expected str, not '" + type_name_of(name) + "'"))
          .with_argument_prefix("metric");
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) return PyError::fetch().with_argument_prefix("metric");
    const std::string_view given(text, static_cast<std::size_t>(length));
    const std::string key = lower(given);
    if (key == "tanimoto") {
      choice.kind = engine::MetricKind::tanimoto;
    } else if (key == "dice") {
      choice.kind = engine::MetricKind::dice;
    } else if (key == "cosine") {
      choice.kind = engine::MetricKind::cosine;
    } else if (key == "tversky") {
      choice.kind = engine::MetricKind::tversky;
    } else {
      return PyError(make_error(ErrorKind::value_error, "unknown metric '" + std::string(given) +
                                                            "': choose tanimoto, dice, cosine or tversky"));
    }
  }
  QUARNEL_TRY(alpha_value, convert_weight(alpha, "alpha"));
  QUARNEL_TRY(beta_value, convert_weight(beta, "beta"));
  choice.alpha = alpha_value;
  choice.beta = beta_value;
  return choice;
}

}  // namespace quarnel::binding
