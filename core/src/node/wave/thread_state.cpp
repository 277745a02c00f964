// Per-thread state of the runtime that other translation units reach
// through small accessors.
#include "node/wave/delivery.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

bool wave_scope_installed() { return wave_scope_cell().borrow()->has_value(); }

}  // namespace korvalinth
