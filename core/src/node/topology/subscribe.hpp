#pragma once
// Subscription: attaching the first sink activates a node (a dep sink on
// each dep, and one run of a source's function); removing the last sink
// deactivates it (dep subscriptions undone, per-activation state reset,
// release callbacks run).

#include <cstdint>
#include <optional>

#include "node/arena/graph_core.hpp"
#include "node/arena/sink.hpp"
#include "node/arena/unsubscribe_fn.hpp"

namespace korvalinth {

// Receives the sink id right after the sink is registered, before it is
// first called, so a caller that catches a fault knows whether it was.
using SinkRegistration = std::optional<std::uint64_t>;

// Attaches sink; delivers START and the node's initial message (DATA of the
// cache, DIRTY, or nothing) to it; activates the node on its first sink.
// dep is 1 only for a dep sink (see SinkEntry).
UnsubscribeFn subscribe_sink(const UncountedNode& node, SharedSink sink, std::uint8_t observer,
                             SinkRegistration& registration, std::uint8_t dep = 0);

// Detaches the sink with id; the last removal deactivates. A freed node or
// an unknown id is a no-op.
void unsubscribe_sink(const UncountedNode& node, std::uint64_t sink_id);

// Takes the node's observer sinks off its sink list without deactivating it
// (what a group release does before freeing the node); nothing for a node
// that is no longer current.
void drop_observer_sinks(const UncountedNode& node);

// Attaches the node's dep sink for dep i and stores its unsubscribe action.
void connect_dep(const UncountedNode& node, std::uint64_t i, const UncountedNode& dep);

// The core of Node.subscribe: host boundary, terminal refusal, and a wave
// scope of its own when none is running.
UnsubscribeFn node_subscribe(const UncountedNode& node, SharedSink subscriber);
// As node_subscribe; registration receives the sink id once the sink is
// registered, so a caller that catches a host-boundary abort can detach it.
UnsubscribeFn node_subscribe(const UncountedNode& node, SharedSink subscriber, SinkRegistration& registration);

// As node_subscribe without the host boundary, with the sink marked as an
// observer sink of Graph.observe (group release drops such sinks).
UnsubscribeFn observe_subscribe(const UncountedNode& node, SharedSink sink, SinkRegistration& registration);

// Subscribes the do-nothing sink through node, as node_subscribe does but
// without touching the host boundary (the core of subscribe_keepalive).
UnsubscribeFn subscribe_keepalive_core(const UncountedNode& node);

inline constexpr const char* kTerminalSubscribe =
    "subscribe: node is terminal and non-resubscribable \xE2\x80\x94 the stream is permanently over (R-terminal / D17)";

}  // namespace korvalinth
