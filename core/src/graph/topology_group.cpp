#include "graph/topology_group.hpp"

#include "node/topology/subscribe.hpp"

namespace korvalinth {

TopologyGroupRef TopologyGroup::create(std::optional<std::string> label, GraphRef graph) {
  return std::make_shared<TopologyGroup>(std::move(label), std::move(graph));
}

void TopologyGroup::check_live() const {
  if (released_) fault("topology group '" + label_.value_or("group") + "' has been released (D152)");
}

void TopologyGroup::retain(NodeHandle node) {
  {
    auto members = members_.borrow_mut();
    bool present = false;
    for (const UncountedNode& m : *members) present = present || m.same_node(node);
    if (!present) {
      members->push_back(std::move(node));
      return;
    }
  }
  node.drop();  // a duplicate, after the borrow
}

void check_retained_node(const GraphContainer& graph, const UncountedNode& node, std::string_view holder) {
  NodeHandle clone = node.promote_counted();
  const bool own = graph.owns(clone);
  clone.drop();
  if (!own) fault("graph: cannot retain node for " + std::string(holder) + "; node belongs to a different graph");
}

UnsubscribeFn subscribe_keepalive(const GraphContainer& graph, const UncountedNode& node, const std::string& label) {
  check_retained_node(graph, node, label);
  return subscribe_keepalive_core(node);
}

NodeHandle register_closure_node_fn(const TopologyGroupRef& group, const UncountedNode& dep,
                                    std::optional<std::string> name, SharedNodeFn fn) {
  std::vector<NodeHandle> deps;
  deps.push_back(dep.promote_counted());
  group->check_live();
  // The plain node factory: dep check labelled by the name (or "node"),
  // the graph's versioning, partition 0, no kind text, registration "node".
  NodeHandle node = group->graph()->node(std::move(deps), std::move(fn), NodeOptions::named(std::move(name)));
  // Observers of the registration may have released the group meanwhile;
  // the node then stays registered outside it.
  group->check_live();
  group->retain(node.promote_counted());
  return node;
}

}  // namespace korvalinth
