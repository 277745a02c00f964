#pragma once
// A node connected to its deps again (activated again, or re-pointed) is
// handed each dep's current value again. For the bridge that value was
// already handled: passing it on again would send a command a second time
// under a new seq, or report an inbound envelope as stale. The filter keeps,
// per dep node, the last value passed on, and drops a run's first value of
// that dep when it is that very value (identity). Holding the value keeps
// its identity from being reused. A producer that makes its values out of
// its own deps' values is run again too when it is connected again: it must
// hand on the value it made the first time, not a new one (the edge group's
// commands node passes on the command value its traffic record carries, the
// protobuf link's decoded-inbound node the reading kept for its bytes).

#include <utility>
#include <vector>

#include "base/cell.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth {

class ReplayFilter {
 public:
  // Each dep's values of the run, in dep order, absent values skipped and
  // a replayed first value dropped; deps no longer present are forgotten.
  std::vector<std::vector<SharedValue>> fresh_values(const RunContext& ctx);

 private:
  std::vector<std::pair<SlotKey, SharedValue>> last_passed_;  // per dep node
};

using ReplayFilterCell = Cell<ReplayFilter>;

}  // namespace korvalinth
