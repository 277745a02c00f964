#pragma once
// Node construction: fills every column of a new slot and returns the node's
// first, counted handle. The node function is registered in the Dispatcher
// before (by the caller) and the node is registered in its graph after.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dispatcher/dispatcher.hpp"
#include "node/arena/dep_list.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/kind_text.hpp"
#include "node/arena/versioning_form.hpp"

namespace korvalinth {

// The node's settings plus what construction alone reads: the versioning
// form, the kind text and the Dispatcher partition its function was
// registered in.
struct NodeSpec : ConfigEntry {
  VersioningForm versioning;
  std::optional<std::string> kind;
  std::uint8_t partition = 0;
};

// Keeps the node settings' four flags and pause mode and makes the version slot
// from their versioning form; never keeps their kind
// text or pull id: a caller that wants those sets them afterwards.
NodeHandle construct_node(const CoreRef& core, std::vector<NodeHandle> deps, std::optional<DispatcherKey> key,
                          const DispatcherRef& dispatcher, SharedValue initial, NodeSpec spec);

// What a graph installs in every node it registers: its shared hooks and its
// topology hook, and the call context block of its dispatcher and hooks when
// it keeps one (else construction shares one).
struct GraphInstalls {
  const SharedGraphHooks& hooks;
  const TopologyHookShare& topology;
  const SharedCallContext* context = nullptr;
};

// As construct_node, and keeps the kind text and the settings' pull id too,
// under the same borrow of the core: what the node factories set right after
// construction, where nothing can run in between. The kind text is given on
// its own (the settings' own kind is not read): a factory's shared kind goes
// in without a text made or compared. The node holds the graph's installs
// from the start instead of the dispatcher's hook, so registration has
// nothing to replace. The factories have checked already that the deps live
// in core, so this does not check it again.
NodeHandle construct_node_with_kind_and_pull_id(const CoreRef& core, DepList&& deps,
                                                std::optional<DispatcherKey> key, const DispatcherRef& dispatcher,
                                                NodeSpec&& spec, OptionalKindText&& kind, GraphInstalls installs);

}  // namespace korvalinth
