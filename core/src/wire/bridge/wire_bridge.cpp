#include "wire/bridge/wire_bridge.hpp"

#include "host_boundary/host_boundary.hpp"
#include "wire/bridge/bridge_processor.hpp"
#include "wire/bridge/bridge_projections.hpp"

namespace korvalinth {

namespace {

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
  // The command node and the processor neither complete nor error with their
  // deps (once the command node has producers, or ever for the processor,
  // which reports a terminal inbound node itself).
  bridge.command = graph.add_state_node(NodeOptions::unending(name + "/command"));
  // Partial: each producer's envelope goes on in the wave it arrives in; a
  // fan-in that waited for every producer to hold a value would keep (and
  // reorder) what one link received until every other link had received something.
  bridge.inbound = graph.add_state_node(NodeOptions::partial_named(name + "/inbound"));

  BridgeSession session{config.session_id, std::move(config.backoff), config.max_attempts,
                        config.clock ? std::move(config.clock) : WireBridgeClock(always_false)};
  NodeOptions processor = NodeOptions::unending(name + "/events");
  processor.terminal_as_real_input = true;
  bridge.events = graph.node(counted_deps_of({&bridge.command, &bridge.inbound}),
                             make_bridge_events_fn(std::move(session)), std::move(processor));
  auto projection = [&](const char* suffix, SharedNodeFn fn) {
    return graph.node(counted_deps_of({&bridge.events}), std::move(fn), NodeOptions::named(name + suffix));
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
