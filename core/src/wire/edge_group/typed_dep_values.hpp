#pragma once
// The typed reading of a dependency input shared by the edge group's node
// functions: the values of one type that one dep delivered in this run, in
// delivery order. Absent values and values of other types are skipped.

#include <cstddef>
#include <memory>
#include <vector>

#include "node/node_fn.hpp"

namespace korvalinth {

template <class T>
std::vector<std::shared_ptr<const T>> collect_dep_values(const RunContext& ctx, std::size_t dep) {
  std::vector<std::shared_ptr<const T>> out;
  if (dep >= ctx.inputs.size()) return out;
  for (const DeliveryList& delivery : ctx.inputs[dep].deliveries) {
    for (const SharedValue& value : delivery) {
      // Shares ownership with the runtime value, points at its content.
      if (const T* typed = value_cast<T>(value)) out.emplace_back(value, typed);
    }
  }
  return out;
}

}  // namespace korvalinth
