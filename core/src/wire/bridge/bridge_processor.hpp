#pragma once
// The processor of a wire bridge: the node function of {name}/events over
// {name}/command (dep 0) and {name}/inbound (dep 1). Each run handles the
// run's inbound items first, then its commands, and reports every fact as
// one WireBridgeEvent. The session state lives in the node's aux slot from
// the first run on; deactivation forgets the pending envelopes, the counters
// stay.

#include "node/arena/node_fn.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/bridge_session.hpp"

namespace korvalinth {

SharedNodeFn make_bridge_events_fn(BridgeSession session);

// The session state of a bridge, read from its processor node (the running
// processor's own node); null before the first run.
inline SharedContent<BridgeStateCell> cached_as_bridge_record(const UncountedNode& events) {
  return aux_value_of<BridgeStateCell>(events);
}

// The session state, installed by its first user: the processor's first run,
// or a reader of the inbound node asking for a verdict before it.
inline SharedContent<BridgeStateCell> installed_bridge_state(const UncountedNode& events) {
  return installed_aux_state<BridgeStateCell>(events, "bridge state was just installed", cached_as_bridge_record);
}

// Reports, in seq order, every envelope the session accepted up to seq
// `through` that the processor has not reported yet: Cursor, Inbound, and
// for an ACK or NACK what settling it gives.
void report_acceptances(const RunContext& ctx, const BridgeStateCell& state, std::uint64_t through);

// One inbound item and one command of a run (the processor's steps).
void handle_inbound_value(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                          const SharedValue& value);
void handle_command_value(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                          const SharedValue& value);

}  // namespace korvalinth
