#pragma once
// Second phase of restore: a new graph built from a prepared checkpoint.
// Descriptors create the nodes in dependency order, children are built and
// mounted, then each node's checkpointed state is installed into its slots
// (value, status, terminal, lifecycle, ctx state, version) without
// delivering it; activation alone delivers, as any new subscription does.
// On a failure everything built is dropped and only the text is returned.

#include <expected>
#include <string>

#include "checkpoint/restore_prepare.hpp"
#include "graph/graph_container.hpp"

namespace korvalinth {

std::expected<GraphRef, std::string> restore_graph_build(const PreparedCheckpoint& prepared,
                                                         const RestoreRegistry& registry);

// Reads the JSON tree as a checkpoint, prepares it under the root path
// "checkpoint" and builds it; the first failure text of any phase.
std::expected<GraphRef, std::string> restore_graph(const Json& checkpoint, const RestoreRegistry& registry);

}  // namespace korvalinth
