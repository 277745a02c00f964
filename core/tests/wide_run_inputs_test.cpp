// Runs of nodes with more deps than a run keeps inline: their input lists
// are reused across runs and across nested runs on one thread.

#include <gtest/gtest.h>

#include <numeric>

#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

std::vector<int> current_values(const RunContext& ctx) {
  std::vector<int> out;
  for (const DepInput& in : ctx.inputs) out.push_back(int_of(in.current));
  return out;
}

int latest_sum(const RunContext& ctx) {
  int total = 0;
  for (const DepInput& in : ctx.inputs) total += int_of(in.latest());
  return total;
}

std::vector<NodeHandle> states_from(const CoreRef& core, int first, std::size_t n) {
  std::vector<NodeHandle> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(make_state(core, iv(first + static_cast<int>(i))));
  return out;
}

std::vector<NodeHandle> counted(const std::vector<NodeHandle>& nodes) {
  std::vector<NodeHandle> out;
  for (const NodeHandle& n : nodes) out.push_back(n.promote_counted());
  return out;
}

int sum_of(const std::vector<int>& v) { return std::accumulate(v.begin(), v.end(), 0); }

}  // namespace

// The outer node's emit runs the inner one (both wide) inside the outer run:
// the outer run's inputs must read the same before and after, and each run
// must see fresh values however often the lists are reused.
TEST(WideRunInputs, ARunNestedInAnotherKeepsEachRunsInputsItsOwn) {
  for (std::size_t width : {3u, 8u, 64u}) {
    SCOPED_TRACE(width);
    auto core = GraphCore::create();
    std::vector<NodeHandle> outer_sources = states_from(core, 0, width);
    std::vector<NodeHandle> inner_sources = states_from(core, 100, width - 1);
    std::vector<std::string> events;
    NodeHandle outer = make_node(core, counted(outer_sources), fn_of([&](RunContext& ctx) {
                                   const std::vector<int> before = current_values(ctx);
                                   events.push_back("outer " + std::to_string(sum_of(before)) + " from " +
                                                    std::to_string(latest_sum(ctx)));
                                   emit_data(ctx, iv(sum_of(before)));
                                   EXPECT_EQ(current_values(ctx), before);
                                   events.push_back("outer done");
                                 }));
    std::vector<NodeHandle> inner_deps = counted(inner_sources);
    inner_deps.insert(inner_deps.begin(), outer.promote_counted());
    NodeHandle inner = make_node(core, std::move(inner_deps), fn_of([&](RunContext& ctx) {
                                   EXPECT_EQ(ctx.inputs.size(), width);
                                   const int total = sum_of(current_values(ctx));
                                   events.push_back("inner " + std::to_string(total));
                                   emit_data(ctx, iv(total));
                                 }));
    auto sub = subscribe_recording(inner);
    events.clear();
    for (int round = 1; round <= 3; ++round) {
      node_set(outer_sources[round % width], iv(1000 * round));
    }
    std::vector<int> outer_values(width);
    std::iota(outer_values.begin(), outer_values.end(), 0);
    std::vector<std::string> expected;
    for (int round = 1; round <= 3; ++round) {
      const int earlier_sum = sum_of(outer_values);
      outer_values[round % width] = 1000 * round;
      const int outer_sum = sum_of(outer_values);
      int inner_sum = outer_sum;
      for (std::size_t i = 0; i + 1 < width; ++i) inner_sum += 100 + static_cast<int>(i);
      expected.push_back("outer " + std::to_string(outer_sum) + " from " + std::to_string(earlier_sum));
      expected.push_back("inner " + std::to_string(inner_sum));
      expected.push_back("outer done");
    }
    EXPECT_EQ(events, expected);
  }
}
