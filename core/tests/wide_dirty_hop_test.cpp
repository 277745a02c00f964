// A wide DIRTY's run marks a touched collector under its borrow too (the
// hop), in place of the call the collector's DIRTY would otherwise take.
// Each hop marks its own dep in its own collector; and near the stack limit
// that call is the one refused, so the run must not skip it there: where
// the collector sits among the state's sinks may not change where a wave
// faults.

#include <gtest/gtest.h>

#include <alloca.h>

#include <string>
#include <string_view>

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

// Six middles of one state each feed one of two collectors, kept active by
// do-nothing subscriptions; the first middle of each collector touches it,
// the runs of the others hop into it, now one collector, now the other.
// Each collector runs once per wave, with every middle's new value.
TEST(WideDirtyHop, EachHopMarksItsOwnCollector) {
  struct Layout {
    const char* name;
    std::string_view collector_of_middle;  // A or B per middle
  };
  const Layout layouts[] = {
      {"one collector", "AAAAAA"},
      {"taking turns", "AABABB"},
      {"in blocks", "AAABBB"},
      {"the second first", "BAABAB"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    auto core = GraphCore::create();
    NodeHandle top = make_state(core, iv(0));
    std::vector<NodeHandle> middles;
    std::vector<NodeHandle> deps[2];
    int offsets[2] = {0, 0};
    int widths[2] = {0, 0};
    for (int i = 0; i < kMiddles; ++i) {
      middles.push_back(make_map(core, top, [i](int x) { return x + 10 * i; }));
      const int c = layout.collector_of_middle[i] - 'A';
      deps[c].push_back(middles.back().promote_counted());
      offsets[c] += 10 * i;
      ++widths[c];
    }
    std::vector<int> sums[2];
    std::vector<NodeHandle> collectors;
    std::vector<UnsubscribeFn> keep;
    for (int c = 0; c < 2; ++c) {
      if (deps[c].empty()) continue;
      collectors.push_back(make_node(core, std::move(deps[c]), fn_of([&sums, c](RunContext& ctx) {
                                       int sum = 0;
                                       for (const DepInput& in : ctx.inputs) sum += int_of(in.current);
                                       sums[c].push_back(sum);
                                     })));
      keep.push_back(node_subscribe(collectors.back(), std::make_shared<NoopSink>()));
    }
    node_set(top, iv(1));
    node_set(top, iv(2));
    for (int c = 0; c < 2; ++c) {
      if (widths[c] == 0) continue;
      const std::vector<int> wanted{offsets[c], offsets[c] + widths[c], offsets[c] + 2 * widths[c]};
      EXPECT_EQ(sums[c], wanted) << "collector " << static_cast<char>('A' + c);
    }
    for (UnsubscribeFn& k : keep) k.call();
  }
}

TEST(WideDirtyHop, WhereTheCollectorSitsDoesNotMoveTheFault) {
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
