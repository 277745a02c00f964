// A set inside a batch defers its one DATA, and the batch's end flushes
// it, by short roads when nothing holds it back, queues it or needs a
// content id; a list of that one message always takes the general roads.
// Both must give the same messages, drops, faults, runs and node state.

#include <gtest/gtest.h>

#include <stdexcept>

#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "deferral_roads.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// What a case sets up around s, flushed after t; m depends on both.
struct Case {
  const char* name;
  bool ints = false;  // content ids need plain ints
  VersioningForm::Choice versioning = VersioningForm::Choice::Level0;
  Pausable pausable = Pausable::True;
  bool pause_first = false;        // s is paused before the batch
  bool set_twice = false;          // s is set twice in the batch
  bool corrects = false;           // s's sink sets s again while it delivers
  bool raises = false;             // s's sink raises on DATA
  bool raises_on_dirty = false;    // s's sink raises on its first DIRTY
  bool drops_other_sink = false;   // s's first sink unsubscribes the second
  bool completed_by_t = false;     // t's sink completes s before s's flush
  bool fails = false;              // the batch's callable reports a failure
};

std::vector<std::string> run_case(const Case& c, Road road) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeSpec spec;
  spec.versioning.choice = c.versioning;
  spec.pausable = c.pausable;
  NodeHandle s = make_state(core, iv(0), spec);
  NodeHandle t = make_state(core, iv(0));
  auto value = [&](int x) -> SharedValue { return c.ints ? iv(x) : tracked(log, "v" + std::to_string(x)); };
  NodeHandle m = make_node(core, deps_of({&s, &t}), fn_of([&](RunContext& ctx) {
                             log.push_back("m runs " + name_of(ctx.inputs[0].current) + " " +
                                           name_of(ctx.inputs[1].current));
                             down(ctx.node, Message::data(iv(1)));
                           }));
  auto first = std::make_shared<NamedSink>(&log, "a");
  auto second = std::make_shared<NamedSink>(&log, "b");
  auto of_t = std::make_shared<NamedSink>(&log, "t");
  auto of_m = std::make_shared<NamedSink>(&log, "m");
  UnsubscribeFn off_first = node_subscribe(s, first);
  UnsubscribeFn off_second = node_subscribe(s, second);
  UnsubscribeFn off_t = node_subscribe(t, of_t);
  UnsubscribeFn off_m = node_subscribe(m, of_m);
  bool corrected = false;
  bool raised_on_dirty = false;
  first->on_message = [&](const Message& msg) {
    if (c.raises_on_dirty && !raised_on_dirty && msg.kind() == MessageKind::Dirty) {
      raised_on_dirty = true;
      throw std::runtime_error("sink raised on DIRTY");
    }
    if (msg.kind() != MessageKind::Data) return;
    if (c.corrects && !corrected) {
      corrected = true;
      set_by(road, s, value(-1));
    }
    if (c.drops_other_sink) off_second.call();
    if (c.raises) throw std::runtime_error("sink raised");
  };
  of_t->on_message = [&](const Message& msg) {
    if (c.completed_by_t && msg.kind() == MessageKind::Data) down(s, Message::complete());
  };
  first.reset();
  second.reset();
  of_t.reset();
  of_m.reset();
  if (c.pause_first) node_pause(s, "p");
  log.clear();  // the subscriptions' first messages are not part of the case
  log.push_back("batch");
  log.push_back(fault_text([&] {
    run_batch([&] {
      set_by(road, t, value(7));
      set_by(road, s, value(1));
      if (c.set_twice) set_by(road, s, value(2));
      log.push_back("end");
      return c.fails;
    });
  }));
  if (c.pause_first) {
    log.push_back("resume");
    log.push_back(fault_text([&] { node_resume(s, "p"); }));
  }
  // The flush ended s's wave: a set after the batch sends DIRTY again.
  log.push_back("after");
  log.push_back(fault_text([&] { node_set(s, value(3)); }));
  log.push_back("cache " + name_of(cache_of(s)) + ", status " + std::string(node_status_name(status_of(s))));
  if (std::optional<NodeVersion> v = version_metadata(s))
    log.push_back("version " + std::to_string(v->counter) + " " + v->cid);
  log.push_back(node_is_quiescent(s) ? "s quiescent" : "s busy");
  off_first.call();
  off_second.call();
  off_t.call();
  off_m.call();
  return log;
}

const Case kCases[] = {
    {.name = "plain"},
    {.name = "set_twice", .set_twice = true},
    {.name = "content_ids", .ints = true, .versioning = VersioningForm::Choice::Level1},
    {.name = "no_version", .versioning = VersioningForm::Choice::Disabled},
    {.name = "paused_not_holding", .pause_first = true},
    {.name = "paused_holding", .pausable = Pausable::ResumeAll, .pause_first = true},
    {.name = "corrected_by_its_sink", .corrects = true},
    {.name = "sink_raises", .raises = true},
    {.name = "sink_raises_on_dirty", .raises_on_dirty = true},
    {.name = "sink_dropped_mid_delivery", .drops_other_sink = true},
    {.name = "completed_before_its_flush", .completed_by_t = true},
    {.name = "failed_batch", .fails = true},
};

class FlushRoads : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(FlushRoads, OneMessageAndAListOfItGiveTheSameLog) {
  const std::vector<std::string> short_road = run_case(GetParam(), Road::OneMessage);
  EXPECT_EQ(short_road, run_case(GetParam(), Road::ListOfOne));
  EXPECT_GT(short_road.size(), 6u);  // the sinks saw the batch
}

INSTANTIATE_TEST_SUITE_P(Table, FlushRoads, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(FlushRoadsOfASum, TheSumOfTwoFlushedSourcesRunsOnceAfterBothDirtiesAndBothData) {
  const std::vector<std::string> log = run_case(kCases[0], Road::OneMessage);
  const std::vector<std::string> expected = {
      "batch", "t DIRTY", "m DIRTY", "a DIRTY", "b DIRTY", "end", "t DATA v7", "a DATA v1", "b DATA v1",
      "m runs v1 v7", "m DATA 1"};
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
}
