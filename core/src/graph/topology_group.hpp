#pragma once
// Topology groups: labelled sets of nodes of one graph that the wire
// adapters build their machinery from and take down together. A group is
// not recorded in its graph; it lives while its builders hold it. Release
// (release_group) removes its members from the graph once nothing outside
// the group depends on them and all are quiescent; a released group refuses
// further use.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph_container.hpp"

namespace korvalinth {

class TopologyGroup;
using TopologyGroupRef = std::shared_ptr<TopologyGroup>;

class TopologyGroup {
 public:
  // A live group without members.
  static TopologyGroupRef create(std::optional<std::string> label, GraphRef graph);

  TopologyGroup(std::optional<std::string> label, GraphRef graph) noexcept
      : label_(std::move(label)), graph_(std::move(graph)) {}
  TopologyGroup(const TopologyGroup&) = delete;
  TopologyGroup& operator=(const TopologyGroup&) = delete;

  const std::optional<std::string>& label() const noexcept { return label_; }
  const GraphRef& graph() const noexcept { return graph_; }
  const Cell<std::vector<NodeHandle>>& members() const noexcept { return members_; }
  bool released() const noexcept { return released_; }

  // Faults with "topology group '{label}' has been released (D152)" once the
  // group is released.
  void check_live() const;
  // Takes the handle as a member unless a member names the same node (the
  // handle is then dropped). Does not look at the released flag.
  void retain(NodeHandle node);

 private:
  friend void release_group(const TopologyGroupRef& group, std::string_view reason);

  std::optional<std::string> label_;
  GraphRef graph_;
  Cell<std::vector<NodeHandle>> members_;
  bool released_ = false;
};

// Releases every member of the group registered in its graph: refuses while
// an outside registered node depends on one or one is busy or still
// subscribed from outside the group; otherwise removes the rows and id-map entries, retires
// the ids for good, drops observe sinks, frees the slots (dependents first)
// even while handles remain, emits NodeRemoved per member and marks the
// group released. A released group is left alone. reason fills every refusal.
void release_group(const TopologyGroupRef& group, std::string_view reason);

// Faults unless node belongs to the graph's own core; holder names who keeps it.
void check_retained_node(const GraphContainer& graph, const UncountedNode& node, std::string_view holder);

// Keeps a node of graph active and alive with the do-nothing sink. Faults
// for a node of another graph.
UnsubscribeFn subscribe_keepalive(const GraphContainer& graph, const UncountedNode& node, const std::string& label);

template <class C>
struct ClosureNodeHandle {
  std::shared_ptr<C> context;
  std::optional<NodeHandle> companion;  // always absent here
  NodeHandle node;
};

// Builds a node whose function is a native closure over one dep, registers
// it (kind "node", id the name or "node#{n}") and retains it in the group.
// Refuses a released group (also when the group is released by the
// registration's observers) and a dep of another graph.
NodeHandle register_closure_node_fn(const TopologyGroupRef& group, const UncountedNode& dep,
                                    std::optional<std::string> name, SharedNodeFn fn);

// fn is called as fn(const C& context, RunContext&) for each run.
template <class C, class F>
ClosureNodeHandle<C> register_closure_node(const TopologyGroupRef& group, const UncountedNode& dep,
                                           std::optional<std::string> name, std::shared_ptr<C> context, F fn) {
  class ClosureFn final : public NodeFn {
   public:
    ClosureFn(std::shared_ptr<C> c, F f) : context_(std::move(c)), fn_(std::move(f)) {}
    void run(RunContext& ctx) override { fn_(*context_, ctx); }

   private:
    std::shared_ptr<C> context_;
    F fn_;
  };
  NodeHandle node =
      register_closure_node_fn(group, dep, std::move(name), std::make_shared<ClosureFn>(context, std::move(fn)));
  return ClosureNodeHandle<C>{std::move(context), std::nullopt, std::move(node)};
}

}  // namespace korvalinth
