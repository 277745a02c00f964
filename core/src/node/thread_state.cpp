// Per-thread state of the runtime that other translation units reach
// through small accessors.
#include "node/delivery.hpp"
#include "node/wave_scope.hpp"

namespace korvalinth {

DeliveryCounters& delivery_counters() noexcept {
  thread_local DeliveryCounters counters;
  return counters;
}

Cell<std::optional<WaveScope>>& wave_scope_cell() noexcept {
  thread_local Cell<std::optional<WaveScope>> cell;
  return cell;
}

bool wave_scope_installed() { return wave_scope_cell().borrow()->has_value(); }

}  // namespace korvalinth
