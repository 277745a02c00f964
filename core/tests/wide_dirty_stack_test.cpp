// A wide DIRTY's run that marks a touched collector under its borrow skips
// the call the collector's DIRTY would otherwise take. Near the stack limit
// that call is the one refused, so the run must not skip it there: where the
// collector sits among the state's sinks may not change where a wave faults.

#include <gtest/gtest.h>

#include <alloca.h>

#include <string>

#include "node/arena/noop_sink.hpp"
#include "node/topology/subscribe.hpp"
#include "stack_thread.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

constexpr int kMiddles = 6;

// top -> six middles -> collector, and top -> collector directly, listed
// first or last among the collector's deps; a do-nothing subscription keeps
// the collector active. A set of top runs below pad bytes of stack: how
// many middles ran, and the fault it raised.
std::string set_below(bool collector_first, std::size_t pad) {
  auto core = GraphCore::create();
  NodeHandle top = make_state(core, iv(0));
  int runs = 0;
  std::vector<NodeHandle> middles;
  for (int i = 0; i < kMiddles; ++i)
    middles.push_back(make_node(core, deps_of({&top}), fn_of([&runs](RunContext& ctx) {
                                  ++runs;
                                  emit_data(ctx, ctx.inputs[0].current);
                                })));
  std::vector<NodeHandle> deps;
  if (collector_first) deps.push_back(top.promote_counted());
  for (const NodeHandle& m : middles) deps.push_back(m.promote_counted());
  if (!collector_first) deps.push_back(top.promote_counted());
  NodeHandle collector = make_node(core, std::move(deps), fn_of([](RunContext&) {}));
  UnsubscribeFn keep = node_subscribe(collector, std::make_shared<NoopSink>());
  runs = 0;
  std::string fault;
  {
    volatile char* room = static_cast<volatile char*>(alloca(pad));
    room[0] = 0;
    room[pad - 1] = 0;
    fault = fault_text([&] { node_set(top, iv(1)); });
    asm volatile("" : : "r"(room) : "memory");
  }
  keep.call();
  return std::to_string(runs) + " ran, " + fault;
}

}  // namespace

TEST(WideDirtyStack, WhereTheCollectorSitsDoesNotMoveTheFault) {
  run_on_stack(std::size_t{1} << 20, [] {
    constexpr std::size_t kCoarse = 4096;
    std::size_t faulting = kCoarse;
    while (set_below(false, faulting).ends_with("<no fault>")) {
      faulting += kCoarse;
      ASSERT_LT(faulting, std::size_t{1} << 20);
    }
    // The refusals this compares lie a few frames above the first pad that
    // faults; 16 B is the stack's alignment, so no finer pad differs.
    int faults = 0;
    for (std::size_t pad = faulting - 4 * kCoarse; pad < faulting + kCoarse; pad += 16) {
      const std::string last = set_below(false, pad);
      ASSERT_EQ(set_below(true, pad), last) << "pad " << pad;
      faults += !last.ends_with("<no fault>");
    }
    EXPECT_GT(faults, 0);
  });
}
