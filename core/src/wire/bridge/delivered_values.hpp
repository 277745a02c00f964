#pragma once
// The DATA values one dep delivered to the running node function.

#include <cstddef>
#include <vector>

#include "node/node_fn.hpp"

namespace korvalinth {

// Dep `dep`'s values of this run in delivery order, absent values (an
// INVALIDATE) skipped; none for a dep the node does not have.
inline std::vector<SharedValue> delivered_values(const RunContext& ctx, std::size_t dep) {
  std::vector<SharedValue> out;
  if (dep >= ctx.inputs.size()) return out;
  for (const DeliveryList& list : ctx.inputs[dep].deliveries)
    for (const SharedValue& v : list)
      if (v) out.push_back(v);
  return out;
}

// For each value of type T that dep `dep` delivered, in order.
template <class T, class F>
void for_each_delivered(const RunContext& ctx, std::size_t dep, F&& f) {
  for (const SharedValue& v : delivered_values(ctx, dep))
    if (const T* record = value_cast<T>(v)) f(*record);
}

}  // namespace korvalinth
