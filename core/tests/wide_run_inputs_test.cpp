// Runs of nodes with more deps than a run keeps inline: their input lists
// are reused across runs and across nested runs on one thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "logging_sinks.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/batch.hpp"

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

namespace {

// A wide node over tracked sources; dep 4 brings the armed run's value. Its
// armed run does what a road does
// while it runs, and reads its inputs; when the run ends without a value,
// the node's RESOLVED reaches a sink that does what the road does then,
// inside the run's end.
struct MidRun {
  std::vector<std::string> log;
  CoreRef core = GraphCore::create();
  std::vector<NodeHandle> sources;
  std::vector<NodeHandle> built;
  NodeHandle wide;
  SharedNodeFn fn;
  Subscribed sub;
};

struct MidRunRoad {
  const char* name;
  std::function<void(MidRun&)> in_fn;
  std::function<void(MidRun&)> on_resolved;
  std::vector<std::string> drops;  // after the run's function ends
};

void set_quiet_dep(MidRun& m) { node_set(m.sources[3], tracked(m.log, "n3")); }

const std::vector<MidRunRoad>& mid_run_roads() {
  static const std::vector<MidRunRoad> table = {
      {"nothing", nullptr, nullptr, {"~s4"}},
      {"nodes built meanwhile, the node's entries moved",
       [](MidRun& m) {
         for (int i = 0; i < 300; ++i) m.built.push_back(make_state(m.core, iv(i)));
       },
       nullptr, {"~s4"}},
      {"a quiet dep set at the run's end, its latest replaced", nullptr, set_quiet_dep, {"~s3", "~s4"}},
      {"a quiet dep set, then the last subscriber gone: the dep states dropped", nullptr,
       [](MidRun& m) {
         set_quiet_dep(m);
         m.sub.unsubscribe.call();
       },
       {"~s3", "~s4"}},
      {"a quiet dep set, then the node rewired without it", nullptr,
       [](MidRun& m) {
         set_quiet_dep(m);
         rewire(m.wide, UnsubscribeDep{m.fn, m.sources[3].id()});
       },
       {"~s3", "~s4"}},
      {"a quiet dep set, then the node rewired to one dep: its run ends over a one-dep node's states", nullptr,
       [](MidRun& m) {
         set_quiet_dep(m);
         std::vector<NodeHandle> deps;
         deps.push_back(m.sources[4].promote_counted());
         rewire(m.wide, ReplaceDeps{std::move(deps), m.fn});
       },
       {"~s3", "~s4"}},
  };
  return table;
}

}  // namespace

// Whatever replaces or drops a quiet dep's value while a wide run runs or
// ends, the run reads the values it began with, and the values its inputs
// held go when its inputs go, in their order.
TEST(WideRunInputs, AQuietDepsValueReplacedMidRunLastsUntilTheRunsInputsGo) {
  for (const MidRunRoad& road : mid_run_roads()) {
    SCOPED_TRACE(road.name);
    MidRun m;
    for (int i = 0; i < 5; ++i) m.sources.push_back(make_state(m.core, tracked(m.log, "s" + std::to_string(i))));
    bool armed = false;
    bool ended = false;  // the armed run's function has returned; its RESOLVED not yet seen
    std::vector<std::string> read;
    m.fn = fn_of([&](RunContext& ctx) {
      if (!std::exchange(armed, false)) return;
      if (road.in_fn) road.in_fn(m);
      for (const DepInput& in : ctx.inputs) read.push_back(name_of(in.current));
      m.log.push_back("fn end");
      ended = true;
    });
    m.wide = make_node(m.core, counted(m.sources), m.fn);
    m.sub = subscribe_recording(m.wide);
    m.sub.sink->on_message = [&](const Message& msg) {
      if (msg.kind() == MessageKind::Resolved && std::exchange(ended, false) && road.on_resolved) road.on_resolved(m);
    };
    armed = true;
    node_set(m.sources[4], tracked(m.log, "t4"));
    m.log.push_back("set done");
    EXPECT_EQ(read, L({"s0", "s1", "s2", "s3", "t4"}));
    std::vector<std::string> after_fn;
    const auto fn_end = std::find(m.log.begin(), m.log.end(), "fn end");
    ASSERT_NE(fn_end, m.log.end());
    for (auto it = fn_end + 1; it != m.log.end() && *it != "set done"; ++it)
      if ((*it)[0] == '~') after_fn.push_back(*it);
    EXPECT_EQ(after_fn, road.drops);
  }
}

namespace {

// One input as the function reads it: current, latest, a terminal handed
// this wave, the number of delivery lists.
std::string input_text(const DepInput& in) {
  return std::to_string(int_of(in.current)) + "/" + std::to_string(int_of(in.latest())) +
         (in.terminal().present ? " T" : "") + " D" + std::to_string(in.deliveries().size());
}

}  // namespace

// Each input shows what its dep brought in this wave only, on the narrow
// road and the wide one alike: a dep that errored in an earlier wave is as
// quiet as one that never did.
TEST(WideRunInputs, EachInputShowsWhatItsDepBroughtThisWaveOnly) {
  for (std::size_t width : {2u, 3u, 64u}) {
    SCOPED_TRACE(width);
    auto core = GraphCore::create();
    std::vector<NodeHandle> sources = states_from(core, 10, width);
    const std::size_t last = width - 1;
    std::vector<std::string> seen;  // inputs 0 and last of the wave's last run
    NodeSpec spec;
    spec.terminal_as_real_input = 1;
    spec.error_when_deps_error = 0;
    NodeHandle wide = make_node(core, counted(sources), fn_of([&](RunContext& ctx) {
                                  seen = {input_text(ctx.inputs[0]), input_text(ctx.inputs[last])};
                                }),
                                spec);
    auto sub = subscribe_recording(wide);
    const std::string l = std::to_string(10 + last);
    const struct {
      std::function<void()> wave;
      std::vector<std::string> inputs;
    } waves[] = {
        {[&] { node_set(sources[0], iv(20)); }, {"20/10 D1", l + "/" + l + " D0"}},
        // An ERROR alone opens no list: its terminal is the dep's only news.
        {[&] { node_down_error(sources[last], "boom"); }, {"20/20 D0", l + "/" + l + " T D0"}},
        {[&] { node_set(sources[0], iv(30)); }, {"30/20 D1", l + "/" + l + " D0"}},
    };
    for (const auto& w : waves) {
      seen.clear();
      w.wave();
      EXPECT_EQ(seen, w.inputs);
    }
  }
}

// Whichever deps bring a value in one wave, next to each other or apart, at
// the list's ends, on either side of a group of eight or in the pairs after
// the groups, each input shows its own dep's news and every other input its
// latest value; the run after sees the new values as latest.
TEST(WideRunInputs, EachInputOfAWaveWithSeveralLoudDepsShowsItsOwnDep) {
  for (std::size_t width : {3u, 4u, 5u, 9u, 10u, 19u}) {
    const std::size_t last = width - 1;
    std::vector<std::vector<std::size_t>> loud_sets = {
        {0}, {1}, {last}, {0, 1}, {1, 2}, {last - 1, last}, {0, last}, {0, 1, last - 1, last}};
    if (width > 8) loud_sets.push_back({7, 8});
    if (width > 16) loud_sets.push_back({3, 12, 16});
    for (const std::vector<std::size_t>& loud : loud_sets) {
      SCOPED_TRACE(::testing::Message() << "width " << width << ", loud " << ::testing::PrintToString(loud));
      auto core = GraphCore::create();
      std::vector<NodeHandle> sources = states_from(core, 10, width);
      std::vector<std::string> seen;
      NodeHandle wide = make_node(core, counted(sources), fn_of([&](RunContext& ctx) {
                                    seen.clear();
                                    for (const DepInput& in : ctx.inputs) seen.push_back(input_text(in));
                                  }));
      auto sub = subscribe_recording(wide);
      std::vector<int> latest(width);
      std::iota(latest.begin(), latest.end(), 10);
      for (int round = 1; round <= 2; ++round) {
        run_batch([&] {
          for (std::size_t i : loud) node_set(sources[i], iv(100 * round + static_cast<int>(i)));
          return false;
        });
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < width; ++i) {
          const bool brought = std::find(loud.begin(), loud.end(), i) != loud.end();
          const int now = brought ? 100 * round + static_cast<int>(i) : latest[i];
          expected.push_back(std::to_string(now) + "/" + std::to_string(latest[i]) + (brought ? " D1" : " D0"));
          latest[i] = now;
        }
        EXPECT_EQ(seen, expected) << "round " << round;
      }
    }
  }
}

// A dep that settles without a value (its function emitted nothing) opens
// a list and brings no value: inside a group of eight or after the groups,
// its input shows that empty list beside a loud dep's news.
TEST(WideRunInputs, ADepThatSettlesWithoutAValueShowsItsEmptyList) {
  constexpr std::size_t kWidth = 11;
  for (std::size_t silent : {3u, 7u, 8u, 10u}) {
    SCOPED_TRACE(silent);
    auto core = GraphCore::create();
    std::vector<NodeHandle> sources = states_from(core, 10, kWidth);
    bool first_run = true;
    std::vector<NodeHandle> quiet_deps;
    quiet_deps.push_back(sources[silent].promote_counted());
    NodeHandle quiet = make_node(core, std::move(quiet_deps), fn_of([&](RunContext& ctx) {
                                   if (std::exchange(first_run, false)) emit_data(ctx, iv(7));
                                 }));
    std::vector<NodeHandle> deps = counted(sources);
    deps[silent] = quiet.promote_counted();
    const std::size_t loud = silent == 10 ? 9 : 10;
    std::vector<std::string> seen;
    NodeHandle wide = make_node(core, std::move(deps), fn_of([&](RunContext& ctx) {
                                  seen = {input_text(ctx.inputs[silent]), input_text(ctx.inputs[loud])};
                                }));
    auto sub = subscribe_recording(wide);
    run_batch([&] {
      node_set(sources[silent], iv(50));
      node_set(sources[loud], iv(60));
      return false;
    });
    const std::string was = std::to_string(10 + static_cast<int>(loud));
    EXPECT_EQ(seen, L({"7/7 D1", "60/" + was + " D1"}));
  }
}

namespace {

// Deps set from inside a wide run (by index, in that order), after the run
// read its inputs; the log records drops and what each run reads.
struct SetMidRun {
  const char* name;
  std::size_t width;
  std::vector<std::size_t> set_in_run;
  bool emits;
  std::vector<std::string> log;
  std::size_t popped = 0;  // inputs the run drops from the end of its list first
};

}  // namespace

// A dep that takes a value while a wide run runs (one quiet or loud when the
// run began, several in any order, more than a run notes) replaces its
// latest value when the run ends in dep order, each old value going once no
// input holds it; the next run sees every new value.
TEST(WideRunInputs, DepsSetDuringTheRunTakeTheirValuesAtItsEndInDepOrder) {
  const SetMidRun table[] = {
      {"a quiet dep", 5, {2}, false,
       {"run s0 s1 s2 s3 t4", "fn end", "~s2", "~s4", "set done", "run s0 s1 m2 s3 t4", "resumed",
        "run u0 s1 m2 s3 t4", "~s0", "next done"}},
      {"a quiet dep, the run emitting", 5, {2}, true,
       {"run s0 s1 s2 s3 t4", "fn end", "~s2", "~s4", "set done", "run s0 s1 m2 s3 t4", "resumed",
        "run u0 s1 m2 s3 t4", "~s0", "next done"}},
      {"the dep that brought the run's value", 5, {4}, false,
       {"run s0 s1 s2 s3 t4", "fn end", "~s4", "~t4", "set done", "run s0 s1 s2 s3 m4", "resumed",
        "run u0 s1 s2 s3 m4", "~s0", "next done"}},
      {"quiet deps, last first", 6, {3, 1}, true,
       {"run s0 s1 s2 s3 s4 t5", "fn end", "~s1", "~s3", "~s5", "set done", "run s0 m1 s2 m3 s4 t5", "resumed",
        "run u0 m1 s2 m3 s4 t5", "~s0", "next done"}},
      {"the loud dep and quiet ones around it", 6, {5, 4, 0}, true,
       {"run s0 s1 s2 s3 s4 t5", "fn end", "~s0", "~s4", "~s5", "~t5", "set done", "run m0 s1 s2 s3 m4 m5", "resumed",
        "run u0 s1 s2 s3 m4 m5", "~m0", "next done"}},
      {"more deps than a run notes", 12, {10, 1, 8, 3, 6, 5, 0, 11}, false,
       {"run s0 s1 s2 s3 s4 s5 s6 s7 s8 s9 s10 t11", "fn end", "~s0", "~s1", "~s3", "~s5", "~s6", "~s8", "~s10",
        "~s11", "~t11", "set done", "run m0 m1 s2 m3 s4 m5 m6 s7 m8 s9 m10 m11", "resumed",
        "run u0 m1 s2 m3 s4 m5 m6 s7 m8 s9 m10 m11", "~m0", "next done"}},
      {"more deps than a run notes, the run emitting", 12, {10, 1, 8, 3, 6, 5, 0, 11}, true,
       {"run s0 s1 s2 s3 s4 s5 s6 s7 s8 s9 s10 t11", "fn end", "~s0", "~s1", "~s3", "~s5", "~s6", "~s8", "~s10",
        "~s11", "~t11", "set done", "run m0 m1 s2 m3 s4 m5 m6 s7 m8 s9 m10 m11", "resumed",
        "run u0 m1 s2 m3 s4 m5 m6 s7 m8 s9 m10 m11", "~m0", "next done"}},
      {"a dep past the end of a list the run shortened", 5, {3}, false,
       {"run s0 s1 s2", "fn end", "~s3", "~s4", "set done", "run s0 s1 s2 m3 t4", "resumed", "run u0 s1 s2 m3 t4",
        "~s0", "next done"},
       2},
  };
  for (const SetMidRun& road : table) {
    SCOPED_TRACE(road.name);
    std::vector<std::string> log;
    auto core = GraphCore::create();
    std::vector<NodeHandle> sources;
    for (std::size_t i = 0; i < road.width; ++i)
      sources.push_back(make_state(core, tracked(log, "s" + std::to_string(i))));
    const std::size_t loud = road.width - 1;
    bool armed = false;
    NodeHandle wide = make_node(core, counted(sources), fn_of([&](RunContext& ctx) {
                                  auto read = [&] {
                                    std::string text;
                                    for (const DepInput& in : ctx.inputs) text += " " + name_of(in.current);
                                    return text;
                                  };
                                  const bool arming = std::exchange(armed, false);
                                  for (std::size_t i = 0; arming && i < road.popped; ++i) ctx.inputs.pop_back();
                                  const std::string before = read();
                                  log.push_back("run" + before);
                                  if (!arming) return;
                                  node_pause(wide, "p");
                                  for (std::size_t i : road.set_in_run)
                                    node_set(sources[i], tracked(log, "m" + std::to_string(i)));
                                  if (road.emits) emit_data(ctx, iv(1));
                                  EXPECT_EQ(read(), before);
                                  log.push_back("fn end");
                                }));
    auto sub = subscribe_recording(wide);
    log.clear();
    armed = true;
    node_set(sources[loud], tracked(log, "t" + std::to_string(loud)));
    log.push_back("set done");
    node_resume(wide, "p");
    log.push_back("resumed");
    node_set(sources[0], tracked(log, "u0"));
    log.push_back("next done");
    EXPECT_EQ(log, road.log);
    EXPECT_EQ(sub.log(), L({"START", "DIRTY", road.emits ? "DATA 1" : "RESOLVED", "DIRTY", "RESOLVED"}));
  }
}
