// Run checks a delivery queues for nodes its wave touched, drained after
// that wave: the wave's pins are gone, so each node is looked at again and
// one released meanwhile is skipped. Drained in the wave, an item it never
// touched, queued beside them, is looked at too.

#include <gtest/gtest.h>

#include "node/wave/delivery.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Where the checks left by the wave drain.
enum class DrainedIn { NoWave, NextWave };

struct LeftChecksCase {
  const char* name;
  int nodes;     // n0.. hang off one head, each queued by its dep sink
  int released;  // the node released before the drain, or -1
  std::vector<std::string> expected;
};

// The runs a drain of the checks left queued by a set of the head gives. The
// set goes inside a delivery of the owner's wave, so its frames close
// without draining and the checks outlive the wave.
std::vector<std::string> drain_left_checks(const LeftChecksCase& c, DrainedIn where) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle owner = make_state(core, iv(0));
  NodeHandle head = make_state(core, iv(1));
  std::vector<NodeHandle> nodes;
  std::vector<Subscribed> subs;
  for (int i = 0; i < c.nodes; ++i) {
    const std::string name = "n" + std::to_string(i);
    nodes.push_back(make_node(core, deps_of({&head}), fn_of([&log, name](RunContext&) { log.push_back(name + " ran"); })));
    subs.push_back(subscribe_recording(nodes.back()));
  }
  log.clear();
  run_in_wave_scope(owner, [&] {
    DeliveryFrame outer;
    node_set(head, iv(2));
  });
  EXPECT_TRUE(log.empty()) << c.name;
  if (c.released >= 0) {
    UncountedNode gone = nodes[static_cast<std::size_t>(c.released)].uncounted();
    subs[static_cast<std::size_t>(c.released)].unsubscribe.call();
    nodes[static_cast<std::size_t>(c.released)].drop();
    EXPECT_FALSE(is_live(gone)) << c.name;
  }
  if (where == DrainedIn::NoWave)
    drain_pending();
  else
    run_in_wave_scope(owner, [] { drain_pending(); });
  for (const NodeHandle& n : nodes)
    if (!n.empty()) EXPECT_EQ(pin_count(n), 0u) << c.name;
  return log;
}

}  // namespace

TEST(QueuedTouchedItems, ChecksLeftByAWaveLookAtTheirNodesAgain) {
  const LeftChecksCase cases[] = {
      {"one node", 1, -1, L({"n0 ran"})},
      {"one node, released", 1, 0, {}},
      {"two nodes", 2, -1, L({"n0 ran", "n1 ran"})},
      {"two nodes, the first released", 2, 0, L({"n1 ran"})},
      {"two nodes, the second released", 2, 1, L({"n0 ran"})},
      {"four nodes", 4, -1, L({"n0 ran", "n1 ran", "n2 ran", "n3 ran"})},
      {"four nodes, the first released", 4, 0, L({"n1 ran", "n2 ran", "n3 ran"})},
      {"four nodes, one between released", 4, 2, L({"n0 ran", "n1 ran", "n3 ran"})},
      {"four nodes, the last released", 4, 3, L({"n0 ran", "n1 ran", "n2 ran"})},
  };
  for (const LeftChecksCase& c : cases) {
    EXPECT_EQ(drain_left_checks(c, DrainedIn::NoWave), c.expected) << c.name << " (drained outside a wave)";
    EXPECT_EQ(drain_left_checks(c, DrainedIn::NextWave), c.expected) << c.name << " (drained in the next wave)";
  }
}

namespace {

// When the untouched item u is queued, against the wave's touched one t.
enum class Queued { First, Last, AfterDrain };

struct MixedCase {
  const char* name;
  bool other_core;  // u is of another core: its item watches that core
  Queued when;
  bool released;  // u is released before the drain, its slot taken
  std::vector<std::string> expected;
};

// The runs a drain in the wave gives when the pending vector holds the
// wave's touched item t next to an item u it never touched. The mark that
// says every item was touched must not cover u: a drain trusting it would
// check u's node without looking whether it is still there.
std::vector<std::string> drain_mixed(const MixedCase& c) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  auto other_core = GraphCore::create();
  const auto logging = [&log](std::string name) {
    return fn_of([&log, name](RunContext&) { log.push_back(name + " ran"); });
  };
  NodeHandle owner = make_state(core, iv(0));
  NodeHandle head = make_state(core, iv(1));
  NodeHandle lone = make_node(core, deps_of({&owner}), logging("lone"));
  NodeHandle t = make_node(core, deps_of({&head}), logging("t"));
  const CoreRef& u_core = c.other_core ? other_core : core;
  NodeHandle u_src = make_state(u_core, iv(1));
  NodeHandle u = make_node(u_core, deps_of({&u_src}), logging("u"));
  Subscribed subs[] = {subscribe_recording(lone), subscribe_recording(t), subscribe_recording(u)};
  NodeHandle taker;
  Subscribed taker_sub;
  log.clear();
  run_in_wave_scope(owner, [&] {
    {
      DeliveryFrame frame;
      // The lone slot is taken first, so t and u go to the vector.
      push_pending(lone, PendingKind::RunCheck);
      if (c.when == Queued::First) push_pending(u, PendingKind::RunCheck);
      node_set(head, iv(2));
      if (c.when == Queued::Last) push_pending(u, PendingKind::RunCheck);
    }
    if (c.when == Queued::AfterDrain) {
      // The drain empties the vector and leaves its mark; u, another
      // core's, then waits in it alone and is drained without the walk.
      drain_pending();
      DeliveryFrame frame;
      push_pending(u, PendingKind::RunCheck);
    }
    if (c.released) {
      UncountedNode gone = u.uncounted();
      subs[2].unsubscribe.call();
      u.drop();
      EXPECT_FALSE(is_live(gone)) << c.name;
      // A new node takes the slot (its subscription runs it once): a check
      // of u's stale key without a look would run it again.
      taker = make_node(u_core, deps_of({&u_src}), logging("taker"));
      taker_sub = subscribe_recording(taker);
      EXPECT_EQ(taker.index(), gone.index()) << c.name;
    }
    drain_pending();
  });
  EXPECT_FALSE(pending_waits(pending_state())) << c.name;
  return log;
}

}  // namespace

TEST(QueuedTouchedItems, AnUntouchedItemBesideTouchedOnesIsLookedAt) {
  const MixedCase cases[] = {
      {"owner's item first", false, Queued::First, false, L({"lone ran", "u ran", "t ran"})},
      {"owner's item first, released", false, Queued::First, true, L({"taker ran", "lone ran", "t ran"})},
      {"owner's item last", false, Queued::Last, false, L({"lone ran", "t ran", "u ran"})},
      {"owner's item last, released", false, Queued::Last, true, L({"taker ran", "lone ran", "t ran"})},
      {"other core's item first", true, Queued::First, false, L({"lone ran", "u ran", "t ran"})},
      {"other core's item first, released", true, Queued::First, true, L({"taker ran", "lone ran", "t ran"})},
      {"other core's item last", true, Queued::Last, false, L({"lone ran", "t ran", "u ran"})},
      {"other core's item last, released", true, Queued::Last, true, L({"taker ran", "lone ran", "t ran"})},
      {"other core's item after a drain", true, Queued::AfterDrain, false, L({"lone ran", "t ran", "u ran"})},
      {"other core's item after a drain, released", true, Queued::AfterDrain, true,
       L({"lone ran", "t ran", "taker ran"})},
  };
  for (const MixedCase& c : cases) EXPECT_EQ(drain_mixed(c), c.expected) << c.name;
}
