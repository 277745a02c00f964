// A DIRTY going down lines of nodes whose only sink is their dependant's dep
// sink: every node is marked before the DIRTY goes on, in the order the
// lines and their forks give, whichever wave carries it; and a line too
// deep for the stack faults in its DIRTY, before any node took a value.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "node/topology/node_ops.hpp"
#include "node/wave/stack_guard.hpp"
#include "stack_thread.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// A graph on one core whose nodes have names; the source is "s". Each
// probe subscribes to a node and, at every DIRTY, logs the names of the
// nodes dirty by then (sorted), so it shows what the DIRTY had marked
// before it reached the probe.
struct Shape {
  CoreRef core = GraphCore::create();
  std::map<std::string, NodeHandle> nodes;
  std::vector<Subscribed> probes;

  Shape() { nodes["s"] = make_state(core, iv(0)); }
  const NodeHandle& operator[](const std::string& name) const { return nodes.at(name); }
  // A node adding 1 to its dep's value.
  void line(const std::string& dep, std::initializer_list<const char*> names) {
    std::string last = dep;
    for (const char* name : names) {
      nodes[name] = make_map(core, nodes.at(last), [](int x) { return x + 1; });
      last = name;
    }
  }
  // A node summing its deps' values.
  void join(const std::string& name, std::initializer_list<const char*> deps) {
    std::vector<NodeHandle> ds;
    for (const char* d : deps) ds.push_back(nodes.at(d).promote_counted());
    nodes[name] = make_node(core, std::move(ds), summing());
  }
  void probe(const std::string& name) {
    probes.push_back(subscribe_recording(nodes.at(name)));
    RecordingSink& sink = *probes.back().sink;
    sink.on_message = [this, &sink](const Message& m) {
      if (m.kind() != MessageKind::Dirty) return;
      std::string dirty;
      for (const auto& [n, h] : nodes)
        if (status_of(h) == NodeStatus::Dirty) dirty += (dirty.empty() ? "" : " ") + n;
      sink.log.back() += " [" + dirty + "]";
    };
  }
  std::vector<std::vector<std::string>> logs() {
    std::vector<std::vector<std::string>> out;
    for (Subscribed& p : probes) out.push_back(p.log());
    return out;
  }
};

struct ShapeCase {
  const char* name;
  std::function<void(Shape&)> build;
  // Each probe's log after one set of s to 10.
  std::vector<std::vector<std::string>> expected;
};

const std::vector<ShapeCase>& shape_cases() {
  static const std::vector<ShapeCase> cases = {
      {"a line ending in a subscriber",
       [](Shape& g) {
         g.line("s", {"a", "b", "c", "d"});
         g.probe("d");
       },
       {{"START", "DATA 4", "DIRTY [a b c d s]", "DATA 14"}}},
      {"a line forking partway into two lines",
       [](Shape& g) {
         g.line("s", {"a", "b"});
         g.line("b", {"c1", "c2"});
         g.line("b", {"e1", "e2"});
         g.probe("c2");
         g.probe("e2");
       },
       {{"START", "DATA 4", "DIRTY [a b c1 c2 s]", "DATA 14"},
        {"START", "DATA 4", "DIRTY [a b c1 c2 e1 e2 s]", "DATA 14"}}},
      {"a line through a node that has a subscriber before its dependant",
       [](Shape& g) {
         g.line("s", {"a", "b"});
         g.probe("b");
         g.line("b", {"c", "d"});
         g.probe("d");
       },
       {{"START", "DATA 2", "DIRTY [a b s]", "DATA 12"}, {"START", "DATA 4", "DIRTY [a b c d s]", "DATA 14"}}},
      {"a line through a node that has a subscriber after its dependant",
       [](Shape& g) {
         g.line("s", {"a", "b", "c", "d"});
         g.probe("d");
         g.probe("b");
       },
       {{"START", "DATA 4", "DIRTY [a b c d s]", "DATA 14"}, {"START", "DATA 2", "DIRTY [a b c d s]", "DATA 12"}}},
      {"a line through a node that a dep made dirty already",
       [](Shape& g) {
         g.line("s", {"a", "b"});
         g.line("s", {"x"});
         g.join("j", {"b", "x"});
         g.line("j", {"k"});
         g.probe("k");
       },
       {{"START", "DATA 4", "DIRTY [a b j k s]", "DATA 24"}}},
      {"a line whose every node has a subscriber too",
       [](Shape& g) {
         g.line("s", {"a", "b", "c"});
         g.probe("a");
         g.probe("b");
         g.probe("c");
       },
       {{"START", "DATA 1", "DIRTY [a s]", "DATA 11"},
        {"START", "DATA 2", "DIRTY [a b s]", "DATA 12"},
        {"START", "DATA 3", "DIRTY [a b c s]", "DATA 13"}}},
      {"a line beside a keep-alive",
       [](Shape& g) {
         g.line("s", {"a", "b", "c"});
         g.probes.push_back(Subscribed{});
         g.probes.back().unsubscribe = subscribe_keepalive_core(g["b"]);
         g.probe("c");
       },
       {{}, {"START", "DATA 3", "DIRTY [a b c s]", "DATA 13"}}},
  };
  return cases;
}

// Sets s to 10: from its own core's wave, or from a run of a node of
// another core, once or after a first set in the same run (the nodes are
// then touched by that run's wave already).
enum class SetFrom { OwnWave, OtherCoresRun, OtherCoresRunTwice };

void set_source(Shape& g, SetFrom from) {
  if (from == SetFrom::OwnWave) return node_set(g["s"], iv(10));
  CoreRef other = GraphCore::create();
  NodeHandle trigger = make_state(other, iv(0));
  NodeHandle setter = make_node(other, deps_of({&trigger}), fn_of([&](RunContext& ctx) {
                                  if (int_of(ctx.inputs[0].current) != 0) {
                                    if (from == SetFrom::OtherCoresRunTwice) node_set(g["s"], iv(10));
                                    node_set(g["s"], iv(10));
                                  }
                                  emit_data(ctx, ctx.inputs[0].current);
                                }));
  Subscribed kept = subscribe_recording(setter);
  node_set(trigger, iv(1));
}

// A chain s <- n1 <- ... of nodes adding 1, on the calling thread's core.
struct DeepLine {
  CoreRef core = GraphCore::create();
  std::vector<NodeHandle> nodes;
  DeepLine() { nodes.push_back(make_state(core, iv(0))); }
  // Adds length nodes below the node at index from; the index of the last.
  std::size_t extend(std::size_t from, int length) {
    NodeHandle last = nodes[from].promote_counted();
    for (int i = 0; i < length; ++i) {
      nodes.push_back(make_map(core, last, [](int x) { return x + 1; }));
      last = nodes.back().promote_counted();
    }
    return nodes.size() - 1;
  }
  // Subscribes the node at index tail, activating the line above it a step
  // at a time from first on (so that no activation is deep); the steps'
  // subscriptions go again, leaving a line whose nodes have one sink each.
  Subscribed subscribe_stepwise(std::size_t first, std::size_t tail, std::size_t step) {
    std::vector<Subscribed> steps;
    for (std::size_t i = first; i < tail; i += step) steps.push_back(subscribe_recording(nodes[i]));
    Subscribed sub = subscribe_recording(nodes[tail]);
    for (Subscribed& st : steps) st.unsubscribe.call();
    return sub;
  }
};

// Node counts against an 8 MiB stack: a DIRTY down a line of kFits nodes
// takes well under its room, down one of 2 * kFits more than all of it.
// Frames are several times larger under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFits = 1200;
constexpr int kStep = 100;
#else
constexpr int kFits = 10000;
constexpr int kStep = 500;
#endif
constexpr std::size_t kStack = std::size_t{8} << 20;

bool took_a_value(Subscribed& s) {
  return std::count_if(s.log().begin(), s.log().end(), [](const std::string& m) { return m.starts_with("DATA"); }) !=
         1;
}

}  // namespace

TEST(DirtyLine, EveryNodeIsMarkedBeforeTheDirtyGoesOnInTheOrderOfTheShape) {
  const std::pair<SetFrom, const char*> froms[] = {
      {SetFrom::OwnWave, "own wave"},
      {SetFrom::OtherCoresRun, "another core's run"},
      {SetFrom::OtherCoresRunTwice, "another core's run, twice"},
  };
  for (const ShapeCase& c : shape_cases()) {
    for (const auto& [from, how] : froms) {
      SCOPED_TRACE(std::string(c.name) + ", " + how);
      Shape g;
      c.build(g);
      set_source(g, from);
      std::vector<std::vector<std::string>> expected = c.expected;
      // Each set is a wave of its own: the second repeats the first's end.
      if (from == SetFrom::OtherCoresRunTwice)
        for (std::vector<std::string>& log : expected)
          if (log.size() >= 2) {
            const std::vector<std::string> wave(log.end() - 2, log.end());
            log.insert(log.end(), wave.begin(), wave.end());
          }
      EXPECT_EQ(g.logs(), expected);
    }
  }
}

// A line too deep for the stack, each of whose nodes has one sink, or that
// fits but forks into lines that together with it do not: the set faults
// in the DIRTY, where the nested calls of the DIRTY would have run out,
// before any node took a value; the graph is usable afterwards.
TEST(DirtyLine, ALineTooDeepFaultsInItsDirtyBeforeAnyNodeTakesAValue) {
  struct DeepCase {
    const char* name;
    int line;      // nodes before the fork (or in all, with no fork)
    int branches;  // lines forking from its end
    int branch;    // nodes in the first; the second has kFits more
  };
  const DeepCase cases[] = {
      {"a line of lone sinks five times too deep", 5 * kFits, 0, 0},
      {"a line that fits forking into two that do not", kFits, 2, kFits},
      {"a line that fits forking into a short line and one that does not", kFits, 2, 3},
  };
  for (const DeepCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string raised;
    std::vector<std::string> first_tail, fresh;
    NodeStatus source = NodeStatus::Sentinel;
    bool any_took_a_value = true;
    run_on_stack(kStack, [&] {
      DeepLine g;
      const std::size_t fork = g.extend(0, c.line);
      std::vector<Subscribed> tails;
      tails.push_back(g.subscribe_stepwise(kStep, fork, kStep));
      for (int b = 0; b < c.branches; ++b) {
        const int length = b == 0 ? c.branch : c.branch + kFits;
        const std::size_t first = g.nodes.size();
        const std::size_t end = g.extend(fork, length);
        tails.push_back(g.subscribe_stepwise(first + kStep, end, kStep));
      }
      // The line's own subscriber keeps it active; without it its end
      // has the branches' sinks alone.
      if (c.branches > 0) tails.front().unsubscribe.call();
      raised = fault_text([&] { node_set(g.nodes[0], iv(5)); });
      source = status_of(g.nodes[0]);
      any_took_a_value = false;
      for (std::size_t i = c.branches > 0 ? 1 : 0; i < tails.size(); ++i) any_took_a_value |= took_a_value(tails[i]);
      first_tail = tails[c.branches > 0 ? 1 : 0].log();
      for (Subscribed& t : tails) t.unsubscribe.call();
      // A line of its own on the same core delivers as usual.
      NodeHandle s = make_state(g.core, iv(1));
      NodeHandle m = make_map(g.core, s, [](int x) { return x * 2; });
      Subscribed sub = subscribe_recording(m);
      node_set(s, iv(4));
      fresh = sub.log();
    });
    EXPECT_EQ(raised, kStackDepthExceeded);
    EXPECT_EQ(source, NodeStatus::Errored);
    EXPECT_FALSE(any_took_a_value) << ::testing::PrintToString(first_tail);
    EXPECT_EQ(fresh, L({"START", "DATA 2", "DIRTY", "DATA 8"}));
  }
}
