// A list that mixes DATA and RESOLVED is refused by down before any of it
// is queued or changes the node, wherever the list would wait: behind the
// node's own delivery in progress, or behind the messages an ending batch
// still holds for it. A node that holds the list back keeps it, and the
// refusal comes when the held list is replayed.

#include <gtest/gtest.h>


#include "node/topology/node_ops.hpp"
#include "node/wave/batch.hpp"
#include "case_name.hpp"
#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Where the mixed list is sent from: a sink of t (another node) during a
// set of t, a sink of s during s's own delivery, a sink of t during an
// ending batch that still holds s's 10, or a sink of t while s is paused
// (resumed afterwards), or a sink of paused s on a DIRTY of its own, which
// then resumes s: the list, held when queued, is no longer when it goes out.
enum class Where { Plain, BehindOwnDelivery, BehindBatchFlush, HeldBack, HeldWhenQueued };

struct MixRow {
  const char* name;
  Where where;
  // s's log from the first set on, the call's outcome in it, then s's
  // cache and status.
  std::vector<std::string> expected;
};

std::vector<std::string> run_row(const MixRow& row) {
  std::vector<std::string> log;
  auto core = GraphCore::create();
  NodeSpec resume_all;
  resume_all.pausable = Pausable::ResumeAll;
  NodeHandle t = make_state(core, iv(0));
  NodeHandle s = make_state(core, iv(0), resume_all);
  bool called = false;
  auto call_once = [&] {
    if (std::exchange(called, true)) return;
    try {
      node_conformance_c12_down_data_resolved(s, iv(3));
      log.push_back("call returned");
      if (row.where == Where::HeldWhenQueued) node_resume(s, "p");
    } catch (const Fault& e) {
      log.push_back("call raised " + e.text());
    }
  };
  // The call is made by s's sink in s's own delivery, else by t's, on DATA
  // 1 (on DIRTY when held when queued).
  const bool from_s = row.where == Where::BehindOwnDelivery || row.where == Where::HeldWhenQueued;
  const MessageKind on = row.where == Where::HeldWhenQueued ? MessageKind::Dirty : MessageKind::Data;
  auto call_on = [&](bool from) {
    return [&, from](const Message& m) {
      if (from && m.kind() == on && (on != MessageKind::Data || int_of(m.value()) == 1)) call_once();
    };
  };
  auto of_t = std::make_shared<RecordingSink>();
  of_t->on_message = call_on(!from_s);
  auto of_s = std::make_shared<NamedSink>(&log, "s");
  of_s->on_message = call_on(from_s);
  UnsubscribeFn off_t = node_subscribe(t, of_t);
  UnsubscribeFn off_s = node_subscribe(s, of_s);
  log.clear();
  switch (row.where) {
    case Where::Plain:
      node_set(t, iv(1));
      break;
    case Where::BehindOwnDelivery:
      node_set(s, iv(1));
      break;
    case Where::BehindBatchFlush:
      run_batch([&] {
        node_set(t, iv(1));
        node_set(s, iv(10));
        return false;
      });
      break;
    case Where::HeldBack:
      node_pause(s, "p");
      node_set(t, iv(1));
      node_resume(s, "p");
      break;
    case Where::HeldWhenQueued:
      node_pause(s, "p");
      node_down_list(s, one_message(Message::dirty()));
      break;
  }
  log.push_back("s " + std::to_string(int_of(cache_of(s))) + " " + std::string(node_status_name(status_of(s))));
  const std::vector<std::string> seen = log;
  off_s.call();
  off_t.call();
  return seen;
}

const std::string kRaised = std::string("call raised ") + kMixedDataResolved;

std::vector<MixRow> rows() {
  return {
      {"plain", Where::Plain, {kRaised, "s 0 settled"}},
      {"behind the nodes own delivery", Where::BehindOwnDelivery, {"s DIRTY", "s DATA 1", kRaised, "s 1 settled"}},
      {"behind an ending batchs flush", Where::BehindBatchFlush, {"s DIRTY", kRaised, "s DATA 10", "s 10 settled"}},
      // Held whole: refused when the resume replays it, the node erroring.
      {"held back", Where::HeldBack, {"call returned", "s ERROR", "s 0 errored"}},
      // Refused when it goes out, its delivery faulting: the node errors.
      {"held when queued only", Where::HeldWhenQueued, {"s DIRTY", "call returned", "s ERROR", "s 0 errored"}},
  };
}

class DownMixRefusal : public ::testing::TestWithParam<MixRow> {};

}  // namespace

TEST_P(DownMixRefusal, BeforeTheListIsQueuedUnlessTheNodeHoldsItBack) {
  EXPECT_EQ(run_row(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, DownMixRefusal, ::testing::ValuesIn(rows()), CaseName());
