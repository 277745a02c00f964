#pragma once
// The Python facade of a wire edge group, shared by the inbound and the
// outbound builder: "{}/py/status" turns the group's status records into
// dicts, "{}/py/issues" its issues into dicts, and each "{}/py/inbound/{}"
// an inbound edge's byte strings into Python bytes. Texts that came from a
// peer (edge and cause ids, messages) are read lossily.

#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth::py {

SharedNodeFn make_py_edge_group_status_fn(SharedFatalSlot fatal);
SharedNodeFn make_py_edge_group_issues_fn(SharedFatalSlot fatal);
SharedNodeFn make_py_edge_group_inbound_fn(SharedFatalSlot fatal);

}  // namespace korvalinth::py
