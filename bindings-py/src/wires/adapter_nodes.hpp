#pragma once
// How every wire adapter builds its nodes on the caller's graph: its base
// name, its computed nodes (built as Graph.node builds one, registered under
// their names with kind "node", kept in the adapter's group when it has
// one), its state nodes, and the Node objects its getters hand out.
//
// Node construction runs outside the graph-operation guard: its faults reach
// Python as PanicException, and nodes registered before a fault stay.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"
#include "graph/topology_group.hpp"
#include "kit/errors.hpp"
#include "kit/refs.hpp"
#include "nodes/node.hpp"

namespace korvalinth::py {

// The given name unchanged (an empty one too), else the builder's default.
std::string adapter_base_name(std::optional<std::string> name, std::string_view fallback);

// Builds the computed node named in `options` over counted clones of `deps`
// with `fn`, registers it and, with a group, retains it there (a released
// group is refused before and after the registration). A dep of another graph
// is refused with the node's name. Returns the registered counted handle.
NodeHandle build_adapter_node(GraphContainer& graph, const TopologyGroupRef& group, NodeOptions options,
                              std::span<const UncountedNode> deps, SharedNodeFn fn);

// A state node without a value, as Graph.state_empty makes it, kept in the
// group like an adapter node.
NodeHandle build_adapter_state_node(GraphContainer& graph, const TopologyGroupRef& group, std::string name);

// What an adapter keeps per Python-facing node: the graph's slot and the
// counted handle, never a lookup handle.
PyNode adapter_py_node(SharedFatalSlot fatal, NodeHandle counted);

// A new Node on the same node (a counted clone), for the getters.
kit::OwnedRef adapter_node_object(const PyNode& node);

// A pending fatal stored while an adapter was built is raised without an
// adapter, once undo() has taken down what was built, so that its names are
// not held by nodes nobody can release. Should undo fault, the exception
// goes back into the slot and the fault goes on.
template <class Undo>
void raise_pending_fatal_after_build(const PendingFatalSlot& slot, Undo&& undo) {
  kit::OwnedRef exception = take_pending_fatal(slot);
  if (!exception) return;
  try {
    std::forward<Undo>(undo)();
  } catch (...) {
    record_pending_fatal(slot, std::move(exception));
    throw;
  }
  throw kit::PyErrAlreadySet(std::move(exception));
}

}  // namespace korvalinth::py
