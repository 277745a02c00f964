// What a run's end does with its deps' values: each wave value becomes the
// dep's latest, which the next run sees, and the value it replaces goes
// right after the run, with its input, and with no borrow of the core held
// (its destructor may run host code that reads the graph).

#include <gtest/gtest.h>

#include "node/wave/batch.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Logs "~name" when destroyed, and whether its core was borrowed then.
struct Watched {
  std::vector<std::string>* log;
  std::string name;
  const GraphCore* core;
  ~Watched() { log->push_back("~" + name + (core->is_borrowed() ? " under borrow" : "")); }
};

std::string name_in(const SharedValue& v) { return v ? value_cast<Watched>(v)->name : "-"; }

// An input as "latest>current", or its one value when the two are the same.
std::string input_text(const DepInput& in) {
  const std::string latest = name_in(in.latest());
  const std::string current = name_in(in.current);
  return latest == current ? latest : latest + ">" + current;
}

struct Case {
  const char* name;
  std::size_t deps;
  std::vector<std::size_t> set;  // the deps set in each update, in one batch
  std::vector<std::string> log;
};

}  // namespace

TEST(RunEndValues, EachWaveValueBecomesTheLatestAndTheOneItReplacesGoesAfterTheRun) {
  const Case cases[] = {
      {"one dep", 1, {0}, {"run a0>b0", "~a0", "run b0>c0", "~b0"}},
      {"two deps, the first set", 2, {0}, {"run a0>b0 a1", "~a0", "run b0>c0 a1", "~b0"}},
      {"two deps, the second set", 2, {1}, {"run a0 a1>b1", "~a1", "run a0 b1>c1", "~b1"}},
      {"two deps, both set", 2, {0, 1}, {"run a0>b0 a1>b1", "~a0", "~a1", "run b0>c0 b1>c1", "~b0", "~b1"}},
      {"three deps (a wide run), the last set",
       3,
       {2},
       {"run a0 a1 a2>b2", "~a2", "run a0 a1 b2>c2", "~b2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> log;  // outlives the graph, whose drops log into it
    auto core = GraphCore::create();
    auto value = [&](std::string name) { return make_value<Watched>(&log, std::move(name), core.get()); };
    std::vector<NodeHandle> states;
    for (std::size_t i = 0; i < c.deps; ++i) states.push_back(make_state(core, value("a" + std::to_string(i))));
    std::vector<NodeHandle> deps;
    for (const NodeHandle& st : states) deps.push_back(st.promote_counted());
    NodeHandle m = make_node(core, std::move(deps), fn_of([&log](RunContext& ctx) {
                               std::string line = "run";
                               for (const DepInput& in : ctx.inputs) line += " " + input_text(in);
                               log.push_back(line);
                               emit_data(ctx, iv(1));
                             }));
    auto sub = subscribe_recording(m);
    log.clear();
    for (const char* round : {"b", "c"}) {
      auto set_all = [&] {
        for (const std::size_t i : c.set) node_set(states[i], value(round + std::to_string(i)));
        return false;
      };
      // A lone set takes the usual road; sets together, a batch's.
      if (c.set.size() == 1)
        set_all();
      else
        run_batch(set_all);
    }
    EXPECT_EQ(log, c.log);
  }
}
