#include "wires/adapter_nodes.hpp"

namespace korvalinth::py {

namespace {

// A released group refuses members; the registration's observers may
// release it meanwhile, so it is looked at again before the retain.
template <class Build>
NodeHandle in_group(const TopologyGroupRef& group, Build&& build) {
  if (group) group->check_live();
  NodeHandle node = std::forward<Build>(build)();
  if (group) {
    group->check_live();
    group->retain(node.promote_counted());
  }
  return node;
}

}  // namespace

std::string adapter_base_name(std::optional<std::string> name, std::string_view fallback) {
  return name ? std::move(*name) : std::string(fallback);
}

NodeHandle build_adapter_node(GraphContainer& graph, const TopologyGroupRef& group, NodeOptions options,
                              std::span<const UncountedNode> deps, SharedNodeFn fn) {
  std::vector<NodeHandle> counted;
  counted.reserve(deps.size());
  for (const UncountedNode& dep : deps) counted.push_back(dep.promote_counted());
  return in_group(group, [&] { return graph.node(std::move(counted), std::move(fn), std::move(options)); });
}

NodeHandle build_adapter_state_node(GraphContainer& graph, const TopologyGroupRef& group, std::string name) {
  return in_group(group, [&] { return graph.add_state_node(NodeOptions::named(std::move(name))); });
}

PyNode adapter_py_node(SharedFatalSlot fatal, NodeHandle counted) {
  return PyNode(std::move(fatal), std::nullopt, std::move(counted));
}

kit::OwnedRef adapter_node_object(const PyNode& node) {
  // A released group leaves its nodes externally dead; a Node on one still
  // answers, and its operations report the freed slot.
  return make_node_object(node.fatal_share(), HeldNode::of(node.primary()));
}

}  // namespace korvalinth::py
