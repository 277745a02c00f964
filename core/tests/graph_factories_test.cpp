#include <gtest/gtest.h>

#include <functional>

#include "graph/graph_container.hpp"
#include "host_boundary/host_boundary.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

DispatcherRef fresh_dispatcher() { return std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}); }

// Live function slots of a dispatcher partition.
std::size_t live_fns(const DispatcherRef& d, std::uint32_t partition = 0) {
  auto s = d->state().borrow();
  const auto& p = s->partitions[partition];
  return p.slots.size() - p.free_count();
}

std::size_t live_nodes(const GraphRef& g) {
  auto a = g->core()->borrow();
  return a->live_count();
}

ConfigEntry config_of(const UncountedNode& n) {
  auto a = n.core_ref().borrow();
  const ConfigEntry& c = a->config_at(n.index());
  return ConfigEntry{c.pull_id, c.partial, c.complete_when_deps_complete, c.error_when_deps_error,
                     c.terminal_as_real_input, c.pausable};
}

std::string row_kind(const GraphRef& g, const std::string& id) {
  for (const NodeEntry& row : *g->node_table().borrow())
    if (row.id() == id) return row.kind;
  return "<none>";
}

SharedNodeFn noop() { return fn_of([](RunContext&) {}); }

}  // namespace

TEST(GraphFactories, EveryKindRegistersWithItsKindAndKindText) {
  auto g = GraphContainer::create(std::nullopt, fresh_dispatcher());
  NodeHandle s = g->state(iv(1), std::nullopt);
  NodeHandle e = g->state_empty("empty");
  NodeHandle n = g->node(deps_of({&s}), noop(), NodeOptions{});
  NodeHandle p = g->producer(noop(), std::nullopt);
  NodeHandle d = g->derived(deps_of({&s}), noop(), std::nullopt);
  NodeHandle f = g->effect(deps_of({&d}), noop(), "fx");
  NodeHandle an = g->async_node(deps_of({&s}), noop(), NodeOptions::named("an"));
  NodeHandle as = g->async_source(noop(), NodeOptions::named("as"));
  NodeHandle cn = g->node({}, noop(), NodeOptions::named("cn"));
  NodeHandle can = g->conformance_async_node({}, noop(), NodeOptions::named("can"));
  NodeHandle cas = g->conformance_async_source(noop(), NodeOptions::named("cas"));

  std::vector<std::string> ids;
  for (const NodeEntry& row : *g->node_table().borrow()) ids.push_back(row.id() + "/" + row.kind.text());
  EXPECT_EQ(ids, (std::vector<std::string>{"state#0/state", "empty/state", "node#1/node", "producer#2/producer",
                                           "derived#3/derived", "fx/effect", "an/node", "as/producer", "cn/node",
                                           "can/node", "cas/producer"}));
  EXPECT_EQ(node_kind(d), "derived");
  EXPECT_EQ(node_kind(f), "effect");
  for (const NodeHandle* h : {&s, &e, &n, &p, &an, &as, &cn, &can, &cas}) EXPECT_FALSE(node_kind(*h));

  EXPECT_EQ(status_of(s), NodeStatus::Settled);
  EXPECT_EQ(int_of(cache_of(s)), 1);
  EXPECT_EQ(status_of(e), NodeStatus::Sentinel);
  EXPECT_FALSE(cache_of(e));
  // State nodes have no function; every other kind has one.
  EXPECT_EQ(live_fns(g->dispatcher()), 9u);
  EXPECT_EQ(host_boundary_depth(), 0u);
}

TEST(GraphFactories, BuiltNodesRunTheirFunctionsOnlyOnceSubscribed) {
  auto g = GraphContainer::create(std::nullopt);
  int source_runs = 0;
  NodeHandle src = g->node({}, fn_of([&](RunContext& ctx) {
                             ++source_runs;
                             emit_data(ctx, iv(5));
                           }),
                           NodeOptions{});
  NodeHandle s = g->state(iv(2), "s");
  NodeHandle sum = g->derived(deps_of({&src, &s}), fn_of([](RunContext& ctx) {
                                emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                              }),
                              "sum");
  std::vector<int> seen;
  NodeHandle fx = g->effect(deps_of({&sum}), fn_of([&](RunContext& ctx) { seen.push_back(int_of(ctx.inputs[0].current)); }),
                            std::nullopt);
  EXPECT_EQ(source_runs, 0);
  Subscribed sub = subscribe_recording(fx);
  EXPECT_EQ(source_runs, 1);
  EXPECT_EQ(seen, std::vector<int>{7});
  node_set(s, iv(10));
  EXPECT_EQ(seen, (std::vector<int>{7, 15}));
  EXPECT_EQ(int_of(cache_of(sum)), 15);
}

TEST(GraphFactories, RefusalsBeforeBuildingLeaveNothingBehind) {
  auto d = fresh_dispatcher();
  auto g = GraphContainer::create(std::nullopt, d);
  auto other = GraphContainer::create(std::nullopt, d);
  NodeHandle foreign = other->state(iv(1), "x");
  NodeHandle mine = g->state(iv(1), "mine");
  const std::size_t fns = live_fns(d);
  const char* cross = " dep belongs to a different graph; cross-graph deps require a wire bridge";

  EXPECT_EQ(fault_text([&] { g->node(deps_of({&mine, &foreign}), noop(), NodeOptions{}); }), std::string("node") + cross);
  EXPECT_EQ(fault_text([&] { g->node(deps_of({&foreign}), noop(), NodeOptions::named("n")); }), std::string("n") + cross);
  EXPECT_EQ(fault_text([&] { g->derived(deps_of({&foreign}), noop(), std::nullopt); }), std::string("derived") + cross);
  EXPECT_EQ(fault_text([&] { g->effect(deps_of({&foreign}), noop(), std::nullopt); }), std::string("effect") + cross);

  NodeOptions bad;
  bad.pull_id = "p";
  bad.pause_mode = Pausable::False;
  const std::string pull_text = "pullId + pausable:false is invalid (R-pull / R-pause-modes)";
  EXPECT_EQ(fault_text([&] { g->node({}, noop(), bad); }), pull_text);
  EXPECT_EQ(fault_text([&] { g->async_source(noop(), bad); }), pull_text);
  EXPECT_EQ(fault_text([&] { g->add_dep_node(SharedKind::Derived, NodeSpec{}, noop(), {}, bad); }), pull_text);

  EXPECT_EQ(live_fns(d), fns);
  EXPECT_EQ(live_nodes(g), 1u);
  EXPECT_EQ(g->unnamed_counter(), 0u);
  EXPECT_EQ(host_boundary_depth(), 0u);

  NodeOptions ok;
  ok.pull_id = "p";
  ok.pause_mode = Pausable::ResumeAll;
  NodeHandle pulled = g->node({}, noop(), ok);
  EXPECT_EQ(config_of(pulled).pull_id, "p");
  EXPECT_EQ(config_of(pulled).pausable, Pausable::ResumeAll);
}

TEST(GraphFactories, ARefusedRegistrationFreesTheNodeAndItsFunction) {
  auto d = fresh_dispatcher();
  auto g = GraphContainer::create(std::nullopt, d);
  NodeHandle a = g->node({}, noop(), NodeOptions{});
  NodeHandle b = g->node({}, noop(), NodeOptions{});
  EXPECT_EQ(row_kind(g, "node#0"), "node");
  EXPECT_EQ(row_kind(g, "node#1"), "node");
  const std::size_t fns = live_fns(d);
  EXPECT_EQ(fault_text([&] { g->node({}, noop(), NodeOptions::named("node#1")); }),
            "duplicate graph node id 'node#1'");
  EXPECT_EQ(fault_text([&] { g->state(iv(1), "node#0"); }), "duplicate graph node id 'node#0'");
  EXPECT_EQ(live_fns(d), fns);
  EXPECT_EQ(live_nodes(g), 2u);
  EXPECT_EQ(g->node_table().borrow()->size(), 2u);
}

TEST(GraphFactories, DepNodeOptionsOverlayTheBaseSpec) {
  auto d = fresh_dispatcher();
  auto g = GraphContainer::create(std::nullopt, d);
  NodeOptions o = NodeOptions::named("x");
  o.dispatch_partition = 7;  // any partition other than 0 means partition 1
  o.complete_when_deps_complete = false;
  o.terminal_as_real_input = true;
  o.kind_text = "custom";
  o.pull_id = "pid";
  NodeSpec base;
  base.kind = "derived";
  NodeHandle x = g->add_dep_node(SharedKind::Derived, base, noop(), {}, o);
  ConfigEntry c = config_of(x);
  EXPECT_EQ(c.complete_when_deps_complete, 0);
  EXPECT_EQ(c.terminal_as_real_input, 1);
  EXPECT_EQ(c.error_when_deps_error, 1);
  EXPECT_EQ(c.pull_id, "pid");
  EXPECT_EQ(node_kind(x), "custom");
  EXPECT_EQ(live_fns(d, 1), 1u);
  EXPECT_EQ(row_kind(g, "x"), "derived");

  // Without a kind text anywhere the registration kind becomes the kind text.
  NodeHandle y = g->add_dep_node(SharedKind::Effect, NodeSpec{}, noop(), {}, NodeOptions::named("y"));
  EXPECT_EQ(node_kind(y), "effect");

  // The graph's default versioning reaches nodes whose options leave it unset.
  g->set_default_versioning(VersioningForm{VersioningForm::Choice::Disabled, nullptr});
  NodeHandle z = g->derived({}, noop(), "z");
  EXPECT_EQ(read_version(z).mode, NodeVersioning::Mode::Disabled);
  EXPECT_FALSE(version_metadata(z));
  NodeHandle w = g->state(iv(3), "w");
  EXPECT_EQ(read_version(w).mode, NodeVersioning::Mode::Disabled);
}

TEST(GraphFactories, FactoriesRunInsideTheHostBoundaryButAddStateNodeDoesNot) {
  auto g = GraphContainer::create(std::nullopt);
  std::vector<std::uint64_t> depths;
  TopologyObserverHandle h = g->add_topology_observer(
      std::nullopt, make_topology_observer([&](TopologyEvent) { depths.push_back(host_boundary_depth()); }));
  NodeHandle a = g->state(iv(1), std::nullopt);
  NodeHandle b = g->state_empty(std::nullopt);
  NodeHandle c = g->producer(noop(), std::nullopt);
  NodeHandle d = g->derived({}, noop(), std::nullopt);
  NodeHandle e = g->add_state_node(NodeOptions{});
  EXPECT_EQ(depths, (std::vector<std::uint64_t>{1, 1, 1, 1, 0}));
  EXPECT_EQ(host_boundary_depth(), 0u);
}

TEST(GraphFactories, RestoreDepNodeRegistersUnderTheIdWithTheOptionsData) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = g->state(iv(1), "a");
  NodeOptions o = NodeOptions::named("shown");
  o.restore = RegistryRef{"map", Json(1), Json(2)};
  o.metadata = {{"k", "v"}};
  NodeHandle r = restore_dep_node(*g, "map#9", "node", deps_of({&a, &a}), noop(), std::move(o));
  EXPECT_EQ(node_kind(r), "node");
  EXPECT_EQ(dep_handles(r).size(), 2u);
  {
    const auto rows = g->node_table().borrow();
    const NodeEntry& row = rows->back();
    EXPECT_EQ(row.id(), "map#9");
    EXPECT_EQ(row.name(), "shown");
    EXPECT_EQ(row.restore()->ref, "map");
    EXPECT_EQ(row.metadata().at("k"), "v");
  }
  EXPECT_EQ(g->unnamed_counter(), 10u);
  auto other = GraphContainer::create(std::nullopt);
  EXPECT_EQ(fault_text([&] { restore_dep_node(*other, "q", "node", deps_of({&a}), noop(), NodeOptions{}); }),
            "q dep belongs to a different graph; cross-graph deps require a wire bridge");
}

// The options' kind text and pull id reach the built node with its settings;
// restore names the node by its registration kind, and state nodes keep none.
TEST(GraphFactories, KindTextAndPullIdArriveWithTheSettings) {
  auto g = GraphContainer::create(std::nullopt);
  auto options = [](const char* name) {
    NodeOptions o = NodeOptions::named(name);
    o.kind_text = "custom";
    o.pull_id = "pid";
    o.pause_mode = Pausable::ResumeAll;
    o.error_when_deps_error = false;
    return o;
  };
  struct Case {
    const char* name;
    std::function<NodeHandle()> build;
    std::optional<std::string> kind;
    std::optional<std::string> pull_id;
    Pausable pause_mode;
  };
  const Case cases[] = {
      {"node", [&] { return g->node({}, noop(), options("n")); }, "custom", "pid", Pausable::ResumeAll},
      {"async_source", [&] { return g->async_source(noop(), options("s")); }, "custom", "pid", Pausable::ResumeAll},
      {"restore_dep_node", [&] { return restore_dep_node(*g, "r", "node", {}, noop(), options("r")); }, "node",
       "pid", Pausable::ResumeAll},
      {"add_state_node", [&] { return g->add_state_node(options("a")); }, std::nullopt, std::nullopt,
       Pausable::ResumeAll},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeHandle n = c.build();
    EXPECT_EQ(node_kind(n), c.kind);
    ConfigEntry config = config_of(n);
    EXPECT_EQ(config.pull_id, c.pull_id);
    EXPECT_EQ(config.pausable, c.pause_mode);
    EXPECT_EQ(config.error_when_deps_error, 0);
  }
}

// Factory-built nodes hold the graph's hooks and its one topology hook from
// construction on, as registered ones of any other road do, whatever hook
// the dispatcher offers.
TEST(GraphFactories, EveryRoadLeavesTheGraphsHooksInTheNode) {
  DispatcherRef dispatcher = fresh_dispatcher();
  dispatcher->state().borrow_mut()->default_graph_hook = std::make_shared<int>(7);
  auto g = GraphContainer::create(std::nullopt, dispatcher);
  NodeHandle s = g->state(iv(1), std::nullopt);
  std::vector<NodeHandle> built;
  built.push_back(g->node(deps_of({&s}), noop(), NodeOptions{}));
  built.push_back(g->producer(noop(), std::nullopt));
  built.push_back(g->derived(deps_of({&s}), noop(), std::nullopt));
  built.push_back(g->effect(deps_of({&s}), noop(), "fx"));
  built.push_back(g->async_source(noop(), NodeOptions::named("as")));
  built.push_back(restore_dep_node(*g, "r", "node", deps_of({&s}), noop(), NodeOptions{}));
  built.push_back(g->state_empty("e"));
  const TopologyHook expected_topology_hook = NodeView(s).topology().hook;
  ASSERT_TRUE(expected_topology_hook);
  for (const NodeHandle& n : built) {
    NodeView view(n);
    EXPECT_EQ(view.call().hooks(), g->graph_hooks()) << g->node_id_of(n);
    EXPECT_EQ(view.topology().hook, expected_topology_hook) << g->node_id_of(n);
  }
}

// A graph's nodes share one block of their dispatcher and hooks, whichever
// road built them; a node of another dispatcher keeps that one beside the
// graph's hooks. Blocks go with the last node holding them: nothing else
// keeps a dispatcher alive.
TEST(GraphFactories, NodesShareOneCallBlockThatGoesWithTheLastNode) {
  DispatcherRef dispatcher = fresh_dispatcher();
  DispatcherRef foreign_dispatcher = fresh_dispatcher();
  {
    auto g = GraphContainer::create(std::nullopt, dispatcher);
    NodeHandle s = g->state(iv(1), std::nullopt);
    std::vector<NodeHandle> built;
    built.push_back(g->derived(deps_of({&s}), noop(), std::nullopt));
    built.push_back(g->state_empty("e"));
    built.push_back(g->effect(deps_of({&s}), noop(), "fx"));
    NodeHandle foreign = g->register_node(
        construct_node(g->core(), {}, std::nullopt, foreign_dispatcher, nullptr, NodeSpec{}), "state",
        NodeOptions::named("f"));
    const CallContext* shared = NodeView(s).call().context.get();
    EXPECT_EQ(shared->dispatcher, dispatcher);
    for (const NodeHandle& n : built) EXPECT_EQ(NodeView(n).call().context.get(), shared) << g->node_id_of(n);
    EXPECT_EQ(NodeView(foreign).call().dispatcher(), foreign_dispatcher);
    EXPECT_EQ(NodeView(foreign).call().hooks(), g->graph_hooks());
  }
  EXPECT_EQ(dispatcher.use_count(), 1);
  EXPECT_EQ(foreign_dispatcher.use_count(), 1);
}
