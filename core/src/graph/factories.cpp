// The node factories behind the node-creating Graph methods, and the
// builder restore uses for nodes with deps. Each registers the node function
// in the graph's Dispatcher, constructs the node in the graph's core with its
// kind text and pull id, and registers it in the graph.

#include "graph/graph_container.hpp"
#include "host_boundary/host_boundary.hpp"

namespace korvalinth {

namespace {

constexpr const char* kPullNotPausable = "pullId + pausable:false is invalid (R-pull / R-pause-modes)";

void refuse_pull_without_pause(const NodeSpec& spec) {
  if (spec.pull_id && spec.pausable == Pausable::False) fault(kPullNotPausable);
}

// The settings' own kind text, taken out of them.
OptionalKindText kind_of(NodeSpec& spec) { return OptionalKindText(std::move(spec.kind)); }

// Registers fn and constructs the node with its settings, kind text, pull id
// and the graph's installs; a failed construction frees the function's dispatcher slot again.
// Inlined into each factory: a call would pass the parts once more.
[[gnu::always_inline]] inline NodeHandle construct_with_fn(GraphContainer& graph, DepList&& deps, SharedNodeFn&& fn,
                                                           NodeSpec&& spec, OptionalKindText&& kind) {
  DispatcherKey key = graph.dispatcher()->register_fn(spec.partition, std::move(fn));
  try {
    return construct_node_with_kind_and_pull_id(graph.core(), std::move(deps), key, graph.dispatcher(),
                                                std::move(spec), std::move(kind), graph.node_installs());
  } catch (...) {
    graph.dispatcher()->free_slot(key);
    throw;
  }
}

}  // namespace

NodeHandle GraphContainer::node_of_list(DepList deps, SharedNodeFn fn, NodeOptions&& options) {
  HostBoundaryScope boundary;
  check_deps_same_graph(deps, options.name ? std::string_view(*options.name) : std::string_view("node"));
  NodeSpec spec = merge_option_value(options);
  refuse_pull_without_pause(spec);
  OptionalKindText kind = kind_of(spec);
  NodeHandle n = construct_with_fn(*this, std::move(deps), std::move(fn), std::move(spec), std::move(kind));
  return register_under_name_or_kind(std::move(n), KindText(SharedKind::Node), std::move(options), Installs::Held);
}

NodeHandle GraphContainer::producer(SharedNodeFn fn, std::optional<std::string> name) {
  // Default options: partition 0, no pull id, so the source body's checks pass.
  return async_source(std::move(fn), NodeOptions::named(std::move(name)));
}

NodeHandle GraphContainer::async_source(SharedNodeFn fn, NodeOptions options) {
  HostBoundaryScope boundary;
  NodeSpec spec = merge_option_value(options);
  refuse_pull_without_pause(spec);
  OptionalKindText kind = kind_of(spec);
  NodeHandle n = construct_with_fn(*this, DepList(), std::move(fn), std::move(spec), std::move(kind));
  return register_under_name_or_kind(std::move(n), KindText(SharedKind::Producer), std::move(options),
                                     Installs::Held);
}

NodeHandle GraphContainer::derived_of_list(DepList deps, SharedNodeFn fn, std::optional<std::string>&& name) {
  return add_named_dep_node(SharedKind::Derived, std::move(deps), std::move(fn), std::move(name));
}

NodeHandle GraphContainer::effect_of_list(DepList deps, SharedNodeFn fn, std::optional<std::string>&& name) {
  return add_named_dep_node(SharedKind::Effect, std::move(deps), std::move(fn), std::move(name));
}

NodeHandle GraphContainer::add_named_dep_node(SharedKind factory_kind, DepList&& deps, SharedNodeFn&& fn,
                                              std::optional<std::string>&& name) {
  HostBoundaryScope boundary;
  KindText kind(factory_kind);
  check_deps_same_graph(deps, name ? std::string_view(*name) : std::string_view(kind.text()));
  NodeSpec spec;
  if (default_versioning_) spec.versioning = *default_versioning_;
  // No pull id to refuse; the node keeps its registration kind as its kind text.
  NodeHandle n = construct_with_fn(*this, std::move(deps), std::move(fn), std::move(spec), OptionalKindText(kind));
  return register_under_name_or_kind(std::move(n), std::move(kind), std::move(name), Installs::Held);
}

NodeHandle GraphContainer::add_dep_node(SharedKind kind, NodeSpec spec, SharedNodeFn fn, DepList deps,
                                        NodeOptions options) {
  return add_dep_node_of_kind(KindText(kind), std::move(spec), std::move(fn), std::move(deps), std::move(options));
}

NodeHandle GraphContainer::add_dep_node_of_kind(KindText&& kind, NodeSpec&& spec, SharedNodeFn&& fn, DepList&& deps,
                                                NodeOptions&& options) {
  HostBoundaryScope boundary;
  check_deps_same_graph(deps, options.name ? std::string_view(*options.name) : std::string_view(kind.text()));
  // Options replace the base settings only where they differ from their defaults.
  if (options.versioning.choice != VersioningForm::Choice::GraphPolicy) {
    spec.versioning = options.versioning;
  } else if (default_versioning_) {
    spec.versioning = *default_versioning_;
  }
  if (options.kind_text) spec.kind = options.kind_text;
  if (options.pull_id) spec.pull_id = options.pull_id;
  if (options.pause_mode != Pausable::True) spec.pausable = options.pause_mode;
  if (options.dispatch_partition != 0) spec.partition = 1;
  if (options.partial) spec.partial = 1;
  if (options.terminal_as_real_input) spec.terminal_as_real_input = 1;
  if (!options.complete_when_deps_complete) spec.complete_when_deps_complete = 0;
  if (!options.error_when_deps_error) spec.error_when_deps_error = 0;
  refuse_pull_without_pause(spec);
  // Without a kind text of its own the node keeps its registration kind.
  OptionalKindText kind_text = spec.kind ? kind_of(spec) : OptionalKindText(kind);
  NodeHandle n = construct_with_fn(*this, std::move(deps), std::move(fn), std::move(spec), std::move(kind_text));
  return register_under_name_or_kind(std::move(n), std::move(kind), std::move(options), Installs::Held);
}

NodeHandle GraphContainer::state(SharedValue initial, std::optional<std::string> name) {
  HostBoundaryScope boundary;
  NodeOptions options = NodeOptions::named(std::move(name));
  NodeSpec spec = merge_option_value(options);
  NodeHandle n = construct_node(core_, {}, std::nullopt, dispatcher_, std::move(initial), std::move(spec));
  return register_under_name_or_kind(std::move(n), KindText(SharedKind::State), std::move(options), Installs::ToGive);
}

NodeHandle GraphContainer::state_empty(std::optional<std::string> name) {
  HostBoundaryScope boundary;
  return add_state_node(NodeOptions::named(std::move(name)));
}

NodeHandle GraphContainer::add_state_node(NodeOptions options) {
  // Construction keeps no kind text and no pull id, whatever the options hold.
  NodeSpec spec = merge_option_value(options);
  NodeHandle n = construct_node(core_, {}, std::nullopt, dispatcher_, nullptr, std::move(spec));
  return register_under_name_or_kind(std::move(n), KindText(SharedKind::State), std::move(options), Installs::ToGive);
}

NodeHandle restore_dep_node(GraphContainer& graph, std::string id, std::string kind, std::vector<NodeHandle> deps,
                            SharedNodeFn fn, NodeOptions options) {
  graph.check_deps_same_graph(deps, id);
  NodeSpec spec = graph.merge_option_value(options);
  refuse_pull_without_pause(spec);
  OptionalKindText kind_text(kind);  // the registration kind, whatever the options hold
  NodeHandle n = construct_with_fn(graph, DepList::for_build(std::move(deps)), std::move(fn), std::move(spec),
                                   std::move(kind_text));
  return graph.register_built_node_with_id(std::move(n), std::move(kind), std::move(id), std::move(options));
}

}  // namespace korvalinth
