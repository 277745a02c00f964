#include "node/wave/quiet_settle.hpp"

#include "node/wave/quiet_settle_body.hpp"

namespace korvalinth {

bool settle_run_quietly(Arena& a, const UncountedNode& node) { return settle_run_quietly_here(a, node); }

}  // namespace korvalinth
