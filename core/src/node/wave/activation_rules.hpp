#pragma once
// What a new sink of a node receives and what its node's activation runs:
// the subscription delivers by these rules, and the feedback forecast
// (activation_forecast.hpp) asks them of the nodes it would activate.

#include <cstdint>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// The message a new sink receives after START: none from a node with a pull
// id, its value while it has one, DIRTY while it is dirty without one.
enum class InitialMessage : std::uint8_t { None, Data, Dirty };

inline InitialMessage initial_message_of(const ConfigEntry& config, const NodeState& state) noexcept {
  if (config.pull_id) return InitialMessage::None;
  if (state.has_data()) return InitialMessage::Data;
  return state.status() == NodeStatus::Dirty ? InitialMessage::Dirty : InitialMessage::None;
}

// Whether the node's activation runs it: a source with a function that has
// not run since its last activation.
inline bool runs_at_activation(const TopologyEntry& topology, const CallEntry& call, std::uint8_t run) noexcept {
  return topology.deps.empty() && call.key.has_value() && (run & 1) == 0;
}

}  // namespace korvalinth
