#pragma once
// The strs of the runtime's fixed names (message kinds, node statuses), made
// once per process and shared: a subscriber receives one with every message,
// lent for the call. The GIL must be held.

#include "kit/refs.hpp"
#include "node/arena/message.hpp"

namespace korvalinth::py {

// Kept for the process: a borrowed reference serves any call.
kit::BorrowedRef message_kind_str(MessageKind kind);
kit::OwnedRef node_status_str(NodeStatus status);

}  // namespace korvalinth::py
