// A down made while a batch ends, on a node whose deferred messages the
// flush has not delivered yet, waits behind them: the node's sinks see the
// deferred messages first and the down's right after, in one delivery, as
// a down made while its node delivers waits behind that delivery. The
// batch's sets and the downs made at its end go by either road (one
// message, a list of it); both must give the same log.

#include <gtest/gtest.h>

#include <stdexcept>

#include "host_boundary/host_boundary.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "case_name.hpp"
#include "deferral_roads.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

struct Nodes {
  NodeHandle& t;
  NodeHandle& s;
  NodeHandle& u;
};

// The batch sets t to 1, s to 10 and u to 100; d is s times 10.
struct EndCase {
  const char* name;
  // Made when t's sink sees DATA 1 (RESOLVED in a failed batch), or in the
  // run of n, a dependent of t, when it reads 1.
  std::function<void(const Nodes&, Road)> act;
  // The log from the end of the callable on, then a set of s to 30.
  std::vector<std::string> expected;
  bool from_run = false;
  bool s_first = false;  // s is set before t in the batch
  bool fails = false;    // the callable reports a failure
};

std::vector<std::string> run_case(const EndCase& c, Road road) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle t = make_state(core, iv(0));
  NodeHandle s = make_state(core, iv(0));
  NodeHandle u = make_state(core, iv(0));
  NodeHandle d = make_map(core, s, [](int x) { return x * 10; });
  const Nodes nodes{t, s, u};
  bool acted = false;
  auto act_once = [&] {
    if (!std::exchange(acted, true)) c.act(nodes, road);
  };
  NodeHandle n = make_node(core, deps_of({&t}), fn_of([&](RunContext& ctx) {
                             if (c.from_run && int_of(ctx.inputs[0].current) == 1) act_once();
                           }));
  auto of_t = std::make_shared<NamedSink>(&log, "t");
  of_t->on_message = [&](const Message& m) {
    const bool trigger = c.fails ? m.kind() == MessageKind::Resolved : m.kind() == MessageKind::Data && int_of(m.value()) == 1;
    if (!c.from_run && trigger) act_once();
  };
  std::vector<UnsubscribeFn> subs;
  subs.push_back(node_subscribe(t, of_t));
  subs.push_back(node_subscribe(s, std::make_shared<NamedSink>(&log, "s")));
  subs.push_back(node_subscribe(d, std::make_shared<NamedSink>(&log, "d")));
  subs.push_back(node_subscribe(u, std::make_shared<NamedSink>(&log, "u")));
  subs.push_back(node_subscribe(n, std::make_shared<RecordingSink>()));
  of_t.reset();
  std::string raised;
  try {
    run_batch([&] {
      if (c.s_first) set_by(road, s, iv(10));
      set_by(road, t, iv(1));
      if (!c.s_first) set_by(road, s, iv(10));
      set_by(road, u, iv(100));
      log.clear();
      log.push_back("end");
      return c.fails;
    });
  } catch (const HostBoundaryAbort&) {
    log.push_back("aborted");
  }
  if (batch_is_active()) log.push_back("batch left open");
  log.push_back("s " + std::to_string(int_of(cache_of(s))) + " " + std::string(node_status_name(status_of(s))) +
                (node_is_quiescent(s) ? "" : " busy"));
  node_set(s, iv(30));
  const std::vector<std::string> seen = log;  // the sinks' drops are not part of the case
  for (UnsubscribeFn& off : subs) off.call();
  return seen;
}

std::vector<EndCase> end_cases() {
  auto set_s = [](int v) { return [v](const Nodes& g, Road road) { set_by(road, g.s, iv(v)); }; };
  const std::vector<std::string> later = {"s DIRTY", "d DIRTY", "s DATA 30", "d DATA 300"};
  auto with_later = [&](std::vector<std::string> log) {
    log.insert(log.end(), later.begin(), later.end());
    return log;
  };
  return {
      {"a set from a sink of a node flushed before",
       set_s(20),
       with_later({"end", "t DATA 1", "s DATA 10", "s DATA 20", "d DATA 200", "u DATA 100", "s 20 settled"})},
      {"a set from the run of a node flushed before",
       set_s(20),
       with_later({"end", "t DATA 1", "s DATA 10", "s DATA 20", "d DATA 200", "u DATA 100", "s 20 settled"}),
       true},
      {"sets on several nodes, two on one",
       [](const Nodes& g, Road road) {
         set_by(road, g.u, iv(200));
         set_by(road, g.s, iv(20));
         set_by(road, g.s, iv(21));
       },
       // Downs that wait behind one delivery: the second has a DIRTY of its own.
       with_later({"end", "t DATA 1", "s DATA 10", "s DATA 20", "s DIRTY", "s DATA 21", "d DATA 210", "u DATA 100",
                   "u DATA 200", "s 21 settled"})},
      {"a set in a batch nested in the sink",
       [](const Nodes& g, Road road) {
         run_batch([&] {
           set_by(road, g.s, iv(20));
           return false;
         });
       },
       with_later({"end", "t DATA 1", "s DATA 10", "s DATA 20", "d DATA 200", "u DATA 100", "s 20 settled"})},
      {"a set of the deferred value",
       set_s(10),
       with_later({"end", "t DATA 1", "s DATA 10", "s DATA 10", "d DATA 100", "u DATA 100", "s 10 settled"})},
      {"a set from a sink that raises after it",
       [](const Nodes& g, Road road) {
         set_by(road, g.s, iv(20));
         throw std::runtime_error("sink raised");
       },
       // The faulted wave reset s, which its set touched: its flush sends DIRTY again.
       with_later({"end", "t DATA 1", "t ERROR", "s DIRTY", "s DATA 10", "s DATA 20", "d DATA 200", "u DATA 100",
                   "s 20 settled"})},
      {"a RESOLVED",
       [](const Nodes& g, Road road) { down_by(road, g.s, Message::resolved()); },
       with_later({"end", "t DATA 1", "s DATA 10", "s RESOLVED", "d DATA 100", "u DATA 100", "s 10 resolved"})},
      {"a COMPLETE",
       [](const Nodes& g, Road road) { down_by(road, g.s, Message::complete()); },
       {"end", "t DATA 1", "s DATA 10", "s COMPLETE", "d COMPLETE", "u DATA 100", "s 10 completed"}},
      {"a set on a node flushed before goes at once, one on a node not flushed yet waits",
       [](const Nodes& g, Road road) {
         set_by(road, g.s, iv(20));
         set_by(road, g.u, iv(200));
       },
       with_later({"end", "s DATA 10", "d DATA 100", "t DATA 1", "s DIRTY", "d DIRTY", "s DATA 20", "d DATA 200",
                   "u DATA 100", "u DATA 200", "s 20 settled"}),
       false, true},
      {"a set after the RESOLVED of a failed batch",
       set_s(20),
       with_later({"end", "t RESOLVED", "s RESOLVED", "s DATA 20", "d DATA 200", "u RESOLVED", "s 20 settled"}),
       false, false, true},
      {"a set before an abort goes with the lists the abort drops",
       [](const Nodes& g, Road road) {
         set_by(road, g.s, iv(20));
         host_boundary_abort();
       },
       // s's DIRTY stays unanswered, as it does when the abort drops its list alone.
       {"end", "t DATA 1", "aborted", "s 0 dirty busy", "s DIRTY", "s DATA 30", "d DATA 300"}},
      {"a set before an abort in a failed batch goes with the lists the abort drops",
       [](const Nodes& g, Road road) {
         set_by(road, g.s, iv(20));
         host_boundary_abort();
       },
       {"end", "t RESOLVED", "aborted", "s 0 dirty busy", "s DIRTY", "s DATA 30", "d DATA 300"},
       false, false, true},
  };
}

class BatchEndDowns : public ::testing::TestWithParam<EndCase> {};

}  // namespace

TEST_P(BatchEndDowns, WaitBehindTheMessagesTheFlushHasNotDelivered) {
  expect_by_either_road(GetParam().expected, [](Road road) { return run_case(GetParam(), road); });
}

INSTANTIATE_TEST_SUITE_P(Table, BatchEndDowns, ::testing::ValuesIn(end_cases()), CaseName());

namespace {

// x, a dependent of t whose run emits nothing, is set to 7 in the batch
// after t; m reads x, w (set after both) and t. x's run at t's flush owes
// a RESOLVED, which waits behind x's 7. With no other sink, x's DIRTY went
// to m's dep sink alone, and m, touched by t's flush, still owes w: the
// RESOLVED could settle quietly. A second sink on x makes it go by the
// general road.
std::vector<std::string> run_resolved_case(Road road, bool second_sink) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle t = make_state(core, iv(0));
  NodeHandle w = make_state(core, iv(0));
  NodeHandle x = make_node(core, deps_of({&t}), fn_of([&](RunContext&) { log.push_back("x runs"); }));
  NodeHandle m = make_node(core, deps_of({&x, &w, &t}), fn_of([&](RunContext& ctx) {
                             log.push_back("m runs " + std::to_string(int_of(ctx.inputs[0].current)) + " " +
                                           std::to_string(int_of(ctx.inputs[1].current)));
                           }));
  UnsubscribeFn off_m = node_subscribe(m, std::make_shared<RecordingSink>());
  std::optional<UnsubscribeFn> off_x;
  if (second_sink) off_x = node_subscribe(x, std::make_shared<RecordingSink>());
  log.clear();
  run_batch([&] {
    // A set's road that takes no wave, which would end the DIRTY marks.
    node_set(t, iv(1));
    set_by(road, x, iv(7));
    node_set(w, iv(5));
    return false;
  });
  log.push_back("x " + std::to_string(int_of(cache_of(x))) + " " + std::string(node_status_name(status_of(x))));
  if (off_x) off_x->call();
  off_m.call();
  return log;
}

}  // namespace

TEST(BatchEndDowns, ARunsResolvedWaitsBehindItsNodesDeferredDataByEitherRoad) {
  const std::vector<std::string> expected = {"x runs", "m runs 7 5", "x 7 resolved"};
  for (Road road : {Road::OneMessage, Road::ListOfOne}) {
    EXPECT_EQ(run_resolved_case(road, false), expected);
    EXPECT_EQ(run_resolved_case(road, true), expected);
  }
}

namespace {

// y, a dependent of t, is set to 5 in the batch, z is y plus 1. The run of
// y at t's flush emits t times 10 (and t times 10 plus 1 when it emits
// twice): on a node whose deferred 5 the flush has not delivered yet, its
// emissions wait behind the 5, as a set would. Each value goes by either
// road: one message, a list of it.
struct RunCase {
  const char* name;
  std::vector<std::string> expected;  // from the end of the callable on
  bool y_first = false;               // y is set before t
  bool twice = false;                 // the run emits two values
  // y is run while the batch collects, and t is not set: p, y's second
  // dep, paused with its run owed, is resumed in the batch after y's set.
  bool collecting = false;
  // u, set between t and y, aborts on its DATA at the flush.
  bool aborts = false;
};

std::vector<std::string> run_emission_case(const RunCase& c, Road road) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeHandle t = make_state(core, iv(0));
  NodeHandle q = make_state(core, iv(0));
  NodeHandle p = make_map(core, q, [](int x) { return x; });
  auto emit = [&](const RunContext& ctx, int v) {
    if (road == Road::OneMessage)
      emit_data(ctx, iv(v));
    else
      down(ctx.node, one_message(Message::data(iv(v))));
  };
  NodeHandle y = make_node(core, deps_of({&t, &p}), fn_of([&](RunContext& ctx) {
                             const int v = int_of(ctx.inputs[0].current) * 10 + int_of(ctx.inputs[1].current);
                             emit(ctx, v);
                             if (c.twice) emit(ctx, v + 1);
                           }));
  NodeHandle z = make_map(core, y, [](int x) { return x + 1; });
  NodeHandle u = make_state(core, iv(0));
  auto of_u = std::make_shared<NamedSink>(&log, "u");
  of_u->on_message = [](const Message& m) {
    if (m.kind() == MessageKind::Data && int_of(m.value()) == 1) host_boundary_abort();
  };
  std::vector<UnsubscribeFn> subs;
  subs.push_back(node_subscribe(u, of_u));
  subs.push_back(node_subscribe(t, std::make_shared<NamedSink>(&log, "t")));
  subs.push_back(node_subscribe(y, std::make_shared<NamedSink>(&log, "y")));
  subs.push_back(node_subscribe(z, std::make_shared<NamedSink>(&log, "z")));
  if (c.collecting) {
    node_pause(p, "a");
    node_set(q, iv(2));
  }
  log.clear();
  try {
    run_batch([&] {
      if (c.y_first) set_by(road, y, iv(5));
      if (!c.collecting) set_by(road, t, iv(1));
      if (c.aborts) set_by(road, u, iv(1));
      if (!c.y_first) set_by(road, y, iv(5));
      if (c.collecting) node_resume(p, "a");
      log.push_back("end");
      return false;
    });
  } catch (const HostBoundaryAbort&) {
    log.push_back("aborted");
  }
  log.push_back("y " + std::to_string(int_of(cache_of(y))) + " " + std::string(node_status_name(status_of(y))) +
                (node_is_quiescent(y) ? "" : " busy"));
  const std::vector<std::string> seen = log;
  for (UnsubscribeFn& off : subs) off.call();
  return seen;
}

std::vector<RunCase> run_cases() {
  return {
      {"a runs DATA waits behind its nodes deferred DATA",
       {"t DIRTY", "y DIRTY", "z DIRTY", "end", "t DATA 1", "y DATA 5", "y DATA 10", "z DATA 11", "y 10 settled"}},
      // Each waits as a down of its own, as two sets behind one delivery
      // do: the second has a DIRTY of its own.
      {"two DATA of one run wait in order",
       {"t DIRTY", "y DIRTY", "z DIRTY", "end", "t DATA 1", "y DATA 5", "y DATA 10", "y DIRTY", "y DATA 11",
        "z DATA 12", "y 11 settled"},
       false, true},
      {"a run of a node flushed before goes at once",
       {"y DIRTY", "z DIRTY", "t DIRTY", "end", "y DATA 5", "z DATA 6", "t DATA 1", "y DATA 10", "z DATA 11",
        "y 10 settled"},
       true},
      // While the batch collects a run delivers at once and ends its wave:
      // the deferred 5 follows it with a DIRTY of its own. (y's first DIRTY
      // went out before the batch, when p's owed run was.)
      {"a run while the batch collects goes at once",
       {"y DATA 2", "z DATA 3", "end", "y DIRTY", "z DIRTY", "y DATA 5", "z DATA 6", "y 5 settled"},
       false, false, true},
      // The abort drops what waits behind y's 5 with it, as it drops a set
      // queued behind a delivery it stops: y's DIRTY stays unanswered.
      {"a run's DATA goes with the lists an abort drops",
       {"t DIRTY", "y DIRTY", "z DIRTY", "u DIRTY", "end", "t DATA 1", "u DATA 1", "aborted", "y 0 dirty busy"},
       false, false, false, true},
  };
}

class BatchEndRunEmissions : public ::testing::TestWithParam<RunCase> {};

}  // namespace

TEST_P(BatchEndRunEmissions, WaitBehindTheMessagesTheFlushHasNotDeliveredByEitherRoad) {
  expect_by_either_road(GetParam().expected, [](Road road) { return run_emission_case(GetParam(), road); });
}

INSTANTIATE_TEST_SUITE_P(Table, BatchEndRunEmissions, ::testing::ValuesIn(run_cases()), CaseName());
