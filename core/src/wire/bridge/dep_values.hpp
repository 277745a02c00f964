#pragma once
// The values one dep delivered to the running node function, in delivery
// order; absent values (an INVALIDATE) are skipped.

#include <cstddef>
#include <vector>

#include "node/arena/node_fn.hpp"

namespace korvalinth {

// All of them, whatever their type; none for a dep the node does not have.
inline std::vector<SharedValue> delivered_values(const RunContext& ctx, std::size_t dep) {
  std::vector<SharedValue> out;
  if (dep >= ctx.inputs.size()) return out;
  for (const DeliveryView delivery : ctx.inputs[dep].deliveries())
    for (const SharedValue& value : delivery)
      if (value) out.push_back(value);
  return out;
}

// Those of type T; values of other types are skipped too.
template <class T>
std::vector<SharedContent<T>> collect_dep_values(const RunContext& ctx, std::size_t dep) {
  std::vector<SharedContent<T>> out;
  for (SharedValue& value : delivered_values(ctx, dep)) {
    // Shares ownership with the runtime value, points at its content.
    if (const T* typed = value_cast<T>(value)) out.emplace_back(std::move(value), typed);
  }
  return out;
}

}  // namespace korvalinth
