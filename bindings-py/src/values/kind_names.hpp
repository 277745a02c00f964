#pragma once
// The strs of the runtime's fixed names (message kinds, node statuses), made
// once per process and shared: a subscriber receives one with every message,
// lent for the call. The GIL must be held.

#include <array>
#include <cstddef>

#include "kit/refs.hpp"
#include "node/arena/message.hpp"

namespace korvalinth::py {

namespace detail {
// Filled on first use of each name and kept for the process (the module
// serves one interpreter); read inline on every message.
inline constinit std::array<PyObject*, kMessageKindCount> message_kind_strs{};
kit::BorrowedRef make_message_kind_str(MessageKind kind);
}  // namespace detail

// Kept for the process: a borrowed reference serves any call.
inline kit::BorrowedRef message_kind_str(MessageKind kind) {
  if (PyObject* made = detail::message_kind_strs[static_cast<std::size_t>(kind)]) return kit::BorrowedRef(made);
  return detail::make_message_kind_str(kind);
}
kit::OwnedRef node_status_str(NodeStatus status);

}  // namespace korvalinth::py
