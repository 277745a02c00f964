#include "wires/wire_census.hpp"

namespace korvalinth::py {

namespace {

// The handles in a list behind a cell; a list being changed spoils the count.
template <class List, class Node>
void count_handles(const Cell<List>& cell, CoreCensus& census, Node&& node_of) {
  if (cell.is_mutably_borrowed()) return census.spoil();
  auto list = cell.borrow();
  for (const auto& item : *list) census.handle(node_of(item));
}

const UncountedNode& itself(const NodeHandle& node) noexcept { return node; }
const UncountedNode& subscribed(const UnsubscribeFn& action) noexcept { return action.node(); }

}  // namespace

void count_refs(const WireBridge& bridge, CoreCensus& census) {
  for (const NodeHandle* node : {&bridge.inbound, &bridge.command, &bridge.outbound, &bridge.events, &bridge.acks,
                                 &bridge.nacks, &bridge.status, &bridge.errors, &bridge.cursor, &bridge.attempts}) {
    census.handle(*node);
  }
  census.share(bridge.command_producers);
  census.share(bridge.inbound_producers);
}

void count_refs(const ProducerList& producers, CoreCensus& census) { count_handles(producers, census, itself); }

void count_refs(const TopologyGroup& group, CoreCensus& census) {
  census.share(group.graph());
  count_handles(group.members(), census, itself);
}

void count_refs(const WireEdgeGroup& group, CoreCensus& census) {
  for (const auto& [edge_id, node] : group.inbound_nodes) census.handle(node);
  if (group.gate_keepalive.is_mutably_borrowed()) return census.spoil();
  auto keepalive = group.gate_keepalive.borrow();
  if (*keepalive) census.handle((*keepalive)->node());
  census.share(group.graph);
  census.share(group.group);
  census.share(group.command_producers);
  for (const NodeHandle* node :
       {&group.status_node, &group.issues_node, &group.gate_node, &group.bridge_command_node, &group.commands_node}) {
    census.handle(*node);
  }
}

void count_refs(const SinkSubscriptions& subscriptions, CoreCensus& census) {
  if (const Cell<std::vector<UnsubscribeFn>>* actions = subscriptions.actions()) {
    count_handles(*actions, census, subscribed);
  }
}

}  // namespace korvalinth::py
