#include "wire/bridge/wire_bridge.hpp"

#include "host_boundary/host_boundary.hpp"
#include "wire/bridge/bridge_processor.hpp"
#include "wire/bridge/bridge_projections.hpp"

namespace korvalinth {

namespace {

struct NodeFlags {
  bool partial = false;
  bool complete_when_deps_complete = true;
  bool error_when_deps_error = true;
  bool terminal_as_real_input = false;
};

NodeOptions options_of(std::string id, NodeFlags flags) {
  NodeOptions options = NodeOptions::named(std::move(id));
  options.partial = flags.partial;
  options.complete_when_deps_complete = flags.complete_when_deps_complete;
  options.error_when_deps_error = flags.error_when_deps_error;
  options.terminal_as_real_input = flags.terminal_as_real_input;
  return options;
}

// Neither completes nor errors with its deps (once it has producers, or ever
// for the processor, which reports a terminal inbound node itself).
constexpr NodeFlags kUnending{.partial = true, .complete_when_deps_complete = false, .error_when_deps_error = false};

// Partial: each producer's envelope goes on in the wave it arrives in; a fan-in
// that waited for every producer to hold a value would keep (and reorder)
// what one link received until every other link had received something.
constexpr NodeFlags kFanIn{.partial = true};

std::vector<NodeHandle> counted_deps_of(std::initializer_list<const NodeHandle*> deps) {
  std::vector<NodeHandle> out;
  for (const NodeHandle* d : deps) out.push_back(d->promote_counted());
  return out;
}

}  // namespace

WireBridge wire_bridge(GraphContainer& graph, WireBridgeConfig config) {
  if (config.session_id.empty()) fault("wire_bridge: session_id must be non-empty");
  const std::string name = config.name.value_or("wireBridge");
  WireBridge bridge;
  bridge.session_id = config.session_id;
  bridge.command_producers = std::make_shared<ProducerList>();
  bridge.inbound_producers = std::make_shared<ProducerList>();
  bridge.command = graph.add_state_node(options_of(name + "/command", kUnending));
  bridge.inbound = graph.add_state_node(options_of(name + "/inbound", kFanIn));

  BridgeSession session{config.session_id, std::move(config.backoff), config.max_attempts,
                        config.clock ? std::move(config.clock) : WireBridgeClock(always_false)};
  NodeFlags processor = kUnending;
  processor.terminal_as_real_input = true;
  bridge.events = graph.node(counted_deps_of({&bridge.command, &bridge.inbound}),
                             make_bridge_events_fn(std::move(session)), options_of(name + "/events", processor));
  auto projection = [&](const char* suffix, SharedNodeFn fn) {
    return graph.node(counted_deps_of({&bridge.events}), std::move(fn), options_of(name + suffix, {}));
  };
  bridge.outbound = projection("/outbound", make_bridge_outbound_fn());
  bridge.acks = projection("/acks", make_bridge_acks_fn());
  bridge.nacks = projection("/nacks", make_bridge_nacks_fn());
  bridge.status = projection("/status", make_bridge_status_fn(config.session_id));
  bridge.errors = projection("/errors", make_bridge_errors_fn(name));
  bridge.cursor = projection("/cursor", make_bridge_cursor_fn());
  bridge.attempts = projection("/attempts", make_bridge_attempts_fn());
  return bridge;
}

std::shared_ptr<WireBridge> wire_bridge_entry(GraphContainer& graph, std::string_view session_id,
                                              std::optional<std::string> name) {
  HostBoundaryScope boundary;
  WireBridgeConfig config{std::string(session_id), std::move(name), retry_backoff::None{}, 2, always_true};
  return std::make_shared<WireBridge>(wire_bridge(graph, std::move(config)));
}

}  // namespace korvalinth
