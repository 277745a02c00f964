#pragma once
// The container behind one Graph: its name, its own GraphCore, the
// Dispatcher it is bound to, and the table of nodes registered under ids.
// Registered nodes are held by counted handles, so they live while
// registered. Topology observers, groups and mounts are added on top of this.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dispatcher/dispatcher.hpp"
#include "node/cell.hpp"
#include "node/construct.hpp"
#include "node/graph_core.hpp"
#include "node/unsubscribe_fn.hpp"

namespace korvalinth {

struct NodeEntry {
  NodeHandle handle;  // counted
  std::string id;
  std::optional<std::string> name;
  std::string kind;
};

class GraphContainer;
using GraphRef = std::shared_ptr<GraphContainer>;

class GraphContainer {
 public:
  // A graph with a fresh GraphCore, bound to dispatcher (the calling thread's
  // default when none is given); timing switches the dispatcher's function
  // timing on.
  static GraphRef create(std::optional<std::string> name, DispatcherRef dispatcher = nullptr, bool timing = false);

  GraphContainer(std::optional<std::string> name, CoreRef core, DispatcherRef dispatcher);
  ~GraphContainer();
  GraphContainer(const GraphContainer&) = delete;
  GraphContainer& operator=(const GraphContainer&) = delete;

  const std::optional<std::string>& name() const noexcept { return name_; }
  const CoreRef& core() const noexcept { return core_; }
  const DispatcherRef& dispatcher() const noexcept { return dispatcher_; }
  bool timing() const noexcept { return timing_; }
  // Turns function timing on for this graph's dispatcher.
  void enable_timing();
  const GraphHooks& graph_hooks() const noexcept { return hooks_; }

  // Registers a node just constructed in this graph's core under id; returns
  // the handle it was given. Faults on a foreign node, a duplicate id or a
  // released id.
  NodeHandle register_node(NodeHandle handle, std::string kind, std::string id,
                           std::optional<std::string> name = std::nullopt);
  // A counted handle of the node registered under id.
  std::optional<NodeHandle> find(const std::string& id) const;
  std::uint64_t unnamed_counter() const noexcept { return unnamed_counter_; }
  const Cell<std::vector<NodeEntry>>& node_table() const noexcept { return node_table_; }

 private:
  std::optional<std::string> name_;
  CoreRef core_;
  DispatcherRef dispatcher_;
  GraphHooks hooks_;
  Cell<std::vector<NodeEntry>> node_table_;
  Cell<std::unordered_map<std::string, NodeHandle>> id_map_;
  Cell<std::unordered_set<std::string>> released_ids_;
  std::uint64_t unnamed_counter_ = 0;
  bool timing_ = false;
};

// Builds a node with deps for restore: checks, registers the function,
// constructs, writes the options and the kind, sets the pull id and
// registers the node under id.
NodeHandle restore_dep_node(GraphContainer& graph, std::string id, std::string kind, std::vector<NodeHandle> deps,
                            SharedNodeFn fn, NodeSpec options);

// Keeps a node of graph active and alive with the do-nothing sink. Faults
// for a node of another graph.
UnsubscribeFn subscribe_keepalive(const GraphContainer& graph, const NodeHandle& node, const std::string& label);

}  // namespace korvalinth
