#include "node/construct.hpp"

namespace korvalinth {

NodeHandle construct_node(const CoreRef& core, std::vector<NodeHandle> deps, std::optional<DispatcherKey> key,
                          const DispatcherRef& dispatcher, SharedValue initial, NodeSpec spec) {
  for (const NodeHandle& d : deps) {
    if (d.core_id() != core->id())
      fault("node construction: dep belongs to a different graph; cross-graph deps require a wire bridge "
            "(D22/R-graph-domain)");
  }
  GraphHooks hooks;
  hooks[0] = dispatcher->state().borrow()->default_graph_hook;

  NodeVersionSlot version(new_node_version_entry(versioning_of(spec.versioning), initial.get()));

  const std::size_t n = deps.size();
  TopologyEntry topology{std::move(deps), nullptr};
  CallEntry call{std::nullopt, key, dispatcher, share_graph_hooks(std::move(hooks))};
  ConfigEntry config;
  config.versioning = std::move(spec.versioning);
  config.partial = spec.partial;
  config.complete_when_deps_complete = spec.complete_when_deps_complete;
  config.error_when_deps_error = spec.error_when_deps_error;
  config.terminal_as_real_input = spec.terminal_as_real_input;
  config.pausable = spec.pausable;
  EdgeEntry edge;
  edge.dep_state = new_dep_state(n);
  edge.dep_links.resize(n);
  AuxEntry aux;

  auto a = core->borrow_mut();
  std::uint64_t index;
  std::uint64_t generation;
  if (a->free_list.empty()) {
    index = a->live.size();
    generation = 0;
    a->live.push_back(1);
    a->topology.emplace_back(std::move(topology));
    a->call.emplace_back(std::move(call));
    a->config.emplace_back(std::move(config));
    a->run.push_back(0);
    a->edge.emplace_back(std::move(edge));
    a->version.emplace_back(std::move(version));
    a->aux.emplace_back(std::move(aux));
    a->generation.push_back(0);
    a->touch.push_back(0);
    a->pin.push_back(0);
  } else {
    index = a->free_list.back();
    if (a->generation[index] == ~std::uint64_t{0}) fault("GraphCore generation overflow on slot reuse");
    a->free_list.pop_back();
    generation = ++a->generation[index];
    a->live[index] = 1;
    // Released slots hold empty entries, so nothing is dropped here.
    a->topology[index] = std::move(topology);
    a->call[index] = std::move(call);
    a->config[index] = std::move(config);
    a->run[index] = 0;
    a->edge[index] = std::move(edge);
    a->version[index] = std::move(version);
    a->aux[index] = std::move(aux);
    a->touch[index] = 0;
    a->pin[index] = 0;
  }
  if (initial) {
    EdgeEntry& e = *a->edge[index];
    e.cache = std::move(initial);
    e.status = NodeStatus::Settled;
    e.has_data = 1;
  }
  return NodeHandle(core, std::make_shared<ExternalCount>(), SlotKey{index, generation}, true);
}

}  // namespace korvalinth
