// A down made while a batch ends, on a node whose deferred messages the
// flush has not delivered yet, waits behind them: the node's sinks see the
// deferred messages first and the down's right after, in one delivery, as
// a down made while its node delivers waits behind that delivery. The
// batch's sets and the downs made at its end go by either road (one
// message, a list of it); both must give the same log.

#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>

#include "host_boundary/host_boundary.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
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
  const std::vector<std::string> one = run_case(GetParam(), Road::OneMessage);
  EXPECT_EQ(one, GetParam().expected);
  EXPECT_EQ(run_case(GetParam(), Road::ListOfOne), one);
}

INSTANTIATE_TEST_SUITE_P(Table, BatchEndDowns, ::testing::ValuesIn(end_cases()),
                         [](const ::testing::TestParamInfo<EndCase>& i) {
                           std::string name = i.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

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
