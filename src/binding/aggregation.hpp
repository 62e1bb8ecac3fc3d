#pragma once

#include <optional>
#include <string>

#include "common/result.hpp"
#include "engine/aggregation_mode.hpp"

namespace quarnel::binding {

// "mean", "max", "min" or "full" in any case; absent means "full".
Result<engine::AggregationMode> parse_aggregation(const std::optional<std::string>& text);

}  // namespace quarnel::binding
