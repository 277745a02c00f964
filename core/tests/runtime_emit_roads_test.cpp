// A node function's emit of one DATA, the RESOLVED of a node whose run is
// over, and a DATA set on a node outside its run take a short road when
// nothing holds them back, queues them or needs a content id; a list of that
// one message always takes the general road. Both must give the same
// messages, drops, faults and node state.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "node/topology/node_ops.hpp"
#include "node/topology/subscribe.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"
#include "logging_sinks.hpp"
#include "stack_thread.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// ReleasedValue: a DATA's value handed down as a released share, as a node
// function's emit_data hands it.
enum class Road { OneMessage, ListOfOne, ReleasedValue };
// Tracked values log their drop; content ids need plain ints.
enum class Values { Tracked, Ints, TrackedFromTheSet };

void down_by(Road road, const UncountedNode& node, Message m) {
  if (road == Road::ReleasedValue && m.kind() == MessageKind::Data) {
    const Value* released = m.take_data_value().release();
    return down_released(node, released);
  }
  if (road != Road::ListOfOne)
    down(node, std::move(m));
  else
    down(node, one_message(std::move(m)));
}

void emit_by(Road road, const UncountedNode& node, SharedValue v) { down_by(road, node, Message::data(std::move(v))); }

// What a case sets up around m, the node whose function emits.
struct Case {
  const char* name;
  Values values = Values::Tracked;
  VersioningForm::Choice versioning = VersioningForm::Choice::Level0;
  Pausable pausable = Pausable::True;
  bool pause_first = false;      // m is paused before the set
  bool corrects = false;         // m's sink downs on m again while it delivers
  bool drops_other_sink = false; // m's first sink unsubscribes the second
  bool sink_faults = false;      // m's first sink faults on its DATA
  bool emits_twice = false;
  bool emits_thrice = false;  // with emits_twice: a third emit in the same run
  bool completes_first = false;  // m is terminal before the set
  bool settled_by_a_sink = false;  // a sink of s downs RESOLVED on m before m runs
  bool in_batch = false;           // that RESOLVED is made in a batch
  bool sets_instead = false;       // the sink downs a DATA on m instead
  bool through_a_dependent = false;  // m's one sink is a node's, which logs each emit's list
};

std::vector<std::string> run_case(const Case& c, Road road) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeSpec spec;
  spec.versioning.choice = c.versioning;
  spec.pausable = c.pausable;
  auto value = [&](int x) -> SharedValue {
    if (c.values == Values::Ints || (c.values == Values::TrackedFromTheSet && x == 0)) return iv(x);
    return tracked(log, "v" + std::to_string(x));
  };
  NodeHandle m = make_node(core, deps_of({&s}), fn_of([&, road](RunContext& ctx) {
                             const int x = int_of(ctx.inputs[0].current);
                             emit_by(road, ctx.node, value(x));
                             if (c.emits_twice) emit_by(road, ctx.node, value(x + 100));
                             if (c.emits_thrice) emit_by(road, ctx.node, value(x + 200));
                           }),
                           spec);
  // The dependent's input keeps one list per delivery frame of m's. Its
  // other dep, run after m, keeps it from running between m's emits.
  NodeHandle later, dependent;
  if (c.through_a_dependent) {
    later = make_map(core, s, [](int x) { return x; });
    dependent = make_node(core, deps_of({&m, &later}), fn_of([&](RunContext& ctx) {
                            std::string lists = "lists";
                            for (const DeliveryView list : ctx.inputs[0].deliveries()) {
                              lists += " [";
                              for (const SharedValue& v : list) lists += " " + name_of(v);
                              lists += " ]";
                            }
                            log.push_back(lists);
                          }));
  }
  const NodeHandle& watched = c.through_a_dependent ? dependent : m;
  auto first = std::make_shared<NamedSink>(&log, "a");
  auto second = std::make_shared<NamedSink>(&log, "b");
  UnsubscribeFn off_first = node_subscribe(watched, first);
  UnsubscribeFn off_second = node_subscribe(watched, second);
  bool corrected = false;
  first->on_message = [&](const Message& msg) {
    if (msg.kind() != MessageKind::Data) return;
    if (c.corrects && !corrected) {
      corrected = true;
      emit_by(road, m, value(-1));
    }
    if (c.drops_other_sink) off_second.call();
    if (c.sink_faults) fault("a refused");
  };
  first.reset();
  second.reset();
  if (c.pause_first) node_pause(m, "p");
  if (c.completes_first) down(m, Message::complete());
  UnsubscribeFn off_settler;
  if (c.settled_by_a_sink) {
    auto settler = std::make_shared<NamedSink>(&log, "s");
    settler->on_message = [&](const Message& msg) {
      if (msg.kind() != MessageKind::Data) return;
      auto settle = [&] { down_by(road, m, c.sets_instead ? Message::data(value(50)) : Message::resolved()); };
      if (!c.in_batch) return settle();
      run_batch([&] {
        settle();
        return false;
      });
    };
    off_settler = node_subscribe(s, settler);
  }
  log.push_back("set");
  log.push_back(fault_text([&] { node_set(s, iv(1)); }));
  off_settler.call();
  if (c.pause_first) {
    log.push_back("resume");
    log.push_back(fault_text([&] { node_resume(m, "p"); }));
  }
  log.push_back("cache " + name_of(cache_of(m)) + ", status " + std::string(node_status_name(status_of(m))));
  if (std::optional<NodeVersion> v = version_metadata(m))
    log.push_back("version " + std::to_string(v->counter) + " " + v->cid);
  off_first.call();
  off_second.call();
  return log;
}

const Case kCases[] = {
    {.name = "plain"},
    {.name = "twice", .emits_twice = true},
    {.name = "content_ids", .values = Values::Ints, .versioning = VersioningForm::Choice::Level1},
    {.name = "content_ids_refused", .values = Values::TrackedFromTheSet, .versioning = VersioningForm::Choice::Level1},
    {.name = "no_version", .versioning = VersioningForm::Choice::Disabled},
    {.name = "paused_owing_its_run", .pause_first = true},
    {.name = "paused_holding_its_emit", .pausable = Pausable::ResumeAll, .pause_first = true},
    {.name = "corrected_by_its_sink", .corrects = true},
    {.name = "sink_dropped_mid_delivery", .drops_other_sink = true},
    {.name = "sink_faults", .sink_faults = true},
    {.name = "terminal", .completes_first = true},
    {.name = "settled", .settled_by_a_sink = true},
    {.name = "settled_in_a_batch", .settled_by_a_sink = true, .in_batch = true},
    {.name = "settled_while_paused", .pausable = Pausable::ResumeAll, .pause_first = true, .settled_by_a_sink = true},
    {.name = "settled_and_corrected", .corrects = true, .settled_by_a_sink = true},
    {.name = "set_by_a_sink", .settled_by_a_sink = true, .sets_instead = true},
    {.name = "set_by_a_sink_in_a_batch", .settled_by_a_sink = true, .in_batch = true, .sets_instead = true},
    {.name = "set_by_a_sink_with_content_ids",
     .values = Values::Ints,
     .versioning = VersioningForm::Choice::Level1,
     .settled_by_a_sink = true,
     .sets_instead = true},
    {.name = "set_by_a_sink_while_paused",
     .pausable = Pausable::ResumeAll,
     .pause_first = true,
     .settled_by_a_sink = true,
     .sets_instead = true},
    {.name = "set_by_a_sink_and_corrected", .corrects = true, .settled_by_a_sink = true, .sets_instead = true},
    {.name = "to_a_lone_dependent", .through_a_dependent = true},
    {.name = "twice_to_a_lone_dependent", .emits_twice = true, .through_a_dependent = true},
    // Each emit after the first is no plain DATA for the dependent's input:
    // its own frame keeps it a list of its own.
    {.name = "thrice_to_a_lone_dependent", .emits_twice = true, .emits_thrice = true, .through_a_dependent = true},
};

class EmitRoads : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(EmitRoads, OneMessageAndAListOfItGiveTheSameLog) {
  const std::vector<std::string> short_road = run_case(GetParam(), Road::OneMessage);
  EXPECT_EQ(short_road, run_case(GetParam(), Road::ListOfOne));
  EXPECT_GT(short_road.size(), 4u);  // the sinks saw the wave
}

TEST_P(EmitRoads, AReleasedValueGivesTheSameLogAndDrops) {
  EXPECT_EQ(run_case(GetParam(), Road::ReleasedValue), run_case(GetParam(), Road::OneMessage));
}

INSTANTIATE_TEST_SUITE_P(Table, EmitRoads, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

namespace {

// What a case sets up around s, the node set from outside its run.
struct SetCase {
  const char* name;
  Values values = Values::Tracked;
  VersioningForm::Choice versioning = VersioningForm::Choice::Level0;
  bool pause_first = false;          // s holds its DATA (resume-all) before the set
  bool corrects_on_dirty = false;    // s's first sink downs on s while DIRTY goes out
  bool corrects_on_data = false;     // the same while the DATA goes out
  bool drops_other_on_dirty = false; // s's first sink unsubscribes the second on DIRTY
  bool completes_first = false;
  bool in_batch = false;
};

std::vector<std::string> run_set_case(const SetCase& c, Road road) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeSpec spec;
  spec.versioning.choice = c.versioning;
  spec.pausable = Pausable::ResumeAll;
  auto value = [&](int x) -> SharedValue {
    if (c.values == Values::Ints) return iv(x);
    return tracked(log, "v" + std::to_string(x));
  };
  NodeHandle s = make_state(core, value(0), spec);
  auto first = std::make_shared<NamedSink>(&log, "a");
  auto second = std::make_shared<NamedSink>(&log, "b");
  UnsubscribeFn off_first = node_subscribe(s, first);
  UnsubscribeFn off_second = node_subscribe(s, second);
  bool corrected = false;
  first->on_message = [&](const Message& msg) {
    const bool dirty = msg.kind() == MessageKind::Dirty, data = msg.kind() == MessageKind::Data;
    if (!corrected && ((c.corrects_on_dirty && dirty) || (c.corrects_on_data && data))) {
      corrected = true;
      emit_by(road, s, value(-1));
    }
    if (c.drops_other_on_dirty && dirty) off_second.call();
  };
  first.reset();
  second.reset();
  if (c.pause_first) node_pause(s, "p");
  if (c.completes_first) down(s, Message::complete());
  auto set = [&] { run_in_wave_scope(s, [&] { emit_by(road, s, value(1)); }); };
  log.push_back("set");
  log.push_back(fault_text([&] {
    if (!c.in_batch) return set();
    run_batch([&] {
      set();
      return false;
    });
  }));
  if (c.pause_first) {
    log.push_back("resume");
    log.push_back(fault_text([&] { node_resume(s, "p"); }));
  }
  log.push_back("cache " + name_of(cache_of(s)) + ", status " + std::string(node_status_name(status_of(s))));
  if (std::optional<NodeVersion> v = version_metadata(s))
    log.push_back("version " + std::to_string(v->counter) + " " + v->cid);
  off_first.call();
  off_second.call();
  return log;
}

const SetCase kSetCases[] = {
    {.name = "plain"},
    {.name = "content_ids", .values = Values::Ints, .versioning = VersioningForm::Choice::Level1},
    {.name = "no_version", .versioning = VersioningForm::Choice::Disabled},
    {.name = "paused_holding_it", .pause_first = true},
    {.name = "corrected_while_dirty_goes_out", .corrects_on_dirty = true},
    {.name = "corrected_while_data_goes_out", .corrects_on_data = true},
    {.name = "sink_dropped_while_dirty_goes_out", .drops_other_on_dirty = true},
    {.name = "terminal", .completes_first = true},
    {.name = "in_a_batch", .in_batch = true},
    {.name = "corrected_in_a_batch", .corrects_on_data = true, .in_batch = true},
};

class SetRoads : public ::testing::TestWithParam<SetCase> {};

}  // namespace

TEST_P(SetRoads, OneMessageAndAListOfItGiveTheSameLog) {
  const std::vector<std::string> short_road = run_set_case(GetParam(), Road::OneMessage);
  EXPECT_EQ(short_road, run_set_case(GetParam(), Road::ListOfOne));
  EXPECT_GT(short_road.size(), 4u);  // the sinks saw the set
}

INSTANTIATE_TEST_SUITE_P(Table, SetRoads, ::testing::ValuesIn(kSetCases),
                         [](const ::testing::TestParamInfo<SetCase>& i) { return std::string(i.param.name); });

namespace {

// A set made inside another operation's wave, on a node t outside its run,
// while a DIRTY sink of t sets t again or lets its last handle go.
enum class SetFrom { ASinkOfTheWave, AnEffectsFunction };
enum class OnDirty { SetsAgain, DropsTheLastHandle };

struct WaveSetCase {
  const char* name;
  SetFrom from;
  OnDirty on_dirty;
  std::vector<std::string> log;  // the same whatever the road
};

std::vector<std::string> run_wave_set_case(const WaveSetCase& c, Road road) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle src = make_state(core, iv(0));
  std::optional<NodeHandle> t(make_state(core, tracked(log, "t0")));
  const UncountedNode t_view = t->uncounted();
  add_release_callback(*t, [&] { log.push_back("released t"); });
  auto first = std::make_shared<NamedSink>(&log, "a");
  auto second = std::make_shared<NamedSink>(&log, "b");
  UnsubscribeFn off_first = node_subscribe(*t, first);
  UnsubscribeFn off_second = node_subscribe(*t, second);
  bool acted = false;
  first->on_message = [&](const Message& msg) {
    if (msg.kind() != MessageKind::Dirty || acted) return;
    acted = true;
    if (c.on_dirty == OnDirty::SetsAgain) return emit_by(road, t_view, tracked(log, "t2"));
    off_first = UnsubscribeFn();
    off_second = UnsubscribeFn();
    t.reset();
    log.push_back("dropped t");
  };
  first.reset();
  second.reset();
  auto set_t = [&] {
    log.push_back("setting t");
    emit_by(road, t_view, tracked(log, "t1"));
    log.push_back("set t");
  };
  std::optional<NodeHandle> effect;
  UnsubscribeFn off_trigger;
  if (c.from == SetFrom::AnEffectsFunction) {
    effect.emplace(make_node(core, deps_of({&src}), fn_of([&](RunContext& ctx) {
                               if (int_of(ctx.inputs[0].current) == 1) set_t();
                             })));
    off_trigger = node_subscribe(*effect, std::make_shared<NamedSink>(&log, "effect"));
  } else {
    auto trigger = std::make_shared<NamedSink>(&log, "src");
    trigger->on_message = [&](const Message& msg) {
      if (msg.kind() == MessageKind::Data && int_of(msg.value()) == 1) set_t();
    };
    off_trigger = node_subscribe(src, trigger);
  }
  log.push_back(fault_text([&] { node_set(src, iv(1)); }));
  log.push_back("wave over");
  if (t) log.push_back("cache " + name_of(cache_of(*t)) + ", status " + std::string(node_status_name(status_of(*t))));
  off_trigger.call();
  off_first.call();
  off_second.call();
  t.reset();
  return log;
}

// t is kept by the wave's pin while its DIRTY sink lets it go: the set goes
// on to both sinks, and t is released at the wave's end.
const WaveSetCase kWaveSetCases[] = {
    {"from_a_sink_set_again_on_dirty", SetFrom::ASinkOfTheWave, OnDirty::SetsAgain,
     {"a START", "a DATA t0", "b START", "b DATA t0", "src START", "src DATA 0", "src DIRTY", "src DATA 1", "setting t",
      "a DIRTY", "b DIRTY", "~t0", "a DATA t1", "b DATA t1", "~t1", "a DATA t2", "b DATA t2", "set t", "<no fault>",
      "wave over", "cache t2, status settled", "~src", "~a", "~b", "released t", "~t2"}},
    {"from_an_effect_set_again_on_dirty", SetFrom::AnEffectsFunction, OnDirty::SetsAgain,
     {"a START", "a DATA t0", "b START", "b DATA t0", "effect START", "effect DIRTY", "setting t", "a DIRTY", "b DIRTY",
      "~t0", "a DATA t1", "b DATA t1", "~t1", "a DATA t2", "b DATA t2", "set t", "effect RESOLVED", "<no fault>",
      "wave over", "cache t2, status settled", "~effect", "~a", "~b", "released t", "~t2"}},
    {"from_a_sink_dropped_on_dirty", SetFrom::ASinkOfTheWave, OnDirty::DropsTheLastHandle,
     {"a START", "a DATA t0", "b START", "b DATA t0", "src START", "src DATA 0", "src DIRTY", "src DATA 1", "setting t",
      "a DIRTY", "dropped t", "b DIRTY", "~t0", "a DATA t1", "b DATA t1", "set t", "released t", "~a", "~b", "~t1",
      "<no fault>", "wave over", "~src"}},
    {"from_an_effect_dropped_on_dirty", SetFrom::AnEffectsFunction, OnDirty::DropsTheLastHandle,
     {"a START", "a DATA t0", "b START", "b DATA t0", "effect START", "effect DIRTY", "setting t", "a DIRTY",
      "dropped t", "b DIRTY", "~t0", "a DATA t1", "b DATA t1", "set t", "effect RESOLVED", "released t", "~a", "~b",
      "~t1", "<no fault>", "wave over", "~effect"}},
};

class WaveSetRoads : public ::testing::TestWithParam<WaveSetCase> {};

}  // namespace

TEST_P(WaveSetRoads, GiveTheExactLogAndReleaseOrder) {
  for (Road road : {Road::OneMessage, Road::ListOfOne})
    EXPECT_EQ(run_wave_set_case(GetParam(), road), GetParam().log) << (road == Road::OneMessage ? "one" : "list");
}

INSTANTIATE_TEST_SUITE_P(Table, WaveSetRoads, ::testing::ValuesIn(kWaveSetCases),
                         [](const ::testing::TestParamInfo<WaveSetCase>& i) { return std::string(i.param.name); });

namespace {

// A node paused inside its own run, then emitting: under resume-all its DATA
// waits for the resume; under the other modes it goes out in the run.
struct PausedInRunCase {
  const char* name;
  Pausable pausable;
  Road road;
  std::vector<std::string> log;
};

std::vector<std::string> run_paused_in_run_case(const PausedInRunCase& c) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeSpec spec;
  spec.pausable = c.pausable;
  bool pause = false;
  NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                             if (pause) node_pause(ctx.node, "p");
                             emit_by(c.road, ctx.node, iv(10 + int_of(ctx.inputs[0].current)));
                           }),
                           spec);
  auto sink = std::make_shared<NamedSink>(&log, "a");
  UnsubscribeFn off = node_subscribe(m, sink);
  sink.reset();
  pause = true;
  log.push_back("set");
  log.push_back(fault_text([&] { node_set(s, iv(1)); }));
  log.push_back("resume");
  log.push_back(fault_text([&] { node_resume(m, "p"); }));
  log.push_back("cache " + name_of(cache_of(m)));
  off.call();
  return log;
}

std::vector<PausedInRunCase> paused_in_run_cases() {
  const std::vector<std::string> goes_out = {"a START", "a DATA 10", "set", "a DIRTY", "a DATA 11", "<no fault>",
                                             "resume", "<no fault>", "cache 11", "~a"};
  const std::vector<std::string> waits = {"a START", "a DATA 10", "set",       "a DIRTY",  "<no fault>", "resume",
                                          "a DIRTY", "a DATA 11", "<no fault>", "cache 11", "~a"};
  std::vector<PausedInRunCase> cases;
  for (Road road : {Road::OneMessage, Road::ListOfOne, Road::ReleasedValue}) {
    cases.push_back({"pausable", Pausable::True, road, goes_out});
    cases.push_back({"resume_all", Pausable::ResumeAll, road, waits});
    cases.push_back({"not_pausable", Pausable::False, road, goes_out});
  }
  return cases;
}

class PausedInRun : public ::testing::TestWithParam<PausedInRunCase> {};

std::string paused_in_run_name(const ::testing::TestParamInfo<PausedInRunCase>& i);

}  // namespace

TEST_P(PausedInRun, HoldsTheEmitUnderResumeAllAlone) {
  EXPECT_EQ(run_paused_in_run_case(GetParam()), GetParam().log);
}

namespace {
std::string paused_in_run_name(const ::testing::TestParamInfo<PausedInRunCase>& i) {
  const char* const roads[] = {"one", "list", "released"};
  return std::string(i.param.name) + "_" + roads[static_cast<int>(i.param.road)];
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Table, PausedInRun, ::testing::ValuesIn(paused_in_run_cases()), paused_in_run_name);

// An emitted value is in the node's cache before its lone dep sink's call,
// which may fault for the stack: wherever the stack runs out, the value is
// dropped once, when the graph goes.
TEST(EmitRoadsStack, AnEmittedValueIsDroppedOnceWhereverTheStackRunsOut) {
  run_on_stack(1 << 20, [] {
    check_stack_headroom();  // reads the thread's bounds
    const std::uintptr_t limit = detail::tls_stack_bounds.low + detail::tls_stack_bounds.reserve;
    bool faulted_after_the_cache = false;
    std::string text;
    for (std::uintptr_t above = 0; text != "<no fault>" && above < (64 << 10); above += 16) {
      SCOPED_TRACE(above);
      std::vector<std::string> log;  // outlives the graph, whose drops log into it
      bool cached = false;
      {
        auto core = GraphCore::create();
        NodeHandle s = make_state(core, iv(0));
        NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                                   const std::string name = "v" + std::to_string(int_of(ctx.inputs[0].current));
                                   log.push_back(name);
                                   emit_data(ctx, tracked(log, name));
                                 }));
        NodeHandle d = make_node(core, deps_of({&m}), fn_of([](RunContext&) {}));
        UnsubscribeFn keep = subscribe_keepalive_core(d);
        with_stack_down_to(limit + above, [&] { text = fault_text([&] { node_set(s, iv(1)); }); });
        const Tracked* in_cache = value_cast<Tracked>(cache_of(m));
        cached = in_cache && in_cache->name == "v1";
        keep.call();
      }
      EXPECT_EQ(std::count(log.begin(), log.end(), "~v1"), std::count(log.begin(), log.end(), "v1"));
      if (text == kStackDepthExceeded && cached) faulted_after_the_cache = true;
    }
    EXPECT_EQ(text, "<no fault>") << "the positions end too low";
    EXPECT_TRUE(faulted_after_the_cache) << "no position faulted in the lone dep sink's call";
  });
}

// A released share's emit to a lone dependent faults for the stack at one
// position whether the dependent takes it plainly (the run's first emit)
// or not (a later one: the dependent's input already has a wave value,
// and the sink's general call takes the DATA).
TEST(EmitRoadsStack, ALaterEmitToALoneDependentFaultsWhereAFirstDoes) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the frames compared are an optimized build's";
#endif
  run_on_stack(1 << 20, [] {
    check_stack_headroom();  // reads the thread's bounds
    const std::uintptr_t limit = detail::tls_stack_bounds.low + detail::tls_stack_bounds.reserve;
    // Refused or not at each position, for a run that emits once ([0]) and
    // twice ([1]); only the last emit is made from the lowered stack.
    std::vector<bool> refused[2];
    for (const int emits : {1, 2}) {
      for (std::uintptr_t above = 256; above <= 1280; above += 8) {
        auto core = GraphCore::create();
        NodeHandle s = make_state(core, iv(0));
        std::string text;
        NodeHandle m = make_node(core, deps_of({&s}), fn_of([&](RunContext& ctx) {
                                   const int x = int_of(ctx.inputs[0].current);
                                   if (emits == 2) emit_by(Road::ReleasedValue, ctx.node, iv(x));
                                   with_stack_down_to(limit + above, [&] {
                                     text = fault_text([&] { emit_by(Road::ReleasedValue, ctx.node, iv(x + 100)); });
                                   });
                                 }));
        // Keeps the dependent from running between the two emits.
        NodeHandle later = make_map(core, s, [](int x) { return x; });
        NodeHandle d = make_node(core, deps_of({&m, &later}), fn_of([](RunContext&) {}));
        UnsubscribeFn keep = subscribe_keepalive_core(d);
        node_set(s, iv(1));
        refused[emits - 1].push_back(text == kStackDepthExceeded);
        keep.call();
      }
    }
    EXPECT_TRUE(refused[0].front()) << "the positions start too high";
    EXPECT_FALSE(refused[0].back()) << "the positions end too low";
    EXPECT_EQ(refused[1], refused[0]);
  });
}

namespace {

// A value that logs "~name" when destroyed and then runs a hook.
struct HookedDrop {
  std::vector<std::string>* log;
  std::string name;
  std::function<void()> on_drop;
  ~HookedDrop() {
    log->push_back("~" + name);
    if (on_drop) on_drop();
  }
};

// Who watches m, the emitting node: two sinks, or a node whose one dep it
// is (its lone dep sink takes m's DATA), watched by a sink.
enum class Watch { TwoSinks, LoneDependent };

// Each road's log when the value an emit replaces, dropped before the sinks
// are called, unsubscribes them all: the node, running, lets go of its cache.
std::vector<std::string> run_replaced_value_unsubscribes(Road road, Watch watch = Watch::TwoSinks) {
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  UnsubscribeFn off_first, off_second;
  {
    auto core = GraphCore::create();
    NodeHandle s = make_state(core, iv(0));
    NodeHandle m = make_node(core, deps_of({&s}), fn_of([&, road](RunContext& ctx) {
                               const int x = int_of(ctx.inputs[0].current);
                               if (x != 0) return emit_by(road, ctx.node, tracked(log, "v" + std::to_string(x)));
                               emit_by(road, ctx.node, make_value<HookedDrop>(&log, "v0", [&] {
                                         off_first.call();
                                         off_second.call();
                                       }));
                             }));
    NodeHandle d;
    if (watch == Watch::LoneDependent)
      d = make_node(core, deps_of({&m}), fn_of([&](RunContext& ctx) {
                      log.push_back("d ran on " + name_of(ctx.inputs[0].current));
                    }));
    const NodeHandle& watched = watch == Watch::LoneDependent ? d : m;
    auto first = std::make_shared<NamedSink>(&log, "a");
    auto second = std::make_shared<NamedSink>(&log, "b");
    off_first = node_subscribe(watched, first);
    off_second = node_subscribe(watched, second);
    first.reset();
    second.reset();
    log.push_back("set");
    log.push_back(fault_text([&] { node_set(s, iv(1)); }));
    log.push_back("set");
    log.push_back(fault_text([&] { node_set(s, iv(2)); }));
  }
  log.push_back("graph gone");
  return log;
}

}  // namespace

TEST(EmitRoads, AReleasedValueOutlivesACacheLetGoByTheReplacedValuesDrop) {
  for (Watch watch : {Watch::TwoSinks, Watch::LoneDependent}) {
    SCOPED_TRACE(static_cast<int>(watch));
    const std::vector<std::string> log = run_replaced_value_unsubscribes(Road::OneMessage, watch);
    EXPECT_EQ(run_replaced_value_unsubscribes(Road::ReleasedValue, watch), log);
  }
}
