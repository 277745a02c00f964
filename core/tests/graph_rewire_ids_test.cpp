// The ids a deps-changed event carries while topology observers come and go,
// and that finding them does not grow with the graph.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "graph/graph_container.hpp"
#include "graph/topology_group.hpp"
#include "graph_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

struct Events {
  std::vector<TopologyEvent> seen;
  TopologyObserver observer() {
    return make_topology_observer([this](TopologyEvent e) {
      if (e.kind == TopologyEventKind::DepsChanged) seen.push_back(std::move(e));
    });
  }
};

// A graph with dep "d" registered twice ("d", then "d2") and a state node
// "n" retained in a group, ready to be changed by a case.
struct Fixture {
  GraphRef g = GraphContainer::create(std::nullopt);
  TopologyGroupRef group = TopologyGroup::create("grp", g);
  NodeHandle d = add_state(g, "d");
  NodeHandle n = add_state(g, "n");
  NodeHandle loose;  // a node of the core without a row
  UncountedNode target = n.uncounted();
  Events events;
  std::optional<TopologyObserverHandle> observing;

  Fixture() {
    g->register_node(d.promote_counted(), "state", "d2");
    group->retain(n.promote_counted());
  }
  void observe() { observing = g->add_topology_observer(std::nullopt, events.observer()); }
  void unobserve() { observing.reset(); }
  // The event of target gaining dep d, if one is sent; its id and deps.
  std::optional<std::pair<std::string, std::vector<std::string>>> rewire_target() {
    events.seen.clear();
    std::vector<NodeHandle> deps;
    deps.push_back(d.promote_counted());
    g->emit_deps_changed_of(target, {}, deps);
    if (events.seen.empty()) return std::nullopt;
    EXPECT_EQ(events.seen.size(), 1u);
    return std::pair{events.seen[0].id, events.seen[0].deps};
  }
};

struct IdCase {
  const char* name;
  std::function<void(Fixture&)> change;
  std::optional<std::string> event_id;  // none: no event
  std::optional<std::string> named_as;  // what the target is called as a dep; none: not asked
  bool alive = true;                    // a released node is never rewired
};

const IdCase kIdCases[] = {
    {"a node registered once", [](Fixture&) {}, "n", "n"},
    {"a node registered again", [](Fixture& f) { f.g->register_node(f.n.promote_counted(), "state", "n2"); }, "n2",
     "n"},
    {"a node registered again, then others",
     [](Fixture& f) {
       f.g->register_node(f.n.promote_counted(), "state", "n2");
       add_state(f.g, "x");
       f.g->register_node(f.d.promote_counted(), "state", "d3");
     },
     "n2", "n"},
    {"a released node", [](Fixture& f) { release_group(f.group, "test"); }, std::nullopt, std::nullopt},
    // The release takes the node's first row only; its later row stays.
    {"a released node with a later row",
     [](Fixture& f) {
       f.g->register_node(f.n.promote_counted(), "state", "n2");
       release_group(f.group, "test");
     },
     std::nullopt, "n2", false},
    {"a released node's slot taken by a new node",
     [](Fixture& f) {
       const std::uint64_t slot = f.n.index();
       release_group(f.group, "test");
       NodeHandle m = add_state(f.g, "m");
       ASSERT_EQ(m.index(), slot);
       f.target = m.uncounted();
     },
     "m", "m"},
    {"a node that never had a row", [](Fixture& f) {
       f.loose = make_state(f.g->core());
       f.target = f.loose.uncounted();
     },
     std::nullopt, "~?#0"},
};

// When the change happens relative to the observers (and so to the index).
enum class Phase { BeforeAnyObserver, WhileObserved, AfterTheLastObserverLeft };

}  // namespace

TEST(RewireIds, TheEventNamesTheNodesLastRegistrationWhileObserversComeAndGo) {
  for (const IdCase& c : kIdCases) {
    for (Phase phase : {Phase::BeforeAnyObserver, Phase::WhileObserved, Phase::AfterTheLastObserverLeft}) {
      SCOPED_TRACE(std::string(c.name) + ", phase " + std::to_string(static_cast<int>(phase)));
      Fixture f;
      if (phase != Phase::BeforeAnyObserver) {
        f.observe();
        ASSERT_EQ(f.rewire_target()->first, "n");  // builds the index
        EXPECT_EQ(f.g->indexed_nodes(), 2u);
      }
      if (phase == Phase::AfterTheLastObserverLeft) {
        f.unobserve();
        EXPECT_EQ(f.g->indexed_nodes(), 0u);
      }
      c.change(f);
      if (phase != Phase::WhileObserved) f.observe();
      if (c.named_as) EXPECT_EQ(f.g->node_id_of(f.target), *c.named_as);
      if (c.alive) {
        auto event = f.rewire_target();
        EXPECT_EQ(event ? std::optional(event->first) : std::nullopt, c.event_id);
        // A dep is named by its first row.
        if (event) EXPECT_EQ(event->second, std::vector<std::string>{"d"});
      }
      // Without observers no event is sent, and the index is gone.
      f.unobserve();
      EXPECT_FALSE(f.rewire_target());
      EXPECT_EQ(f.g->indexed_nodes(), 0u);
    }
  }
}

// A mounted graph indexes while its parent observes (through the mount's
// forwarder) and drops its index when the parent's last observer goes.
TEST(RewireIds, AMountedGraphFollowsItsParentsObservers) {
  auto parent = GraphContainer::create("p");
  auto child = GraphContainer::create("c");
  NodeHandle d = add_state(child, "d");
  NodeHandle n = add_node(child, deps_of({&d}), "n");
  parent->mount("sub", child);
  std::vector<NodeHandle> deps;
  deps.push_back(d.promote_counted());
  Events events;
  for (const char* later_id : {"n2", "n3"}) {
    SCOPED_TRACE(later_id);
    events.seen.clear();
    std::optional<TopologyObserverHandle> h = parent->add_topology_observer(std::nullopt, events.observer());
    child->emit_deps_changed_of(n, deps, {});
    child->register_node(n.promote_counted(), "node", later_id);
    child->emit_deps_changed_of(n, deps, {});
    ASSERT_EQ(events.seen.size(), 2u);
    EXPECT_EQ(events.seen[1].id, std::string("sub::") + later_id);
    EXPECT_EQ(events.seen[1].previous_deps, std::vector<std::string>{"sub::d"});
    EXPECT_GT(child->indexed_nodes(), 0u);
    h.reset();
    EXPECT_EQ(child->indexed_nodes(), 0u);
  }
}

namespace {

// The best of three timings of rewires of the last-registered node of a
// graph of n nodes onto late deps (the worst case for a scan of the rows).
std::chrono::steady_clock::duration time_rewires(int nodes, int rewires, std::size_t& indexed) {
  auto g = GraphContainer::create(std::nullopt);
  std::vector<NodeHandle> made;
  made.reserve(static_cast<std::size_t>(nodes));
  for (int i = 0; i < nodes; ++i) made.push_back(add_state(g));
  std::vector<NodeHandle> old_deps, new_deps;
  old_deps.push_back(made[made.size() - 2].promote_counted());
  new_deps.push_back(made[made.size() - 3].promote_counted());
  std::size_t events = 0;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent) { ++events; }));
  auto best = std::chrono::steady_clock::duration::max();
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rewires; ++i) g->emit_deps_changed_of(made.back(), old_deps, new_deps);
    best = std::min(best, std::chrono::steady_clock::now() - start);
  }
  EXPECT_EQ(events, static_cast<std::size_t>(3 * rewires));
  indexed = g->indexed_nodes();
  return best;
}

}  // namespace

// A scan per rewire would make the large graph's rewires some 100 times
// slower than the small one's; without one they cost about the same.
TEST(RewireIds, ARewireWhileObservedDoesNotScanTheRows) {
  constexpr int kSmall = 200;
  constexpr int kLarge = 20000;
  constexpr int kRewires = 2000;
  std::size_t indexed = 0;
  const auto small = time_rewires(kSmall, kRewires, indexed);
  EXPECT_EQ(indexed, static_cast<std::size_t>(kSmall));
  const auto large = time_rewires(kLarge, kRewires, indexed);
  EXPECT_EQ(indexed, static_cast<std::size_t>(kLarge));
  EXPECT_LT(large, 10 * small + std::chrono::milliseconds(20))
      << "small " << std::chrono::duration<double, std::milli>(small).count() << " ms, large "
      << std::chrono::duration<double, std::milli>(large).count() << " ms";
}
