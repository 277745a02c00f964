#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <thread>
#include <utility>

#include "base/fault.hpp"
#include "dispatcher/dispatcher.hpp"
#include "node/arena/construct.hpp"

using namespace korvalinth;

namespace {
struct CountingFn final : NodeFn {
  int runs = 0;
  void run(RunContext&) override { ++runs; }
};
SharedNodeFn make_fn() { return std::make_shared<CountingFn>(); }

std::string fault_text(auto&& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.text();
  }
  return "<no fault>";
}
}  // namespace

TEST(Dispatcher, KeysReuseFreedSlotsLastInFirstOut) {
  Dispatcher d{0, 1};
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 0, 0}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 1, 0}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 2, 0}));
  d.free_slot({0, 1, 0});
  EXPECT_EQ(d.lookup({0, 1, 0}), nullptr);
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 1, 1}));
  d.free_slot({0, 1, 0});  // stale: changes nothing
  EXPECT_NE(d.lookup({0, 1, 1}), nullptr);

  d.free_slot({0, 2, 0});
  d.free_slot({0, 0, 0});
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 0, 1}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 2, 1}));
}

TEST(Dispatcher, AKeyNamesItsFunctionOnlyWhileCurrent) {
  Dispatcher d{0, 1};
  auto kept = make_fn();
  d.register_fn(0, kept);
  d.register_fn(0, make_fn());
  d.free_slot({0, 1, 0});
  struct Case {
    DispatcherKey key;
    bool names_kept;
  };
  const Case cases[] = {
      {{0, 0, 0}, true},   // current
      {{0, 0, 1}, false},  // a generation the slot never had
      {{0, 1, 0}, false},  // freed
      {{0, 1, 1}, false},  // the freed slot's next generation, not taken yet
      {{0, 2, 0}, false},  // past the partition's slots
      {{1, 0, 0}, false},  // an empty partition
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.key.partition << "/" << c.key.slot << "/" << c.key.generation);
    EXPECT_EQ(d.lookup(c.key) != nullptr, c.names_kept);
    Dispatcher::RunLookup run = d.lookup_for_run(c.key);
    EXPECT_EQ(run.fn, c.names_kept ? kept.get() : nullptr);
    EXPECT_EQ(run.partition_flag, c.key.partition);
    if (!c.names_kept) d.free_slot(c.key);  // frees nothing
  }
  EXPECT_EQ(d.lookup({0, 0, 0}), kept);
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 1, 1}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 2, 0}));
}

// What a run found under a key is reused until a slot is freed or timing
// turns on: after each
// step the kept road gives what a fresh lookup gives.
TEST(Dispatcher, WhatARunFoundHoldsUntilASlotIsFreed) {
  Dispatcher d{0, 1};
  auto kept = make_fn();
  const DispatcherKey key = d.register_fn(1, kept);
  const DispatcherKey other = d.register_fn(1, make_fn());
  const std::function<void()> steps[] = {
      [] {},                                   // first found
      [] {},                                   // reused
      [&] { d.register_fn(0, make_fn()); },   // a new slot moves nothing
      [&] { d.free_slot(other); },             // another slot freed
      [&] { d.free_slot(key); },               // its own slot freed
      [&] { d.register_fn(1, make_fn()); },   // the slot taken again, a generation on
      [&] { d.enable_fn_timing(); },           // timing turned on
  };
  FoundRunFn found;
  int step = 0;
  for (const auto& act : steps) {
    SCOPED_TRACE(step++);
    act();
    const Dispatcher::RunLookup fresh = d.lookup_for_run(key);
    const Dispatcher::RunLookup kept_road = d.lookup_for_run(key, found);
    EXPECT_EQ(kept_road.fn, fresh.fn);
    EXPECT_EQ(kept_road.fn, step <= 4 ? kept.get() : nullptr);
    EXPECT_EQ(kept_road.partition_flag, 1);
    EXPECT_EQ(kept_road.timing, step == 7);
  }
  FoundRunFn out_of_range;
  EXPECT_EQ(fault_text([&] { d.lookup_for_run({2, 0, 0}, out_of_range); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(Dispatcher, PartitionOutOfRangeFaultsAndReleasesTheFunction) {
  Dispatcher d{0, 1};
  auto fn = make_fn();
  std::weak_ptr<NodeFn> weak = fn;
  EXPECT_EQ(fault_text([&] { d.register_fn(2, std::move(fn)); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(d.partition_flag(1), 1);
}

TEST(Dispatcher, ThreadDefaultIsPerThread) {
  auto a = Dispatcher::thread_default();
  EXPECT_EQ(a, Dispatcher::thread_default());
  EXPECT_EQ(a->partition_flag(0), 0);
  EXPECT_EQ(a->partition_flag(1), 1);
  EXPECT_FALSE(a->timing_enabled());
  DispatcherRef other;
  std::thread([&] { other = Dispatcher::thread_default(); }).join();
  EXPECT_NE(a, other);
}

TEST(Dispatcher, TimingEntriesAccumulateAndGoWithTheSlot) {
  auto d = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
  auto key = d->register_fn(0, make_fn());
  std::uint64_t start = monotonic_now_ns();
  record_fn_timing(start, d, key);
  record_fn_timing(start, d, key);
  auto stats = d->timing_of(key);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->calls, 2u);
  EXPECT_GE(stats->total_ns, stats->last_ns);
  // A clock reading in the future saturates at zero.
  record_fn_timing(monotonic_now_ns() + 1000000000ULL, d, key);
  EXPECT_EQ(d->timing_of(key)->last_ns, 0u);
  d->free_slot(key);
  EXPECT_FALSE(d->timing_of(key));
}

#include "node/topology/replace_node_fn.hpp"
#include "graph/graph_container.hpp"
#include "node/topology/node_ops.hpp"
#include "node/topology/subscribe.hpp"

TEST(Dispatcher, ReplaceNodeFnKeepsThePartitionFlagAndFreesTheOldSlotLast) {
  auto g = GraphContainer::create(std::nullopt, std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}));
  auto d = g->dispatcher();
  for (int i = 0; i < 4; ++i) d->register_fn(1, make_fn());
  auto key = d->register_fn(1, make_fn());
  ASSERT_EQ(key, (DispatcherKey{1, 4, 0}));
  NodeHandle n = construct_node(g->core(), {}, key, d, nullptr, {});
  auto replacement = std::make_shared<CountingFn>();
  replace_node_fn(n, replacement);
  auto stored = g->core()->borrow()->call_at(n.index()).key;
  EXPECT_EQ(*stored, (DispatcherKey{1, 5, 0}));
  EXPECT_EQ(d->lookup(key), nullptr);
  EXPECT_EQ(d->state().borrow()->partitions[1].slots[4].generation, 1u);

  NodeHandle bare = construct_node(g->core(), {}, std::nullopt, d, nullptr, {});
  replace_node_fn(bare, make_fn());
  EXPECT_EQ(g->core()->borrow()->call_at(bare.index()).key->partition, 0u);
}

TEST(Dispatcher, TimedRunsAreCountedPerKey) {
  auto g = GraphContainer::create(std::nullopt, std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}),
                                  true);
  EXPECT_TRUE(g->timing());
  auto fn = std::make_shared<CountingFn>();
  auto key = g->dispatcher()->register_fn(0, fn);
  NodeHandle source = construct_node(g->core(), {}, key, g->dispatcher(), nullptr, {});
  struct Quiet final : Sink {
    void call(const Message&) override {}
  };
  UnsubscribeFn off = node_subscribe(source, std::make_shared<Quiet>());
  off.call();
  off = node_subscribe(source, std::make_shared<Quiet>());
  EXPECT_EQ(fn->runs, 2);
  EXPECT_EQ(g->dispatcher()->timing_of(key)->calls, 2u);
  off.call();
  source.drop();
  EXPECT_FALSE(g->dispatcher()->timing_of(key));
}

#include "node/wave/run_wave.hpp"
#include "node/wave/wave_scope.hpp"
#include "node/arena/graph_core.hpp"

TEST(Dispatcher, AReplacedFunctionRunsNextAndAFaultingTimedCallIsStillRecorded) {
  auto g = GraphContainer::create(std::nullopt, std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}),
                                  true);
  auto first = std::make_shared<CountingFn>();
  auto key = g->dispatcher()->register_fn(0, first);
  NodeHandle n = construct_node(g->core(), {}, key, g->dispatcher(), nullptr, {});
  struct Failing final : NodeFn {
    void run(RunContext&) override { fault("failed run"); }
  };
  replace_node_fn(n, std::make_shared<Failing>());
  const DispatcherKey replaced = *g->core()->borrow()->call_at(n.index()).key;
  std::string seen;
  run_in_wave_scope(n, [&] { seen = fault_text([&] { run_wave(n); }); });
  EXPECT_EQ(seen, "failed run");
  EXPECT_EQ(first->runs, 0);
  ASSERT_TRUE(g->dispatcher()->timing_of(replaced));
  EXPECT_EQ(g->dispatcher()->timing_of(replaced)->calls, 1u);
  EXPECT_FALSE(g->core()->borrow()->edge_at(n.index()).state.running());
}

// A node whose slot was freed under it runs nothing; a replacement runs
// next, even when freeing the stale key frees nothing.
TEST(Dispatcher, ANodeRunsWhatItsKeyNamesAfterItsSlotWasFreed) {
  auto g = GraphContainer::create(std::nullopt, std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}));
  auto first = std::make_shared<CountingFn>();
  auto second = std::make_shared<CountingFn>();
  const DispatcherKey key = g->dispatcher()->register_fn(0, first);
  NodeHandle n = construct_node(g->core(), {}, key, g->dispatcher(), nullptr, {});
  const auto run = [&] { run_in_wave_scope(n, [&] { run_wave(n); }); };
  run();
  g->dispatcher()->free_slot(key);
  run();
  EXPECT_EQ(first->runs, 1);
  replace_node_fn(n, second);
  run();
  run();
  EXPECT_EQ(first->runs, 1);
  EXPECT_EQ(second->runs, 2);
}

namespace {
// Runs its action when dropped: a callback whose drop runs host code.
struct ActOnDrop {
  std::function<void()> act;
  explicit ActOnDrop(std::function<void()> a) : act(std::move(a)) {}
  ActOnDrop(ActOnDrop&& o) noexcept : act(std::exchange(o.act, nullptr)) {}
  ~ActOnDrop() {
    if (act) act();
  }
};
}  // namespace

// A run drops the callbacks of the previous run before it looks up the
// function: what their drop changes holds for the run (a function replaced
// meanwhile frees the key the run holds, so nothing runs; timing turned on
// times it).
TEST(Dispatcher, ARunLooksUpItsFunctionAfterTheDroppedCallbacks) {
  enum class Drop { Nothing, ReleaseReplacesTheFunction, InvalidateTurnsTimingOn };
  for (Drop drop : {Drop::Nothing, Drop::ReleaseReplacesTheFunction, Drop::InvalidateTurnsTimingOn}) {
    SCOPED_TRACE(static_cast<int>(drop));
    auto g = GraphContainer::create(std::nullopt,
                                    std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}));
    auto first = std::make_shared<CountingFn>();
    auto second = std::make_shared<CountingFn>();
    NodeHandle n = construct_node(g->core(), {}, g->dispatcher()->register_fn(0, first), g->dispatcher(), nullptr, {});
    if (drop == Drop::ReleaseReplacesTheFunction) {
      add_release_callback(n, [on_drop = ActOnDrop([&] { replace_node_fn(n, second); })] {});
    } else if (drop == Drop::InvalidateTurnsTimingOn) {
      auto on_drop = std::make_shared<ActOnDrop>([&] { g->dispatcher()->enable_fn_timing(); });
      add_invalidate_callback(n, make_invalidate_callback([on_drop] {}));
    }
    run_in_wave_scope(n, [&] { run_wave(n); });
    const DispatcherKey key = *g->core()->borrow()->call_at(n.index()).key;
    EXPECT_EQ(first->runs, drop == Drop::ReleaseReplacesTheFunction ? 0 : 1);
    EXPECT_EQ(second->runs, 0);
    const auto timed = g->dispatcher()->timing_of(key);
    EXPECT_EQ(timed ? timed->calls : 0u, drop == Drop::InvalidateTurnsTimingOn ? 1u : 0u);
    EXPECT_FALSE(g->core()->borrow()->edge_at(n.index()).state.running());
  }
}

namespace {
// Tells when it is destroyed.
struct WatchedFn final : NodeFn {
  bool* gone;
  explicit WatchedFn(bool* g) : gone(g) {}
  ~WatchedFn() override { *gone = true; }
  void run(RunContext&) override {}
};
}  // namespace

// A function the registry lets go of while it runs under a claim lives until
// the outermost claim on it ends, and goes then.
TEST(FnRunClaim, AFunctionLetGoWhileItRunsGoesWhenTheOutermostClaimEnds) {
  enum class LetGo { SlotFreed, RegistryDropped, BothOfItsSlotsFreed, SlotFreedUnderNestedClaims };
  for (LetGo let_go : {LetGo::SlotFreed, LetGo::RegistryDropped, LetGo::BothOfItsSlotsFreed,
                       LetGo::SlotFreedUnderNestedClaims}) {
    SCOPED_TRACE(static_cast<int>(let_go));
    bool gone = false;
    auto d = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
    const DispatcherKey key = d->register_fn(0, std::make_shared<WatchedFn>(&gone));
    const DispatcherKey second = d->register_fn(1, d->lookup(key));
    NodeFn* fn = d->lookup_for_run(key).fn;
    ASSERT_NE(fn, nullptr);
    {
      std::optional<FnRunClaim> outer;
      if (let_go == LetGo::SlotFreedUnderNestedClaims) outer.emplace(fn);
      {
        FnRunClaim claim(fn);
        if (let_go == LetGo::RegistryDropped) {
          d.reset();
        } else {
          d->free_slot(key);
          if (let_go == LetGo::BothOfItsSlotsFreed) d->free_slot(second);
        }
        EXPECT_FALSE(gone);
      }
      // Still held by the second slot (first and last case) and by the
      // outer claim (last case).
      EXPECT_EQ(gone, let_go == LetGo::RegistryDropped || let_go == LetGo::BothOfItsSlotsFreed);
      if (d) d->free_slot(second);
      EXPECT_EQ(gone, !outer.has_value());
    }
    EXPECT_TRUE(gone);
  }
}

// A function that replaces itself while it runs goes when its run returns.
TEST(FnRunClaim, AFunctionReplacedInItsOwnRunGoesWhenTheRunReturns) {
  struct ReplacesItself final : NodeFn {
    bool* gone;
    bool* alive_after_replace;
    bool* running_when_gone = nullptr;
    std::function<void()> replace;
    ReplacesItself(bool* g, bool* a) : gone(g), alive_after_replace(a) {}
    ~ReplacesItself() override {
      *gone = true;
      // Its run still counts as running while it goes.
      *running_when_gone = node_function_running();
    }
    void run(RunContext&) override {
      auto act = std::move(replace);
      act();
      *alive_after_replace = !*gone;
    }
  };
  auto g = GraphContainer::create(std::nullopt, std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1}));
  bool gone = false;
  bool alive_after_replace = false;
  auto fn = std::make_shared<ReplacesItself>(&gone, &alive_after_replace);
  ReplacesItself* raw = fn.get();
  NodeHandle n = construct_node(g->core(), {}, g->dispatcher()->register_fn(0, std::move(fn)), g->dispatcher(),
                                nullptr, {});
  raw->replace = [&] { replace_node_fn(n, make_fn()); };
  bool running_when_gone = false;
  raw->running_when_gone = &running_when_gone;
  bool gone_after_run = false;
  run_in_wave_scope(n, [&] {
    run_wave(n);
    gone_after_run = gone;
  });
  EXPECT_TRUE(alive_after_replace);
  EXPECT_TRUE(gone_after_run);
  EXPECT_TRUE(running_when_gone);
  EXPECT_FALSE(node_function_running());
}
