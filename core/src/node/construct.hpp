#pragma once
// Node construction: fills every column of a new slot and returns the node's
// first, counted handle. The node function is registered in the Dispatcher
// before (by the caller) and the node is registered in its graph after.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dispatcher/dispatcher.hpp"
#include "node/graph_core.hpp"

namespace korvalinth {

struct NodeSpec {
  VersioningForm versioning;  // the graph's policy by default
  std::optional<std::string> kind;
  std::optional<std::string> pull_id;
  std::uint8_t partition = 0;
  std::uint8_t partial = 0;
  std::uint8_t complete_when_deps_complete = 1;
  std::uint8_t error_when_deps_error = 1;
  std::uint8_t terminal_as_real_input = 0;
  Pausable pausable = Pausable::True;
};

NodeHandle construct_node(const CoreRef& core, std::vector<NodeHandle> deps, std::optional<DispatcherKey> key,
                          const DispatcherRef& dispatcher, SharedValue initial, NodeSpec spec);

// Writes the spec's four run flags and its versioning form into a node's
// config entry; the replaced form is dropped after the borrow.
void set_node_config(const NodeHandle& node, const NodeSpec& spec);

}  // namespace korvalinth
