#pragma once
// Plants a node state that no sequence of messages reaches directly.

#include "node/arena/node_state.hpp"

namespace korvalinth {

struct NodeStateTestAccess {
  static void set(NodeState& s, NodeState::Flag f, bool on) { s.set(f, on); }
  static void set_status(NodeState& s, NodeStatus status) { s.status_ = status; }
  static void set_pending_count(NodeState& s, std::uint32_t n) { s.pending_count_ = n; }
  static std::uint16_t flags(const NodeState& s) { return s.flags_; }
};

}  // namespace korvalinth
