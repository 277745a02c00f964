#pragma once
// The options record of one node: what construction needs (the NodeSpec
// part) and what registration keeps in the node's row (name, restore
// reference, metadata).

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "json/strict_json.hpp"
#include "node/arena/node_entries.hpp"
#include "node/arena/versioning_form.hpp"

namespace korvalinth {

// How a node is rebuilt on restore: a ref into a restore registry, with an
// optional config and config version.
struct RegistryRef {
  std::string ref;
  std::optional<Json> config;
  std::optional<Json> config_version;
};

struct NodeOptions {
  VersioningForm versioning;  // the graph's policy by default
  std::optional<std::string> kind_text;
  std::optional<std::string> pull_id;
  std::uint8_t dispatch_partition = 0;
  bool partial = false;
  bool complete_when_deps_complete = true;
  bool error_when_deps_error = true;
  bool terminal_as_real_input = false;
  Pausable pause_mode = Pausable::True;
  std::optional<std::string> name;  // the id to register under; none: generated
  std::optional<RegistryRef> restore;
  std::map<std::string, std::string> metadata;

  static NodeOptions named(std::optional<std::string> name) {
    NodeOptions o;
    o.name = std::move(name);
    return o;
  }
  // Runs on whatever its deps delivered so far.
  static NodeOptions partial_named(std::optional<std::string> name) {
    NodeOptions o = named(std::move(name));
    o.partial = true;
    return o;
  }
  // A relay node of the wire builders: partial, and neither completes nor
  // errors with its deps.
  static NodeOptions unending(std::optional<std::string> name) {
    NodeOptions o = partial_named(std::move(name));
    o.complete_when_deps_complete = false;
    o.error_when_deps_error = false;
    return o;
  }
};

}  // namespace korvalinth
