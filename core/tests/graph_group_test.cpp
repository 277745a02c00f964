#include <gtest/gtest.h>

#include "graph/observe.hpp"
#include "graph/topology_group.hpp"
#include "graph_test_support.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/arena/noop_sink.hpp"
#include "node/wave/wave_scope.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

SharedNodeFn noop() { return fn_of([](RunContext&) {}); }

// Builds a node of g and retains it in group, as the adapters do.
template <class Handle>
Handle member(const TopologyGroupRef& group, Handle node) {
  group->check_live();
  group->retain(node.promote_counted());
  return node;
}

std::size_t member_count(const TopologyGroupRef& group) { return group->members().borrow()->size(); }


struct Counter {
  int runs = 0;
};

std::size_t sink_count(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  return a->aux_at(node.index()).sinks.size();
}

const std::string kPrefix = "graph: cannot release node group for test release; ";

}  // namespace

TEST(TopologyGroups, RetainKeepsOneHandlePerNode) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("b.wireBridgeProtobuf", g);
  NodeHandle a = g->state(iv(1), "a");
  const std::uint64_t before = a.count()->count;
  group->retain(a.promote_counted());
  group->retain(a.promote_counted());
  group->retain(a.promote_counted());
  EXPECT_EQ(member_count(group), 1u);
  EXPECT_EQ(a.count()->count, before + 1);

  EXPECT_EQ(fault_text([&] { group->check_live(); }), "<no fault>");
  release_group(group, "test release");
  EXPECT_TRUE(group->released());
  EXPECT_EQ(fault_text([&] { group->check_live(); }), "topology group 'b.wireBridgeProtobuf' has been released (D152)");
  auto unlabeled = TopologyGroup::create(std::nullopt, g);
  release_group(unlabeled, "test release");
  EXPECT_EQ(fault_text([&] { unlabeled->check_live(); }), "topology group 'group' has been released (D152)");
  // Retain itself does not refuse a released group.
  NodeHandle b = g->state(iv(2), "b");
  unlabeled->retain(b.promote_counted());
  EXPECT_EQ(member_count(unlabeled), 1u);
}

TEST(TopologyGroups, ClosureNodesAreBuiltRegisteredAndRetained) {
  auto g = GraphContainer::create(std::nullopt);
  auto other = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("e.wireEdgeGroup", g);
  NodeHandle src = g->state(iv(4), "src");
  NodeHandle foreign = other->state(iv(1), "f");
  NodeHandle counted = g->state_empty(std::nullopt);  // takes state#0

  auto ctx = std::make_shared<Counter>();
  auto body = [](Counter& c, RunContext& run) {
    ++c.runs;
    emit_data(run, iv(int_of(run.inputs[0].current) * 10));
  };
  ClosureNodeHandle<Counter> unnamed = register_closure_node(group, src, std::nullopt, ctx, body);
  ClosureNodeHandle<Counter> named = register_closure_node(group, src, "e/py/status", ctx, body);
  EXPECT_EQ(unnamed.context, ctx);
  EXPECT_FALSE(unnamed.companion);
  EXPECT_EQ(row_ids(g), (std::vector<std::string>{"src", "state#0", "node#1", "e/py/status"}));
  EXPECT_EQ(g->node_table().borrow()->back().kind, "node");
  EXPECT_FALSE(node_kind(named.node));
  EXPECT_EQ(member_count(group), 2u);

  Subscribed sub = subscribe_recording(named.node);
  EXPECT_EQ(sub.log(), L({"START", "DATA 40"}));
  EXPECT_EQ(ctx->runs, 1);

  EXPECT_EQ(fault_text([&] { register_closure_node(group, foreign, std::nullopt, ctx, body); }),
            "node dep belongs to a different graph; cross-graph deps require a wire bridge");
  EXPECT_EQ(fault_text([&] { register_closure_node(group, foreign, "e/py/issues", ctx, body); }),
            "e/py/issues dep belongs to a different graph; cross-graph deps require a wire bridge");
  EXPECT_EQ(row_ids(g).size(), 4u);

  sub.unsubscribe.call();
  release_group(group, "test release");
  // The released check comes before the cross-graph check.
  EXPECT_EQ(fault_text([&] { register_closure_node(group, foreign, std::nullopt, ctx, body); }),
            "topology group 'e.wireEdgeGroup' has been released (D152)");
}

TEST(TopologyGroups, AGroupReleasedDuringRegistrationKeepsTheNodeOutside) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("late", g);
  NodeHandle src = g->state(iv(1), "src");
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) {
    if (e.kind == TopologyEventKind::NodeAdded && e.id == "c") release_group(group, "test release");
  }));
  EXPECT_EQ(fault_text([&] { register_closure_node(group, src, "c", std::make_shared<int>(0), [](int&, RunContext&) {}); }),
            "topology group 'late' has been released (D152)");
  EXPECT_TRUE(g->find("c"));
  EXPECT_EQ(member_count(group), 0u);
}

TEST(TopologyGroups, RetainedNodesMustBelongToTheGraph) {
  auto g = GraphContainer::create(std::nullopt);
  auto other = GraphContainer::create(std::nullopt);
  NodeHandle mine = g->state(iv(1), "m");
  NodeHandle theirs = other->state(iv(1), "t");
  EXPECT_EQ(fault_text([&] { check_retained_node(*g, mine, "x.wireEdgeGroup.gate"); }), "<no fault>");
  EXPECT_EQ(fault_text([&] { check_retained_node(*g, theirs, "x.wireEdgeGroup.gate"); }),
            "graph: cannot retain node for x.wireEdgeGroup.gate; node belongs to a different graph");
  EXPECT_EQ(fault_text([&] { subscribe_keepalive(*g, theirs, "wire_edge_group release rollback"); }),
            "graph: cannot retain node for wire_edge_group release rollback; node belongs to a different graph");
  UnsubscribeFn keep = subscribe_keepalive(*g, mine, "holder");
  EXPECT_FALSE(keep.empty());
}

TEST(GroupRelease, EmptyReleasedAndUnregisteredGroupsNeedNoChecks) {
  auto g = GraphContainer::create(std::nullopt);
  std::vector<TopologyEvent> events;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) { events.push_back(e); }));
  auto empty = TopologyGroup::create(std::nullopt, g);
  release_group(empty, "test release");
  EXPECT_TRUE(empty->released());
  release_group(empty, "test release");  // again: nothing

  // Members without a row are only dropped, which frees a node nothing else holds.
  auto loose = TopologyGroup::create(std::nullopt, g);
  NodeHandle n = make_state(g->core());
  UncountedNode look = n.uncounted();
  loose->retain(std::move(n));
  Subscribed sub = subscribe_recording(look);  // subscribers do not matter for unregistered members
  sub.unsubscribe = UnsubscribeFn();
  release_group(loose, "test release");
  EXPECT_TRUE(loose->released());
  EXPECT_EQ(member_count(loose), 0u);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(*g->topology_seq()->borrow(), 0u);
}

TEST(GroupRelease, RefusalsNameTheRuleAndChangeNothing) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle a = member(group, g->state(iv(1), "a"));
  NodeHandle b = member(group, g->derived(deps_of({&a}), noop(), "b"));
  NodeHandle outside = g->node(deps_of({&b}), noop(), NodeOptions::named("outside"));

  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            kPrefix + "'outside' still depends on 'b' (D122)");
  outside = NodeHandle();
  auto group2 = TopologyGroup::create("grp2", g);
  group2->retain(g->find("outside")->promote_counted());
  release_group(group2, "test release");
  EXPECT_EQ(row_ids(g), (std::vector<std::string>{"a", "b"}));

  // A subscriber outside the group.
  const std::uint64_t count_before = a.count()->count;
  Subscribed sub = subscribe_recording(a);
  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            kPrefix + "'a' still has live subscribers (D124)");
  sub.unsubscribe.call();

  // Inside a wave every member counts as busy; the first collected is named.
  std::string inside;
  run_in_wave_scope(a, [&] { inside = fault_text([&] { release_group(group, "test release"); }); });
  EXPECT_EQ(inside, kPrefix + "'a' is not runtime-quiescent (D124)");

  // Nothing changed: the graph still has both nodes and the group its members.
  EXPECT_EQ(row_ids(g), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(group->released());
  EXPECT_EQ(member_count(group), 2u);
  EXPECT_EQ(a.count()->count, count_before);

  // The retry succeeds once the obstacles are gone.
  release_group(group, "test release");
  EXPECT_TRUE(group->released());
  EXPECT_TRUE(row_ids(g).empty());
}

TEST(GroupRelease, MembersAreFreedDependentsFirstAndTheirIdsRetiredForGood) {
  for (bool deps_first : {true, false}) {
    auto g = GraphContainer::create(std::nullopt);
    auto group = TopologyGroup::create("grp", g);
    NodeHandle a = g->state(iv(1), "a");
    NodeHandle b = g->derived(deps_of({&a}), fn_of([](RunContext& ctx) { emit_data(ctx, ctx.inputs[0].current); }), "b");
    NodeHandle keep = g->state(iv(0), "keep");
    if (deps_first) {
      member(group, a.uncounted());
      member(group, b.uncounted());
    } else {
      member(group, b.uncounted());
      member(group, a.uncounted());
    }
    // An observe subscription does not hold the members back; it is dropped.
    std::vector<std::string> seen;
    ObserveUnsubscribeList observed = observe(*g, [&](std::string path, SeqCounter) -> SharedSink {
      auto sink = std::make_shared<RecordingSink>();
      sink->on_message = [&seen, path](const Message& m) { seen.push_back(path + " " + std::string(m.kind_name())); };
      return sink;
    });
    EXPECT_EQ(int_of(cache_of(b)), 1);
    const std::uint64_t a_index = a.index();
    const std::uint64_t b_index = b.index();

    release_group(group, "test release");
    EXPECT_TRUE(group->released());
    EXPECT_EQ(member_count(group), 0u);
    EXPECT_EQ(row_ids(g), std::vector<std::string>{"keep"});
    EXPECT_FALSE(g->find("a"));
    EXPECT_TRUE(g->released_ids().borrow()->contains("a"));
    EXPECT_TRUE(g->released_ids().borrow()->contains("b"));
    EXPECT_EQ(a.count()->count, 0u);
    EXPECT_EQ(fault_text([&] { status_of(a); }), kStaleSlot);
    EXPECT_EQ(fault_text([&] { status_of(b); }), kStaleSlot);
    {
      auto ar = g->core()->borrow();
      EXPECT_EQ(ar->free_indices().size(), 2u);
      // With deps first one pass frees b, then a; otherwise b is freed in the
      // first pass and a in the second: either way b goes first.
      EXPECT_EQ(ar->free_indices()[0], b_index);
      EXPECT_EQ(ar->free_indices()[1], a_index);
    }
    EXPECT_EQ(fault_text([&] { g->state(iv(1), "a"); }),
              "graph node id 'a' has been released from this graph lifecycle (D122)");
    // The freed slots are reused with new generations (the refused node
    // above took a's slot once already).
    NodeHandle fresh = g->state(iv(5), "fresh");
    EXPECT_EQ(fresh.index(), a_index);
    EXPECT_EQ(fresh.generation(), a.generation() + 2);

    // The remaining observe action still works and the dropped ones do nothing.
    for (UnsubscribeFn& u : observed) u.call();
    EXPECT_EQ(sink_count(keep), 0u);
    // Stale handles drop quietly: their count is 0.
    a.drop();
    b.drop();
  }
}

TEST(GroupRelease, NodeRemovedEventsFollowTheFreeingInMemberOrder) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle a = g->state(iv(1), "a");
  NodeHandle b = g->derived(deps_of({&a}), noop(), "b");
  member(group, b.uncounted());
  member(group, a.uncounted());
  std::vector<TopologyEvent> events;
  std::vector<bool> freed_at_event;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) {
    freed_at_event.push_back(!is_live(a) && !is_live(b));
    events.push_back(std::move(e));
  }));
  const std::uint64_t first = *g->topology_seq()->borrow();
  release_group(group, "test release");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (TopologyEvent{"b", {"a"}, std::nullopt, "derived", first, TopologyEventKind::NodeRemoved}));
  EXPECT_EQ(events[1], (TopologyEvent{"a", {}, std::nullopt, "state", first + 1, TopologyEventKind::NodeRemoved}));
  EXPECT_EQ(freed_at_event, (std::vector<bool>{true, true}));
}

TEST(GroupRelease, AFaultWhileFreeingIsRaisedAfterTheEventsAndBlocksARetry) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle a = member(group, g->state(iv(1), "a"));
  NodeHandle b = member(group, g->derived(deps_of({&a}), noop(), "b"));
  add_release_callback(b, [] { fault("release callback failed"); });
  int removed = 0;
  TopologyObserverHandle h = g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) {
    removed += e.kind == TopologyEventKind::NodeRemoved;
  }));

  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }), "release callback failed");
  // Every member was freed, and the events went out before the fault.
  EXPECT_FALSE(is_live(a));
  EXPECT_FALSE(is_live(b));
  EXPECT_EQ(removed, 2);
  EXPECT_FALSE(group->released());
  EXPECT_EQ(member_count(group), 2u);
  EXPECT_EQ(g->core()->borrow()->free_indices().size(), 2u);
  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            "Core counted promotion rejected: node is externally dead");
}

TEST(GroupRelease, AStuckPassRefusesAndLeavesTheUnfreedMembersUnregistered) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle m = member(group, g->state(iv(1), "m"));
  NodeHandle h = member(group, g->derived(deps_of({&m, &m}), noop(), "h"));
  ObserveUnsubscribeList observed =
      observe(*g, [](std::string, SeqCounter) -> SharedSink { return std::make_shared<NoopSink>(); });
  // Swap one of h's dep sinks on m for an outside subscriber: the counts
  // still balance, but m cannot empty once h is gone.
  std::uint64_t dep_sink_id = 0;
  {
    auto ar = g->core()->borrow();
    for (const SinkEntry& e : ar->aux_at(m.index()).sinks)
      if (!e.observer) {
        dep_sink_id = e.id;
        break;
      }
  }
  unsubscribe_sink(m, dep_sink_id);
  Subscribed outside = subscribe_recording(m);

  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            kPrefix + "internal release order did not quiesce (D124)");
  EXPECT_FALSE(is_live(h));
  EXPECT_TRUE(is_live(m));
  EXPECT_TRUE(row_ids(g).empty());
  EXPECT_TRUE(g->released_ids().borrow()->contains("m"));
  EXPECT_FALSE(group->released());
  EXPECT_EQ(sink_count(m), 1u);  // the observe sink went, the subscriber stays
  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            "Core counted promotion rejected: node is externally dead");
  outside.unsubscribe.call();
}

TEST(GroupRelease, ARetryAfterAnEarlyRefusalFreesEverything) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle a = member(group, g->state(iv(1), "a"));
  NodeHandle b = member(group, g->derived(deps_of({&a}), noop(), "b"));
  NodeHandle c = member(group, g->effect(deps_of({&b}), noop(), "c"));
  Subscribed sub = subscribe_recording(c);
  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            kPrefix + "'c' still has live subscribers (D124)");
  sub.unsubscribe.call();
  release_group(group, "test release");
  EXPECT_TRUE(group->released());
  for (const NodeHandle* n : {&a, &b, &c}) EXPECT_FALSE(is_live(*n));
  EXPECT_EQ(g->core()->borrow()->free_indices().size(), 3u);
}

TEST(GroupRelease, ARefusalBeforeAnyFreeingLeavesOnlyTheRetiredIdsAndARetryJustFinishes) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create("grp", g);
  NodeHandle a = member(group, g->state(iv(1), "a"));
  NodeHandle b = member(group, g->derived(deps_of({&a}), noop(), "b"));
  // b's observe sink pins b when the release drops it: b, the first
  // candidate, is no longer quiescent when its turn comes.
  std::optional<PinnedNode> pin;
  struct PinningSink final : Sink {
    UncountedNode node;
    std::optional<PinnedNode>* pin = nullptr;
    void call(const Message&) override {}
    ~PinningSink() override {
      if (auto p = pin_node(node.core(), WeakNodeRef::of(node))) *pin = std::move(p->first);
    }
  };
  ObserveUnsubscribeList observed = observe(*g, [&](std::string path, SeqCounter) -> SharedSink {
    if (path != "b") return std::make_shared<NoopSink>();
    auto sink = std::make_shared<PinningSink>();
    sink->node = b.uncounted();
    sink->pin = &pin;
    return sink;
  });
  int events = 0;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent) { ++events; }));

  EXPECT_EQ(fault_text([&] { release_group(group, "test release"); }),
            kPrefix + "runtime became non-quiescent (D124)");
  ASSERT_TRUE(pin);
  // Rows, id-map entries and observe sinks are gone, nothing was freed, no
  // event went out and the group keeps its members.
  EXPECT_TRUE(row_ids(g).empty());
  EXPECT_TRUE(g->released_ids().borrow()->contains("a"));
  EXPECT_TRUE(is_live(a));
  EXPECT_TRUE(is_live(b));
  EXPECT_EQ(events, 0);
  EXPECT_FALSE(group->released());
  EXPECT_EQ(member_count(group), 2u);

  // A second release collects nothing (no rows), so it only empties the
  // member list and marks the group released.
  pin->unpin();
  release_group(group, "test release");
  EXPECT_TRUE(group->released());
  EXPECT_EQ(member_count(group), 0u);
  EXPECT_TRUE(is_live(a));
  EXPECT_EQ(events, 0);
}

TEST(GroupRelease, WithoutObserversReleasingTakesNoNumbers) {
  auto g = GraphContainer::create(std::nullopt);
  auto group = TopologyGroup::create(std::nullopt, g);
  NodeHandle a = member(group, g->state(iv(1), "a"));
  NodeHandle b = member(group, g->derived(deps_of({&a}), noop(), "b"));
  release_group(group, "test release");
  EXPECT_EQ(*g->topology_seq()->borrow(), 0u);
  std::vector<std::uint64_t> seqs;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) { seqs.push_back(e.seq); }));
  NodeHandle c = g->state(iv(2), "c");
  EXPECT_EQ(seqs, std::vector<std::uint64_t>{0});
}
