#pragma once
// The ack driver's events as Python dicts: {name}/timeouts (one per
// timeout), {name}/issues (one per refused clock fact) and {name}/status
// (one per event, describing that event alone).

#include <cstdint>

#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

SharedNodeFn make_ack_driver_timeouts_fn(SharedFatalSlot fatal);
SharedNodeFn make_ack_driver_issues_fn(SharedFatalSlot fatal);
SharedNodeFn make_ack_driver_status_fn(SharedFatalSlot fatal, std::uint64_t timeout_ms);

}  // namespace korvalinth::py
