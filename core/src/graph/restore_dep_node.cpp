#include "graph/graph_container.hpp"

namespace korvalinth {

NodeHandle restore_dep_node(GraphContainer& graph, std::string id, std::string kind, std::vector<NodeHandle> deps,
                            SharedNodeFn fn, NodeSpec options) {
  for (const NodeHandle& d : deps)
    if (d.core_id() != graph.core()->id())
      fault(id + " dep belongs to a different graph; cross-graph deps require a wire bridge");
  // Form 3 takes the graph's own policy when it has one.
  if (options.versioning.form == 3 && graph.default_versioning()) options.versioning = *graph.default_versioning();
  if (options.pausable == Pausable::False && options.pull_id)
    fault("pullId + pausable:false is invalid (R-pull / R-pause-modes)");
  DispatcherKey key = graph.dispatcher()->register_fn(options.partition, std::move(fn));
  NodeSpec spec = options;
  NodeHandle node = construct_node(graph.core(), std::move(deps), key, graph.dispatcher(), nullptr, std::move(spec));
  {
    VersioningForm replaced;
    auto a = graph.core()->borrow_mut();
    LiveSlots s = live_slots(*a, node.key());
    s.config.partial = options.partial;
    s.config.complete_when_deps_complete = options.complete_when_deps_complete;
    s.config.error_when_deps_error = options.error_when_deps_error;
    s.config.terminal_as_real_input = options.terminal_as_real_input;
    replaced = std::exchange(s.config.versioning, options.versioning);
    s.call.kind = kind;
  }
  set_pull_id(node, options.pull_id);
  return graph.register_node(std::move(node), std::move(kind), std::move(id));
}

}  // namespace korvalinth
