#pragma once
// The built-in restore descriptors "state" and "map", the node function of
// a restored "map" node, and the pieces every descriptor that builds a node
// from a checkpoint record shares: its options and the state-node build.

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "checkpoint/restore_registry.hpp"
#include "graph/graph_container.hpp"

namespace korvalinth {

// The record's options: defaults, plus its meta as metadata (every value
// must be a JSON string), its registry-ref factory as the restore
// reference, and its name.
std::expected<NodeOptions, std::string> restore_node_options(const GraphCheckpointNode& node);

// One meta member as a (key, text) pair; any value but a string is refused.
std::expected<std::pair<std::string, std::string>, std::string> meta_field_as_string(std::string_view id,
                                                                                   const std::string& key,
                                                                                   const Json& value);

// Constructs a depless node without function or value and registers it
// under id with kind "state". Refusals are faults of construction and
// registration.
NodeHandle restore_state_node(GraphContainer& graph, std::string id, NodeOptions options);

class BuiltinStateDescriptor final : public RestoreDescriptor {
 public:
  std::string name() const override { return "state"; }
  RestoreOutcome create(const RestoreCreateRequest& request) override;
};

class BuiltinMapDescriptor final : public RestoreDescriptor {
 public:
  std::string name() const override { return "map"; }
  RestoreOutcome create(const RestoreCreateRequest& request) override;
};

// Maps every JSON value its one dep delivered in the wave through the
// definition, emitting one DATA per value; other value types are skipped.
// A definition's error text is a fault with exactly that text.
class BuiltinMapNodeFn final : public NodeFn {
 public:
  explicit BuiltinMapNodeFn(FunctionDefinition definition) : definition_(std::move(definition)) {}
  void run(RunContext& ctx) override;
  const FunctionDefinition& definition() const noexcept { return definition_; }

 private:
  FunctionDefinition definition_;
};

}  // namespace korvalinth
