#pragma once
// The checkpoint records and their JSON form. Written objects have their keys
// in ascending byte order (the JSON tree keeps them so); the reader accepts
// the object form and the positional array form, ignores unknown keys, and
// refuses malformed input with one structural error text.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/strict_json.hpp"

namespace korvalinth {

inline constexpr std::string_view kCheckpointFormatVersion = "korvalinth.checkpoint.v1";

// A node's value: "SENTINEL" (no value) or "DATA" with `data` (null is a held value).
struct GraphCheckpointValue {
  enum class Kind : std::uint8_t { Sentinel, Data };
  Kind kind = Kind::Sentinel;
  Json data;  // Data only

  static GraphCheckpointValue sentinel() { return {}; }
  static GraphCheckpointValue of_data(Json data) { return {Kind::Data, std::move(data)}; }
  bool is_data() const noexcept { return kind == Kind::Data; }
  bool operator==(const GraphCheckpointValue&) const = default;
};

// How a node is rebuilt: "registry-ref" {ref, config?, configVersion?} or
// "local-only" {name, reason}.
struct GraphCheckpointFactory {
  enum class Kind : std::uint8_t { RegistryRef, LocalOnly };
  Kind kind = Kind::RegistryRef;
  std::string ref;                     // RegistryRef
  std::optional<Json> config;          // RegistryRef
  std::optional<Json> config_version;  // RegistryRef ("configVersion")
  std::string name;                    // LocalOnly
  std::string reason;                  // LocalOnly

  static GraphCheckpointFactory registry_ref(std::string ref, std::optional<Json> config = std::nullopt,
                                             std::optional<Json> config_version = std::nullopt) {
    GraphCheckpointFactory f;
    f.ref = std::move(ref);
    f.config = std::move(config);
    f.config_version = std::move(config_version);
    return f;
  }
  static GraphCheckpointFactory local_only(std::string name, std::string reason) {
    GraphCheckpointFactory f;
    f.kind = Kind::LocalOnly;
    f.name = std::move(name);
    f.reason = std::move(reason);
    return f;
  }
  bool operator==(const GraphCheckpointFactory&) const = default;
};

// A node's terminal state: "none", "COMPLETE", or "ERROR" with `error`.
struct GraphCheckpointTerminal {
  enum class Kind : std::uint8_t { None, Complete, Error };
  Kind kind = Kind::None;
  Json error;  // Error only

  static GraphCheckpointTerminal none() { return {}; }
  static GraphCheckpointTerminal complete() { return {Kind::Complete, {}}; }
  static GraphCheckpointTerminal of_error(Json error) { return {Kind::Error, std::move(error)}; }
  bool operator==(const GraphCheckpointTerminal&) const = default;
};

struct GraphCheckpointCtxState {
  bool persist = false;
  GraphCheckpointValue value;
  bool operator==(const GraphCheckpointCtxState&) const = default;
};

struct GraphCheckpointLifecycle {
  bool activated = false;
  bool has_called_fn_once = false;  // "hasCalledFnOnce"
  bool operator==(const GraphCheckpointLifecycle&) const = default;
};

struct GraphCheckpointEdge {
  std::string from;
  std::string to;
  bool operator==(const GraphCheckpointEdge&) const = default;
};

using CheckpointMeta = Json::object_t;

// Fields in declaration order (the order of the array form).
struct GraphCheckpointNode {
  std::string id;
  std::optional<std::string> name;
  GraphCheckpointFactory factory;
  std::string status;  // a NodeStatus name; parsed by restore
  std::vector<std::string> deps;
  GraphCheckpointValue value;
  std::optional<Json> backend_state;  // "backendState"
  std::optional<Json> version;        // the node version object, carried opaque
  GraphCheckpointTerminal terminal;
  GraphCheckpointLifecycle lifecycle;
  GraphCheckpointCtxState ctx_state;  // "ctxState"
  std::optional<CheckpointMeta> meta;
  bool operator==(const GraphCheckpointNode&) const = default;
};

struct GraphCheckpointMount;

struct GraphCheckpoint {
  std::string version;  // the format id
  std::optional<std::string> name;
  std::vector<GraphCheckpointNode> nodes;
  std::vector<GraphCheckpointEdge> edges;
  std::optional<std::vector<GraphCheckpointMount>> mounts;
  bool operator==(const GraphCheckpoint&) const;
};

// A mounted child graph; it owns the child's whole checkpoint.
struct GraphCheckpointMount {
  std::string at;
  GraphCheckpoint checkpoint;
  bool operator==(const GraphCheckpointMount&) const = default;
};

inline bool GraphCheckpoint::operator==(const GraphCheckpoint& o) const {
  return version == o.version && name == o.name && nodes == o.nodes && edges == o.edges && mounts == o.mounts;
}

// The JSON object of a checkpoint (mounts recurse). Cannot fail.
Json serialize_checkpoint(const GraphCheckpoint& checkpoint);
// One node record, exactly as it stands inside "nodes". Cannot fail.
Json serialize_checkpoint_node(const GraphCheckpointNode& node);

// Reads any JSON value as a checkpoint; the first structural error is the
// result, and nothing partial is kept. Trees nested deeper than
// kCheckpointReadMaxDepth are refused before any recursive walk.
std::expected<GraphCheckpoint, std::string> deserialize_checkpoint(const Json& value);

inline constexpr std::size_t kCheckpointReadMaxDepth = 512;

}  // namespace korvalinth
