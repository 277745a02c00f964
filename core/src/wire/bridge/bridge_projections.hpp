#pragma once
// The node functions of the bridge's seven projections, each over
// {name}/events: they take the run's WireBridgeEvent records (other values
// are skipped) and emit, one DATA per record, what they pick out. Only
// {name}/status keeps state: its record accumulates for the node's life.

#include <string>
#include <string_view>

#include "node/arena/node_fn.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/projection_records.hpp"

namespace korvalinth {

SharedNodeFn make_bridge_outbound_fn();  // BridgeEnvelope of every Outbound
SharedNodeFn make_bridge_acks_fn();      // WireBridgeAck of every Acked
SharedNodeFn make_bridge_nacks_fn();     // WireBridgeNack of every Nacked
SharedNodeFn make_bridge_cursor_fn();    // std::uint64_t of every Cursor
SharedNodeFn make_bridge_attempts_fn();  // WireBridgeAttempt of every outbound START, DATA, CLOSE
// std::string per error fact; texts formatted here begin with bridge_name.
SharedNodeFn make_bridge_errors_fn(std::string bridge_name);
// One WireBridgeStatus per run, after all its events.
SharedNodeFn make_bridge_status_fn(std::string session_id);

// "Ack" or "Nack".
std::string_view ack_kind_name(bool is_nack) noexcept;

// The status after one more event; counters saturate, decrements stop at 0.
void fold_status_event(WireBridgeStatus& status, const WireBridgeEvent& event);

}  // namespace korvalinth
