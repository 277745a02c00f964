#include <gtest/gtest.h>

#include "graph/observe.hpp"
#include "host_boundary/host_boundary.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Stands in for the binding's observer sink: one number per message from
// the shared counter, then the call.
struct ObserverLog {
  std::vector<std::string> lines;
  std::function<void(const std::string&, const Message&)> hook;

  ObserverSinkFactory factory(std::string tag = "") {
    return [this, tag](std::string path, SeqCounter seq) -> SharedSink {
      struct S final : Sink {
        ObserverLog* log;
        std::string tag, path;
        SeqCounter seq;
        void call(const Message& m) override {
          std::uint64_t n = take_seq(seq);
          std::string line = tag + path + " " + std::string(m.kind_name());
          if (m.kind() == MessageKind::Data) line += " " + std::to_string(int_of(m.value()));
          if (m.kind() == MessageKind::Error) line += " " + m.error_value()->display();
          log->lines.push_back(line + " @" + std::to_string(n));
          if (log->hook) log->hook(path, m);
        }
      };
      auto s = std::make_shared<S>();
      s->log = this;
      s->tag = tag;
      s->path = std::move(path);
      s->seq = std::move(seq);
      return s;
    };
  }
};

std::size_t observer_sinks(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  std::size_t n = 0;
  for (const SinkEntry& e : a->aux_at(node.index()).sinks) n += e.observer;
  return n;
}

std::size_t all_sinks(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  return a->aux_at(node.index()).sinks.size();
}

}  // namespace

TEST(GraphObserve, AnEmptyGraphObservesNothing) {
  auto g = GraphContainer::create(std::nullopt);
  ObserverLog log;
  ObserveUnsubscribeList list = observe(*g, log.factory());
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(host_boundary_depth(), 0u);
}

TEST(GraphObserve, NodesAreObservedInWalkOrderWithGraphWideNumbers) {
  auto g = GraphContainer::create(std::nullopt);
  auto child = GraphContainer::create("child");
  NodeHandle s = g->state(iv(3), "s");
  NodeHandle d = g->derived(deps_of({&s}), fn_of([](RunContext& ctx) { emit_data(ctx, iv(int_of(ctx.inputs[0].current) + 1)); }),
                            "d");
  NodeHandle cs = child->state(iv(9), "cs");
  g->mount("m", child);
  ObserverLog log;
  ObserveUnsubscribeList list = observe(*g, log.factory());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(log.lines, L({"s START @0", "s DATA 3 @1", "d START @2", "d DATA 4 @3", "m::cs START @4", "m::cs DATA 9 @5"}));
  EXPECT_EQ(*child->topology_seq()->borrow(), 0u);
  EXPECT_EQ(observer_sinks(s), 1u);
  EXPECT_EQ(all_sinks(s), 2u);  // the observer and d's dep sink

  log.lines.clear();
  node_set(s, iv(5));
  EXPECT_EQ(log.lines, L({"s DIRTY @6", "d DIRTY @7", "s DATA 5 @8", "d DATA 6 @9"}));

  // Unsubscribing runs each action once; the nodes deactivate.
  for (UnsubscribeFn& u : list) u.call();
  for (UnsubscribeFn& u : list) u.call();
  EXPECT_EQ(all_sinks(s), 0u);
  EXPECT_EQ(all_sinks(d), 0u);
  EXPECT_EQ(all_sinks(cs), 0u);
  log.lines.clear();
  node_set(s, iv(6));
  EXPECT_TRUE(log.lines.empty());
}

TEST(GraphObserve, TwoObservationsShareOneCounter) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle s = g->state(iv(1), "s");
  ObserverLog log;
  ObserveUnsubscribeList first = observe(*g, log.factory("1:"));
  ObserveUnsubscribeList second = observe(*g, log.factory("2:"));
  node_set(s, iv(2));
  EXPECT_EQ(log.lines, L({"1:s START @0", "1:s DATA 1 @1", "2:s START @2", "2:s DATA 1 @3", "1:s DIRTY @4",
                          "2:s DIRTY @5", "1:s DATA 2 @6", "2:s DATA 2 @7"}));
  // Topology events draw from the same counter.
  std::vector<std::uint64_t> seqs;
  TopologyObserverHandle h =
      g->add_topology_observer(std::nullopt, make_topology_observer([&](TopologyEvent e) { seqs.push_back(e.seq); }));
  NodeHandle t = g->state_empty("t");
  EXPECT_EQ(seqs, std::vector<std::uint64_t>{8});
}

TEST(GraphObserve, ATerminalNodeEndsTheCallAndUndoesEarlierSinks) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = g->state(iv(1), "a");
  NodeHandle done = g->state(iv(1), "done");
  NodeHandle c = g->state(iv(1), "c");
  node_down_data_complete(done, iv(2));
  ObserverLog log;
  EXPECT_EQ(fault_text([&] { observe(*g, log.factory()); }), kTerminalSubscribe);
  EXPECT_EQ(log.lines, L({"a START @0", "a DATA 1 @1"}));
  EXPECT_EQ(all_sinks(a), 0u);
  EXPECT_EQ(all_sinks(c), 0u);
  EXPECT_EQ(host_boundary_depth(), 0u);
}

TEST(GraphObserve, AFaultingActivationBecomesAnErrorAndTheWalkGoesOn) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle bad = g->producer(fn_of([](RunContext&) { fault("source failed"); }), "bad");
  NodeHandle next = g->state(iv(7), "next");
  ObserverLog log;
  ObserveUnsubscribeList list = observe(*g, log.factory());
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(log.lines, L({"bad START @0", "bad ERROR source failed @1", "next START @2", "next DATA 7 @3"}));
  EXPECT_EQ(observer_sinks(bad), 1u);
}

TEST(GraphObserve, AHostBoundaryAbortRemovesEverySinkOfTheCall) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle a = g->state(iv(1), "a");
  NodeHandle b = g->state(iv(2), "b");
  ObserverLog log;
  log.hook = [](const std::string& path, const Message& m) {
    if (path == "b" && m.kind() == MessageKind::Data) host_boundary_abort();
  };
  bool aborted = false;
  try {
    observe(*g, log.factory());
  } catch (const HostBoundaryAbort&) {
    aborted = true;
  }
  EXPECT_TRUE(aborted);
  EXPECT_EQ(all_sinks(a), 0u);
  EXPECT_EQ(all_sinks(b), 0u);
  EXPECT_EQ(host_boundary_depth(), 0u);
}
