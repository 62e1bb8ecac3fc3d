#pragma once
// Which metric a call scores with, as the binding hands it over, and the
// one place where that run-time choice becomes a compile-time policy.

#include <cstdint>

#include "engine/metric_policies.hpp"

namespace quarnel::engine {

enum class MetricKind : std::uint8_t { tanimoto, dice, cosine, tversky };

struct MetricChoice {
  MetricKind kind = MetricKind::tanimoto;
  double alpha = 1.0;  // Tversky only
  double beta = 1.0;
};

// Calls body(policy) with the policy `choice` names; every driver body is
// thus instantiated once per metric.
template <class Body>
decltype(auto) with_metric(const MetricChoice& choice, Body&& body) {
  switch (choice.kind) {
    case MetricKind::dice: return body(DiceMetric{});
    case MetricKind::cosine: return body(CosineMetric{});
    case MetricKind::tversky: return body(TverskyMetric(choice.alpha, choice.beta));
    case MetricKind::tanimoto: break;
  }
  return body(TanimotoMetric{});
}

}  // namespace quarnel::engine
