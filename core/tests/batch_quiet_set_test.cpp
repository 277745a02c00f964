// A set inside a batch that owns no wave may defer its DATA without one,
// when the wave would only touch the nodes its DIRTY marks and untouch them
// again. Whichever road it takes, a set must give the same messages, runs,
// drops, pins and node state as the same DATA sent down in a wave.

#include <gtest/gtest.h>

#include <utility>

#include "host_boundary/host_boundary.hpp"
#include "node/arena/noop_sink.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

enum class Road { Set, DownInWave };

void set_by(Road road, const NodeHandle& node, SharedValue v) {
  if (road == Road::Set)
    node_set(node, std::move(v));
  else
    run_in_wave_scope(node, [&] { down(node, Message::data(std::move(v))); });
}

// What a case sets up around a and b, both set in one batch (a first); m
// sums them and is subscribed, so a's DIRTY goes on through m.
struct Case {
  const char* name;
  bool b_twice_in_m = false;     // m's deps are a, b, b
  bool b_feeds_n = false;        // n sums a and b as well, only kept active
  bool m_kept_alive_only = false;  // m's one sink ignores every message
  bool b_subscribed = false;     // b has a sink of its own
  bool b_set_twice = false;      // b is set again after its first set
  bool b_content_ids = false;    // b's versions are content ids
  bool m_completed = false;      // m completed before the batch
  bool fails = false;            // the batch's callable reports a failure
  bool b_takes_no_wave = false;  // b's set defers without a wave of its own
  // b is set first, and its own sink aborts that set's DIRTY, which leaves
  // b's record without its queued mark; the callable goes on, unsubscribes
  // the sink and sets a and b as in the other cases.
  bool b_sink_aborts_once = false;
};

// The scope id the next wave gets: a set that took a wave used one.
std::uint64_t next_scope_id(const NodeHandle& probe) {
  std::uint64_t id = 0;
  run_in_wave_scope(probe, [&] { id = installed_scope_id(); });
  return id;
}

// A batch of sets on a graph of its own, so that the thread's batch holds
// room for the records of the batches after it.
void grow_batch_room() {
  auto core = GraphCore::create();
  std::vector<NodeHandle> states;
  for (int i = 0; i < 8; ++i) states.push_back(make_state(core, iv(0)));
  run_batch([&] {
    for (const NodeHandle& s : states) node_set(s, iv(1));
    return false;
  });
}

struct Outcome {
  std::vector<std::string> log;
  bool b_took_wave = false;
};

Outcome run_case(const Case& c, Road road) {
  grow_batch_room();
  Outcome out;
  std::vector<std::string>& log = out.log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeSpec b_spec;
  if (c.b_content_ids) b_spec.versioning.choice = VersioningForm::Choice::Level1;
  NodeHandle a = make_state(core, iv(0));
  NodeHandle b = make_state(core, iv(0), b_spec);
  NodeHandle probe = make_state(core, iv(0));
  auto runs_logged = [&](const char* name) {
    return fn_of([&log, name](RunContext& ctx) {
      int sum = 0;
      for (const DepInput& in : ctx.inputs) sum += in.current ? int_of(in.current) : 0;
      log.push_back(std::string(name) + " runs " + std::to_string(sum));
      emit_data(ctx, iv(sum));
    });
  };
  NodeHandle m = make_node(core, c.b_twice_in_m ? deps_of({&a, &b, &b}) : deps_of({&a, &b}), runs_logged("m"));
  std::optional<NodeHandle> n;
  if (c.b_feeds_n) n = make_node(core, deps_of({&a, &b}), runs_logged("n"));
  const SharedSink m_sink =
      c.m_kept_alive_only ? SharedSink(std::make_shared<NoopSink>()) : std::make_shared<NamedSink>(&log, "m");
  UnsubscribeFn off_m = node_subscribe(m, m_sink);
  UnsubscribeFn off_n = n ? node_subscribe(*n, std::make_shared<NoopSink>()) : UnsubscribeFn();
  UnsubscribeFn off_b;
  bool b_raised = false;
  if (c.b_subscribed || c.b_sink_aborts_once) {
    auto b_sink = std::make_shared<NamedSink>(&log, "b");
    if (c.b_sink_aborts_once) {
      b_sink->on_message = [&b_raised](const Message& m) {
        if (m.kind() == MessageKind::Dirty && !std::exchange(b_raised, true)) throw HostBoundaryAbort{};
      };
    }
    off_b = node_subscribe(b, std::move(b_sink));
  }
  if (c.m_completed) run_in_wave_scope(m, [&] { down(m, Message::complete()); });
  log.clear();  // the subscriptions' first messages are not part of the case
  log.push_back("batch");
  log.push_back(fault_text([&] {
    run_batch([&] {
      if (c.b_sink_aborts_once) {
        try {
          set_by(road, b, iv(4));
        } catch (const HostBoundaryAbort&) {
          log.push_back("b's set aborted");
        }
        off_b.call();
      }
      set_by(road, a, iv(1));
      const std::uint64_t before = next_scope_id(probe);
      set_by(road, b, iv(2));
      out.b_took_wave = next_scope_id(probe) != before + 1;
      if (c.b_set_twice) set_by(road, b, iv(3));
      log.push_back("end");
      return c.fails;
    });
  }));
  for (const auto& [name, node] : {std::pair{"a", &a}, std::pair{"b", &b}, std::pair{"m", &m}}) {
    log.push_back(std::string(name) + " " + std::string(node_status_name(status_of(*node))) + ", pins " +
                  std::to_string(pin_count(*node)) + (node_is_quiescent(*node) ? ", quiescent" : ", busy"));
  }
  if (n) log.push_back("n " + std::string(node_status_name(status_of(*n))) + ", pins " + std::to_string(pin_count(*n)));
  // The flush ended b's wave: a set after the batch sends DIRTY again.
  log.push_back("after");
  log.push_back(fault_text([&] { node_set(b, iv(5)); }));
  if (c.b_subscribed) off_b.call();
  if (n) off_n.call();
  off_m.call();
  return out;
}

const Case kCases[] = {
    {.name = "sum", .b_takes_no_wave = true},
    {.name = "b_twice_in_the_sum", .b_twice_in_m = true, .b_takes_no_wave = true},
    {.name = "b_feeds_a_second_sum", .b_feeds_n = true, .b_takes_no_wave = true},
    {.name = "sum_kept_alive_only", .m_kept_alive_only = true, .b_takes_no_wave = true},
    {.name = "sum_completed", .m_completed = true, .b_takes_no_wave = true},
    {.name = "failed_batch", .fails = true, .b_takes_no_wave = true},
    {.name = "b_set_twice", .b_set_twice = true, .b_takes_no_wave = true},
    {.name = "b_has_a_sink_of_its_own", .b_subscribed = true},
    {.name = "b_content_ids", .b_content_ids = true},
    {.name = "b_record_left_unmarked", .b_sink_aborts_once = true},
};

class QuietBatchSet : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(QuietBatchSet, ASetGivesWhatItsDataDownInAWaveGives) {
  const Outcome set = run_case(GetParam(), Road::Set);
  const Outcome in_wave = run_case(GetParam(), Road::DownInWave);
  EXPECT_EQ(set.log, in_wave.log);
  EXPECT_EQ(!set.b_took_wave, GetParam().b_takes_no_wave);
  EXPECT_TRUE(in_wave.b_took_wave);
}

INSTANTIATE_TEST_SUITE_P(Table, QuietBatchSet, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(QuietBatchSetOfASum, TheSumRunsOnceWithBothValuesAfterEachDirtyWentOnOnce) {
  const std::vector<std::string> log = run_case(kCases[0], Road::Set).log;
  const std::vector<std::string> expected = {"batch", "m DIRTY", "end", "m runs 3", "m DATA 3", "<no fault>",
                                             "a settled, pins 0, quiescent", "b settled, pins 0, quiescent",
                                             "m settled, pins 0, quiescent"};
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
}
