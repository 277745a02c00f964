// A node set again inside an open batch: what its sinks see and when the
// values it replaces go, whether the set only replaces the node's deferred
// messages or has more to do.

#include <gtest/gtest.h>

#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

struct RepeatedSetCase {
  const char* name;
  // The downs made on the node in the batch, each followed by a "|" in the log.
  std::vector<std::function<void(const NodeHandle&, std::vector<std::string>&)>> downs;
  std::vector<std::string> expected;
  bool fails = false;  // the batch's callable reports a failure
};

std::vector<RepeatedSetCase> repeated_set_cases() {
  using Log = std::vector<std::string>;
  auto set = [](const char* name) { return [name](const NodeHandle& n, Log& log) { node_set(n, tracked(log, name)); }; };
  auto data_complete = [](const char* name) {
    return [name](const NodeHandle& n, Log& log) { node_down_data_complete(n, tracked(log, name)); };
  };
  return {
      {"each set replaces the last value, which goes at once",
       {set("a"), set("b"), set("c")},
       {"s DIRTY", "|", "~a", "|", "~b", "|", "end", "s DATA c"}},
      {"a set replaces a deferred list",
       {data_complete("a"), set("b")},
       {"s DIRTY", "|", "~a", "|", "end", "s DATA b"}},
      {"a list replaces a deferred set",
       {set("a"), data_complete("b")},
       {"s DIRTY", "|", "~a", "|", "end", "s DATA b", "s COMPLETE"}},
      {"a failed batch settles the node once; the last value goes with the batch",
       {set("a"), set("b")},
       {"s DIRTY", "|", "~a", "|", "end", "s RESOLVED", "~b"},
       true},
  };
}

class BatchRepeatedSet : public ::testing::TestWithParam<RepeatedSetCase> {};

TEST_P(BatchRepeatedSet, SinksSeeOneDirtyAndTheLastMessagesAndReplacedValuesGoAtTheirSet) {
  const RepeatedSetCase& c = GetParam();
  std::vector<std::string> log;  // outlives the graph, whose drops log into it
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  UnsubscribeFn off = node_subscribe(s, std::make_shared<NamedSink>(&log, "s"));
  log.clear();
  run_batch([&] {
    for (const auto& down : c.downs) {
      down(s, log);
      log.push_back("|");
    }
    log.push_back("end");
    return c.fails;
  });
  // What the last delivery left behind is not part of the case.
  log.resize(std::min(log.size(), c.expected.size()));
  EXPECT_EQ(log, c.expected);
  if (c.fails) EXPECT_EQ(int_of(cache_of(s)), 0);
  EXPECT_TRUE(node_is_quiescent(s));
  off.call();
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchRepeatedSet, ::testing::ValuesIn(repeated_set_cases()),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(BatchRepeatedSetInWave, ASetFromASinkDuringTheBatchIsDeferredAsWell) {
  auto core = GraphCore::create();
  NodeHandle s = make_state(core, iv(0));
  NodeHandle t = make_state(core, iv(0));
  auto st = subscribe_recording(t);
  auto ss = subscribe_recording(s);
  // Each DIRTY of s sets t from inside s's wave.
  ss.sink->on_message = [&](const Message& m) {
    if (m.kind() == MessageKind::Dirty) node_set(t, iv(7));
  };
  run_batch([&] {
    node_set(t, iv(5));
    node_set(s, iv(1));
    node_set(t, iv(6));
    node_set(s, iv(2));
    return false;
  });
  EXPECT_EQ(st.log(), L({"START", "DATA 0", "DIRTY", "DATA 6"}));
  EXPECT_EQ(ss.log(), L({"START", "DATA 0", "DIRTY", "DATA 2"}));
}

}  // namespace
