#pragma once
// First phase of restore: everything that can be checked on the records
// alone, before any node exists. Each node is paired with the descriptor of
// its factory ref; mounted children are prepared the same way. Nothing here
// builds, calls a descriptor, or changes its inputs.

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checkpoint/checkpoint_records.hpp"
#include "checkpoint/restore_registry.hpp"
#include "node/arena/message.hpp"

namespace korvalinth {

struct PreparedNode {
  GraphCheckpointNode node;  // a copy of the record
  std::vector<std::string> deps;
  SharedRestoreDescriptor descriptor;
};

struct PreparedCheckpoint {
  // The record's version, name and edges; its nodes are copied into
  // `nodes` and its children prepared into `mounts`.
  GraphCheckpoint checkpoint;
  std::vector<std::pair<std::string, PreparedCheckpoint>> mounts;  // in checkpoint order
  std::map<std::string, PreparedNode, std::less<>> nodes;         // by id, byte-wise
};

// Checks checkpoint against registry. path names the checkpoint in its own
// texts ("checkpoint" at the root, "{parent}.mounts.{at}" below);
// mount_prefix is the innermost mount path of a child, absent at the root.
std::expected<PreparedCheckpoint, std::string> restore_graph_prepare(const GraphCheckpoint& checkpoint,
                                                                     const RestoreRegistry& registry,
                                                                     std::string_view path,
                                                                     std::optional<std::string_view> mount_prefix);

// The status text as a NodeStatus; anything but an exact name is refused.
std::expected<NodeStatus, std::string> parse_checkpoint_status(std::string_view status, std::string_view id);

// Strict-JSON check of every JSON value the record carries but its version.
std::expected<void, std::string> check_checkpoint_node_json(const GraphCheckpointNode& node);

}  // namespace korvalinth
