#pragma once
// A wire bridge: one session of the envelope protocol on a graph, built of
// ten registered nodes (in no topology group, never released here):
//   {name}/command   state; takes WireBridgeCommand values
//   {name}/inbound   state; takes BridgeInbound values (what the peer sent)
//   {name}/events    the processor over command and inbound
//   {name}/outbound, acks, nacks, status, errors, cursor, attempts:
//                    projections over events
// Other components feed command and inbound through the producer lists
// (wire/bridge/bridge_attachments.hpp).

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/cell.hpp"
#include "graph/graph_container.hpp"
#include "wire/bridge/bridge_config.hpp"

namespace korvalinth {

// The nodes feeding one bridge state node, in attach order, no node twice;
// shared with every component that attaches to it.
using ProducerList = Cell<std::vector<NodeHandle>>;
using SharedProducerList = std::shared_ptr<ProducerList>;

// The built bridge; every handle is counted.
struct WireBridge {
  std::string session_id;
  NodeHandle inbound;
  NodeHandle command;
  NodeHandle outbound;
  NodeHandle events;
  NodeHandle acks;
  NodeHandle nacks;
  NodeHandle status;
  NodeHandle errors;
  NodeHandle cursor;
  NodeHandle attempts;
  SharedProducerList command_producers;
  SharedProducerList inbound_producers;
};

// Builds and registers the ten nodes; faults with "wire_bridge: session_id
// must be non-empty" before making anything, or with the registration's
// text (nodes registered before a failure stay registered).
WireBridge wire_bridge(GraphContainer& graph, WireBridgeConfig config);

// The bridge behind Graph._wire_bridge: backoff none, max_attempts 2, the
// clock always_true; built inside the host boundary.
std::shared_ptr<WireBridge> wire_bridge_entry(GraphContainer& graph, std::string_view session_id,
                                              std::optional<std::string> name);

}  // namespace korvalinth
