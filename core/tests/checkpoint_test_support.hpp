#pragma once
// Helpers for checkpoint and restore tests: graphs of JSON-valued nodes,
// checkpoint node records, and registries.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "checkpoint/checkpoint_writer.hpp"
#include "checkpoint/restore_build.hpp"
#include "checkpoint/restore_descriptors.hpp"
#include "json/json_value.hpp"
#include "test_support.hpp"

namespace korvalinth::test {

inline SharedValue jv(Json j) { return make_json_value(std::move(j)); }

inline Json json_of(const SharedValue& v) {
  const Json* j = json_value_cast(v);
  return j ? *j : Json("<not json>");
}

inline NodeOptions options_named(std::string id, std::optional<RegistryRef> restore = std::nullopt) {
  NodeOptions o = NodeOptions::named(std::move(id));
  o.restore = std::move(restore);
  return o;
}

// A state node registered under id, holding value when given.
inline NodeHandle add_json_state(const GraphRef& g, std::string id, std::optional<Json> value = std::nullopt,
                                 NodeOptions options = {}, NodeSpec spec = {}) {
  options.name = std::move(id);
  NodeHandle n = make_state(g->core(), value ? jv(std::move(*value)) : nullptr, std::move(spec));
  return g->register_node(std::move(n), "state", std::move(options));
}

// A node over deps running fn, registered under id with kind.
inline NodeHandle add_fn_node(const GraphRef& g, std::string id, std::vector<NodeHandle> deps, SharedNodeFn fn,
                              std::string kind = "derived", NodeOptions options = {}, NodeSpec spec = {}) {
  options.name = std::move(id);
  spec.kind = kind;
  NodeHandle n = make_node(g->core(), std::move(deps), std::move(fn), std::move(spec));
  set_node_kind(n, kind);
  return g->register_node(std::move(n), std::move(kind), std::move(options));
}

inline FunctionDefinition definition_of(std::string name, FunctionDefinitionFn fn) {
  return FunctionDefinition{std::move(name), std::make_shared<const FunctionDefinitionFn>(std::move(fn))};
}

// Doubles a JSON integer; anything else is an error text.
inline std::expected<Json, std::string> double_json(const Json& v) {
  if (!v.is_number_integer()) return std::unexpected(std::string("double: not an integer"));
  return Json(v.get<std::int64_t>() * 2);
}

// A graph-side map node equivalent to what restoring ref "map" builds.
inline NodeHandle add_map_node(const GraphRef& g, std::string id, const NodeHandle& dep, std::string fn_name,
                               FunctionDefinitionFn fn) {
  return add_fn_node(g, std::move(id), deps_of({&dep}),
                     std::make_shared<BuiltinMapNodeFn>(definition_of(fn_name, std::move(fn))), "derived",
                     options_named("", RegistryRef{"map", Json{{"fn", fn_name}}, std::nullopt}));
}

// A descriptor whose create is a callable.
struct LambdaDescriptor final : RestoreDescriptor {
  std::string label;
  std::function<RestoreOutcome(const RestoreCreateRequest&)> body;
  LambdaDescriptor(std::string l, std::function<RestoreOutcome(const RestoreCreateRequest&)> b)
      : label(std::move(l)), body(std::move(b)) {}
  std::string name() const override { return label; }
  RestoreOutcome create(const RestoreCreateRequest& request) override { return body(request); }
};

inline SharedRestoreDescriptor descriptor_of(std::string name,
                                             std::function<RestoreOutcome(const RestoreCreateRequest&)> body) {
  return std::make_shared<LambdaDescriptor>(std::move(name), std::move(body));
}

// A deferred node whose registration is a callable.
struct LambdaDeferred final : DeferredNode {
  std::function<std::expected<NodeHandle, std::string>(GraphContainer&)> body;
  explicit LambdaDeferred(std::function<std::expected<NodeHandle, std::string>(GraphContainer&)> b)
      : body(std::move(b)) {}
  std::expected<NodeHandle, std::string> register_node(GraphContainer& graph) override { return body(graph); }
};

inline RestoreOutcome deferred_of(std::function<std::expected<NodeHandle, std::string>(GraphContainer&)> body) {
  return std::make_unique<LambdaDeferred>(std::move(body));
}

// A state node whose options ask for the given versioning.
inline SharedRestoreDescriptor versioned_state_descriptor(VersioningForm::Choice choice) {
  return descriptor_of("state-v", [choice](const RestoreCreateRequest& request) -> RestoreOutcome {
    auto options = restore_node_options(request.node);
    if (!options) return RestoreFailure{options.error()};
    options->versioning.choice = choice;
    return StateNodeRequest{std::move(*options), "state"};
  });
}

inline RestoreRegistry builtin_registry() {
  RestoreRegistry r;
  add_builtin_restore_descriptors(r);
  add_function_definition(r, "double", double_json);
  return r;
}

// A checkpoint node record in object form, as the writer writes a settled,
// unversioned state node; callers adjust members.
inline Json node_record(const std::string& id, std::vector<std::string> deps = {}, std::string ref = "state") {
  return Json{{"id", id},
              {"factory", {{"kind", "registry-ref"}, {"ref", ref}}},
              {"status", "settled"},
              {"deps", deps},
              {"value", {{"kind", "SENTINEL"}}},
              {"version", {{"level", 0}, {"counter", 0}}},
              {"terminal", {{"kind", "none"}}},
              {"lifecycle", {{"activated", false}, {"hasCalledFnOnce", false}}},
              {"ctxState", {{"persist", false}, {"value", {{"kind", "SENTINEL"}}}}}};
}

// A checkpoint of nodes with one edge per distinct dep of each.
inline Json checkpoint_record(std::vector<Json> nodes, std::optional<std::string> name = std::nullopt) {
  Json edges = Json::array();
  for (const Json& n : nodes) {
    std::vector<std::string> seen;
    for (const Json& d : n["deps"]) {
      if (std::find(seen.begin(), seen.end(), d.get<std::string>()) != seen.end()) continue;
      seen.push_back(d.get<std::string>());
      edges.push_back(Json{{"from", d}, {"to", n["id"]}});
    }
  }
  Json root{{"version", "korvalinth.checkpoint.v1"}, {"nodes", nodes}, {"edges", edges}};
  if (name) root["name"] = *name;
  return root;
}

inline std::string restore_error(const Json& checkpoint, const RestoreRegistry& registry = builtin_registry()) {
  auto r = restore_graph(checkpoint, registry);
  EXPECT_FALSE(r.has_value()) << checkpoint.dump();
  return r ? std::string("<restored>") : r.error();
}

inline GraphRef restore_ok(const Json& checkpoint, const RestoreRegistry& registry = builtin_registry()) {
  auto r = restore_graph(checkpoint, registry);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error()) << "\n" << checkpoint.dump();
  return r ? *r : nullptr;
}

inline Json checkpoint_json(GraphContainer& g) {
  auto c = checkpoint_graph(g);
  EXPECT_TRUE(c.has_value()) << (c ? "" : c.error());
  return c ? serialize_checkpoint(*c) : Json();
}

inline std::string checkpoint_failure(GraphContainer& g) {
  auto c = checkpoint_graph(g);
  EXPECT_FALSE(c.has_value());
  return c ? std::string("<written>") : c.error();
}

inline NodeHandle find_node(const GraphRef& g, const std::string& id) {
  auto h = g->find(id);
  EXPECT_TRUE(h.has_value()) << id;
  return h ? std::move(*h) : NodeHandle();
}

inline bool is_activated(const UncountedNode& n) {
  auto a = n.core_ref().borrow();
  return a->edge_at(n.index()).state.activated();
}

inline std::size_t sink_count(const UncountedNode& n) {
  auto a = n.core_ref().borrow();
  return a->aux_at(n.index()).sinks.size();
}

inline bool is_terminal(const UncountedNode& n) {
  auto a = n.core_ref().borrow();
  return a->edge_at(n.index()).state.terminal();
}

}  // namespace korvalinth::test
