#include "node/arena/construct.hpp"

namespace korvalinth {

namespace {

void check_deps_in_core(const CoreRef& core, const std::vector<NodeHandle>& deps) {
  for (const UncountedNode& d : deps) {
    if (d.core_id() != core->id())
      fault("node construction: dep belongs to a different graph; cross-graph deps require a wire bridge "
            "(D22/R-graph-domain)");
  }
}

// Takes the deps, the initial value, the settings and the kind text by
// reference: each is moved once, into its column. The settings' kind is not
// read. Inlined into both constructions: a call would pass its eight
// arguments once more.
[[gnu::always_inline]] inline NodeHandle occupy_node_slot(const CoreRef& core, DepList&& deps,
                                                          std::optional<DispatcherKey> key, SharedCallContext&& context,
                                                          SharedValue&& initial, NodeSpec&& spec, OptionalKindText&& kind,
                                                          TopologyHookShare&& topology_hook) {
  NodeVersionSlot version = new_node_version_slot(versioning_of(spec.versioning), initial.get());
  // Made before the slot: a slot filled and then left without its handle
  // would stay live with nothing to release it.
  SharedCount count = SharedCount::make();
  const SlotKey slot = core->borrow_mut()->occupy(NewSlotParts{
      .deps = std::move(deps),
      .topology_hook = std::move(topology_hook),
      .kind = std::move(kind),
      .key = key,
      .context = std::move(context),
      .config = static_cast<ConfigEntry&&>(spec),
      .initial = std::move(initial),
      .version = std::move(version),
  });
  return NodeHandle(core, std::move(count), slot);
}

}  // namespace

NodeHandle construct_node(const CoreRef& core, std::vector<NodeHandle> deps, std::optional<DispatcherKey> key,
                          const DispatcherRef& dispatcher, SharedValue initial, NodeSpec spec) {
  spec.pull_id.reset();
  check_deps_in_core(core, deps);
  SharedGraphHooks hooks = share_first_graph_hook(dispatcher->state().borrow()->default_graph_hook);
  return occupy_node_slot(core, DepList::for_build(std::move(deps)), key, share_call_context(dispatcher, hooks),
                          std::move(initial), std::move(spec), OptionalKindText(), TopologyHookShare());
}

NodeHandle construct_node_with_kind_and_pull_id(const CoreRef& core, DepList&& deps,
                                                std::optional<DispatcherKey> key, const DispatcherRef& dispatcher,
                                                NodeSpec&& spec, OptionalKindText&& kind, GraphInstalls installs) {
  SharedValue no_initial;
  SharedCallContext context =
      installs.context ? *installs.context : share_call_context(dispatcher, installs.hooks);
  return occupy_node_slot(core, std::move(deps), key, std::move(context), std::move(no_initial), std::move(spec),
                          std::move(kind), TopologyHookShare(installs.topology));
}

}  // namespace korvalinth
