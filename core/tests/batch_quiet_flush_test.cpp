// A batch's flush may deliver a record's one DATA without a wave of its
// own, when that wave would only record the value in the one dep sink it
// reaches, whose node still owes another dep. A record holding a list of
// that one message always takes a wave: both must give the same messages,
// runs, drops, faults, pins and node state.

#include <gtest/gtest.h>

#include <stdexcept>

#include "base/drop_fault.hpp"
#include "base/fault.hpp"
#include "node/arena/noop_sink.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "deferral_roads.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// m sums a, b and c, set in the batch in that order unless told otherwise:
// c's flushed DATA is the one that lets m run.
struct Case {
  const char* name;
  bool ints = false;             // content ids need plain ints
  bool a_twice_in_m = false;     // m's deps are a, a, b, c
  bool a_feeds_n = false;        // n depends on a as well, only kept active
  bool a_subscribed = false;     // a has a sink of its own
  bool b_subscribed = false;     // b has a sink of its own
  bool b_as_list = false;        // b's set is deferred as a list in both roads
  bool d_after_b = false;        // m's deps end with d, c; d is set after b
  bool other_core_after_a = false;  // o, of another core, is set after a, o2 last; p sums them there
  bool a_content_ids = false;    // a's versions are content ids
  bool a_set_twice = false;      // a is set again after b
  bool only_c = false;           // c alone is set
  bool m_kept_alive_only = false;  // m's one sink ignores every message
  bool m_completed = false;      // m completed before the batch
  bool m_raises = false;         // m's run in the flush raises
  bool fails = false;            // the batch's callable reports a failure
  bool drop_fault_kept = false;  // a drop's fault is kept as the callable returns
  bool a_paused = false;         // a is paused before the batch, resumed after it
  Pausable a_pausable = Pausable::True;
  bool in_a_wave = false;        // the batch runs inside another node's wave
  int quiet = 0;                 // records flushed without a wave
};

// The scope id the next wave gets.
std::uint64_t next_scope_id(const NodeHandle& probe) {
  std::uint64_t id = 0;
  run_in_wave_scope(probe, [&] { id = installed_scope_id(); });
  return id;
}

struct Outcome {
  std::vector<std::string> log;
  std::uint64_t flush_waves = 0;
};

Outcome run_case(const Case& c, Road road) {
  Outcome out;
  std::vector<std::string>& log = out.log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeSpec a_spec;
  if (c.a_content_ids) a_spec.versioning.choice = VersioningForm::Choice::Level1;
  a_spec.pausable = c.a_pausable;
  auto value = [&](int x) -> SharedValue { return c.ints ? iv(x) : tracked(log, "v" + std::to_string(x)); };
  NodeHandle a = make_state(core, value(0), a_spec);
  NodeHandle b = make_state(core, value(0));
  NodeHandle cc = make_state(core, value(0));
  NodeHandle d = make_state(core, value(0));
  NodeHandle probe = make_state(core, iv(0));
  bool raise = false;
  auto runs_logged = [&](const char* name) {
    return fn_of([&log, &raise, name](RunContext& ctx) {
      std::string s = std::string(name) + " runs";
      for (const DepInput& in : ctx.inputs) s += " " + (in.current ? name_of(in.current) : std::string("-"));
      log.push_back(s);
      if (raise) throw std::runtime_error("m raised");
      emit_data(ctx, iv(static_cast<int>(ctx.inputs.size())));
    });
  };
  std::vector<NodeHandle> m_deps = c.a_twice_in_m ? deps_of({&a, &a, &b}) : deps_of({&a, &b});
  if (c.d_after_b) m_deps.push_back(d.promote_counted());
  m_deps.push_back(cc.promote_counted());
  NodeHandle m = make_node(core, std::move(m_deps), runs_logged("m"));
  // A second core's sum: o's record is flushed quietly there, between
  // this core's.
  auto core2 = GraphCore::create();
  std::optional<NodeHandle> o, o2, p;
  if (c.other_core_after_a) {
    o = make_state(core2, value(0));
    o2 = make_state(core2, value(0));
    p = make_node(core2, deps_of({&*o, &*o2}), runs_logged("p"));
  }
  std::optional<NodeHandle> n;
  if (c.a_feeds_n) n = make_node(core, deps_of({&a}), runs_logged("n"));
  const SharedSink m_sink =
      c.m_kept_alive_only ? SharedSink(std::make_shared<NoopSink>()) : std::make_shared<NamedSink>(&log, "m");
  UnsubscribeFn off_m = node_subscribe(m, m_sink);
  UnsubscribeFn off_n = n ? node_subscribe(*n, std::make_shared<NoopSink>()) : UnsubscribeFn();
  UnsubscribeFn off_a = c.a_subscribed ? node_subscribe(a, std::make_shared<NamedSink>(&log, "a")) : UnsubscribeFn();
  UnsubscribeFn off_b = c.b_subscribed ? node_subscribe(b, std::make_shared<NamedSink>(&log, "b")) : UnsubscribeFn();
  UnsubscribeFn off_p = p ? node_subscribe(*p, std::make_shared<NamedSink>(&log, "p")) : UnsubscribeFn();
  if (c.m_completed) run_in_wave_scope(m, [&] { down(m, Message::complete()); });
  if (c.a_paused) node_pause(a, "p");
  raise = c.m_raises;
  log.clear();  // the subscriptions' first messages are not part of the case
  log.push_back("batch");
  std::uint64_t before = 0;
  auto batch = [&] {
    run_batch([&] {
      if (!c.only_c) {
        set_by(road, a, value(1));
        if (o) set_by(road, *o, value(7));
        set_by(c.b_as_list ? Road::ListOfOne : road, b, value(2));
        if (c.d_after_b) set_by(road, d, value(8));
        if (c.a_set_twice) set_by(road, a, value(4));
      }
      set_by(road, cc, value(3));
      if (o2) set_by(road, *o2, value(9));
      log.push_back("end");
      before = next_scope_id(probe);
      if (c.drop_fault_kept) keep_drop_fault(std::make_exception_ptr(Fault("a drop faulted")));
      return c.fails;
    });
  };
  log.push_back(fault_text([&] {
    if (c.in_a_wave)
      run_in_wave_scope(probe, batch);
    else
      batch();
  }));
  out.flush_waves = next_scope_id(probe) - before - 1;
  raise = false;
  if (c.a_paused) {
    log.push_back("resume");
    log.push_back(fault_text([&] { node_resume(a, "p"); }));
  }
  for (const auto& [name, node] :
       {std::pair{"a", &a}, std::pair{"b", &b}, std::pair{"c", &cc}, std::pair{"m", &m}}) {
    log.push_back(std::string(name) + " " + std::string(node_status_name(status_of(*node))) + ", cache " +
                  name_of(cache_of(*node)) + ", pins " + std::to_string(pin_count(*node)) +
                  (node_is_quiescent(*node) ? ", quiescent" : ", busy"));
  }
  if (std::optional<NodeVersion> v = version_metadata(a)) log.push_back("a version " + std::to_string(v->counter));
  if (n) log.push_back("n " + std::string(node_status_name(status_of(*n))) + ", pins " + std::to_string(pin_count(*n)));
  for (const auto& [name, node] :
       {std::pair{"d", &d}, std::pair{"o", o ? &*o : nullptr}, std::pair{"p", p ? &*p : nullptr}}) {
    if (node == nullptr) continue;
    log.push_back(std::string(name) + " " + std::string(node_status_name(status_of(*node))) + ", cache " +
                  name_of(cache_of(*node)) + ", pins " + std::to_string(pin_count(*node)));
  }
  // The flush ended the sources' waves: sets after the batch send DIRTY
  // again, and m runs on each.
  log.push_back("after");
  log.push_back(fault_text([&] { node_set(a, value(5)); }));
  log.push_back(fault_text([&] { node_set(b, value(6)); }));
  if (c.a_subscribed) off_a.call();
  if (c.b_subscribed) off_b.call();
  if (p) {
    log.push_back(fault_text([&] { node_set(*o2, value(10)); }));
    off_p.call();
  }
  if (n) off_n.call();
  off_m.call();
  return out;
}

const Case kCases[] = {
    {.name = "sum", .quiet = 2},
    {.name = "sum_of_ints", .ints = true, .quiet = 2},
    {.name = "a_twice_in_the_sum", .a_twice_in_m = true, .quiet = 1},
    {.name = "a_feeds_a_second_node", .a_feeds_n = true, .quiet = 1},
    {.name = "a_has_a_sink_of_its_own", .a_subscribed = true, .quiet = 1},
    {.name = "a_content_ids", .ints = true, .a_content_ids = true, .quiet = 1},
    {.name = "a_set_twice", .a_set_twice = true, .quiet = 2},
    {.name = "only_the_last_dep_set", .only_c = true, .quiet = 0},
    {.name = "sum_kept_alive_only", .m_kept_alive_only = true, .quiet = 2},
    {.name = "sum_completed", .m_completed = true, .quiet = 0},
    {.name = "sum_raises_in_the_flush", .m_raises = true, .quiet = 2},
    {.name = "failed_batch", .fails = true, .quiet = 0},
    {.name = "drop_fault_kept_in_the_batch", .drop_fault_kept = true, .quiet = 1},
    {.name = "a_paused", .a_paused = true, .quiet = 1},
    {.name = "a_paused_holding", .a_paused = true, .a_pausable = Pausable::ResumeAll, .quiet = 2},
    {.name = "batch_inside_a_wave", .in_a_wave = true, .quiet = 0},
    {.name = "a_wave_between_quiet_records", .b_subscribed = true, .d_after_b = true, .quiet = 2},
    {.name = "d_quiet_after_b", .d_after_b = true, .quiet = 3},
    {.name = "a_list_between_quiet_records", .b_as_list = true, .d_after_b = true, .quiet = 2},
    {.name = "another_cores_record_between", .other_core_after_a = true, .quiet = 3},
    {.name = "another_cores_record_between_and_a_wave", .b_subscribed = true, .d_after_b = true,
     .other_core_after_a = true, .quiet = 3},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuietFlush : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(QuietFlush, ARecordOfOneDataGivesWhatItsListFlushedInAWaveGives) {
  const Outcome one = run_case(GetParam(), Road::OneMessage);
  const Outcome list = run_case(GetParam(), Road::ListOfOne);
  EXPECT_EQ(one.log, list.log);
  EXPECT_EQ(list.flush_waves - one.flush_waves, static_cast<std::uint64_t>(GetParam().quiet));
}

INSTANTIATE_TEST_SUITE_P(Table, QuietFlush, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(QuietFlushOfASum, TheSumRunsOnceOnAllThreeValuesAndItsOldInputsGoAfterItsData) {
  const std::vector<std::string> log = run_case(kCases[0], Road::OneMessage).log;
  const std::vector<std::string> expected = {"batch", "m DIRTY", "end", "m runs v1 v2 v3", "m DATA 3", "~v0", "~v0",
                                             "~v0", "<no fault>"};
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
}
