// Run checks a delivery queues for nodes its wave touched, drained after
// that wave: the wave's pins are gone, so each node is looked at again and
// one released meanwhile is skipped.

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
