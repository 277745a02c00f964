#pragma once
// The restore registry: refs of "registry-ref" factories mapped to the
// descriptors that rebuild one checkpoint node each, and to the function
// definitions that restored "map" nodes apply. A descriptor is the interface
// a host binding implements for its own node kinds; the built-in "state"
// and "map" descriptors are two more implementers.

#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "checkpoint/checkpoint_records.hpp"
#include "graph/node_options.hpp"
#include "json/strict_json.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

class GraphContainer;
class RestoreDescriptor;
using SharedRestoreDescriptor = std::shared_ptr<RestoreDescriptor>;

// Maps one JSON value to another, or gives an error text.
using FunctionDefinitionFn = std::function<std::expected<Json, std::string>(const Json& value)>;

struct FunctionDefinition {
  std::string name;
  std::shared_ptr<const FunctionDefinitionFn> function;
};

// One entry: a descriptor, or a function definition for "map" configs.
using RegistryEntry = std::variant<SharedRestoreDescriptor, FunctionDefinition>;

// Ordered by byte-wise comparison of the refs. Copies share the entries.
using RestoreRegistry = std::map<std::string, RegistryEntry, std::less<>>;

// What a descriptor is given for one node; every field is borrowed for the call.
struct RestoreCreateRequest {
  std::string_view id;
  std::span<const std::string> deps;  // the node's deps, in order
  const GraphCheckpointNode& node;    // the node's whole record
  const RestoreRegistry& registry;
  const Json* config = nullptr;          // the factory's config; null when absent
  const Json* config_version = nullptr;  // the factory's configVersion; null when absent
};

// Build a depless state node (registered with kind "state").
struct StateNodeRequest {
  NodeOptions options;
  std::string kind;
};

// Build a node over the checkpoint's deps, in order, running fn; `kind` is
// its registration kind.
struct ComputedNodeRequest {
  SharedNodeFn fn;
  NodeOptions options;
  std::string kind;
};

// A node the descriptor registers itself: register_node is called once with
// the graph being restored and must register exactly one node under the
// request's id, over the checkpoint's deps in order.
class DeferredNode {
 public:
  virtual ~DeferredNode() = default;
  virtual std::expected<NodeHandle, std::string> register_node(GraphContainer& graph) = 0;
};

struct RestoreFailure {
  std::string text;
};

using RestoreOutcome = std::variant<StateNodeRequest, ComputedNodeRequest, std::unique_ptr<DeferredNode>,
                                    RestoreFailure>;

class RestoreDescriptor {
 public:
  virtual ~RestoreDescriptor() = default;
  // Named in restore's failure texts.
  virtual std::string name() const = 0;
  // Called once per checkpoint node, after the node's deps exist, with no
  // borrow held by restore. A failure builds and registers nothing.
  virtual RestoreOutcome create(const RestoreCreateRequest& request) = 0;
};

// Puts the built-in descriptors under "state" and "map", replacing entries
// of those refs.
void add_builtin_restore_descriptors(RestoreRegistry& registry);

// Puts a descriptor under ref, replacing an entry of that ref.
void add_restore_descriptor(RestoreRegistry& registry, std::string ref, SharedRestoreDescriptor descriptor);

// Puts a function definition under name (the text a "map" config's "fn"
// names), replacing an entry of that name.
void add_function_definition(RestoreRegistry& registry, std::string name, FunctionDefinitionFn function);

}  // namespace korvalinth
