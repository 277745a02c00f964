// A batch's flush delivers its deferred DATA in a wave of its own, which the
// batch's DIRTY did not touch: a lone dep sink's DATA then enters its node
// untouched. That entry must keep the node until its run check drains, even
// when the node's last handle goes first, as a wave that touched it does.

#include <gtest/gtest.h>

#include <optional>

#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Where the dependant's last handle goes.
enum class Drop {
  AfterTheWave,      // kept through the wave
  BeforeItsLastDep,  // by the run of its dep that settles it last
  InItsOwnRun,       // by the dependant's own run
};

// source feeds first and then second; the dependant depends on both, and
// first's lone sink is the dependant's dep sink, so first's DATA enters the
// dependant before second runs. The log holds the runs, then what the
// dependant sends, whether it is alive and the pins left.
std::vector<std::string> set_source(Drop drop, bool in_batch) {
  auto core = GraphCore::create();
  std::vector<std::string> log;
  NodeHandle source = make_state(core, iv(0));
  std::optional<NodeHandle> dependant;
  bool armed = false;  // the runs that subscribing makes drop nothing
  const auto drop_dependant = [&] {
    if (!armed || !dependant) return;
    log.push_back("dependant dropped");
    dependant->drop();
    dependant.reset();
  };
  NodeHandle first = make_map(core, source, [&log](int x) {
    log.push_back("first runs on " + std::to_string(x));
    return x + 1;
  });
  NodeHandle second = make_node(core, deps_of({&source}), fn_of([&](RunContext& ctx) {
                                  const int x = int_of(ctx.inputs[0].current);
                                  log.push_back("second runs on " + std::to_string(x));
                                  if (drop == Drop::BeforeItsLastDep) drop_dependant();
                                  emit_data(ctx, iv(x * 10));
                                }));
  dependant = make_node(core, deps_of({&first, &second}), fn_of([&](RunContext& ctx) {
                          const int sum = int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current);
                          log.push_back("dependant runs on " + std::to_string(sum));
                          if (drop == Drop::InItsOwnRun) drop_dependant();
                          emit_data(ctx, iv(sum));
                        }));
  const UncountedNode seen = dependant->uncounted();
  // The subscription's own handle goes at once: `dependant` is the last.
  Subscribed sub = subscribe_recording(*dependant);
  sub.unsubscribe = UnsubscribeFn();
  sub.log().clear();
  log.clear();
  armed = true;
  log.push_back(fault_text([&] {
    if (!in_batch) return node_set(source, iv(5));
    run_batch([&] {
      node_set(source, iv(5));
      return false;
    });
  }));
  if (drop == Drop::AfterTheWave) drop_dependant();
  armed = false;
  for (const std::string& s : sub.log()) log.push_back("dependant sends " + s);
  log.push_back(is_live(seen) ? "dependant alive" : "dependant gone");
  for (const NodeHandle* n : {&source, &first, &second}) log.push_back("pins " + std::to_string(pin_count(*n)));
  return log;
}

}  // namespace

TEST(DepSinkUntouched, ANodeEnteredByAFlushedDataLivesUntilItsRunCheckDrains) {
  const struct {
    const char* name;
    Drop drop;
    std::vector<std::string> expected;
  } cases[] = {
      {"kept through the wave", Drop::AfterTheWave,
       L({"first runs on 5", "second runs on 5", "dependant runs on 56", "<no fault>", "dependant dropped",
          "dependant sends DIRTY", "dependant sends DATA 56", "dependant gone", "pins 0", "pins 0", "pins 0"})},
      {"dropped before its last dep settles", Drop::BeforeItsLastDep,
       L({"first runs on 5", "second runs on 5", "dependant dropped", "dependant runs on 56", "<no fault>",
          "dependant sends DIRTY", "dependant sends DATA 56", "dependant gone", "pins 0", "pins 0", "pins 0"})},
      {"dropped in its own run", Drop::InItsOwnRun,
       L({"first runs on 5", "second runs on 5", "dependant runs on 56", "dependant dropped", "<no fault>",
          "dependant sends DIRTY", "dependant sends DATA 56", "dependant gone", "pins 0", "pins 0", "pins 0"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(set_source(c.drop, false), c.expected) << "own wave";
    EXPECT_EQ(set_source(c.drop, true), c.expected) << "batch";
  }
}
