#include <gtest/gtest.h>

#include <optional>

#include "checkpoint_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

Json with_value(Json n, Json data) {
  n["value"] = Json{{"kind", "DATA"}, {"data", std::move(data)}};
  return n;
}

Json with_lifecycle(Json n, bool activated, bool has_called) {
  n["lifecycle"] = Json{{"activated", activated}, {"hasCalledFnOnce", has_called}};
  return n;
}

Json map_node(const std::string& id, const std::string& dep) {
  Json n = node_record(id, {dep}, "map");
  n["factory"]["config"] = Json{{"fn", "double"}};
  return n;
}

std::vector<std::uint8_t> dep_flags(const UncountedNode& n) {
  auto a = n.core_ref().borrow();
  std::vector<std::uint8_t> out;
  for (const DepLink& link : a->edge_at(n.index()).dep_links) out.push_back(link.flag);
  return out;
}

// Wraps a registry's descriptors so every create() is logged by id.
RestoreRegistry logging(RestoreRegistry registry, std::vector<std::string>& log) {
  for (auto& [ref, entry] : registry) {
    auto* d = std::get_if<SharedRestoreDescriptor>(&entry);
    if (!d) continue;
    SharedRestoreDescriptor inner = *d;
    entry = descriptor_of(inner->name(), [inner, &log](const RestoreCreateRequest& r) {
      log.emplace_back(r.id);
      return inner->create(r);
    });
  }
  return registry;
}

}  // namespace

TEST(RestoreBuild, EmptyCheckpointsGiveEmptyGraphs) {
  GraphRef g = restore_ok(checkpoint_record({}, "demo"));
  ASSERT_TRUE(g);
  EXPECT_EQ(g->name(), "demo");
  EXPECT_TRUE(g->node_table().borrow()->empty());
  EXPECT_FALSE(restore_ok(checkpoint_record({}))->name());
}

TEST(RestoreBuild, NodesAreCreatedDepthFirstOncePerRecord) {
  std::vector<std::string> log;
  RestoreRegistry registry = logging(builtin_registry(), log);
  // a -> z -> m by deps, b -> a; ids sort a, b, m, z.
  Json c = checkpoint_record({node_record("m"), map_node("z", "m"), map_node("a", "z"), map_node("b", "a")});
  GraphRef g = restore_ok(c, registry);
  EXPECT_EQ(log, L({"m", "z", "a", "b"}));
  std::vector<std::string> rows;
  for (const NodeEntry& row : *g->node_table().borrow()) rows.push_back(row.id() + ":" + row.kind.text());
  EXPECT_EQ(rows, L({"m:state", "z:map", "a:map", "b:map"}));

  // A dep named twice is created once and given twice.
  log.clear();
  GraphRef twice = restore_ok(checkpoint_record({node_record("s"), node_record("pair", {"s", "s"}, "pair")}),
                              [&] {
                                RestoreRegistry r = logging(builtin_registry(), log);
                                add_restore_descriptor(r, "pair", descriptor_of("pair", [](const RestoreCreateRequest&) {
                                                         return ComputedNodeRequest{fn_of([](RunContext&) {}), {}, "pair"};
                                                       }));
                                return r;
                              }());
  EXPECT_EQ(log, L({"s"}));
  NodeHandle pair = find_node(twice, "pair");
  std::vector<UncountedNode> deps = dep_handles(pair);
  ASSERT_EQ(deps.size(), 2u);
  EXPECT_TRUE(deps[0].same_node(deps[1]));
}

TEST(RestoreBuild, DependencyCycles) {
  Json self = map_node("a", "a");
  EXPECT_EQ(restore_error(checkpoint_record({self})), "restore_graph: dependency cycle at 'a'");
  EXPECT_EQ(restore_error(checkpoint_record({map_node("a", "b"), map_node("b", "a")})),
            "restore_graph: dependency cycle at 'a'");
  EXPECT_EQ(restore_error(checkpoint_record({map_node("b", "c"), map_node("c", "d"), map_node("d", "c")})),
            "restore_graph: dependency cycle at 'c'");
}

TEST(RestoreBuild, DescriptorOutcomesAndDepChecks) {
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "refuse", descriptor_of("refuse", [](const RestoreCreateRequest& q) {
                           return RestoreFailure{"custom: cannot build " + std::string(q.id)};
                         }));
  add_restore_descriptor(r, "flat", descriptor_of("flat-name", [](const RestoreCreateRequest&) {
                           return StateNodeRequest{NodeOptions{}, "state"};
                         }));
  add_restore_descriptor(r, "swap", descriptor_of("swapper", [](const RestoreCreateRequest& q) {
                           std::string id(q.id);
                           std::vector<std::string> deps(q.deps.rbegin(), q.deps.rend());
                           return deferred_of([id, deps](GraphContainer& g) -> std::expected<NodeHandle, std::string> {
                             std::vector<NodeHandle> handles;
                             for (const std::string& d : deps) handles.push_back(*g.find(d));
                             return restore_dep_node(g, id, "node", std::move(handles), fn_of([](RunContext&) {}),
                                                     NodeOptions{});
                           });
                         }));
  add_restore_descriptor(r, "unregistrable", descriptor_of("u", [](const RestoreCreateRequest&) {
                           return deferred_of([](GraphContainer&) -> std::expected<NodeHandle, std::string> {
                             return std::unexpected(std::string("custom: registration refused"));
                           });
                         }));
  EXPECT_EQ(restore_error(checkpoint_record({node_record("x", {}, "refuse")}), r), "custom: cannot build x");
  EXPECT_EQ(restore_error(checkpoint_record({node_record("x", {}, "unregistrable")}), r),
            "custom: registration refused");
  EXPECT_EQ(restore_error(checkpoint_record({node_record("a"), node_record("x", {"a"}, "flat")}), r),
            "restore_graph: descriptor 'flat-name' registered node 'x' with deps that do not match the checkpoint");
  EXPECT_EQ(restore_error(checkpoint_record({node_record("a"), node_record("b"), node_record("x", {"a", "b"}, "swap")}), r),
            "restore_graph: descriptor 'swapper' registered node 'x' with deps that do not match the checkpoint");
  // The same deferred build in checkpoint order passes.
  restore_ok(checkpoint_record({node_record("a"), node_record("x", {"a", "a"}, "swap")}), r);
}

TEST(RestoreBuild, StatusAndTerminalState) {
  auto terminal_error = [](const char* status, Json terminal) {
    Json n = node_record("n");
    n["status"] = status;
    n["terminal"] = std::move(terminal);
    return restore_error(checkpoint_record({n}));
  };
  const Json none{{"kind", "none"}}, complete{{"kind", "COMPLETE"}};
  EXPECT_EQ(terminal_error("completed", none), "restore_graph: node 'n' terminal status requires terminal state");
  EXPECT_EQ(terminal_error("errored", none), "restore_graph: node 'n' terminal status requires terminal state");
  EXPECT_EQ(terminal_error("settled", complete), "restore_graph: node 'n' COMPLETE terminal requires completed status");
  EXPECT_EQ(terminal_error("errored", (Json{{"kind", "ERROR"}, {"error", "boom"}})),
            "restore_graph: node 'n' carries an ERROR terminal payload that restore cannot preserve yet");
  EXPECT_EQ(terminal_error("completed", (Json{{"kind", "ERROR"}, {"error", nullptr}})),
            "restore_graph: node 'n' carries an ERROR terminal payload that restore cannot preserve yet");

  Json done = with_value(node_record("done"), 5);
  done["status"] = "completed";
  done["terminal"] = complete;
  Json resolved = node_record("resolved");
  resolved["status"] = "resolved";
  GraphRef g = restore_ok(checkpoint_record({done, resolved}));
  NodeHandle d = find_node(g, "done");
  EXPECT_TRUE(is_terminal(d));
  EXPECT_EQ(status_of(d), NodeStatus::Completed);
  EXPECT_EQ(json_of(cache_of(d)), 5);
  NodeHandle r = find_node(g, "resolved");
  EXPECT_FALSE(is_terminal(r));
  EXPECT_EQ(status_of(r), NodeStatus::Resolved);
}

TEST(RestoreBuild, ValuesAndCtxStateAreInstalledNotDelivered) {
  Json n = with_value(node_record("n"), nullptr);
  n["ctxState"] = Json{{"persist", true}, {"value", {{"kind", "DATA"}, {"data", {{"k", 1}}}}}};
  n["version"] = Json{{"level", 0}, {"counter", 7}};
  GraphRef g = restore_ok(checkpoint_record({n, node_record("empty")}));
  NodeHandle h = find_node(g, "n");
  SharedValue v = cache_of(h);
  ASSERT_TRUE(is_json_value(v));
  EXPECT_TRUE(json_value_cast(v)->is_null());  // a held null, not a sentinel
  EXPECT_EQ(json_of(ctx_state_of(h)), (Json{{"k", 1}}));
  EXPECT_EQ(version_metadata(h), NodeVersion::level0(7));  // not advanced
  {
    auto a = h.core_ref().borrow();
    EXPECT_TRUE(a->edge_at(h.index()).state.has_data());
    EXPECT_EQ(a->aux_at(h.index()).rare().ctx_state_persist, 1);
  }
  NodeHandle e = find_node(g, "empty");
  EXPECT_FALSE(cache_of(e));
  EXPECT_EQ(status_of(e), NodeStatus::Settled);
}

TEST(RestoreBuild, PerDepFlagsAndRunFlag) {
  Json src = with_value(node_record("src"), 1);
  Json valued = with_value(map_node("valued", "src"), 2);
  Json ran = with_lifecycle(map_node("ran", "src"), false, true);
  Json fresh = map_node("fresh", "src");
  GraphRef g = restore_ok(checkpoint_record({src, valued, ran, fresh}));
  EXPECT_EQ(dep_flags(find_node(g, "valued")), std::vector<std::uint8_t>{1});
  EXPECT_EQ(dep_flags(find_node(g, "ran")), std::vector<std::uint8_t>{1});
  EXPECT_EQ(dep_flags(find_node(g, "fresh")), std::vector<std::uint8_t>{0});
  NodeHandle r = find_node(g, "ran");
  EXPECT_EQ(r.core_ref().borrow()->run_at(r.index()) & 1, 1);
  NodeHandle f = find_node(g, "fresh");
  EXPECT_EQ(f.core_ref().borrow()->run_at(f.index()) & 1, 0);
  // Nothing was activated: no dep sinks anywhere.
  EXPECT_EQ(sink_count(find_node(g, "src")), 0u);
}

TEST(RestoreBuild, ActivationConnectsEachDepOnce) {
  // "a" sorts before its dep "b": a's activation activates b, whose own
  // activation is then not repeated.
  Json c = with_value(node_record("c"), 3);
  c = with_lifecycle(c, true, false);
  Json b = with_lifecycle(with_value(map_node("b", "c"), 6), true, true);
  Json a = with_lifecycle(with_value(map_node("a", "b"), 12), true, true);
  Json lone = with_lifecycle(with_value(node_record("lone"), 0), false, false);
  Json idle = with_lifecycle(map_node("idle", "lone"), false, false);
  GraphRef g = restore_ok(checkpoint_record({a, b, c, lone, idle}));
  NodeHandle hc = find_node(g, "c");
  NodeHandle hb = find_node(g, "b");
  NodeHandle ha = find_node(g, "a");
  EXPECT_EQ(sink_count(hc), 1u);
  EXPECT_EQ(sink_count(hb), 1u);
  EXPECT_EQ(sink_count(ha), 0u);
  EXPECT_TRUE(is_activated(ha));
  EXPECT_TRUE(is_activated(hb));
  EXPECT_EQ(sink_count(find_node(g, "lone")), 0u);
  // The installed values were not recomputed by the activation.
  EXPECT_EQ(json_of(cache_of(ha)), 12);
  EXPECT_EQ(json_of(cache_of(hb)), 6);

  // The restored graph runs: a new value flows through both maps.
  Subscribed s = subscribe_recording(ha);
  node_set(hc, jv(5));
  EXPECT_EQ(json_of(cache_of(hb)), 10);
  EXPECT_EQ(json_of(cache_of(ha)), 20);
}

TEST(RestoreBuild, ARestoredValueIsKeptWhenItsDepConnects) {
  // b's restored value disagrees with its dep's on purpose: the dep's DATA
  // on connection only becomes its latest value, whichever activation makes
  // the connection, inside a delivery or not; the next wave runs b as usual.
  enum class Activation { ByRestore, BySubscribe, InsideDelivery };
  struct Case {
    const char* name;
    Activation activation;
  };
  const std::vector<Case> cases = {
      {"by the restore", Activation::ByRestore},
      {"by a later subscribe", Activation::BySubscribe},
      {"by a subscribe inside the dep's delivery", Activation::InsideDelivery},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool restored_active = c.activation == Activation::ByRestore;
    Json src = with_lifecycle(with_value(node_record("c"), 3), restored_active, false);
    Json b = with_lifecycle(with_value(map_node("b", "c"), 7), restored_active, true);
    GraphRef g = restore_ok(checkpoint_record({b, src}));
    NodeHandle hb = find_node(g, "b");
    NodeHandle hc = find_node(g, "c");
    std::optional<Subscribed> s;
    if (c.activation == Activation::InsideDelivery) {
      // A sink of c subscribes to b while c delivers its new value.
      Subscribed on_c = subscribe_recording(hc);
      on_c.sink->on_message = [&](const Message& m) {
        if (m.kind() == MessageKind::Data && !s) s = subscribe_recording(hb);
      };
      node_set(hc, jv(4));
      ASSERT_TRUE(s.has_value());
      EXPECT_EQ(json_of(cache_of(hb)), 7);
      on_c.sink->on_message = nullptr;
    } else {
      s = subscribe_recording(hb);
      EXPECT_EQ(json_of(cache_of(hb)), 7);
    }
    EXPECT_EQ(dep_flags(hb), std::vector<std::uint8_t>{0});
    node_set(hc, jv(5));
    EXPECT_EQ(json_of(cache_of(hb)), 10);
  }
}

TEST(RestoreBuild, AnActivatedDepKeepsItsConnection) {
  // b is activated by its dependent a (which sorts first) although its own
  // record says it was not: it stays active so its dep sink is undone once.
  Json c = with_value(node_record("c"), 1);
  Json b = with_lifecycle(with_value(map_node("b", "c"), 2), false, true);
  Json a = with_lifecycle(with_value(map_node("a", "b"), 4), true, true);
  GraphRef g = restore_ok(checkpoint_record({a, b, c}));
  NodeHandle hb = find_node(g, "b");
  EXPECT_TRUE(is_activated(hb));
  EXPECT_EQ(sink_count(find_node(g, "c")), 1u);
  WeakCore core = g->core();
  hb = NodeHandle();
  g.reset();
  EXPECT_TRUE(core.expired());
}

TEST(RestoreBuild, AnEarlierActivatedNodeKnowsItsDepsValues) {
  // s sums p and q; its dependent a sorts first and activates it before p
  // and q hold their restored values. After the restore a change of p alone
  // must rerun s with q's restored value.
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "sum", descriptor_of("sum", [](const RestoreCreateRequest& q) -> RestoreOutcome {
                           auto options = restore_node_options(q.node);
                           SharedNodeFn fn = fn_of([](RunContext& ctx) {
                             int total = 0;
                             for (const DepInput& in : ctx.inputs) total += json_of(in.current).get<int>();
                             emit_data(ctx, jv(total));
                           });
                           return ComputedNodeRequest{std::move(fn), std::move(*options), "sum"};
                         }));
  Json a = with_lifecycle(with_value(map_node("a", "s"), 10), true, true);
  Json s = with_lifecycle(with_value(node_record("s", {"p", "q"}, "sum"), 5), true, true);
  Json p = with_lifecycle(with_value(node_record("p"), 2), true, false);
  Json q = with_lifecycle(with_value(node_record("q"), 3), true, false);
  GraphRef g = restore_ok(checkpoint_record({a, s, p, q}), r);
  NodeHandle hs = find_node(g, "s");
  EXPECT_EQ(sink_count(find_node(g, "p")), 1u);
  EXPECT_EQ(sink_count(find_node(g, "q")), 1u);
  EXPECT_EQ(dep_flags(hs), (std::vector<std::uint8_t>{0, 0}));
  node_set(find_node(g, "p"), jv(4));
  EXPECT_EQ(json_of(cache_of(hs)), 7);
  EXPECT_EQ(json_of(cache_of(find_node(g, "a"))), 14);
}

TEST(RestoreBuild, VersionPolicies) {
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "off", versioned_state_descriptor(VersioningForm::Choice::Disabled));
  add_restore_descriptor(r, "v1", versioned_state_descriptor(VersioningForm::Choice::Level1));
  auto node = [](const char* ref, std::optional<Json> value, std::optional<Json> version) {
    Json n = node_record("n", {}, ref);
    if (value) n = with_value(n, *value);
    if (version)
      n["version"] = *version;
    else
      n.erase("version");
    return checkpoint_record({n});
  };
  const std::string absent_cid = *data_content_id(Fnv1a64Hasher(), nullptr);
  const std::string cid7 = *data_content_id(Fnv1a64Hasher(), jv(7).get());
  const Json v1_absent{{"level", 1}, {"counter", 0}, {"cid", absent_cid}, {"prev", nullptr}};

  EXPECT_EQ(restore_error(node("state", std::nullopt, std::nullopt), r),
            "restore_graph: checkpoint node version metadata is required by the selected node versioning policy (D109)");
  EXPECT_EQ(restore_error(node("v1", std::nullopt, std::nullopt), r),
            "restore_graph: checkpoint node version metadata is required by the selected node versioning policy (D109)");
  EXPECT_EQ(restore_error(node("off", std::nullopt, Json{{"level", 0}, {"counter", 0}}), r),
            "restore_graph: checkpoint node version metadata is present but node versioning is disabled");
  EXPECT_EQ(restore_error(node("state", std::nullopt, v1_absent), r),
            "restore_graph: checkpoint node version level 1 requires matching node versioning policy");
  EXPECT_EQ(restore_error(node("v1", std::nullopt, Json{{"level", 0}, {"counter", 0}}), r),
            "restore_graph: checkpoint node version level 0 requires matching node versioning policy");
  EXPECT_EQ(restore_error(node("v1", std::nullopt,
                               Json{{"level", 1}, {"counter", 1}, {"cid", absent_cid}, {"prev", absent_cid}}),
                          r),
            "restore_graph: checkpoint node version cid cannot be verified without current DATA under V1 versioning (D109)");
  EXPECT_EQ(restore_error(node("v1", Json(8), Json{{"level", 1}, {"counter", 1}, {"cid", cid7}, {"prev", absent_cid}}), r),
            "restore_graph: checkpoint node version cid does not match the selected node versioning hash policy (D109)");

  NodeHandle off = find_node(restore_ok(node("off", Json(1), std::nullopt), r), "n");
  EXPECT_FALSE(version_metadata(off));
  GraphRef g1 = restore_ok(node("v1", std::nullopt, v1_absent), r);
  EXPECT_EQ(version_metadata(find_node(g1, "n")), NodeVersion::level1(absent_cid, std::nullopt, 0));
  GraphRef g7 = restore_ok(node("v1", Json(7), Json{{"level", 1}, {"counter", 4}, {"cid", cid7}, {"prev", "p"}}), r);
  NodeHandle h7 = find_node(g7, "n");
  EXPECT_EQ(version_metadata(h7), NodeVersion::level1(cid7, "p", 4));
  // The policy stays the descriptor's; the next DATA advances from the restored version.
  node_set(h7, jv(8));
  const std::string cid8 = *data_content_id(Fnv1a64Hasher(), jv(8).get());
  EXPECT_EQ(version_metadata(h7), NodeVersion::level1(cid8, cid7, 5));
}

TEST(RestoreBuild, MountedChildrenAreBuiltFirst) {
  Json child = checkpoint_record({with_value(node_record("x"), 1)}, "kid");
  Json grandchild = checkpoint_record({with_value(node_record("y"), 2)});
  child["mounts"] = Json::array({Json{{"at", "deep"}, {"checkpoint", grandchild}}});
  Json root = checkpoint_record({with_value(node_record("r"), 0)}, "root");
  root["mounts"] = Json::array({Json{{"at", "sub"}, {"checkpoint", child}}});
  GraphRef g = restore_ok(root);
  const auto mounts = g->mounts().borrow();
  ASSERT_EQ(mounts->size(), 1u);
  EXPECT_EQ((*mounts)[0].path, "sub");
  const GraphRef& kid = (*mounts)[0].child;
  EXPECT_EQ(kid->name(), "kid");
  EXPECT_EQ(json_of(cache_of(find_node(kid, "x"))), 1);
  const GraphRef& deep = (*kid->mounts().borrow())[0].child;
  EXPECT_EQ(json_of(cache_of(find_node(deep, "y"))), 2);

  Json bad = node_record("z");
  bad["terminal"] = Json{{"kind", "COMPLETE"}};
  grandchild["nodes"].push_back(bad);
  child["mounts"][0]["checkpoint"] = grandchild;
  root["mounts"][0]["checkpoint"] = child;
  EXPECT_EQ(restore_error(root), "restore_graph: node 'z' COMPLETE terminal requires completed status");
}

TEST(RestoreBuild, AFailedRestoreLeavesOnlyHandedOutNodes) {
  std::vector<std::weak_ptr<GraphContainer>> graphs;
  std::vector<NodeHandle> handed_out;
  RestoreRegistry r = builtin_registry();
  add_restore_descriptor(r, "keep", descriptor_of("keep", [&](const RestoreCreateRequest& q) {
                           std::string id(q.id);
                           return deferred_of([&, id](GraphContainer& g) -> std::expected<NodeHandle, std::string> {
                             graphs.push_back(g.weak_from_this());
                             NodeHandle n = restore_state_node(g, id, NodeOptions{});
                             handed_out.push_back(n.promote_counted());
                             return n;
                           });
                         }));
  Json bad = node_record("zz");
  bad["status"] = "completed";
  Json child = checkpoint_record({node_record("k", {}, "keep")});
  Json root = checkpoint_record({node_record("a", {}, "keep"), map_node("m", "a"), bad});
  root["mounts"] = Json::array({Json{{"at", "c"}, {"checkpoint", child}}});
  EXPECT_EQ(restore_error(root, r), "restore_graph: node 'zz' terminal status requires terminal state");
  ASSERT_EQ(graphs.size(), 2u);
  for (auto& w : graphs) EXPECT_TRUE(w.expired());
  // The handed-out nodes live on through their handles alone.
  ASSERT_EQ(handed_out.size(), 2u);
  for (NodeHandle& h : handed_out) EXPECT_TRUE(is_live(h));
  WeakCore core = handed_out[0].core();
  drop_node_handles(handed_out);
  EXPECT_TRUE(core.expired());
}

TEST(RestoreBuild, LongDependencyChainsAreWalkedWithoutRecursion) {
  // n00000 depends on n00001 and so on: the walk starts at the top of the chain.
  constexpr int kLength = 2000;
  auto id = [](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "n%05d", i);
    return std::string(text);
  };
  std::vector<Json> nodes;
  for (int i = 0; i + 1 < kLength; ++i) nodes.push_back(map_node(id(i), id(i + 1)));
  nodes.push_back(with_value(node_record(id(kLength - 1)), 0));
  std::vector<std::string> log;
  GraphRef g = restore_ok(checkpoint_record(nodes), logging(builtin_registry(), log));
  ASSERT_TRUE(g);
  EXPECT_EQ(g->node_table().borrow()->size(), static_cast<std::size_t>(kLength));
  EXPECT_EQ(log.front(), id(kLength - 1));
  EXPECT_EQ(log.back(), id(0));
}

TEST(RestoreBuild, RestoredNumberedIdsKeepGeneratedIdsApart) {
  Json child = checkpoint_record({node_record("node#9")});
  Json root = checkpoint_record({node_record("state#4"), node_record("state#1"), node_record("x#-7")});
  root["mounts"] = Json::array({Json{{"at", "kid"}, {"checkpoint", child}}});
  GraphRef g = restore_ok(root);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->unnamed_counter(), 5u);
  NodeHandle fresh = g->state_empty(std::nullopt);
  EXPECT_EQ(g->node_id_of(fresh), "state#5");
  const GraphRef kid = g->mounts().borrow()->front().child;
  EXPECT_EQ(kid->unnamed_counter(), 10u);
}
