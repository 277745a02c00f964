#include <gtest/gtest.h>

#include "graph/graph_container.hpp"
#include "node/topology/rewire.hpp"
#include "graph_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Records every event it receives, with a tag naming the observer.
struct Recorder {
  std::vector<std::pair<std::string, TopologyEvent>> events;
  TopologyObserver observer(std::string tag) {
    return make_topology_observer([this, tag](TopologyEvent e) { events.emplace_back(tag, std::move(e)); });
  }
  std::vector<std::string> tags() const {
    std::vector<std::string> out;
    for (const auto& [t, e] : events) out.push_back(t + ":" + e.id + "@" + std::to_string(e.seq));
    return out;
  }
};

// Calls the topology hook that registration installed in node.
void run_hook(const UncountedNode& node, const std::vector<NodeHandle>& old_deps, const std::vector<NodeHandle>& new_deps) {
  TopologyHook hook;
  {
    auto a = node.core_ref().borrow();
    hook = a->topology_at(node.index()).hook;
  }
  ASSERT_TRUE(hook);
  (*hook)(node, old_deps, new_deps);
}

std::vector<NodeHandle> counted(std::initializer_list<const NodeHandle*> hs) {
  std::vector<NodeHandle> out;
  for (const NodeHandle* h : hs) out.push_back(h->promote_counted());
  return out;
}

}  // namespace

TEST(TopologyEvents, WithoutObserversNoEventIsBuiltAndNoNumberTaken) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = add_state(g, "a");
  NodeHandle b = add_node(g, deps_of({&a}), "b");
  run_hook(b, counted({&a}), {});
  EXPECT_EQ(*g->topology_seq()->borrow(), 0u);

  Recorder r;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, r.observer("o"));
  NodeHandle c = add_node(g, deps_of({&a, &b}));
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].second, (TopologyEvent{"node#0", {"a", "b"}, std::nullopt, "node", 0,
                                               TopologyEventKind::NodeAdded}));
}

TEST(TopologyEvents, DepsChangedComesFromTheRegisteredHook) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = add_state(g, "a");
  NodeHandle loose = make_state(g->core());
  NodeHandle b = add_node(g, deps_of({&a}), "b");
  Recorder r;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, r.observer("o"));

  run_hook(b, counted({&a}), counted({&loose, &a}));
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].second, (TopologyEvent{"b", {"~?#0", "a"}, std::vector<std::string>{"a"}, std::nullopt, 0,
                                               TopologyEventKind::DepsChanged}));

  // Not for an id that is no longer in the id map; nor once the graph is gone.
  g->id_map().borrow_mut()->erase("b");
  run_hook(b, {}, counted({&a}));
  EXPECT_EQ(r.events.size(), 1u);
  EXPECT_EQ(*g->topology_seq()->borrow(), 1u);
  h.reset();
  g.reset();
  run_hook(b, {}, counted({&a}));
  EXPECT_EQ(r.events.size(), 1u);
}

// A node registered twice reports its dep changes under the later id; each
// node of the graph under its own.
TEST(TopologyEvents, DepsChangedNamesTheNodesLastRegistration) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = add_state(g, "a");
  NodeHandle b = add_node(g, deps_of({&a}), "b");
  NodeHandle c = add_node(g, deps_of({&a}), "c");
  g->register_node(b.promote_counted(), "node", "b2");
  Recorder r;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, r.observer("o"));

  run_hook(b, counted({&a}), {});
  run_hook(c, counted({&a}), {});
  EXPECT_EQ(r.tags(), (std::vector<std::string>{"o:b2@0", "o:c@1"}));
}

TEST(TopologyEvents, EventsRaisedDuringDeliveryAreQueuedInOrder) {
  auto g = GraphContainer::create(std::nullopt);
  Recorder r;
  std::vector<NodeHandle> made;
  bool inside = false;
  std::vector<std::string> order;
  TopologyObserverHandle reg = g->add_topology_observer(
      std::nullopt, make_topology_observer([&](TopologyEvent e) {
        order.push_back("enter " + e.id);
        if (e.id == "first") {
          inside = true;
          made.push_back(add_state(g, "second"));
          made.push_back(add_state(g, "third"));
          inside = false;
        }
        order.push_back("leave " + e.id);
      }));
  made.push_back(add_state(g, "first"));
  EXPECT_EQ(order, (std::vector<std::string>{"enter first", "leave first", "enter second", "leave second",
                                             "enter third", "leave third"}));
  EXPECT_FALSE(inside);
}

TEST(TopologyEvents, FreedSlotsAreReusedAndUnregisteredObserversAreSkipped) {
  auto g = GraphContainer::create(std::nullopt);
  Recorder r;
  TopologyObserverHandle first = g->add_topology_observer(std::nullopt, r.observer("1"));
  TopologyObserverHandle second = g->add_topology_observer(std::nullopt, r.observer("2"));
  first.reset();
  EXPECT_EQ(g->live_observers(), 1u);
  TopologyObserverHandle third = g->add_topology_observer(std::nullopt, r.observer("3"));
  EXPECT_EQ(third.slot(), 0u);
  NodeHandle a = add_state(g, "a");
  EXPECT_EQ(r.tags(), (std::vector<std::string>{"3:a@0", "2:a@0"}));

  // An observer dropped by an earlier one during a delivery is not called.
  r.events.clear();
  std::optional<TopologyObserverHandle> victim;
  TopologyObserverHandle killer =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent) { victim.reset(); }));
  victim = g->add_topology_observer(std::nullopt, r.observer("v"));
  third.reset();
  second.reset();
  EXPECT_EQ(g->live_observers(), 2u);
  NodeHandle b = add_state(g, "b");
  EXPECT_TRUE(r.events.empty());
  EXPECT_EQ(g->live_observers(), 1u);
  // Resetting twice changes nothing.
  second.reset();
  EXPECT_EQ(g->live_observers(), 1u);
}

TEST(TopologyEvents, ScopedObserversSeeTheirScopeAndWhatLiesUnderIt) {
  auto g = GraphContainer::create(std::nullopt);
  Recorder r;
  TopologyObserverHandle h = g->add_topology_observer("s", r.observer("s"));
  std::vector<NodeHandle> keep;
  for (const char* id : {"s", "s::x", "s:x", "sx", "t::s", "s::"}) keep.push_back(add_state(g, id));
  EXPECT_EQ(r.tags(), (std::vector<std::string>{"s:s@0", "s:s::x@1", "s:s::@5"}));
}

TEST(TopologyEvents, AFaultingObserverDoesNotWedgeLaterEvents) {
  auto g = GraphContainer::create(std::nullopt);
  std::vector<std::string> seen;
  std::vector<NodeHandle> made;
  bool fail = true;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) {
    seen.push_back(e.id + "@" + std::to_string(e.seq));
    if (e.id == "boom" && fail) {
      made.push_back(add_state(g, "queued"));  // queued behind the current event
      fault("observer failed");
    }
  }));
  NodeHandle boom = make_state(g->core());
  EXPECT_EQ(fault_text([&] { g->register_node(std::move(boom), "state", NodeOptions::named("boom")); }),
            "observer failed");
  EXPECT_EQ(seen, std::vector<std::string>{"boom@0"});
  // The node registered even though the observer failed.
  EXPECT_TRUE(g->find("boom"));
  fail = false;
  made.push_back(add_state(g, "later"));
  EXPECT_EQ(seen, (std::vector<std::string>{"boom@0", "queued@1", "later@2"}));
}

TEST(TopologyEvents, ARewireOfARegisteredNodeReportsItsDepChange) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = g->state(iv(1), "a");
  NodeHandle b = g->state(iv(2), "b");
  NodeHandle n = g->node(deps_of({&a}), fn_of([](RunContext&) {}), NodeOptions::named("n"));
  std::vector<TopologyEvent> seen;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) { seen.push_back(e); }));
  rewire(n, SubscribeDep{fn_of([](RunContext&) {}), b.promote_counted()});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (TopologyEvent{"n", {"a", "b"}, std::vector<std::string>{"a"}, std::nullopt, 0,
                                    TopologyEventKind::DepsChanged}));
  // The same deps again: no event.
  rewire(n, ReplaceDeps{deps_of({&a, &b}), fn_of([](RunContext&) {})});
  EXPECT_EQ(seen.size(), 1u);
}

// Deps are named from the index of first rows while observers are live: a
// node registered after the index was built is in it, and an index dropped
// with the last observer is built again, whole, for the next.
TEST(TopologyEvents, DepsRegisteredWhileObservedAreNamedFromTheIndex) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = add_state(g, "a");
  Recorder r;
  std::optional<TopologyObserverHandle> h = g->add_topology_observer(std::nullopt, r.observer("o"));
  NodeHandle b = add_node(g, deps_of({&a}), "b");  // builds the index
  NodeHandle c = add_node(g, deps_of({&a, &b}), "c");
  NodeHandle x = add_node(g, deps_of({&c}), "x");  // c came after the index
  h.reset();
  NodeHandle d = add_state(g, "d");  // unobserved: no index to keep
  h = g->add_topology_observer(std::nullopt, r.observer("o"));
  NodeHandle e = add_node(g, deps_of({&c, &d}), "e");
  ASSERT_EQ(r.events.size(), 4u);
  const std::vector<std::string> expected[] = {{"a"}, {"a", "b"}, {"c"}, {"c", "d"}};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(r.events[i].second.deps, expected[i]) << r.events[i].second.id;
}
