#include "graph/observe.hpp"

#include "base/drop_fault.hpp"
#include "graph/describe.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/topology/subscribe.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

UnsubscribeFn observe_node(const UncountedNode& node, SharedSink sink) {
  SinkRegistration registration;
  const bool own_scope = !wave_scope_installed();
  try {
    return observe_subscribe(node, std::move(sink), registration);
  } catch (const HostBoundaryAbort&) {
    // The abort unwound through the scope this subscription opened: its
    // sink must not stay behind.
    if (own_scope && registration) drop_quietly([&] { unsubscribe_sink(node, *registration); });
    throw;
  }
}

}  // namespace

ObserveUnsubscribeList observe(GraphContainer& graph, const ObserverSinkFactory& make_sink) {
  HostBoundaryScope boundary;
  QualifiedNodes nodes;
  collect_qualified_nodes(graph, "", nodes);
  const SeqCounter& seq = graph.topology_seq();
  ObserveUnsubscribeList actions;
  actions.reserve(nodes.size());
  try {
    for (auto& [path, node] : nodes) actions.push_back(observe_node(node, make_sink(std::move(path), seq)));
  } catch (...) {
    for (UnsubscribeFn& action : actions) drop_quietly([&] { action.call(); });
    throw;
  }
  return actions;
}

}  // namespace korvalinth
