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
  NewSlotEntries entries{
      TopologyEntry{std::move(deps), nullptr},
      CallEntry{std::nullopt, key, dispatcher, share_graph_hooks(std::move(hooks))},
      ConfigEntry{},
      EdgeEntry{},
      std::move(version),
      AuxEntry{},
  };
  ConfigEntry& config = entries.config;
  config.versioning = std::move(spec.versioning);
  config.partial = spec.partial;
  config.complete_when_deps_complete = spec.complete_when_deps_complete;
  config.error_when_deps_error = spec.error_when_deps_error;
  config.terminal_as_real_input = spec.terminal_as_real_input;
  config.pausable = spec.pausable;
  const std::size_t n = entries.topology.deps.size();
  EdgeEntry& edge = entries.edge;
  edge.dep_state = new_dep_state(n);
  edge.dep_links.resize(n);
  if (initial) {
    edge.cache = std::move(initial);
    edge.status = NodeStatus::Settled;
    edge.has_data = 1;
  }
  const SlotKey slot = core->borrow_mut()->occupy(std::move(entries));
  return NodeHandle(core, std::make_shared<ExternalCount>(), slot, true);
}

void set_node_config(const NodeHandle& node, const NodeSpec& spec) {
  VersioningForm replaced;
  auto a = node.core_ref().borrow_mut();
  LiveSlots s = live_slots(*a, node.key());
  s.config.partial = spec.partial;
  s.config.complete_when_deps_complete = spec.complete_when_deps_complete;
  s.config.error_when_deps_error = spec.error_when_deps_error;
  s.config.terminal_as_real_input = spec.terminal_as_real_input;
  replaced = std::exchange(s.config.versioning, spec.versioning);
}

}  // namespace korvalinth
