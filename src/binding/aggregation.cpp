#include "binding/aggregation.hpp"

namespace quarnel::binding {

Result<engine::AggregationMode> parse_aggregation(const std::optional<std::string>& text) {
  if (!text) return engine::AggregationMode::full;
  // Lower-casing only ASCII letters decides the same as Python's str.lower()
  // for these four words: the only non-ASCII characters whose lower case is
  // ASCII are U+0130 (which lowers to "i" plus a combining dot, so it still
  // cannot match) and the Kelvin sign (which lowers to "k", in none of them).
  std::string lowered = *text;
  for (char& ch : lowered) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  if (lowered == "mean") return engine::AggregationMode::mean;
  if (lowered == "max") return engine::AggregationMode::max;
  if (lowered == "min") return engine::AggregationMode::min;
  if (lowered == "full") return engine::AggregationMode::full;
  return make_error(ErrorKind::value_error,
                    "Invalid aggregation type. Choose 'full', 'mean', 'max', or 'min'.");
}

}  // namespace quarnel::binding
