#pragma once
// The two Python-facing nodes of a wire bridge: "{}/py/status" turns the
// bridge's status records into dicts, "{}/py/issues" its error texts into
// {"code", "message"} dicts. Peer bytes in a text are read lossily.

#include <string>

#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

SharedNodeFn make_py_bridge_status_fn(SharedFatalSlot fatal);
SharedNodeFn make_py_bridge_issues_fn(SharedFatalSlot fatal, std::string code);

}  // namespace korvalinth::py
