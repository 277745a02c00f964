// A run that emits nothing resolves its node. When that RESOLVED would only
// settle one dep of the node's lone dep sink, whose node still owes another,
// or reach no sink that heeds it, the run's end settles it without a
// delivery; a node with a second sink that heeds messages always delivers
// it. Both must give the same messages, runs, run order, statuses and pins,
// where the short road is taken and where it must not be.

#include <gtest/gtest.h>

#include "node/arena/noop_sink.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/wave_scope.hpp"
#include "logging_sinks.hpp"
#include "node_state_access.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Heeds every message and shows none: a second sink that makes r deliver.
struct SilentSink final : Sink {
  void call(const Message&) override {}
};

enum class Road { AsItComes, Delivered };

// r runs on s and emits nothing but at its first run and on the waves
// noted; j joins r and x, which emits on every wave, and is subscribed.
enum class JoinDeps { RThenX, XThenR, ROnly, RTwiceThenX, None };
enum class RSink { None, Named, KeptAliveOnly };

struct Case {
  const char* name;
  JoinDeps deps = JoinDeps::RThenX;
  RSink r_sink = RSink::None;
  bool r_on_a_map = false;      // r's dep is a map of s: a line s, m, r
  bool r_emits_on_odd = false;  // r emits on the odd waves
  bool r_paused = false;        // r is paused before the waves, resumed after
  Pausable r_pausable = Pausable::True;
  bool r_pull_gated = false;    // r has a pull id and serves no pull
  bool r_sets_t = false;        // r's run sets t, whose map q is subscribed
  bool r_gains_a_sink = false;  // r's second run subscribes a sink to r
  bool j_paused = false;        // j is paused before the waves, resumed after
  bool j_pull_gated = false;
  bool j_completed = false;     // j completed before the waves
  bool in_batch = false;        // each wave's set is made in a batch
  // What each of r's runs in a wave finds its DIRTY left for its end: 'q'
  // where the RESOLVED is tried without a delivery, '-' where not.
  const char* tries = "qqq";
};

struct Outcome {
  std::vector<std::string> log;
  std::string tries;  // as Case::tries
};

Outcome run_case(const Case& c, Road road) {
  std::vector<std::string> log;
  std::string tries;
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeHandle t = make_state(core, iv(0));
  NodeSpec r_spec;
  r_spec.pausable = c.r_pausable;
  std::vector<UnsubscribeFn> offs;
  NodeHandle m = make_map(core, s, [](int v) { return v; });
  NodeHandle r = make_node(core, deps_of({c.r_on_a_map ? &m : &s}), fn_of([&](RunContext& ctx) {
                             const int v = int_of(ctx.inputs[0].current);
                             log.push_back("r runs " + std::to_string(v));
                             if (v > 0) {
                               const NodeState& state = core->borrow()->edge_at(ctx.node.index()).state;
                               tries += state.dirty_went_to_quiet_sinks() ? 'q' : '-';
                             }
                             if (c.r_sets_t) node_set(t, iv(v));
                             if (c.r_gains_a_sink && v == 2)
                               offs.push_back(node_subscribe(ctx.node, std::make_shared<NamedSink>(&log, "late")));
                             // Its first run gives j its first input.
                             if (v == 0 || (c.r_emits_on_odd && v % 2 == 1)) emit_data(ctx, iv(v));
                           }),
                           r_spec);
  NodeHandle x = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                             const int v = int_of(ctx.inputs[0].current);
                             log.push_back("x runs " + std::to_string(v));
                             emit_data(ctx, iv(v + 10));
                           }));
  std::vector<NodeHandle> j_deps;
  switch (c.deps) {
    case JoinDeps::RThenX: j_deps = deps_of({&r, &x}); break;
    case JoinDeps::XThenR: j_deps = deps_of({&x, &r}); break;
    case JoinDeps::ROnly: j_deps = deps_of({&r}); break;
    case JoinDeps::RTwiceThenX: j_deps = deps_of({&r, &r, &x}); break;
    case JoinDeps::None: break;
  }
  std::optional<NodeHandle> j;
  if (!j_deps.empty()) {
    j = make_node(core, std::move(j_deps), fn_of([&](RunContext& ctx) {
                    std::string line = "j runs";
                    for (const DepInput& in : ctx.inputs) {
                      line += " " + (in.current ? name_of(in.current) : std::string("-"));
                      line += "/" + std::to_string(in.deliveries().size());
                    }
                    log.push_back(line);
                    emit_data(ctx, iv(static_cast<int>(ctx.inputs.size())));
                  }));
  }
  NodeHandle q = make_map(core, t, [](int v) { return v + 1; });
  if (j) offs.push_back(node_subscribe(*j, std::make_shared<NamedSink>(&log, "j")));
  if (c.deps == JoinDeps::None) offs.push_back(node_subscribe(x, std::make_shared<NamedSink>(&log, "x")));
  if (c.r_sink == RSink::Named) offs.push_back(node_subscribe(r, std::make_shared<NamedSink>(&log, "r")));
  if (c.r_sink == RSink::KeptAliveOnly) offs.push_back(node_subscribe(r, std::make_shared<NoopSink>()));
  if (road == Road::Delivered) offs.push_back(node_subscribe(r, std::make_shared<SilentSink>()));
  if (c.r_sets_t) offs.push_back(node_subscribe(q, std::make_shared<NamedSink>(&log, "q")));
  if (c.r_pull_gated) set_pull_id(r, "p");
  if (j && c.j_pull_gated) set_pull_id(*j, "p");
  if (c.r_paused) node_pause(r, "p");
  if (j && c.j_paused) node_pause(*j, "p");
  if (j && c.j_completed) run_in_wave_scope(*j, [&] { down(*j, Message::complete()); });
  auto report = [&](const char* when) {
    log.push_back(when);
    std::vector<std::pair<const char*, const NodeHandle*>> nodes = {{"r", &r}, {"x", &x}};
    if (j) nodes.emplace_back("j", &*j);
    for (const auto& [name, node] : nodes) {
      log.push_back(std::string(name) + " " + std::string(node_status_name(status_of(*node))) + ", pins " +
                    std::to_string(pin_count(*node)) + (node_is_quiescent(*node) ? ", quiescent" : ", busy"));
    }
  };
  log.clear();  // the subscriptions' first messages are not part of the case
  for (int v = 1; v <= 3; ++v) {
    log.push_back("set " + std::to_string(v));
    log.push_back(fault_text([&] {
      if (!c.in_batch) return node_set(s, iv(v));
      run_batch([&] {
        node_set(s, iv(v));
        return false;
      });
    }));
    report("after");
  }
  if (c.r_paused || c.j_paused) {
    if (c.r_paused) node_resume(r, "p");
    if (j && c.j_paused) node_resume(*j, "p");
    report("resumed");
  }
  for (UnsubscribeFn& off : offs) off.call();
  return {log, tries};
}

const Case kCases[] = {
    // Taken: r's RESOLVED settles one dep of j, which still owes x.
    {.name = "join_owing_another_dep"},
    {.name = "join_owing_another_dep_emitting_on_odd_waves", .r_emits_on_odd = true},
    {.name = "join_owing_another_dep_at_the_end_of_a_line", .r_on_a_map = true},
    {.name = "join_paused_owing_its_run", .j_paused = true},
    {.name = "join_completed", .j_completed = true},
    // Taken: r's only sink ignores messages.
    {.name = "kept_alive_only", .deps = JoinDeps::None, .r_sink = RSink::KeptAliveOnly},
    // Taken: r's run opens a wave of its own, drained within it.
    {.name = "r_sets_another_state", .r_sets_t = true},
    // Tried, refused: the flush's wave has not touched j when r's run ends.
    {.name = "join_owing_another_dep_in_a_batch", .in_batch = true},
    // Tried, refused: j owes nothing else, so its run check is due.
    {.name = "join_settled_last", .deps = JoinDeps::XThenR},
    {.name = "join_of_r_alone", .deps = JoinDeps::ROnly},
    // Not tried: r has other sinks, or a sink that is not a dep sink.
    {.name = "r_twice_in_the_join", .deps = JoinDeps::RTwiceThenX, .tries = "---"},
    {.name = "r_with_a_sink_of_its_own", .r_sink = RSink::Named, .tries = "---"},
    {.name = "r_with_only_a_sink_of_its_own", .deps = JoinDeps::None, .r_sink = RSink::Named, .tries = "---"},
    // Tried, refused: r holds its RESOLVED back, or j waits for a pull; r
    // paused runs once, at its resume.
    {.name = "r_paused_owing_its_run", .r_paused = true, .tries = "q"},
    {.name = "r_paused_holding_its_resolved", .r_paused = true, .r_pausable = Pausable::ResumeAll},
    {.name = "join_pull_gated", .j_pull_gated = true},
    // Not tried: r pull-gated sends no DIRTY.
    {.name = "r_pull_gated_holding_its_resolved", .r_pausable = Pausable::ResumeAll, .r_pull_gated = true,
     .tries = "---"},
    // Tried, refused on its third wave: r gained a sink in its second run.
    {.name = "r_gains_a_sink_in_its_run", .r_gains_a_sink = true, .tries = "qq-"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuietSettle : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(QuietSettle, ARunThatEmitsNothingGivesWhatItsDeliveredResolvedGives) {
  const Outcome quiet = run_case(GetParam(), Road::AsItComes);
  const Outcome delivered = run_case(GetParam(), Road::Delivered);
  EXPECT_EQ(quiet.log, delivered.log);
  EXPECT_EQ(quiet.tries, GetParam().tries);
  EXPECT_EQ(delivered.tries, std::string(delivered.tries.size(), '-'));
}

INSTANTIATE_TEST_SUITE_P(Table, QuietSettle, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(QuietSettleOfAJoin, TheJoinRunsOnceAfterXWithAnEmptyListFromR) {
  const std::vector<std::string> log = run_case(kCases[0], Road::AsItComes).log;
  const std::vector<std::string> expected = {"set 1",           "j DIRTY",  "r runs 1",   "x runs 1",
                                             "j runs 0/1 11/1", "j DATA 2", "<no fault>"};
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
}
