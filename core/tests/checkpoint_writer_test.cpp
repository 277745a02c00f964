#include <gtest/gtest.h>

#include "checkpoint/backend_state_registry.hpp"
#include "checkpoint_test_support.hpp"
#include "graph/topology_group.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

NodeSpec unversioned() {
  NodeSpec s;
  s.versioning.choice = VersioningForm::Choice::Disabled;
  return s;
}

// A node computing twice its first dep's JSON integer.
SharedNodeFn doubling_fn() {
  return fn_of([](RunContext& ctx) { emit_data(ctx, jv(json_of(ctx.inputs[0].current).get<int>() * 2)); });
}

// Writes the node's runtime state directly, as a wave would leave it.
void poke(const UncountedNode& n, NodeStatus status, bool terminal) {
  auto a = n.core_ref().borrow_mut();
  NodeState& state = a->edge_at(n.index()).state;
  NodeStateTestAccess::set_status(state, status);
  NodeStateTestAccess::set(state, NodeState::Flag::Terminal, terminal);
}

struct Opaque {
  int x;
};

// Removes the thread's provider of a node when the test ends.
struct ProviderScope {
  UncountedNode node;
  ProviderScope(const UncountedNode& n, BackendStateProviderFn fn) : node(n) {
    backend_state_registry_insert(n.core_id(), n.index(), n.generation(),
                                  std::make_shared<const BackendStateProviderFn>(std::move(fn)));
  }
  ~ProviderScope() { backend_state_registry_remove(node.core_id(), node.index(), node.generation()); }
};

}  // namespace

TEST(CheckpointWriter, EmptyGraphsHaveEmptyArraysAndNoMounts) {
  auto named = GraphContainer::create("g");
  EXPECT_EQ(checkpoint_json(*named).dump(), R"({"edges":[],"name":"g","nodes":[],"version":"korvalinth.checkpoint.v1"})");
  auto unnamed = GraphContainer::create(std::nullopt);
  EXPECT_EQ(checkpoint_json(*unnamed).dump(), R"({"edges":[],"nodes":[],"version":"korvalinth.checkpoint.v1"})");
}

TEST(CheckpointWriter, WritesTheDocumentedExample) {
  auto g = GraphContainer::create("demo");
  NodeHandle count = add_json_state(g, "count", Json(2), {}, unversioned());
  NodeHandle doubled = add_fn_node(g, "doubled", deps_of({&count}), doubling_fn(), "derived",
                                   options_named("", RegistryRef{"double", Json{{"factor", 2}}, std::nullopt}),
                                   unversioned());
  Subscribed s = subscribe_recording(doubled);
  const Json expected = Json::parse(R"({
    "edges":[{"from":"count","to":"doubled"}],
    "name":"demo",
    "nodes":[
      {"ctxState":{"persist":false,"value":{"kind":"SENTINEL"}},"deps":[],
       "factory":{"kind":"registry-ref","ref":"state"},"id":"count",
       "lifecycle":{"activated":true,"hasCalledFnOnce":false},"name":"count","status":"settled",
       "terminal":{"kind":"none"},"value":{"data":2,"kind":"DATA"}},
      {"ctxState":{"persist":false,"value":{"kind":"SENTINEL"}},"deps":["count"],
       "factory":{"config":{"factor":2},"kind":"registry-ref","ref":"double"},"id":"doubled",
       "lifecycle":{"activated":true,"hasCalledFnOnce":true},"name":"doubled","status":"settled",
       "terminal":{"kind":"none"},"value":{"data":4,"kind":"DATA"}}],
    "version":"korvalinth.checkpoint.v1"})");
  EXPECT_EQ(checkpoint_json(*g), expected);
}

TEST(CheckpointWriter, FactoryRulesAndDiscoveredDeps) {
  auto g = GraphContainer::create("g");
  // Two unregistered nodes: a state without kind text under an effect node.
  NodeHandle hidden_state = make_state(g->core(), jv(1));
  NodeHandle hidden_effect = make_node(g->core(), deps_of({&hidden_state}), fn_of([](RunContext&) {}));
  set_node_kind(hidden_effect, "effect");
  NodeHandle top = add_fn_node(g, "top", deps_of({&hidden_effect}), fn_of([](RunContext&) {}), "derived");
  NodeHandle plain_state = add_json_state(g, "s", Json("x"));
  NodeHandle kept = add_fn_node(g, "kept", {}, fn_of([](RunContext&) {}), "producer",
                                options_named("", RegistryRef{"mine", Json(nullptr), Json{{"v", 1}}}));
  NodeHandle state_with_ref = add_json_state(g, "sr", std::nullopt, options_named("", RegistryRef{"custom"}));

  Json c = checkpoint_json(*g);
  const Json& nodes = c["nodes"];
  ASSERT_EQ(nodes.size(), 6u);
  std::vector<std::string> ids;
  for (const Json& n : nodes) ids.push_back(n["id"]);
  EXPECT_EQ(ids, (std::vector<std::string>{"top", "s", "kept", "sr", "~effect#0", "~?#1"}));
  EXPECT_EQ(nodes[0]["factory"], Json::parse(R"({"kind":"local-only","name":"derived",
    "reason":"node was not constructed with restore metadata"})"));
  EXPECT_EQ(nodes[1]["factory"], Json::parse(R"({"kind":"registry-ref","ref":"state"})"));
  // A restore reference is kept whatever the kind; a null config is present.
  EXPECT_EQ(nodes[2]["factory"].dump(), R"({"config":null,"configVersion":{"v":1},"kind":"registry-ref","ref":"mine"})");
  EXPECT_EQ(nodes[3]["factory"], Json::parse(R"({"kind":"registry-ref","ref":"custom"})"));
  EXPECT_EQ(nodes[4]["factory"], Json::parse(R"({"kind":"local-only","name":"effect",
    "reason":"node is an unregistered live dependency auto-discovered from topology"})"));
  EXPECT_EQ(nodes[5]["factory"]["name"], "?");
  EXPECT_FALSE(nodes[4].contains("name"));
  EXPECT_EQ(nodes[5]["value"], Json::parse(R"({"data":1,"kind":"DATA"})"));
  EXPECT_EQ(c["edges"], Json::parse(R"([{"from":"~effect#0","to":"top"},{"from":"~?#1","to":"~effect#0"}])"));

  // Synthetic ids are kept: a second write is identical.
  EXPECT_EQ(checkpoint_json(*g), c);
  EXPECT_EQ(g->synthetic_counter(), 2u);
}

TEST(CheckpointWriter, ADepListedTwiceIsOneEdge) {
  auto g = GraphContainer::create("g");
  NodeHandle a = add_json_state(g, "a", Json(1));
  NodeHandle b = add_json_state(g, "b", Json(2));
  NodeHandle n = add_fn_node(g, "n", deps_of({&a, &b, &a}), fn_of([](RunContext&) {}));
  Json c = checkpoint_json(*g);
  EXPECT_EQ(c["nodes"][2]["deps"], Json::parse(R"(["a","b","a"])"));
  EXPECT_EQ(c["edges"], Json::parse(R"([{"from":"a","to":"n"},{"from":"b","to":"n"}])"));
}

TEST(CheckpointWriter, ValueRules) {
  auto g = GraphContainer::create("g");
  NodeHandle cleared = add_json_state(g, "cleared", Json(7));
  {
    auto a = g->core()->borrow_mut();
    NodeStateTestAccess::set(a->edge_at(cleared.index()).state, NodeState::Flag::HasData, false);  // a cache without data is not written
  }
  NodeHandle plain = add_json_state(g, "plain", Json(1));
  Json c = checkpoint_json(*g);
  EXPECT_EQ(c["nodes"][0]["value"], Json::parse(R"({"kind":"SENTINEL"})"));
  EXPECT_EQ(c["nodes"][1]["value"]["data"], 1);

  // Collection kinds: exact texts only.
  auto h = GraphContainer::create("h");
  NodeOptions coll;
  coll.metadata = {{"kind", "collection_snapshot"}, {"z", "last"}};
  NodeHandle snap = add_json_state(h, "snap", Json(3), coll);
  set_ctx_state(snap, jv("ctx"));
  NodeOptions near;
  near.metadata = {{"kind", "Collection_snapshot"}};
  NodeHandle other = add_json_state(h, "other", Json(4), near);
  Json hc = checkpoint_json(*h);
  EXPECT_EQ(hc["nodes"][0]["value"], Json::parse(R"({"kind":"SENTINEL"})"));
  EXPECT_EQ(hc["nodes"][0]["ctxState"]["value"], Json::parse(R"({"kind":"SENTINEL"})"));
  EXPECT_EQ(hc["nodes"][0]["meta"], Json::parse(R"({"kind":"collection_snapshot","z":"last"})"));
  EXPECT_EQ(hc["nodes"][1]["value"]["data"], 4);
  EXPECT_FALSE(c["nodes"][0].contains("meta"));
}

TEST(CheckpointWriter, ValueFailuresNameTheNode) {
  {
    auto g = GraphContainer::create("g");
    NodeHandle n = add_json_state(g, "absent");
    {
      auto a = g->core()->borrow_mut();
      NodeStateTestAccess::set(a->edge_at(n.index()).state, NodeState::Flag::HasData, true);
    }
    EXPECT_EQ(checkpoint_failure(*g), "checkpoint: value at absent is marked DATA but absent");
  }
  {
    auto g = GraphContainer::create("g");
    NodeHandle n = g->register_node(make_state(g->core(), make_value<Opaque>(Opaque{1})), "state",
                                    NodeOptions::named("opaque"));
    EXPECT_EQ(checkpoint_failure(*g), "checkpoint: value at opaque is not strict JSON compatible");
  }
  {
    auto g = GraphContainer::create("g");
    NodeHandle n = add_json_state(g, "c", Json(1));
    set_ctx_state(n, make_value<Opaque>(Opaque{2}));
    EXPECT_EQ(checkpoint_failure(*g), "checkpoint: value at c.ctxState is not strict JSON compatible");
  }
  {
    auto g = GraphContainer::create("g");
    add_json_state(g, "deep", Json(-0.0));
    EXPECT_EQ(checkpoint_failure(*g),
              "checkpoint: strictJsonCodec: JSON number at deep is not strict canonical JSON compatible");
  }
}

TEST(CheckpointWriter, StatusAndTerminalRules) {
  auto g = GraphContainer::create("g");
  NodeHandle done = add_json_state(g, "done", Json(1));
  NodeHandle errored = add_json_state(g, "errored", Json(2));
  NodeHandle resolved = add_json_state(g, "resolved");
  poke(done, NodeStatus::Completed, true);
  poke(errored, NodeStatus::Errored, false);
  poke(resolved, NodeStatus::Resolved, true);  // a terminal flag on another status writes "none"
  Json c = checkpoint_json(*g);
  EXPECT_EQ(c["nodes"][0]["status"], "completed");
  EXPECT_EQ(c["nodes"][0]["terminal"], Json::parse(R"({"kind":"COMPLETE"})"));
  EXPECT_EQ(c["nodes"][1]["status"], "errored");
  EXPECT_EQ(c["nodes"][1]["terminal"], Json::parse(R"({"kind":"none"})"));
  EXPECT_EQ(c["nodes"][2]["terminal"], Json::parse(R"({"kind":"none"})"));

  poke(errored, NodeStatus::Errored, true);
  EXPECT_EQ(checkpoint_failure(*g),
            "checkpoint: ERROR payload for node 'errored' is unavailable; cannot serialize a placeholder");

  // The first non-quiescent node in list order is named, before later failures.
  poke(resolved, NodeStatus::Pending, false);
  poke(done, NodeStatus::Dirty, false);
  EXPECT_EQ(checkpoint_failure(*g),
            "checkpoint: node 'done' has non-quiescent status 'dirty' that cannot be checkpoint-restored yet");
  poke(done, NodeStatus::Settled, false);
  EXPECT_EQ(checkpoint_failure(*g),
            "checkpoint: ERROR payload for node 'errored' is unavailable; cannot serialize a placeholder");
  poke(errored, NodeStatus::Settled, false);
  EXPECT_EQ(checkpoint_failure(*g),
            "checkpoint: node 'resolved' has non-quiescent status 'pending' that cannot be checkpoint-restored yet");
}

TEST(CheckpointWriter, VersionObjectsLifecycleAndCtxState) {
  auto g = GraphContainer::create("g");
  NodeHandle off = add_json_state(g, "off", Json(1), {}, unversioned());
  NodeHandle zero = add_json_state(g, "zero", Json(1));
  NodeSpec v1;
  v1.versioning.choice = VersioningForm::Choice::Level1;
  NodeHandle cid = add_json_state(g, "cid", Json(1), {}, v1);
  NodeHandle moved = add_json_state(g, "moved", Json(1), {}, v1);
  node_set(moved, jv(2));
  node_set(zero, jv(5));
  set_ctx_state(off, jv(Json{{"k", "v"}}));
  {
    auto a = g->core()->borrow_mut();
    a->aux_at(off.index()).edit_rare().ctx_state_persist = 1;
  }
  Json c = checkpoint_json(*g);
  EXPECT_FALSE(c["nodes"][0].contains("version"));
  EXPECT_EQ(c["nodes"][0]["ctxState"].dump(), R"({"persist":true,"value":{"data":{"k":"v"},"kind":"DATA"}})");
  EXPECT_EQ(c["nodes"][1]["version"].dump(), R"({"counter":1,"level":0})");
  const std::string cid1 = *data_content_id(Fnv1a64Hasher(), jv(1).get());
  const std::string cid2 = *data_content_id(Fnv1a64Hasher(), jv(2).get());
  EXPECT_EQ(c["nodes"][2]["version"], (Json{{"cid", cid1}, {"counter", 0}, {"level", 1}, {"prev", nullptr}}));
  EXPECT_EQ(c["nodes"][3]["version"], (Json{{"cid", cid2}, {"counter", 1}, {"level", 1}, {"prev", cid1}}));
  EXPECT_EQ(c["nodes"][3]["lifecycle"], Json::parse(R"({"activated":false,"hasCalledFnOnce":false})"));
}

TEST(CheckpointWriter, BackendStateFromItsProvider) {
  auto g = GraphContainer::create("g");
  NodeHandle n = add_json_state(g, "n", Json(1));
  Json c = checkpoint_json(*g);
  EXPECT_FALSE(c["nodes"][0].contains("backendState"));
  {
    std::string seen;
    ProviderScope p(n, [&](std::string_view path) -> std::expected<Json, std::string> {
      seen = path;
      return Json(nullptr);
    });
    EXPECT_EQ(checkpoint_json(*g)["nodes"][0].dump().find(R"("backendState":null)") != std::string::npos, true);
    EXPECT_EQ(seen, "n.backendState");
  }
  {
    ProviderScope p(n, [](std::string_view) -> std::expected<Json, std::string> {
      return std::unexpected(std::string("store offline"));
    });
    EXPECT_EQ(checkpoint_failure(*g), "checkpoint: backendState at n.backendState: store offline");
  }
  {
    ProviderScope p(n, [](std::string_view) -> std::expected<Json, std::string> {
      return Json{{"big", 9007199254740992ULL}};
    });
    EXPECT_EQ(checkpoint_failure(*g),
              "checkpoint: strictJsonCodec: JSON integer at n.backendState.big is outside the safe integer range");
  }
  {
    // The provider may read the graph again: no borrow is held while it runs.
    ProviderScope p(n, [&](std::string_view) -> std::expected<Json, std::string> {
      return Json(static_cast<std::uint64_t>(g->node_table().borrow()->size()));
    });
    EXPECT_EQ(checkpoint_json(*g)["nodes"][0]["backendState"], 1);
  }
}

TEST(CheckpointWriter, MountsRecurseWithChildLocalIds) {
  auto root = GraphContainer::create("root");
  auto a = GraphContainer::create("a");
  auto b = GraphContainer::create(std::nullopt);
  add_json_state(root, "r", Json(0));
  add_json_state(a, "x", Json(1));
  add_json_state(b, "y", Json(2));
  root->mount("zeta", a);
  a->mount("inner", b);
  root->mount("alpha", GraphContainer::create("empty"));
  Json c = checkpoint_json(*root);
  ASSERT_EQ(c["mounts"].size(), 2u);
  EXPECT_EQ(c["mounts"][0]["at"], "zeta");
  EXPECT_EQ(c["mounts"][1]["at"], "alpha");
  EXPECT_EQ(c["mounts"][0]["checkpoint"]["nodes"][0]["id"], "x");
  EXPECT_EQ(c["mounts"][0]["checkpoint"]["mounts"][0]["checkpoint"]["nodes"][0]["id"], "y");
  EXPECT_FALSE(c["mounts"][0]["checkpoint"]["mounts"][0]["checkpoint"].contains("name"));
  EXPECT_FALSE(c["mounts"][1]["checkpoint"].contains("mounts"));

  NodeHandle y = find_node(b, "y");
  poke(y, NodeStatus::Pending, false);
  EXPECT_EQ(checkpoint_failure(*root),
            "checkpoint: node 'y' has non-quiescent status 'pending' that cannot be checkpoint-restored yet");
}

TEST(CheckpointWriter, AReleasedNodesProviderIsForgottenAndNotFoundByItsSlotsNextNode) {
  auto provider = [] {
    return std::make_shared<const BackendStateProviderFn>(
        [](std::string_view) -> std::expected<Json, std::string> { return Json("old"); });
  };
  auto g = GraphContainer::create("g");
  // Released with its group.
  NodeHandle n = add_json_state(g, "n", Json(1));
  backend_state_registry_insert(n.core_id(), n.index(), n.generation(), provider());
  auto group = TopologyGroup::create(std::nullopt, g);
  group->retain(n.promote_counted());
  release_group(group, "test release");
  EXPECT_EQ(backend_state_registry_lookup(n.core_id(), n.index(), n.generation()), nullptr);
  NodeHandle reuse = add_json_state(g, "reuse", Json(2));
  ASSERT_EQ(reuse.index(), n.index());
  EXPECT_FALSE(checkpoint_json(*g)["nodes"][0].contains("backendState"));

  // Released when its last handle goes.
  NodeHandle loose = make_state(g->core());
  const std::uint64_t index = loose.index(), generation = loose.generation();
  backend_state_registry_insert(loose.core_id(), index, generation, provider());
  const CoreId core = loose.core_id();
  loose.drop();
  EXPECT_EQ(backend_state_registry_lookup(core, index, generation), nullptr);
}
