#include "node/topology/subscribe.hpp"

#include "base/index_fault.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/arena/noop_sink.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/feedback_check.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

void activate(const UncountedNode& node) {
  std::vector<UncountedNode> deps;
  std::vector<std::optional<UnsubscribeFn>> old_unsubscribe;
  std::vector<std::shared_ptr<DepIndexCell>> old_cells;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    const std::size_t n = s.topology.deps.size();
    make_dep_states_if_none(s.edge, n);
    s.edge.state.activate();
    // Connections left from before go uncalled; each is made anew below.
    for (DepLink& link : s.edge.dep_links) {
      if (link.unsubscribe) old_unsubscribe.push_back(std::exchange(link.unsubscribe, std::nullopt));
      if (link.cell) old_cells.push_back(std::move(link.cell));
    }
    s.edge.dep_links.resize(n);
    deps.reserve(n);
    for (const NodeHandle& d : s.topology.deps) deps.push_back(d.uncounted());
  }
  old_unsubscribe.clear();  // dropped uncalled
  old_cells.clear();
  for (std::size_t i = 0; i < deps.size(); ++i) connect_dep(node, i, deps[i]);
  bool run_source;
  {
    auto a = node.core_ref().borrow();
    LiveSlotsView s = live_slots(*a, node.key());
    run_source = s.topology.deps.empty() && s.call.key.has_value() && (s.run & 1) == 0;
  }
  if (run_source) run_wave(node);
}

}  // namespace

UnsubscribeFn subscribe_sink(const UncountedNode& node, SharedSink sink, std::uint8_t observer,
                             SinkRegistration& registration, std::uint8_t dep) {
  check_stack_headroom();
  std::uint64_t id;
  std::optional<Message> initial;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    id = s.aux.next_sink_id;
    s.aux.next_sink_id += 1;
    s.aux.sinks.add(SinkEntry{sink, id, observer, dep});
    if (s.config.pull_id) {
    } else if (s.edge.state.has_data()) {
      if (!s.edge.cache) fault("has_data \xE2\x87\x92 cache present");
      initial = Message::data(s.edge.cache);
    } else if (s.edge.state.status() == NodeStatus::Dirty) {
      initial = Message::dirty();
    }
  }
  registration = id;
  sink->call(start_message());
  if (initial) {
    sink->call(*initial);
    initial.reset();
  }
  bool activated;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    activated = a->edge_at(node.index()).state.activated();
  }
  if (!activated) activate(node);
  UnsubscribeFn action(id, node.promote_counted());
  sink.reset();
  return action;
}

namespace {

void store_dep_connection(const UncountedNode& node, std::uint64_t i, UnsubscribeFn action,
                          std::shared_ptr<DepIndexCell> cell) {
  std::optional<UnsubscribeFn> old_action;
  std::shared_ptr<DepIndexCell> old_cell;
  {
    auto a = node.core_ref().borrow_mut();
    EdgeEntry& e = a->wave_edge(node.key());
    check_index(e.dep_links.size(), i);
    DepLink& link = e.dep_links[i];
    old_action = std::exchange(link.unsubscribe, std::move(action));
    old_cell = std::exchange(link.cell, std::move(cell));
    link.flag = 0;
  }
}

}  // namespace

void connect_dep(const UncountedNode& node, std::uint64_t i, const UncountedNode& dep) {
  SharedSink sink = std::make_shared<DepSink>(i, node.core(), node.count(), node.key());
  // The link reaches the index inside the sink, holding the sink for it.
  const auto link_cell = [&sink] {
    DepIndexCell* const index = &static_cast<DepSink&>(*sink).index_cell();
    return std::shared_ptr<DepIndexCell>(std::move(sink), index);
  };
  SinkRegistration registration;
  UnsubscribeFn action;
  try {
    action = subscribe_sink(dep, sink, 0, registration, 1);
  } catch (...) {
    if (registration && dep_mutation_in_flight(node)) {
      UnsubscribeFn undo(*registration, dep.promote_counted());
      undo.call();
    } else if (registration) {
      // The wave below faulted or was aborted after the dep's sink was
      // attached: the connection stays, with its action stored, so that the
      // node's deactivation (the undo of an aborted subscribe among them)
      // detaches it like any other.
      try {
        store_dep_connection(node, i, UnsubscribeFn(*registration, dep.promote_counted()), link_cell());
      } catch (...) {
        // The node or the dep is gone: nothing is left to detach.
      }
    }
    throw;
  }
  store_dep_connection(node, i, std::move(action), link_cell());
}

namespace {

UnsubscribeFn subscribe_in_own_scope(const UncountedNode& handle, SharedSink sink, SinkRegistration& registration,
                                     std::uint8_t observer = 0) {
  {
    auto a = handle.core_ref().borrow();
    if (a->wave_edge(handle.key()).state.terminal()) fault(kTerminalSubscribe);
  }
  if (wave_scope_installed()) {
    // Joining a running function's wave: refused before the sink is
    // registered when the activation would run such a function again.
    if (node_function_running()) refuse_activation_of_running_nodes(handle);
    return subscribe_sink(handle, std::move(sink), observer, registration);
  }
  std::optional<UnsubscribeFn> result;
  run_in_wave_scope(handle, [&] { result = subscribe_sink(handle, std::move(sink), observer, registration); });
  if (result) return std::move(*result);
  if (registration) return UnsubscribeFn(*registration, handle.promote_counted());
  return UnsubscribeFn();
}

}  // namespace

UnsubscribeFn node_subscribe(const UncountedNode& node, SharedSink subscriber) {
  SinkRegistration registration;
  return node_subscribe(node, std::move(subscriber), registration);
}

UnsubscribeFn node_subscribe(const UncountedNode& node, SharedSink subscriber, SinkRegistration& registration) {
  HostBoundaryScope boundary;
  HeldNode handle = HeldNode::of(node);
  return subscribe_in_own_scope(handle, std::move(subscriber), registration);
}

UnsubscribeFn observe_subscribe(const UncountedNode& node, SharedSink sink, SinkRegistration& registration) {
  return subscribe_in_own_scope(node, std::move(sink), registration, 1);
}

UnsubscribeFn subscribe_keepalive_core(const UncountedNode& node) {
  SinkRegistration registration;
  return subscribe_in_own_scope(node, std::make_shared<NoopSink>(), registration);
}

}  // namespace korvalinth
