#include <gtest/gtest.h>

#include <random>

#include "checkpoint_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// The checkpoint with its nodes ordered by id and its edges by their ends,
// at every level: the order restore registers nodes in is not the writer's.
Json in_id_order(Json c) {
  auto by = [](const char* a, const char* b) {
    return [a, b](const Json& x, const Json& y) {
      return std::tie(x[a], x[b]) < std::tie(y[a], y[b]);
    };
  };
  std::sort(c["nodes"].begin(), c["nodes"].end(), by("id", "id"));
  std::sort(c["edges"].begin(), c["edges"].end(), by("from", "to"));
  if (c.contains("mounts"))
    for (Json& m : c["mounts"]) m["checkpoint"] = in_id_order(m["checkpoint"]);
  return c;
}

// Restores computed nodes of ref "plus" (adds config.n to its one dep) and
// the level-1 state nodes of ref "state-v1".
RestoreRegistry roundtrip_registry() {
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "state-v1", versioned_state_descriptor(VersioningForm::Choice::Level1));
  add_restore_descriptor(r, "plus", descriptor_of("plus", [](const RestoreCreateRequest& q) -> RestoreOutcome {
                           const int n = q.config->at("n").get<int>();
                           auto options = restore_node_options(q.node);
                           if (!options) return RestoreFailure{options.error()};
                           return ComputedNodeRequest{fn_of([n](RunContext& ctx) {
                                                        emit_data(ctx, jv(json_of(ctx.inputs[0].current).get<int>() + n));
                                                      }),
                                                      std::move(*options), "node"};
                         }));
  // A node the descriptor registers itself: a producer of a constant.
  add_restore_descriptor(r, "const", descriptor_of("const", [](const RestoreCreateRequest& q) -> RestoreOutcome {
                           std::string id(q.id);
                           Json value = *q.config;
                           auto options = restore_node_options(q.node);
                           return deferred_of([id, value, options](GraphContainer& g) -> std::expected<NodeHandle, std::string> {
                             return restore_dep_node(g, id, "producer", {},
                                                     fn_of([value](RunContext& ctx) { emit_data(ctx, jv(value)); }),
                                                     *options);
                           });
                         }));
  return r;
}

// A graph with a node of every kind the writer and restore know.
GraphRef build_original(std::vector<Subscribed>& subscriptions) {
  auto g = GraphContainer::create("demo");
  NodeHandle count = add_json_state(g, "count", Json(2));
  NodeHandle doubled = add_map_node(g, "doubled", count, "double", double_json);
  NodeHandle plus = add_fn_node(g, "plus3", deps_of({&doubled}), fn_of([](RunContext& ctx) {
                                  emit_data(ctx, jv(json_of(ctx.inputs[0].current).get<int>() + 3));
                                }),
                                "node", options_named("", RegistryRef{"plus", Json{{"n", 3}}, std::nullopt}));
  NodeHandle constant = add_fn_node(g, "const", {}, fn_of([](RunContext& ctx) { emit_data(ctx, jv("c")); }),
                                    "producer", options_named("", RegistryRef{"const", Json("c"), std::nullopt}));
  NodeHandle done = add_json_state(g, "done");
  node_down_data_complete(done, jv(Json::array({1, "two"})));
  NodeSpec v1;
  v1.versioning.choice = VersioningForm::Choice::Level1;
  NodeHandle versioned =
      add_json_state(g, "v1", Json(1), options_named("", RegistryRef{"state-v1"}), v1);
  node_set(versioned, jv(Json{{"b", 2}, {"a", nullptr}}));
  node_set(versioned, jv(3.25));
  NodeOptions tagged;
  tagged.metadata = {{"owner", "me"}, {"kind", "plain"}};
  NodeHandle empty = add_json_state(g, "empty", std::nullopt, tagged);
  NodeHandle ctx = add_json_state(g, "ctx", Json("v"));
  set_ctx_state(ctx, jv(Json{{"persisted", true}}));
  {
    auto a = g->core()->borrow_mut();
    a->aux_at(ctx.index()).edit_rare().ctx_state_persist = 1;
  }
  subscriptions.push_back(subscribe_recording(plus));
  subscriptions.push_back(subscribe_recording(constant));

  auto child = GraphContainer::create("child");
  NodeHandle x = add_json_state(child, "x", Json(10));
  NodeHandle y = add_map_node(child, "y", x, "double", double_json);
  subscriptions.push_back(subscribe_recording(y));
  g->mount("sub", child);
  return g;
}

}  // namespace

TEST(CheckpointRoundTrip, EveryKindSurvivesCheckpointAndRestore) {
  std::vector<Subscribed> subscriptions;
  GraphRef original = build_original(subscriptions);
  const Json written = checkpoint_json(*original);
  ASSERT_EQ(written["nodes"].size(), 8u);
  // Written as JSON, read back, restored and written again: the same tree.
  const RestoreRegistry registry = roundtrip_registry();
  GraphRef restored = restore_ok(written, registry);
  ASSERT_TRUE(restored);
  EXPECT_EQ(in_id_order(checkpoint_json(*restored)), in_id_order(written));

  // The runtime state is the original's.
  for (const char* id : {"count", "doubled", "plus3", "const", "done", "v1", "empty", "ctx"}) {
    NodeHandle o = find_node(original, id);
    NodeHandle r = find_node(restored, id);
    EXPECT_EQ(status_of(r), status_of(o)) << id;
    EXPECT_EQ(version_metadata(r), version_metadata(o)) << id;
    EXPECT_EQ(is_terminal(r), is_terminal(o)) << id;
    EXPECT_EQ(is_activated(r), is_activated(o)) << id;
    if (cache_of(o)) EXPECT_EQ(json_of(cache_of(r)), json_of(cache_of(o))) << id;
  }
  {
    const auto rows = restored->node_table().borrow();
    auto row = std::find_if(rows->begin(), rows->end(), [](const NodeEntry& e) { return e.id() == "empty"; });
    EXPECT_EQ(row->metadata(), (std::map<std::string, std::string>{{"kind", "plain"}, {"owner", "me"}}));
  }

  // And it runs: new values flow through the restored computed nodes, and
  // the level-1 node advances from its restored content id.
  node_set(find_node(restored, "count"), jv(5));
  EXPECT_EQ(json_of(cache_of(find_node(restored, "doubled"))), 10);
  EXPECT_EQ(json_of(cache_of(find_node(restored, "plus3"))), 13);
  NodeHandle v1 = find_node(restored, "v1");
  node_set(v1, jv(4));
  NodeHandle v1_original = find_node(original, "v1");
  node_set(v1_original, jv(4));
  EXPECT_EQ(version_metadata(v1), version_metadata(v1_original));
  const GraphRef child = (*restored->mounts().borrow())[0].child;
  node_set(find_node(child, "x"), jv(1));
  EXPECT_EQ(json_of(cache_of(find_node(child, "y"))), 2);
}

TEST(CheckpointRoundTrip, DuplicateDepsRestore) {
  auto g = GraphContainer::create("g");
  NodeHandle a = add_json_state(g, "a", Json(1));
  NodeHandle twice = add_fn_node(g, "twice", deps_of({&a, &a}), fn_of([](RunContext& ctx) {
                                   emit_data(ctx, jv(json_of(ctx.inputs[0].current).get<int>() +
                                                     json_of(ctx.inputs[1].current).get<int>()));
                                 }),
                                 "node", options_named("", RegistryRef{"pair"}));
  Subscribed s = subscribe_recording(twice);
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "pair", descriptor_of("pair", [](const RestoreCreateRequest& q) -> RestoreOutcome {
                           return ComputedNodeRequest{fn_of([](RunContext& ctx) {
                                                        emit_data(ctx, jv(json_of(ctx.inputs[0].current).get<int>() +
                                                                          json_of(ctx.inputs[1].current).get<int>()));
                                                      }),
                                                      *restore_node_options(q.node), "node"};
                         }));
  const Json written = checkpoint_json(*g);
  GraphRef restored = restore_ok(written, r);
  ASSERT_TRUE(restored);
  EXPECT_EQ(in_id_order(checkpoint_json(*restored)), in_id_order(written));
  EXPECT_EQ(sink_count(find_node(restored, "a")), 2u);  // one dep sink per dep position
  node_set(find_node(restored, "a"), jv(4));
  EXPECT_EQ(json_of(cache_of(find_node(restored, "twice"))), 8);
}

// ---- randomised: mutated checkpoints give a graph or a refusal ----

namespace {

using Rng = std::mt19937_64;

int pick(Rng& rng, int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); }
bool chance(Rng& rng, int percent) { return pick(rng, 100) < percent; }

Json random_scalar(Rng& rng) {
  switch (pick(rng, 12)) {
    case 0: return nullptr;
    case 1: return chance(rng, 50);
    case 2: return pick(rng, 5);
    case 3: return -pick(rng, 5);
    case 4: return 9007199254740991ULL;
    case 5: return 9007199254740992ULL;
    case 6: return 1.5;
    case 7: return -0.0;
    case 8: return 5e-324;
    case 9: return std::string(1, static_cast<char>('a' + pick(rng, 8)));
    case 10: return "settled";
    default: return "";
  }
}

Json random_json(Rng& rng, int depth = 0) {
  if (depth > 2 || chance(rng, 60)) return random_scalar(rng);
  Json out = chance(rng, 50) ? Json::array() : Json::object();
  for (int i = pick(rng, 3); i > 0; --i) {
    if (out.is_array())
      out.push_back(random_json(rng, depth + 1));
    else
      out[std::string(1, static_cast<char>('k' + pick(rng, 4)))] = random_json(rng, depth + 1);
  }
  return out;
}

Json strict_data(Rng& rng) {
  switch (pick(rng, 4)) {
    case 0: return pick(rng, 100);
    case 1: return Json::array({pick(rng, 3), "x"});
    case 2: return Json{{"k", chance(rng, 50)}};
    default: return nullptr;
  }
}

const char* const kStatuses[] = {"sentinel", "settled", "settled", "settled", "settled", "resolved", "completed"};

// A well-formed checkpoint of state, level-1 state and map nodes, with
// mounted children.
Json random_checkpoint(Rng& rng, int depth = 0) {
  std::vector<Json> nodes;
  const int count = pick(rng, 7);
  for (int i = 0; i < count; ++i) {
    const std::string id = std::string(1, static_cast<char>('a' + pick(rng, 10))) + std::to_string(i);
    Json n;
    const int kind = pick(rng, 3);
    if (kind == 2 && !nodes.empty()) {
      n = node_record(id, {nodes[pick(rng, static_cast<int>(nodes.size()))]["id"]}, "map");
      n["factory"]["config"] = Json{{"fn", "same"}};
    } else {
      n = node_record(id, {}, kind == 1 ? "state-v1" : "state");
    }
    const bool has_value = chance(rng, 70);
    if (has_value) n["value"] = Json{{"kind", "DATA"}, {"data", strict_data(rng)}};
    const char* status = kStatuses[pick(rng, 7)];
    n["status"] = status;
    if (std::string(status) == "completed") n["terminal"] = Json{{"kind", "COMPLETE"}};
    if (kind == 1) {
      SharedValue v = has_value ? jv(n["value"]["data"]) : nullptr;
      n["version"] = Json{{"level", 1}, {"counter", 0}, {"cid", *data_content_id(Fnv1a64Hasher(), v.get())},
                          {"prev", nullptr}};
    } else {
      n["version"] = Json{{"level", 0}, {"counter", pick(rng, 4)}};
    }
    n["lifecycle"] = Json{{"activated", chance(rng, 50)}, {"hasCalledFnOnce", chance(rng, 50)}};
    if (chance(rng, 30))
      n["ctxState"] = Json{{"persist", chance(rng, 50)}, {"value", {{"kind", "DATA"}, {"data", strict_data(rng)}}}};
    if (chance(rng, 20)) n["meta"] = Json{{"m", "v"}};
    if (chance(rng, 30)) n["name"] = id;
    nodes.push_back(std::move(n));
  }
  Json root = checkpoint_record(nodes, chance(rng, 50) ? std::optional<std::string>("g") : std::nullopt);
  if (depth < 2 && chance(rng, 25)) {
    root["mounts"] = Json::array();
    for (int i = pick(rng, 2) + 1; i > 0; --i)
      root["mounts"].push_back(Json{{"at", "m" + std::to_string(i)}, {"checkpoint", random_checkpoint(rng, depth + 1)}});
  }
  return root;
}

// A random member or element somewhere in the tree (the root itself is not a choice).
Json* random_spot(Rng& rng, Json& root) {
  Json* at = &root;
  for (;;) {
    if (!at->is_structured() || at->empty()) return at;
    Json* next;
    if (at->is_array()) {
      next = &(*at)[pick(rng, static_cast<int>(at->size()))];
    } else {
      auto it = at->begin();
      std::advance(it, pick(rng, static_cast<int>(at->size())));
      next = &it.value();
    }
    if (!next->is_structured() || chance(rng, 30)) return next;
    at = next;
  }
}

// The node records of a checkpoint and of its mounted children.
void collect_nodes(Json& c, std::vector<Json*>& out) {
  if (!c.is_object()) return;
  if (c.contains("nodes") && c["nodes"].is_array())
    for (Json& n : c["nodes"])
      if (n.is_object()) out.push_back(&n);
  if (c.contains("mounts") && c["mounts"].is_array())
    for (Json& m : c["mounts"])
      if (m.is_object() && m.contains("checkpoint")) collect_nodes(m["checkpoint"], out);
}

Json random_version(Rng& rng) {
  const std::string cid = *data_content_id(Fnv1a64Hasher(), chance(rng, 50) ? jv(pick(rng, 3)).get() : nullptr);
  Json v{{"level", pick(rng, 3)}, {"counter", chance(rng, 80) ? Json(pick(rng, 3)) : random_scalar(rng)}};
  if (chance(rng, 70)) {
    v["cid"] = chance(rng, 80) ? Json(cid) : random_scalar(rng);
    v["prev"] = chance(rng, 50) ? Json(nullptr) : Json(cid);
  }
  if (chance(rng, 10)) v["extra"] = 1;
  return v;
}

// Changes one member of one node record to something plausible but often wrong.
void mutate_node(Rng& rng, Json& n) {
  switch (pick(rng, 12)) {
    case 0: n["status"] = chance(rng, 80) ? Json(kStatuses[pick(rng, 7)]) : Json(chance(rng, 50) ? "pending" : "Dirty"); break;
    case 1: n["version"] = random_version(rng); break;
    case 2: n.erase("version"); break;
    case 3: n["value"] = Json{{"kind", "DATA"}, {"data", random_json(rng)}}; break;
    case 4:
      n["terminal"] = chance(rng, 50) ? Json{{"kind", "COMPLETE"}} : Json{{"kind", "ERROR"}, {"error", random_json(rng)}};
      break;
    case 5: n["lifecycle"] = Json{{"activated", chance(rng, 50)}, {"hasCalledFnOnce", chance(rng, 50)}}; break;
    case 6:
      if (n.contains("factory") && n["factory"].is_object()) n["factory"][chance(rng, 60) ? "config" : "configVersion"] = random_json(rng);
      break;
    case 7:
      if (n.contains("deps") && n["deps"].is_array()) n["deps"].push_back(std::string(1, static_cast<char>('a' + pick(rng, 10))) + std::to_string(pick(rng, 6)));
      break;
    case 8: n["meta"] = Json{{"m", random_json(rng)}}; break;
    case 9: n["ctxState"] = Json{{"persist", chance(rng, 50)}, {"value", {{"kind", "DATA"}, {"data", random_json(rng)}}}}; break;
    case 10:
      n["factory"] = chance(rng, 50) ? Json{{"kind", "local-only"}, {"name", "x"}, {"reason", "y"}}
                                     : Json{{"kind", "registry-ref"}, {"ref", chance(rng, 50) ? "map" : "nope"}};
      break;
    default: n["value"] = Json{{"kind", "SENTINEL"}}; break;
  }
}

void mutate(Rng& rng, Json& root) {
  std::vector<Json*> nodes;
  collect_nodes(root, nodes);
  if (!nodes.empty() && chance(rng, 70)) {
    mutate_node(rng, *nodes[pick(rng, static_cast<int>(nodes.size()))]);
    return;
  }
  Json* spot = random_spot(rng, root);
  switch (pick(rng, 8)) {
    case 0: *spot = random_json(rng); break;
    case 1: *spot = random_scalar(rng); break;
    case 2:
      if (spot->is_object() && !spot->empty()) {
        auto it = spot->begin();
        std::advance(it, pick(rng, static_cast<int>(spot->size())));
        spot->erase(it);
      }
      break;
    case 3:
      if (spot->is_array() && !spot->empty()) spot->push_back((*spot)[pick(rng, static_cast<int>(spot->size()))]);
      break;
    case 4:
      if (spot->is_array() && !spot->empty()) spot->erase(pick(rng, static_cast<int>(spot->size())));
      break;
    case 5:
      if (spot->is_string()) *spot = spot->get<std::string>() + (chance(rng, 50) ? "0" : "::a0");
      break;
    case 6:
      if (spot->is_array() && spot->size() > 1) std::swap((*spot)[0], (*spot)[spot->size() - 1]);
      break;
    default:
      if (spot->is_object()) (*spot)[chance(rng, 50) ? "deps" : "status"] = random_scalar(rng);
      break;
  }
}

}  // namespace

TEST(CheckpointRoundTrip, MutatedCheckpointsRestoreOrAreRefused) {
  RestoreRegistry registry = roundtrip_registry();
  add_function_definition(registry, "same", [](const Json& v) -> std::expected<Json, std::string> { return v; });
  // State nodes are built through a deferred node that remembers the cores
  // they were built in, so a refused restore can be seen to leave nothing.
  std::vector<WeakCore> cores;
  SharedRestoreDescriptor builtin_state = std::get<SharedRestoreDescriptor>(registry.at("state"));
  add_restore_descriptor(registry, "state", descriptor_of("state", [&](const RestoreCreateRequest& q) -> RestoreOutcome {
                           RestoreOutcome inner = builtin_state->create(q);
                           auto* request = std::get_if<StateNodeRequest>(&inner);
                           if (!request) return inner;
                           std::string id(q.id);
                           return deferred_of([&, id, options = std::move(request->options)](
                                                  GraphContainer& g) -> std::expected<NodeHandle, std::string> {
                             cores.push_back(g.core());
                             return restore_state_node(g, id, options);
                           });
                         }));
  Rng rng(0x6b6f7276616c696eULL);
  int restored = 0, refused = 0;
  for (int round = 0; round < 2000; ++round) {
    Json checkpoint = random_checkpoint(rng);
    const int mutations = pick(rng, 4);
    for (int m = 0; m < mutations; ++m) mutate(rng, checkpoint);
    SCOPED_TRACE(checkpoint.dump());
    std::expected<GraphRef, std::string> result;
    ASSERT_NO_THROW(result = restore_graph(checkpoint, registry));
    if (!result) {
      ++refused;
      EXPECT_FALSE(result.error().empty());
      for (auto& c : cores) EXPECT_TRUE(c.expired());
      cores.clear();
      continue;
    }
    cores.clear();
    ++restored;
    // A restored graph is quiescent and writable, and what it writes
    // restores to a graph that writes the same again.
    WeakCore core = (*result)->core();
    auto written = checkpoint_graph(**result);
    ASSERT_TRUE(written.has_value()) << written.error();
    const Json again = serialize_checkpoint(*written);
    GraphRef second = restore_ok(again, registry);
    ASSERT_TRUE(second);
    EXPECT_EQ(checkpoint_json(*second), again);
    result->reset();
    EXPECT_TRUE(core.expired());
  }
  // Both outcomes are well represented.
  EXPECT_GT(restored, 200);
  EXPECT_GT(refused, 200);
}
