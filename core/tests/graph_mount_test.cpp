#include <gtest/gtest.h>

#include "graph/describe.hpp"
#include "graph/graph_container.hpp"
#include "graph_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

std::vector<std::string> mount_paths(const GraphRef& g) {
  std::vector<std::string> out;
  for (const GraphMount& m : *g->mounts().borrow()) out.push_back(m.path);
  return out;
}

}  // namespace

TEST(GraphMounts, RefusedMountsLeaveTheParentAsItWas) {
  auto root = GraphContainer::create("root");
  auto a = GraphContainer::create("a");
  auto b = GraphContainer::create("b");
  EXPECT_EQ(fault_text([&] { root->mount("", a); }), "mount path must not be empty");
  EXPECT_EQ(fault_text([&] { root->mount("self", root); }), "mount would create a graph cycle");
  root->mount("a", a);
  a->mount("b", b);
  EXPECT_EQ(fault_text([&] { b->mount("up", root); }), "mount would create a graph cycle");
  EXPECT_EQ(fault_text([&] { a->mount("up", root); }), "mount would create a graph cycle");
  EXPECT_EQ(fault_text([&] { root->mount("a", b); }), "duplicate mount path 'a'");
  EXPECT_EQ(mount_paths(root), std::vector<std::string>{"a"});
  EXPECT_TRUE(mount_paths(b).empty());
  // The same child may be mounted twice under different paths.
  root->mount("b-again", b);
  EXPECT_EQ(mount_paths(root), (std::vector<std::string>{"a", "b-again"}));
  EXPECT_TRUE(GraphContainer::contains_graph(*b, root->mounts().borrow()->front()));
  EXPECT_FALSE(GraphContainer::contains_graph(*root, root->mounts().borrow()->front()));
}

TEST(GraphMounts, TimingPassesDownFromATimedParent) {
  auto d = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
  auto root = GraphContainer::create("root", d, true);
  auto child = GraphContainer::create("c", d);
  auto grandchild = GraphContainer::create("gc", d);
  child->mount("gc", grandchild);
  EXPECT_FALSE(child->timing());
  root->mount("c", child);
  EXPECT_TRUE(child->timing());
  EXPECT_TRUE(grandchild->timing());
  EXPECT_TRUE(d->timing_enabled());
}

TEST(GraphMounts, ChildEventsAreForwardedWithQualifiedIdsWhileTheParentIsObserved) {
  auto root = GraphContainer::create("root");
  auto p = GraphContainer::create("p");
  auto q = GraphContainer::create("q");
  p->mount("q", q);
  std::vector<TopologyEvent> seen;
  {
    // Before anyone observes the root, nothing forwards.
    root->mount("p", p);
    EXPECT_EQ(p->live_observers(), 0u);
    NodeHandle quiet = add_state(q, "quiet");
    EXPECT_EQ(*q->topology_seq()->borrow(), 0u);
  }
  TopologyObserverHandle h =
      root->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) { seen.push_back(e); }));
  EXPECT_EQ(p->live_observers(), 1u);
  EXPECT_EQ(q->live_observers(), 1u);

  NodeHandle a = add_state(q, "a");
  NodeHandle b = add_node(q, deps_of({&a}), "b");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], (TopologyEvent{"p::q::b", {"p::q::a"}, std::nullopt, "node", 1, TopologyEventKind::NodeAdded}));
  EXPECT_EQ(seen[0].seq, 0u);  // numbered by the root
  EXPECT_EQ(*q->topology_seq()->borrow(), 2u);

  auto late = GraphContainer::create("late");
  p->mount("late", late);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2], (TopologyEvent{"p::late", {}, std::nullopt, "mount", 2, TopologyEventKind::MountAdded}));
  EXPECT_EQ(late->live_observers(), 1u);

  // A forwarded rewire qualifies both dep lists.
  std::vector<UncountedNode> old_deps;
  old_deps.push_back(a.uncounted());
  q->emit_deps_changed("b", old_deps, {});
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3].previous_deps, std::vector<std::string>{"p::q::a"});
  EXPECT_EQ(seen[3].id, "p::q::b");

  // The last observer gone, the forwarders go down the tree.
  h.reset();
  EXPECT_EQ(p->live_observers(), 0u);
  EXPECT_EQ(q->live_observers(), 0u);
  EXPECT_EQ(late->live_observers(), 0u);
  NodeHandle c = add_state(q, "c");
  EXPECT_EQ(seen.size(), 4u);
}

TEST(GraphMounts, DroppingTheParentFreesItsChildren) {
  auto root = GraphContainer::create("root");
  auto child = GraphContainer::create("c");
  NodeHandle n = add_state(child, "n");
  UncountedNode look = n.uncounted();
  n.drop();
  std::weak_ptr<GraphContainer> weak_child = child;
  root->mount("c", child);
  TopologyObserverHandle h = root->add_topology_observer(std::nullopt, make_topology_observer([](TopologyEvent) {}));
  child.reset();
  h.reset();
  EXPECT_FALSE(weak_child.expired());
  root.reset();
  EXPECT_TRUE(weak_child.expired());
  EXPECT_FALSE(is_live(look));
}

TEST(GraphDescribe, NodesEdgesValuesAndSubgraphs) {
  auto root = GraphContainer::create("root");
  NodeHandle i = add_state(root, "i", make_value<std::int32_t>(-3));
  NodeHandle u = add_state(root, std::nullopt, make_value<std::uint16_t>(7));
  NodeHandle f = add_state(root, "f", make_value<float>(1.5f));
  NodeHandle s = add_state(root, "s", make_value<std::string>("hi"));
  NodeHandle t = add_state(root, "t", make_value<bool>(true));
  NodeHandle o = add_state(root, "o", make_value<std::vector<int>>());
  NodeHandle e = add_state(root, "e");
  NodeOptions with_meta = NodeOptions::named("m");
  with_meta.metadata = {{"k", "v"}};
  NodeHandle m = root->register_node(make_state(root->core()), "state", std::move(with_meta));

  GraphDescription d = describe(*root);
  EXPECT_EQ(d.name, "root");
  EXPECT_FALSE(d.subgraphs);
  ASSERT_EQ(d.nodes.size(), 8u);
  EXPECT_EQ(d.nodes[0].value, DescribedValue(std::int64_t{-3}));
  EXPECT_EQ(d.nodes[1].id, "state#0");
  EXPECT_FALSE(d.nodes[1].name);
  EXPECT_EQ(d.nodes[1].value, DescribedValue(std::uint64_t{7}));
  EXPECT_EQ(d.nodes[2].value, DescribedValue(1.5));
  EXPECT_EQ(d.nodes[3].value, DescribedValue(std::string("hi")));
  EXPECT_EQ(d.nodes[4].value, DescribedValue(true));
  EXPECT_EQ(d.nodes[5].value, DescribedValue(OpaqueValue{}));
  EXPECT_FALSE(d.nodes[6].value);
  EXPECT_EQ(d.nodes[6].status, NodeStatus::Sentinel);
  EXPECT_EQ(d.nodes[0].status, NodeStatus::Settled);
  EXPECT_FALSE(d.nodes[0].metadata);
  EXPECT_EQ(d.nodes[7].metadata, (std::map<std::string, std::string>{{"k", "v"}}));
  EXPECT_EQ(d.nodes[7].factory, "state");
  EXPECT_TRUE(describes_state_node(*root, "i"));
  EXPECT_FALSE(describes_state_node(*root, "nope"));

  auto p = GraphContainer::create("p-own-name");
  auto q = GraphContainer::create("q-own-name");
  NodeHandle qa = add_state(q, "a");
  NodeHandle qb = add_node(q, deps_of({&qa}), "b");
  p->mount("q", q);
  root->mount("p", p);
  d = describe(*root);
  ASSERT_TRUE(d.subgraphs);
  ASSERT_EQ(d.subgraphs->size(), 1u);
  const GraphDescription& dp = d.subgraphs->front();
  EXPECT_EQ(dp.name, "p");
  EXPECT_TRUE(dp.nodes.empty());
  ASSERT_TRUE(dp.subgraphs);
  const GraphDescription& dq = dp.subgraphs->front();
  EXPECT_EQ(dq.name, "p::q");
  EXPECT_FALSE(dq.subgraphs);
  ASSERT_EQ(dq.nodes.size(), 2u);
  EXPECT_EQ(dq.nodes[1].id, "p::q::b");
  EXPECT_EQ(dq.nodes[1].deps, std::vector<std::string>{"p::q::a"});
  EXPECT_EQ(dq.nodes[1].factory, "node");
  ASSERT_EQ(dq.edges.size(), 1u);
  EXPECT_EQ(dq.edges[0].from, "p::q::a");
  EXPECT_EQ(dq.edges[0].to, "p::q::b");
  // Only the graph's own level counts for the state setter.
  EXPECT_FALSE(describes_state_node(*root, "p::q::a"));

  QualifiedNodes all;
  collect_qualified_nodes(*root, "", all);
  ASSERT_EQ(all.size(), 10u);
  EXPECT_EQ(all[8].first, "p::q::a");
  EXPECT_EQ(all[9].first, "p::q::b");
  EXPECT_TRUE(all[9].second.same_node(qb));
  EXPECT_TRUE(all[9].second.counted());
}

TEST(GraphDescribe, UnregisteredDepsAreDescribedUnderStableSyntheticIds) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle deep = make_state(g->core(), make_value<std::int64_t>(1));
  NodeHandle mid = make_node(g->core(), deps_of({&deep}), fn_of([](RunContext&) {}));
  set_node_kind(mid, "derived");
  NodeHandle top = add_node(g, deps_of({&mid, &deep}), "top");

  auto check = [&] {
    GraphDescription d = describe(*g);
    ASSERT_EQ(d.nodes.size(), 3u);
    EXPECT_EQ(d.nodes[0].deps, (std::vector<std::string>{"~derived#0", "~?#1"}));
    EXPECT_EQ(d.nodes[1].id, "~derived#0");
    EXPECT_EQ(d.nodes[1].factory, "derived");
    EXPECT_FALSE(d.nodes[1].name);
    EXPECT_FALSE(d.nodes[1].metadata);
    EXPECT_EQ(d.nodes[1].deps, std::vector<std::string>{"~?#1"});
    EXPECT_EQ(d.nodes[2].id, "~?#1");
    EXPECT_EQ(d.nodes[2].factory, "?");
    EXPECT_EQ(d.nodes[2].value, DescribedValue(std::int64_t{1}));
    ASSERT_EQ(d.edges.size(), 3u);
    EXPECT_EQ(d.edges[2].from, "~?#1");
    EXPECT_EQ(d.edges[2].to, "~derived#0");
  };
  check();
  check();
  EXPECT_EQ(g->synthetic_counter(), 2u);
  EXPECT_EQ(*g->topology_seq()->borrow(), 0u);
}
