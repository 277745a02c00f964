#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/drop_fault.hpp"
#include "graph/graph_container.hpp"
#include "node/arena/graph_core.hpp"
#include "node/wave/dep_sink.hpp"
#include "node/wave/down.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/wave_scope.hpp"
#include "logging_sinks.hpp"
#include "test_support.hpp"

namespace korvalinth {
namespace {
// The entries of a live slot checked one by one: what the one-test readers must match.
LiveSlotsWithAux slots_checked_one_by_one(Arena& a, std::uint64_t i) {
  return LiveSlotsWithAux{a.topology_at(i), a.call_at(i), a.config_at(i), a.run_at(i), a.edge_at(i), a.aux_at(i)};
}
}  // namespace

// Plants a live slot with a missing entry, which no verb of the arena makes.
struct ArenaTestAccess {
  static void drop_edge(Arena& a, std::uint64_t i) { drop(a, a.edge_, i, Arena::kHeldEdge); }
  static void drop_topology(Arena& a, std::uint64_t i) { drop(a, a.topology_, i, Arena::kHeldTopology); }
  static void drop_call(Arena& a, std::uint64_t i) { drop(a, a.call_, i, Arena::kHeldCall); }
  static void drop_config(Arena& a, std::uint64_t i) { drop(a, a.config_, i, Arena::kHeldConfig); }
  static void drop_aux(Arena& a, std::uint64_t i) { drop(a, a.aux_, i, Arena::kHeldAux); }
  static void empty_run(Arena& a, std::uint64_t i) { a.held_[i] &= static_cast<std::uint8_t>(~Arena::kHeldRun); }
  static void fill_run(Arena& a, std::uint64_t i) { a.held_[i] |= Arena::kHeldRun; }
  // The config entry marked missing and marked back, its content kept.
  static void hide_config(Arena& a, std::uint64_t i) { a.held_[i] &= static_cast<std::uint8_t>(~Arena::kHeldConfig); }
  static void show_config(Arena& a, std::uint64_t i) { a.held_[i] |= Arena::kHeldConfig; }
  static void set_pin(Arena& a, std::uint64_t i, std::uint64_t pins) { a.pin_[i] = pins; }
  template <class E>
  static void drop(Arena& a, Column<E>& column, std::uint64_t i, std::uint8_t bit) {
    column[i] = E{};
    a.held_[i] &= static_cast<std::uint8_t>(~bit);
  }
};
}  // namespace korvalinth

using namespace korvalinth;
using namespace korvalinth::test;

TEST(GraphCoreArena, ReleasedIndicesAreReusedLastFirstWithNewGenerations) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  NodeHandle b = make_state(core);
  EXPECT_EQ(a.key(), (SlotKey{0, 0}));
  EXPECT_EQ(b.key(), (SlotKey{1, 0}));
  a.drop();
  b.drop();
  NodeHandle c = make_state(core);
  NodeHandle d = make_state(core);
  EXPECT_EQ(c.key(), (SlotKey{1, 1}));
  EXPECT_EQ(d.key(), (SlotKey{0, 1}));
}

TEST(GraphCoreArena, StaleKeysAreRefusedBeforeAndAfterReuse) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, make_value<int>(1));
  UncountedNode stale = a.uncounted();
  EXPECT_EQ(status_of(stale), NodeStatus::Settled);
  a.drop();
  EXPECT_EQ(fault_text([&] { status_of(stale); }), kStaleSlot);
  NodeHandle reused = make_state(core);
  EXPECT_EQ(reused.index(), stale.index());
  EXPECT_EQ(fault_text([&] { cache_of(stale); }), kStaleSlot);
  EXPECT_EQ(fault_text([&] { set_ctx_state(stale, nullptr); }), kStaleSlot);
  EXPECT_EQ(status_of(reused), NodeStatus::Sentinel);
}

// A key whose index is past the columns names no slot: it is refused,
// never read past them.
TEST(GraphCoreArena, AKeyPastTheColumnsNamesNoSlot) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  Arena& arena = core->unguarded();
  for (const SlotKey key : {SlotKey{arena.slot_count(), 0}, SlotKey{~std::uint64_t{0}, 0}}) {
    EXPECT_FALSE(arena.is_current(key));
    EXPECT_FALSE(arena.is_pinned(key));
    EXPECT_EQ(fault_text([&] { arena.check(key); }), kStaleSlot);
  }
}

// A pin is raised by one up to the count's maximum; one more faults and
// leaves the count where it was.
TEST(GraphCoreArena, APinRaisedPastItsMaximumFaultsAndKeepsTheCount) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  for (const std::uint64_t start : {std::uint64_t{0}, kMax - 1, kMax}) {
    SCOPED_TRACE(start);
    auto core = GraphCore::create();
    NodeHandle a = make_state(core);
    Arena& arena = core->unguarded();
    ArenaTestAccess::set_pin(arena, a.index(), start);
    if (start == kMax) {
      EXPECT_EQ(fault_text([&] { arena.add_pin(a.index()); }), kPinOverflow);
      EXPECT_EQ(arena.pin_count(a.index()), kMax);
    } else {
      arena.add_pin(a.index());
      EXPECT_EQ(arena.pin_count(a.index()), start + 1);
    }
    ArenaTestAccess::set_pin(arena, a.index(), 0);  // lets the node go
  }
}

TEST(GraphCoreArena, CountedHandlesKeepTheNodeAndUncountedDoNot) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  NodeHandle second = a.promote_counted();
  EXPECT_EQ(a.count()->count, 2u);
  UncountedNode weak = a.uncounted();
  weak.drop();  // never releases
  a.drop();
  EXPECT_TRUE(is_live(second));
  UncountedNode look = second.uncounted();
  second.drop();
  EXPECT_FALSE(is_live(look));
  EXPECT_EQ(fault_text([&] { look.promote_counted(); }), "Core counted promotion rejected: node is externally dead");
  // A counted handle whose count is already 0 does nothing when dropped.
  NodeHandle late(core, look.count(), look.key());
  late.drop();
  EXPECT_EQ(look.count()->count, 0u);
}

// However a counted handle goes, its one unit goes back exactly once; a
// moved-from handle and an uncounted one give nothing back.
TEST(GraphCoreArena, ACountedHandleGivesItsUnitBackOnceHoweverItGoes) {
  const std::function<void(NodeHandle&)> ends[] = {
      [](NodeHandle& h) { h.drop(); },
      [](NodeHandle& h) { NodeHandle gone = std::move(h); },
      [](NodeHandle& h) {
        NodeHandle other = std::move(h);
        other = NodeHandle();
        h.drop();
      },
      [](NodeHandle& h) {
        // Taking a handle's place gives back the unit the place held first.
        const std::uint64_t before = h.count()->count;
        NodeHandle other = h.promote_counted();
        other = std::move(h);
        EXPECT_EQ(other.count()->count, before);
      },
      [](NodeHandle& h) {
        HeldNode held(std::move(h));
        EXPECT_TRUE(held.counted());
        held.drop();
      },
      [](NodeHandle& h) {
        UncountedNode view = h.uncounted();
        HeldNode held(view);
        EXPECT_FALSE(held.counted());
        held.drop();
        h.drop();
      },
      // The unit travels with a released name and comes back with adopting().
      [](NodeHandle& h) { NodeHandle back = NodeHandle::adopting(h.release_unit()); },
      [](NodeHandle& h) {
        HeldNode held(std::move(h));
        auto [name, counted] = held.release();
        EXPECT_TRUE(counted);
        EXPECT_TRUE(held.empty());
        NodeHandle::adopting(std::move(name)).drop();
      },
      [](NodeHandle& h) {
        HeldNode held(h.uncounted());
        auto [name, counted] = held.release();
        EXPECT_FALSE(counted);
        EXPECT_TRUE(held.empty());
        h.drop();
      },
  };
  for (const auto& end : ends) {
    auto core = GraphCore::create();
    NodeHandle a = make_state(core);
    NodeHandle second = a.promote_counted();
    end(second);
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(a.count()->count, 1u);
    UncountedNode look = a.uncounted();
    end(a);
    EXPECT_EQ(look.count()->count, 0u);
    EXPECT_FALSE(is_live(look));
  }
}

TEST(GraphCoreArena, PinsHoldAnExternallyDeadNodeUntilTheLastUnpin) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, make_value<int>(7));
  int released = 0;
  add_release_callback(a, [&] { ++released; });
  WeakNodeRef ref = WeakNodeRef::of(a);
  auto pinned = pin_node(core, ref);
  ASSERT_TRUE(pinned);
  EXPECT_EQ(pin_count(a), 1u);
  UncountedNode look = a.uncounted();
  a.drop();
  EXPECT_TRUE(is_live(look));
  EXPECT_EQ(*value_cast<int>(cache_of(pinned->second)), 7);
  EXPECT_EQ(fault_text([&] { look.promote_counted(); }), "Core counted promotion rejected: node is externally dead");
  auto again = pin_node(core, ref);  // still pinnable while pinned
  ASSERT_TRUE(again);
  again->first.unpin();
  EXPECT_TRUE(is_live(look));
  EXPECT_EQ(released, 0);
  pinned->first.unpin();
  EXPECT_FALSE(is_live(look));
  EXPECT_EQ(released, 1);
  EXPECT_FALSE(pin_node(core, ref));
}

TEST(GraphCoreArena, PinRefusesOtherCoresAndDeadNodes) {
  auto core = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle a = make_state(core);
  EXPECT_FALSE(pin_node(other, WeakNodeRef::of(a)));
  WeakNodeRef ref = WeakNodeRef::of(a);
  a.drop();
  EXPECT_FALSE(pin_node(core, ref));
}

TEST(GraphCoreArena, ReleaseCascadesThroughDepsAfterFreeingTheOwnIndex) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  UncountedNode look_a = a.uncounted();
  std::vector<NodeHandle> deps;
  deps.push_back(std::move(a));  // the dep's only counted handle
  NodeHandle b = construct_node(core, std::move(deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  b.drop();
  EXPECT_FALSE(is_live(look_a));
  auto a_ = core->borrow();
  // b's index (1) went on the free list before a's (0).
  ASSERT_EQ(a_->free_indices().size(), 2u);
  EXPECT_EQ(a_->free_indices()[0], 1u);
  EXPECT_EQ(a_->free_indices()[1], 0u);
}

// Freed indices are taken again last freed first through any mix of
// releases and reuses; a reuse raises its own slot's generation only.
TEST(GraphCoreArena, FreedIndicesAreReusedLastFreedFirst) {
  auto core = GraphCore::create();
  std::vector<NodeHandle> nodes;
  for (int i = 0; i < 5; ++i) nodes.push_back(make_state(core));
  for (std::size_t i : {1u, 3u, 0u}) nodes[i].drop();
  EXPECT_EQ(core->borrow()->free_indices(), (std::vector<std::uint64_t>{1, 3, 0}));
  nodes.push_back(make_state(core));
  EXPECT_EQ(nodes.back().key(), (SlotKey{0, 1}));
  nodes[4].drop();
  EXPECT_EQ(core->borrow()->free_indices(), (std::vector<std::uint64_t>{1, 3, 4}));
  std::vector<SlotKey> taken;
  for (int i = 0; i < 4; ++i) {
    nodes.push_back(make_state(core));
    taken.push_back(nodes.back().key());
  }
  EXPECT_EQ(taken, (std::vector<SlotKey>{{4, 1}, {3, 1}, {1, 1}, {5, 0}}));
  EXPECT_TRUE(core->borrow()->free_indices().empty());
  EXPECT_EQ(core->borrow()->live_count(), 6u);
}

TEST(GraphCoreArena, ReleaseFreesTheDispatcherSlot) {
  auto core = GraphCore::create();
  auto d = Dispatcher::thread_default();
  auto key = d->register_fn(0, fn_of([](RunContext&) {}));
  NodeHandle n = construct_node(core, {}, key, d, nullptr, {});
  EXPECT_NE(d->lookup(key), nullptr);
  n.drop();
  EXPECT_EQ(d->lookup(key), nullptr);
}

TEST(GraphCoreArena, AFaultingReleaseCallbackStillFreesTheIndex) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  add_release_callback(a, [] { fault("callback failed"); });
  SlotKey key = a.key();
  EXPECT_EQ(fault_text([&] { a.drop(); }), "callback failed");
  EXPECT_EQ(core->borrow()->free_indices().size(), 1u);
  NodeHandle b = make_state(core);
  EXPECT_EQ(b.key(), (SlotKey{key.index, key.generation + 1}));
}

TEST(GraphCoreArena, DestructorsKeepReleaseFaultsForLater) {
  auto core = GraphCore::create();
  {
    NodeHandle a = make_state(core);
    add_release_callback(a, [] { fault("late fault"); });
  }
  ASSERT_TRUE(has_kept_drop_fault());
  EXPECT_EQ(fault_text([] { raise_kept_drop_fault(); }), "late fault");
  EXPECT_FALSE(has_kept_drop_fault());
}

TEST(GraphCoreArena, ReleaseOfAStaleKeyNeverFreesTwice) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  SlotKey key = a.key();
  a.drop();
  release_slot(core, key, 0);
  release_slot(core, key, 0);
  EXPECT_EQ(core->borrow()->free_indices().size(), 1u);
}

TEST(GraphCoreArena, SetPullIdWithoutTextChangesNothing) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  set_pull_id(a, std::string("p"));
  {
    auto ar = core->borrow_mut();
    ar->aux_at(a.index()).edit_rare().pending_pull = PullRequest{"p", nullptr};
  }
  set_pull_id(a, std::nullopt);
  auto ar = core->borrow();
  EXPECT_EQ(ar->config_at(a.index()).pull_id, std::optional<std::string>("p"));
  EXPECT_TRUE(ar->aux_at(a.index()).rare().pending_pull);
}

TEST(GraphCoreArena, AccessorsNameTheMissingEntry) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  ArenaTestAccess::drop_edge(core->unguarded(), a.index());
  EXPECT_EQ(fault_text([&] { status_of(a); }), kEdgeSlot);
  ArenaTestAccess::drop_topology(core->unguarded(), a.index());
  EXPECT_EQ(fault_text([&] { status_of(a); }), kTopologySlot);
  EXPECT_EQ(fault_text([&] {
              auto ar = core->borrow_mut();
              live_slots_with_aux(*ar, a.key());
            }),
            kTopologySlot);
}

// The one-test read of a slot's six entries gives what the checks one by
// one give: the same entries, or the same fault for the first one missing.
TEST(GraphCoreArena, HeldSlotsReadAsTheEntriesCheckedOneByOne) {
  using Plant = void (*)(Arena&, std::uint64_t);
  const std::vector<std::pair<std::vector<Plant>, const char*>> cases = {
      {{}, nullptr},
      {{ArenaTestAccess::drop_aux}, kAuxSlot},
      {{ArenaTestAccess::drop_edge, ArenaTestAccess::drop_aux}, kEdgeSlot},
      {{ArenaTestAccess::empty_run, ArenaTestAccess::drop_edge}, kRunSlot},
      {{ArenaTestAccess::drop_config, ArenaTestAccess::empty_run}, kConfigSlot},
      {{ArenaTestAccess::drop_call, ArenaTestAccess::drop_aux}, kCallSlot},
      {{ArenaTestAccess::drop_topology, ArenaTestAccess::drop_call}, kTopologySlot},
  };
  for (const auto& [plants, text] : cases) {
    auto core = GraphCore::create();
    NodeHandle a = make_state(core);
    Arena& arena = core->unguarded();
    for (Plant plant : plants) plant(arena, a.index());
    if (text == nullptr) {
      const LiveSlotsWithAux one = current_slots_with_aux(arena, a.index());
      const LiveSlotsWithAux each = slots_checked_one_by_one(arena, a.index());
      EXPECT_EQ(&one.topology, &each.topology);
      EXPECT_EQ(&one.call, &each.call);
      EXPECT_EQ(&one.config, &each.config);
      EXPECT_EQ(&one.run, &each.run);
      EXPECT_EQ(&one.edge, &each.edge);
      EXPECT_EQ(&one.aux, &each.aux);
      continue;
    }
    EXPECT_EQ(fault_text([&] { current_slots_with_aux(arena, a.index()); }), text);
    EXPECT_EQ(fault_text([&] { slots_checked_one_by_one(arena, a.index()); }), text);
  }
}

namespace {

using EntryPlant = void (*)(Arena&, std::uint64_t);

// Each way of leaving one of a slot's entries missing.
const std::vector<EntryPlant> kEachEntryPlant = {ArenaTestAccess::drop_topology, ArenaTestAccess::drop_call,
                                                 ArenaTestAccess::drop_config,   ArenaTestAccess::empty_run,
                                                 ArenaTestAccess::drop_edge,     ArenaTestAccess::drop_aux};

// Calls check(arena, key, stale) on a new state node's slot with plants
// applied, once with its key and once with the next generation's.
template <class Check>
void check_planted_slot(const std::vector<EntryPlant>& plants, Check check) {
  for (const bool stale : {false, true}) {
    auto core = GraphCore::create();
    NodeHandle a = make_state(core);
    Arena& arena = core->unguarded();
    for (EntryPlant plant : plants) plant(arena, a.index());
    check(arena, stale ? SlotKey{a.index(), a.key().generation + 1} : a.key(), stale);
  }
}

}  // namespace

// Every reader that tells its entries present by one test of the mask faults
// as the same reads made one by one: the key first, then each entry it
// takes in column order.
TEST(GraphCoreArena, EachSlotReaderFaultsAsItsEntriesCheckedOneByOne) {
  using Read = std::function<void(Arena&, SlotKey)>;
  const auto beside_wave = [](Arena& a, SlotKey k) {
    TopologyEntry& topology = a.topology_at(k.index);
    EdgeEntry& edge = a.edge_at(k.index);
    slots_beside_wave_entries(a, k.index, topology, edge);
  };
  const Read run_one_by_one = [](Arena& a, SlotKey k) {
    a.check(k);
    a.topology_at(k.index), a.call_at(k.index), a.config_at(k.index), a.run_at(k.index), a.edge_at(k.index);
  };
  const Read wave_one_by_one = [](Arena& a, SlotKey k) {
    a.check(k);
    a.topology_at(k.index), a.edge_at(k.index);
  };
  const std::vector<std::tuple<const char*, Read, Read>> readers = {
      {"live", [](Arena& a, SlotKey k) { live_slots(a, k); }, run_one_by_one},
      {"live view", [](Arena& a, SlotKey k) { live_slots(static_cast<const Arena&>(a), k); }, run_one_by_one},
      {"run entries", [](Arena& a, SlotKey k) { a.require_live_entries(k); }, run_one_by_one},
      {"with aux", [](Arena& a, SlotKey k) { live_slots_with_aux(a, k); },
       [](Arena& a, SlotKey k) {
         a.check(k);
         slots_checked_one_by_one(a, k.index);
       }},
      {"down", [](Arena& a, SlotKey k) { down_slots(a, k); },
       [](Arena& a, SlotKey k) {
         a.check(k);
         a.topology_at(k.index), a.edge_at(k.index), a.aux_at(k.index);
       }},
      {"wave", [](Arena& a, SlotKey k) { wave_slots(a, k); }, wave_one_by_one},
      {"wave edge", [](Arena& a, SlotKey k) { a.wave_edge(k); }, wave_one_by_one},
      {"wave edge after a key check",
       [](Arena& a, SlotKey k) {
         a.check(k);
         a.wave_edge(k);
       }, wave_one_by_one},
      {"beside wave",
       [beside_wave](Arena& a, SlotKey k) {
         a.check(k);
         beside_wave(a, k);
       },
       [](Arena& a, SlotKey k) {
         a.check(k);
         a.topology_at(k.index), a.edge_at(k.index), a.call_at(k.index), a.config_at(k.index), a.run_at(k.index),
             a.aux_at(k.index);
       }},
  };
  const std::vector<EntryPlant>& each = kEachEntryPlant;
  std::vector<std::vector<EntryPlant>> cases = {{}};
  for (std::size_t i = 0; i < each.size(); ++i) {
    cases.push_back({each[i]});
    for (std::size_t j = i + 1; j < each.size(); ++j) cases.push_back({each[i], each[j]});
  }
  for (const auto& [name, one_test, one_by_one] : readers) {
    for (const auto& plants : cases) {
      check_planted_slot(plants, [&, &name = name, &one_test = one_test, &one_by_one = one_by_one](
                                     Arena& arena, SlotKey key, bool) {
        const std::string expected = fault_text([&] { one_by_one(arena, key); });
        EXPECT_EQ(fault_text([&] { one_test(arena, key); }), expected) << name << " " << plants.size();
      });
    }
  }
}

// The one test of a key and every entry says yes exactly where the key and
// each entry checked one by one give no fault.
TEST(GraphCoreArena, CurrentWithEveryEntryIsTheKeyAndEachEntryChecked) {
  std::vector<std::vector<EntryPlant>> cases = {{}};
  for (EntryPlant plant : kEachEntryPlant) cases.push_back({plant});
  for (const auto& plants : cases) {
    check_planted_slot(plants, [&](Arena& arena, SlotKey key, bool stale) {
      const bool whole = fault_text([&] {
                           arena.check(key);
                           slots_checked_one_by_one(arena, key.index);
                         }) == "<no fault>";
      EXPECT_EQ(arena.current_with_every_entry(key), whole) << plants.size() << " " << stale;
    });
  }
  auto core = GraphCore::create();
  EXPECT_FALSE(core->unguarded().current_with_every_entry(SlotKey{0, 0}));  // past the last slot
  // Slots taken since: each is whole, an index past them is not.
  std::vector<NodeHandle> taken;
  for (int i = 0; i < 3; ++i) taken.push_back(make_state(core, iv(i)));
  Arena& arena = core->unguarded();
  for (const NodeHandle& node : taken) EXPECT_TRUE(arena.current_with_every_entry(node.key())) << node.index();
  for (std::uint64_t past : {arena.slot_count(), arena.slot_count() + 1})
    EXPECT_FALSE(arena.current_with_every_entry(SlotKey{past, 0})) << past;
}

// A dep sink's DIRTY and DATA that meet a node without one of its entries
// fault on every road (the DIRTY's first node, a node further down its
// line, a DATA): the fault errors the nodes it passes back through, and
// nothing goes on past the node. A DATA's outcome is the same whether it
// faults at the dep sink or at the run check it would queue: the DATA row
// fixes the outcome, not where the fault is raised.
TEST(DepSinkEntries, AMessageMeetingANodeWithoutAnEntryFaultsOnEveryRoad) {
  using S = NodeStatus;
  struct Case {
    const char* road;
    std::size_t met;  // the node of the line the message meets
    bool in_run;      // planted while the line's first node runs: a DATA meets it
    std::vector<S> statuses;  // the source's, then the line's
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"first DIRTY", 0, false, {S::Errored, S::Settled, S::Settled, S::Settled, S::Settled}, {"START", "DATA 4"}},
      {"DIRTY down a line", 2, false, {S::Errored, S::Errored, S::Errored, S::Settled, S::Settled}, {"START", "DATA 4"}},
      {"DATA", 2, true, {S::Settled, S::Settled, S::Errored, S::Dirty, S::Dirty}, {"START", "DATA 4", "DIRTY"}},
  };
  using Plant = void (*)(Arena&, std::uint64_t);
  for (const Case& c : cases) {
    for (const auto& [plant, unplant] : {std::pair<Plant, Plant>{ArenaTestAccess::empty_run, ArenaTestAccess::fill_run},
                                         {ArenaTestAccess::hide_config, ArenaTestAccess::show_config}}) {
      auto core = GraphCore::create();
      NodeHandle source = make_state(core, iv(1));
      std::vector<NodeHandle> line;
      bool armed = false;
      line.push_back(make_node(core, deps_of({&source}), fn_of([&](RunContext& ctx) {
                                 if (armed) plant(core->unguarded(), line[c.met].index());
                                 emit_data(ctx, iv(int_of(ctx.inputs[0].current)));
                               })));
      for (int k = 0; k < 3; ++k) line.push_back(make_map(core, line.back(), [](int x) { return x + 1; }));
      auto sub = subscribe_recording(line.back());
      if (c.in_run)
        armed = true;
      else
        plant(core->unguarded(), line[c.met].index());
      EXPECT_EQ(fault_text([&] { node_set(source, iv(2)); }), "<no fault>") << c.road;
      armed = false;
      std::vector<S> statuses = {status_of(source)};
      unplant(core->unguarded(), line[c.met].index());
      for (const NodeHandle& n : line) statuses.push_back(status_of(n));
      EXPECT_EQ(statuses, c.statuses) << c.road;
      EXPECT_EQ(sub.log(), c.log) << c.road;
    }
  }
}

// A node function's emit reads its own slot: with an entry missing, the
// emit of a released value (the short road, which tests the whole slot at
// once) faults as the general road's reads in order do.
TEST(GraphCoreArena, ARunningNodesEmitFaultsAsItsEntriesCheckedInOrder) {
  using Plant = void (*)(Arena&, std::uint64_t);
  // The entries beside the wave step's (a missing edge or topology entry
  // faults in the wave step's own read, tested above, and leaves a graph
  // that cannot be released).
  const std::vector<std::pair<Plant, const char*>> cases = {
      {ArenaTestAccess::drop_aux, kAuxSlot},
      {ArenaTestAccess::drop_call, kCallSlot},
      {ArenaTestAccess::drop_config, kConfigSlot},
      {ArenaTestAccess::empty_run, kRunSlot},
  };
  for (const auto& [plant, text] : cases) {
    for (const bool released : {true, false}) {
      std::vector<std::string> log;  // outlives the graph, whose sink logs its drop into it
      auto core = GraphCore::create();
      NodeHandle s = make_state(core, iv(0));
      std::string emitted = "<not run>";
      bool planted = false;
      NodeHandle m = make_node(core, deps_of({&s}), fn_of([&, plant = plant](RunContext& ctx) {
                                 if (!planted) return emit_data(ctx, iv(0));
                                 plant(core->unguarded(), ctx.node.index());
                                 emitted = fault_text([&] {
                                   if (released) return down_released(ctx.node, iv(1).release());
                                   down(ctx.node, one_message(Message::data(iv(1))));
                                 });
                               }));
      auto sink = std::make_shared<NamedSink>(&log, "a");
      UnsubscribeFn off = node_subscribe(m, sink);
      planted = true;
      fault_text([&] { node_set(s, iv(1)); });  // the run's finish reads the broken slot too
      EXPECT_EQ(emitted, text) << text << (released ? " released" : " list");
      EXPECT_EQ(std::count(log.begin(), log.end(), "a DATA 1"), 0) << text;
    }
  }
}

// The wave's steps check the topology entry before the edge entry they read.
TEST(GraphCoreArena, WaveStepsNameTheTopologyEntryBeforeTheEdgeEntry) {
  const std::vector<std::pair<const char*, std::function<void(const NodeHandle&)>>> steps = {
      {"status", [](const NodeHandle& n) { status_of(n); }},
      {"down", [](const NodeHandle& n) { down(n, Message::dirty()); }},
      {"down list", [](const NodeHandle& n) { down(n, one_message(Message::dirty())); }},
      {"settle from deps", [](const NodeHandle& n) { settle_from_deps(n); }},
  };
  for (const auto& [name, step] : steps) {
    auto core = GraphCore::create();
    NodeHandle a = make_state(core);
    ArenaTestAccess::drop_edge(core->unguarded(), a.index());
    EXPECT_EQ(fault_text([&] { step(a); }), kEdgeSlot) << name;
    ArenaTestAccess::drop_topology(core->unguarded(), a.index());
    EXPECT_EQ(fault_text([&] { step(a); }), kTopologySlot) << name;
  }
}

TEST(GraphCoreArena, APullCheckOfANodeWithoutPullIdStillNamesAMissingEntry) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  handle_dep_message(a);
  ArenaTestAccess::drop_call(core->unguarded(), a.index());
  EXPECT_EQ(fault_text([&] { handle_dep_message(a); }), kCallSlot);
}

TEST(GraphCoreArena, ConstructionRefusesForeignDepsBeforeTakingASlot) {
  auto core = GraphCore::create();
  auto other = GraphCore::create();
  NodeHandle foreign = make_state(other);
  EXPECT_EQ(fault_text([&] {
              construct_node(core, deps_of({&foreign}), std::nullopt, Dispatcher::thread_default(), nullptr, {});
            }),
            "node construction: dep belongs to a different graph; cross-graph deps require a wire bridge "
            "(D22/R-graph-domain)");
  EXPECT_EQ(core->borrow()->slot_count(), 0u);
}

TEST(GraphCoreArena, InitialValueStartsSettled) {
  auto core = GraphCore::create();
  NodeHandle with = make_state(core, make_value<int>(3));
  NodeHandle without = make_state(core);
  auto ar = core->borrow();
  EXPECT_EQ(ar->edge_at(with.index()).state.status(), NodeStatus::Settled);
  EXPECT_TRUE(ar->edge_at(with.index()).state.has_data());
  EXPECT_EQ(ar->edge_at(without.index()).state.status(), NodeStatus::Sentinel);
  EXPECT_FALSE(ar->edge_at(without.index()).cache);
}

TEST(Quiescence, FollowsPinsAndRuntimeFlags) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core);
  EXPECT_TRUE(node_is_quiescent(a));
  auto pinned = pin_node(core, WeakNodeRef::of(a));
  EXPECT_FALSE(node_is_quiescent(a));
  pinned->first.unpin();
  auto flag = [&](auto set) {
    {
      auto ar = core->borrow_mut();
      set(*ar, true);
    }
    bool q = node_is_quiescent(a);
    {
      auto ar = core->borrow_mut();
      set(*ar, false);
    }
    return q;
  };
  auto i = a.index();
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set_status(ar.edge_at(i).state, on ? NodeStatus::Dirty : NodeStatus::Sentinel); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set_status(ar.edge_at(i).state, on ? NodeStatus::Pending : NodeStatus::Sentinel); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set(ar.edge_at(i).state, NodeState::Flag::Running, on); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set(ar.edge_at(i).state, NodeState::Flag::MutationInFlight, on); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set(ar.edge_at(i).state, NodeState::Flag::BatchQueued, on); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) { NodeStateTestAccess::set_pending_count(ar.edge_at(i).state, on); }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) {
    if (on) ar.aux_at(i).edit_rare().held.emplace_back(); else ar.aux_at(i).edit_rare().held.clear();
  }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) {
    if (on) ar.aux_at(i).edit_rare().pause_locks.insert("x"); else ar.aux_at(i).edit_rare().pause_locks.clear();
  }));
  EXPECT_FALSE(flag([&](Arena& ar, bool on) {
    if (on) ar.aux_at(i).edit_rare().current_pull = PullRequest{"p", nullptr}; else ar.aux_at(i).edit_rare().current_pull.reset();
  }));
  EXPECT_TRUE(node_is_quiescent(a));
  UncountedNode look = a.uncounted();
  a.drop();
  EXPECT_TRUE(node_is_quiescent(look));
}

TEST(GraphContainerBasics, GraphsShareTheThreadDispatcherButNotCores) {
  auto g1 = GraphContainer::create("one");
  auto g2 = GraphContainer::create(std::nullopt);
  EXPECT_EQ(g1->dispatcher(), g2->dispatcher());
  EXPECT_NE(g1->core()->id(), g2->core()->id());
  EXPECT_EQ(*g1->name(), "one");
  EXPECT_FALSE(g2->name());
  EXPECT_FALSE(g1->timing());
}

TEST(GraphContainerBasics, RegistrationKeepsNodesAliveAndRefusesDuplicates) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle n = g->register_node(make_state(g->core()), "state", "state#4");
  EXPECT_EQ(g->unnamed_counter(), 5u);
  UncountedNode look = n.uncounted();
  n.drop();
  EXPECT_TRUE(is_live(look));
  EXPECT_EQ(fault_text([&] { g->register_node(make_state(g->core()), "state", "state#4"); }),
            "duplicate graph node id 'state#4'");
  auto other = GraphContainer::create(std::nullopt);
  EXPECT_EQ(fault_text([&] { g->register_node(make_state(other->core()), "state", "x"); }),
            "graph node belongs to a different graph arena");
  ASSERT_TRUE(g->find("state#4"));
  g.reset();
  EXPECT_FALSE(is_live(look));
}

TEST(RestoreDepNode, BuildsRegistersAndResolvesTheGraphPolicy) {
  auto g = GraphContainer::create(std::nullopt);
  VersioningForm content;
  content.choice = VersioningForm::Choice::Level1;
  g->set_default_versioning(content);
  NodeHandle s = g->register_node(make_state(g->core(), make_value<std::int64_t>(1)), "state", "s");
  NodeOptions options;
  options.pull_id = "p";
  options.partial = true;
  NodeHandle n = restore_dep_node(*g, "n", "node", deps_of({&s}), fn_of([](RunContext&) {}), options);
  EXPECT_EQ(node_kind(n), std::optional<std::string>("node"));
  EXPECT_EQ(read_version(n).mode, NodeVersioning::Mode::Level1);
  {
    auto ar = g->core()->borrow();
    EXPECT_EQ(ar->config_at(n.index()).pull_id, std::optional<std::string>("p"));
    EXPECT_EQ(ar->config_at(n.index()).partial, 1);
  }
  ASSERT_TRUE(g->find("n"));

  NodeOptions bad;
  bad.pull_id = "p";
  bad.pause_mode = Pausable::False;
  EXPECT_EQ(fault_text([&] { restore_dep_node(*g, "m", "node", {}, fn_of([](RunContext&) {}), bad); }),
            "pullId + pausable:false is invalid (R-pull / R-pause-modes)");
  auto other = GraphContainer::create(std::nullopt);
  NodeHandle foreign = make_state(other->core());
  EXPECT_EQ(fault_text([&] { restore_dep_node(*g, "x", "node", deps_of({&foreign}), fn_of([](RunContext&) {}), NodeOptions{}); }),
            "x dep belongs to a different graph; cross-graph deps require a wire bridge");
}

TEST(GraphCoreArena, TheLastPinOfAnExternallyDeadActiveNodeDetachesAndFreesIt) {
  auto core = GraphCore::create();
  auto d = Dispatcher::thread_default();
  NodeHandle s = make_state(core, make_value<int>(1));
  NodeHandle m = make_node(core, deps_of({&s}), fn_of([](RunContext&) {}));
  const DispatcherKey key = *core->borrow()->call_at(m.index()).key;
  struct Quiet final : Sink {
    void call(const Message&) override {}
  };
  SinkRegistration registration;
  UnsubscribeFn kept = subscribe_sink(m, std::make_shared<Quiet>(), 0, registration);
  int released = 0;
  add_release_callback(m, [&] { ++released; });
  auto pinned = pin_node(core, WeakNodeRef::of(m));
  UncountedNode look = m.uncounted();
  m.drop();
  kept = UnsubscribeFn();  // its counted handle was the last one
  ASSERT_TRUE(is_live(look));
  EXPECT_EQ(core->borrow()->aux_at(s.index()).sinks.size(), 1u);  // still attached to its dep
  pinned->first.unpin();
  EXPECT_FALSE(is_live(look));
  EXPECT_TRUE(core->borrow()->aux_at(s.index()).sinks.empty());
  EXPECT_EQ(released, 1);
  EXPECT_EQ(d->lookup(key), nullptr);
}

TEST(GraphCoreArena, ConstructionFillsEveryColumnForTheGivenOptions) {
  auto core = GraphCore::create();
  NodeHandle bare = make_state(core);
  {
    auto ar = core->borrow();
    EXPECT_TRUE(ar->edge_at(bare.index()).dep_state.empty());
    EXPECT_TRUE(ar->edge_at(bare.index()).dep_links.empty());
    EXPECT_TRUE(ar->topology_at(bare.index()).deps.empty());
  }
  NodeSpec content;
  content.versioning.choice = VersioningForm::Choice::Level1;
  NodeHandle c = make_state(core, nullptr, content);
  ASSERT_TRUE(version_metadata(c));
  EXPECT_EQ(version_metadata(c)->level, NodeVersion::Level::Level1);
  EXPECT_EQ(version_metadata(c)->counter, 0u);
  EXPECT_FALSE(version_metadata(c)->prev);
  EXPECT_EQ(version_metadata(c)->cid.rfind("fnv1a64:", 0), 0u);
  NodeSpec unresolved;  // form 3: the graph's policy, not resolved by the caller
  NodeHandle u = make_state(core, nullptr, unresolved);
  EXPECT_EQ(*version_metadata(u), NodeVersion::level0(0));
  NodeSpec off;
  off.versioning.choice = VersioningForm::Choice::Disabled;
  EXPECT_FALSE(version_metadata(make_state(core, nullptr, off)));
}

// Built nodes that are never connected hold no dep links; the first
// connection sizes them, and the node then works through them.
TEST(GraphCoreArena, DepLinksAreSizedByTheFirstConnection) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_state(core, iv(2));
  NodeHandle sum = make_node(core, deps_of({&a, &b}), fn_of([](RunContext& ctx) {
                               emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                             }));
  auto links = [&] { return core->borrow()->edge_at(sum.index()).dep_links.size(); };
  EXPECT_EQ(core->borrow()->edge_at(sum.index()).dep_state.size(), 0u);
  EXPECT_EQ(links(), 0u);
  Subscribed s = subscribe_recording(sum);
  EXPECT_EQ(core->borrow()->edge_at(sum.index()).dep_state.size(), 2u);
  EXPECT_EQ(links(), 2u);
  node_set(a, iv(5));
  EXPECT_EQ(int_of(cache_of(sum)), 7);
}

TEST(Quiescence, NothingIsQuiescentInsideAWaveAndPendingWorkCounts) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, make_value<int>(1));
  bool inside = true;
  run_in_wave_scope(a, [&] { inside = node_is_quiescent(a); });
  EXPECT_FALSE(inside);
  auto i = a.index();
  {
    auto ar = core->borrow_mut();
    NodeStateTestAccess::set(ar->edge_at(i).state, NodeState::Flag::RunAfterMutation, true);
  }
  EXPECT_FALSE(node_is_quiescent(a));
  {
    auto ar = core->borrow_mut();
    NodeStateTestAccess::set(ar->edge_at(i).state, NodeState::Flag::RunAfterMutation, false);
    ar->aux_at(i).edit_rare().pending_pull = PullRequest{"p", nullptr};
  }
  EXPECT_FALSE(node_is_quiescent(a));
  {
    auto ar = core->borrow_mut();
    ar->aux_at(i).edit_rare().pending_pull.reset();
    ar->deferred_ops().push_back(DeferredOp{DeferredKind::UpNext, WeakNodeRef::of(a), nullptr, UpNextPayload{}});
  }
  EXPECT_FALSE(node_is_quiescent(a));  // its core has queued work
  core->borrow_mut()->deferred_ops().clear();
  EXPECT_TRUE(node_is_quiescent(a));
}

// Construction keeps the node settings but neither their kind text nor their
// pull id; the factories' variant keeps the kind text it is given and the pull id.
TEST(GraphCoreArena, ConstructionKeepsKindTextAndPullIdOnlyWhenAsked) {
  CoreRef core = GraphCore::create();
  NodeSpec spec;
  spec.kind = "k";
  spec.pull_id = std::string("p");
  spec.partial = 1;
  spec.pausable = Pausable::False;
  NodeHandle plain = make_state(core, nullptr, spec);
  SharedGraphHooks no_hooks;
  TopologyHook no_topology_hook;
  NodeHandle kept = construct_node_with_kind_and_pull_id(core, {}, std::nullopt, Dispatcher::thread_default(),
                                                         NodeSpec(spec), OptionalKindText(spec.kind),
                                                         GraphInstalls{no_hooks, no_topology_hook});
  EXPECT_FALSE(node_kind(plain));
  EXPECT_EQ(node_kind(kept), "k");
  auto a = core->borrow();
  for (const NodeHandle* n : {&plain, &kept}) {
    EXPECT_EQ(a->config_at(n->index()).partial, 1);
    EXPECT_EQ(a->config_at(n->index()).pausable, Pausable::False);
  }
  EXPECT_FALSE(a->config_at(plain.index()).pull_id);
  EXPECT_EQ(a->config_at(kept.index()).pull_id, std::optional<std::string>("p"));
}

namespace {
// What a new node's slot holds, read entry by entry.
struct SlotReading {
  NodeStatus status;
  std::optional<int> cache;
  std::size_t deps, dep_states, dep_links;
  std::optional<std::string> kind, pull_id;
  bool has_key, has_run, has_sinks, has_rare;
  std::uint8_t partial, complete_when_deps_complete;
  std::uint64_t pins, touch;
  bool versioned;
  bool operator==(const SlotReading&) const = default;
};

SlotReading read_slot(const NodeHandle& n) {
  NodeView v(n);
  const EdgeEntry& e = v.edge();
  return SlotReading{e.state.status(),
                     e.cache ? std::optional<int>(int_of(e.cache)) : std::nullopt,
                     v.topology().deps.size(),
                     e.dep_state.size(),
                     e.dep_links.size(),
                     v.call().kind.value(),
                     v.config().pull_id.has_value() ? std::optional<std::string>(*v.config().pull_id) : std::nullopt,
                     v.call().key.has_value(),
                     v.has_run(),
                     !v.aux().sinks.empty(),
                     v.aux().rare_if_made() != nullptr,
                     v.config().partial,
                     v.config().complete_when_deps_complete,
                     v.pin_count(),
                     n.core_ref().borrow()->touch_stamp(n.index()),
                     version_metadata(n).has_value()};
}
}  // namespace

// A slot taken from the free list is filled part by part over the entries
// its last node left: it must read as a slot taken new, whatever that node held.
TEST(GraphCoreArena, AReusedSlotReadsAsANewOne) {
  struct Case {
    const char* name;
    bool initial;
    bool with_dep;
  };
  for (const Case& c : {Case{"bare state", false, false}, Case{"state with a value", true, false},
                        Case{"derived", false, true}}) {
    SCOPED_TRACE(c.name);
    // Settings other than the last occupant's and the defaults.
    NodeSpec settings;
    settings.partial = 1;
    settings.complete_when_deps_complete = 0;
    auto build = [&](const CoreRef& core, const NodeHandle& dep) {
      if (c.with_dep) return make_node(core, deps_of({&dep}), fn_of([](RunContext&) {}), settings);
      return make_state(core, c.initial ? iv(7) : nullptr, settings);
    };
    CoreRef fresh_core = GraphCore::create();
    NodeHandle fresh_dep = make_state(fresh_core, iv(1));
    NodeHandle fresh = build(fresh_core, fresh_dep);

    CoreRef core = GraphCore::create();
    NodeHandle dep = make_state(core, iv(1));
    std::uint64_t used_index = 0;
    {
      // The last occupant holds a kind, a pull id, settings, a run, dep
      // links, sinks and a rare record.
      NodeSpec spec;
      spec.pausable = Pausable::False;
      spec.pull_id = std::string("p");
      SharedGraphHooks no_hooks;
      TopologyHook no_topology_hook;
      auto d = Dispatcher::thread_default();
      DispatcherKey key = d->register_fn(0, fn_of([](RunContext& ctx) { emit_data(ctx, iv(int_of(ctx.inputs[0].current))); }));
      NodeHandle old = construct_node_with_kind_and_pull_id(core, DepList::for_build(deps_of({&dep})), key, d,
                                                            std::move(spec), OptionalKindText(std::string("old")),
                                                            GraphInstalls{no_hooks, no_topology_hook});
      set_ctx_state(old, iv(9));
      Subscribed s = subscribe_recording(old);
      node_set(dep, iv(2));
      ASSERT_TRUE(read_slot(old).has_run);
      ASSERT_TRUE(read_slot(old).has_sinks);
      used_index = old.index();
      s.unsubscribe.call();
    }
    NodeHandle reused = build(core, dep);
    ASSERT_EQ(reused.index(), used_index);
    EXPECT_EQ(reused.key().generation, 1u);
    EXPECT_TRUE(read_slot(reused) == read_slot(fresh));
    EXPECT_EQ(read_slot(reused).kind, std::nullopt);
  }
}

// Released slots keep nothing of their nodes: each value goes once, at its
// release or with the core, whose drop takes the live slots in index order.
TEST(GraphCoreArena, ACoreDropsEachLiveSlotsEntriesOnceWhateverWasReleased) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> released;  // of slots 0..2, holding a, b, c
    std::vector<std::string> reused;      // values of the slots made after
    std::vector<std::string> at_release;
    std::vector<std::string> with_core;
  };
  const std::vector<Case> cases = {
      {"none released", {}, {}, {}, {"~a", "~b", "~c"}},
      {"one released", {1}, {}, {"~b"}, {"~a", "~c"}},
      {"released and reused", {1, 2}, {"d", "e"}, {"~b", "~c"}, {"~a", "~e", "~d"}},
      {"one of two reused", {0, 2}, {"d"}, {"~a", "~c"}, {"~b", "~d"}},
      {"all released", {2, 0, 1}, {}, {"~c", "~a", "~b"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> log;  // outlives the core, whose drops log into it
    auto core = GraphCore::create();
    std::vector<SlotKey> keys;
    for (const char* name : {"a", "b", "c"}) keys.push_back(occupy_bare(core, tracked(log, name)));
    for (std::uint64_t i : c.released) release_slot(core, keys[i], 0);
    for (const std::string& name : c.reused) occupy_bare(core, tracked(log, name));
    EXPECT_EQ(log, c.at_release);
    log.clear();
    core.reset();
    EXPECT_EQ(log, c.with_core);
  }
}
