// A run check waiting in the lone slot lends its node's count record and
// core while the wave that touched the node keeps both. On each road below
// the node's other holders let go while such an item waits or drains: an
// item that kept a lent record past the wave's end, or dropped one it only
// borrowed, frees the record early (a use after free under ASan) or leaves
// the node unreleased. Where the test holds the records itself, an early
// free shows as unbalanced counts instead.

#include <gtest/gtest.h>

#include "node/topology/rewire.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

enum class Road {
  RunFaults,               // the drained node's function faults: the drain unwinds
  RunDropsItsNode,         // its function unsubscribes it and drops its last handle
  DepDropsItOnceQueued,    // its dep's run drops it after the DATA that queued it
  DepRewiresItBeforeEmit,  // its dep's run adds a dep to it and replaces its function
  TakenBesideAnother,      // a second item queued: a drain of both takes the lone one
  LeftPastTheWave,         // the wave ends before its drain; it is dropped, then drained
  QueuedUntouched,         // an item the wave never touched: it holds its counts, not lent
  LastHandleGoesInWave,    // the wave drops the last handle of a waiting one, then ends
  LastHandleGoesInFaultedWave,  // the same, and then the wave faults
};

struct LentCase {
  const char* name;
  Road road;
  std::vector<std::string> expected;  // the runs, and what b sent its subscriber
  // Whether the test holds the nodes' count records; else only their keys.
  bool holds_records = true;
};

// A chain head -> a -> b, both touched by the wave of a set of head, which
// queues a's run check and, from a's run, b's: each waits lent.
std::vector<std::string> run_road(const LentCase& c) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle owner = make_state(core, iv(0));
  NodeHandle head = make_state(core, iv(1));
  NodeHandle a;
  NodeHandle b;
  Subscribed b_sub;
  const auto drop_b = [&] {
    b_sub.unsubscribe.call();
    b.drop();
  };
  a = make_node(core, deps_of({&head}), fn_of([&](RunContext& ctx) {
                  log.push_back("a ran");
                  const bool set = int_of(ctx.inputs[0].current) == 2;
                  if (set && c.road == Road::DepDropsItOnceQueued) {
                    // No drain at the emit: b's check waits in the lone slot.
                    DeliveryFrame frame;
                    emit_data(ctx, ctx.inputs[0].current);
                    drop_b();
                    return;
                  }
                  if (set && c.road == Road::TakenBesideAnother) drop_b();
                  if (set && c.road == Road::DepRewiresItBeforeEmit)
                    rewire(b, SubscribeDep{summing(10), owner.promote_counted()});
                  // With b gone, a's last handle goes in its own run.
                  if (set && c.road == Road::TakenBesideAnother) a.drop();
                  emit_data(ctx, ctx.inputs[0].current);
                }));
  b = make_node(core, deps_of({&a}), fn_of([&](RunContext& ctx) {
                  log.push_back("b ran");
                  const bool set = int_of(ctx.inputs[0].current) == 2;
                  if (set && c.road == Road::RunFaults) fault("b failed");
                  if (set && c.road == Road::RunDropsItsNode) drop_b();
                  emit_data(ctx, ctx.inputs[0].current);
                }));
  NodeHandle other = make_node(core, deps_of({&owner}), fn_of([&](RunContext&) { log.push_back("other ran"); }));
  Subscribed other_sub = subscribe_recording(other);
  b_sub = subscribe_recording(b);
  b_sub.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Data || m.kind() == MessageKind::Error) log.push_back("b sent " + b_sub.log().back());
  };
  const SlotKey a_key = a.key();
  const SlotKey b_key = b.key();
  const auto is_current = [&](SlotKey key) { return core->borrow()->is_current(key); };
  std::vector<UncountedNode> records;
  if (c.holds_records)
    for (const NodeHandle* n : {&a, &b, &other}) records.push_back(n->uncounted());
  const bool last_handle_in_wave = c.road == Road::LastHandleGoesInWave || c.road == Road::LastHandleGoesInFaultedWave;
  log.clear();
  if (c.road == Road::QueuedUntouched) {
    run_in_wave_scope(owner, [&] {
      {
        DeliveryFrame frame;
        push_pending(other, PendingKind::RunCheck);
      }
      drain_pending();
    });
  } else if (c.road == Road::TakenBesideAnother || c.road == Road::LeftPastTheWave || last_handle_in_wave) {
    // The set goes inside a delivery of the owner's wave: its frames close
    // without draining, and a's check waits in the lone slot.
    run_in_wave_scope(owner, [&] {
      {
        DeliveryFrame frame;
        node_set(head, iv(2));
        if (c.road == Road::TakenBesideAnother) push_pending(other, PendingKind::RunCheck);
      }
      if (c.road == Road::TakenBesideAnother) drain_pending();
      if (last_handle_in_wave) {
        // Only the wave's touch keeps a's record now.
        drop_b();
        a.drop();
        if (c.road == Road::LastHandleGoesInFaultedWave) fault("the wave failed");
      }
    });
    if (c.road == Road::LeftPastTheWave) {
      // Left past the wave: a and b go before the drain.
      drop_b();
      a.drop();
      EXPECT_FALSE(is_current(a_key)) << c.name;
      drain_pending();
    }
    if (last_handle_in_wave) {
      EXPECT_FALSE(is_current(a_key)) << c.name;
      drain_pending();
    }
  } else {
    node_set(head, iv(2));
  }
  if (!b.empty()) drop_b();
  EXPECT_FALSE(is_current(b_key)) << c.name;
  if (a.empty()) EXPECT_FALSE(is_current(a_key)) << c.name;
  EXPECT_FALSE(pending_waits(pending_state())) << c.name;
  // Every node gone, nothing holds their records or the core: an item that
  // gave up counts it held leaves them held.
  a.drop();
  other_sub.unsubscribe.call();
  other.drop();
  head.drop();
  owner.drop();
  for (const UncountedNode& n : records) EXPECT_EQ(n.count().use_count(), 1) << c.name;
  EXPECT_EQ(core.use_count(), 1 + records.size()) << c.name;  // this reference and the records'
  return log;
}

}  // namespace

TEST(LentLoneItem, NoItemOutlivesTheWaveThatLentItsNode) {
  const LentCase cases[] = {
      {"run faults", Road::RunFaults, L({"a ran", "b ran", "b sent ERROR b failed"})},
      {"run drops its node", Road::RunDropsItsNode, L({"a ran", "b ran"})},
      {"dep rewires it before its emit", Road::DepRewiresItBeforeEmit, L({"a ran", "b sent DATA 12"})},
      {"dep drops it once queued", Road::DepDropsItOnceQueued, L({"a ran"})},
      {"taken beside another item", Road::TakenBesideAnother, L({"a ran", "other ran"})},
      {"left past the wave", Road::LeftPastTheWave, {}},
      {"queued untouched", Road::QueuedUntouched, L({"other ran"})},
      {"last handle goes in the wave", Road::LastHandleGoesInWave, {}, false},
      {"last handle goes in a faulted wave", Road::LastHandleGoesInFaultedWave, {}, false},
  };
  for (const LentCase& c : cases) EXPECT_EQ(run_road(c), c.expected) << c.name;
}
