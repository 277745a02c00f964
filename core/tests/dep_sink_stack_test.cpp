// Where a dep sink's call checks the stack: a DATA, which takes a frame of
// its own, checks where the frame of any other message stands, so a chain
// too deep faults at the same node whichever message meets the limit. A
// run of dep sinks checks at a fixed point below its caller's call, so a
// deep graph faults where it did whatever the run's own frame takes.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "node/wave/delivery.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"
#include "stack_thread.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Whether call, made with the stack taken down to about at from a frame of
// its own, is refused for the stack.
template <class Call>
bool refused_at(std::uintptr_t at, const Call& call) {
  return with_stack_down_to(at, [&] { return fault_text(call) == kStackDepthExceeded; });
}

// A check standing bytes below its caller's call.
[[gnu::noinline]] void check_below_caller(std::uintptr_t bytes) {
  check_stack_headroom_at(reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa()) - bytes);
}

// A run over a source's list of dep sinks: how many dependants the source
// has, whether the run is a DIRTY's (else a DATA's), and how far below its
// caller's call it checks the stack.
struct RunRow {
  const char* name;
  int dependants;
  bool dirty;
  std::uintptr_t check_below;
};

// Runs body on a 1 MiB stack with the lowest position a check lets pass;
// skipped where frames are not an optimized build's, which the positions
// tested are.
template <class Body>
void on_an_optimized_builds_stack(const char* why, const Body& body) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << why;
#endif
  run_on_stack(1 << 20, [&] {
    check_stack_headroom();  // reads the thread's bounds
    body(detail::tls_stack_bounds.low + detail::tls_stack_bounds.reserve);
  });
}

}  // namespace

TEST(DepSinkStack, ADataFaultsForTheStackWhereAnyOtherMessageDoes) {
  on_an_optimized_builds_stack("the frame a DATA checks for is an optimized build's", [](std::uintptr_t limit) {
    // A DATA in a wave of the node's core takes the plain road, which calls
    // nothing after its check.
    const std::vector<std::pair<const char*, Message (*)()>> messages = {
        {"DATA", [] { return Message::data(iv(2)); }},
        {"RESOLVED", [] { return Message::resolved(); }},
        {"PAUSE", [] { return Message::pause("lock"); }},
    };
    std::vector<std::vector<bool>> refused(messages.size());
    for (std::size_t k = 0; k < messages.size(); ++k) {
      for (int step = -32; step <= 32; ++step) {
        auto core = GraphCore::create();
        NodeHandle source = make_state(core, iv(1));
        NodeHandle node = make_map(core, source, [](int x) { return x; });
        auto sub = subscribe_recording(node);
        const SharedSink sink = core->borrow()->aux_at(source.index()).sinks[0].sink;
        const Message m = messages[k].second();
        bool in_call = false;
        run_in_owned_wave_scope(source, [&] {
          const DeliveryFrame frame;
          in_call = refused_at(limit + 448 + step * 16, [&] { sink->call(m); });
        });
        refused[k].push_back(in_call);
      }
    }
    // Refused below some position and taken above it, at the same one for each.
    EXPECT_TRUE(refused[0].front()) << "the positions start too high";
    EXPECT_FALSE(refused[0].back()) << "the positions end too low";
    for (std::size_t k = 1; k < messages.size(); ++k) EXPECT_EQ(refused[k], refused[0]) << messages[k].first;
  });
}

TEST(DepSinkStack, ARunOfDepSinksChecksTheStackAtAFixedPointBelowItsCaller) {
  const char* const why = "the frames a run's check is placed by are an optimized build's";
  on_an_optimized_builds_stack(why, [](std::uintptr_t limit) {
    const RunRow rows[] = {
        {"a DATA run of two", 2, false, 160},
        {"a DIRTY run of four", 4, true, 192},
        {"a DATA run of eight, whose pushes grow the queue", 8, false, 160},
    };
    for (const RunRow& row : rows) {
      SCOPED_TRACE(row.name);
      // Refused by the run ([0]) and by a check standing where the row says
      // the run's does ([1]), made from the same frame.
      std::vector<bool> refused[2];
      for (int step = -32; step <= 32; ++step) {
        for (const bool by_check : {false, true}) {
          auto core = GraphCore::create();
          NodeHandle source = make_state(core, iv(1));
          std::vector<NodeHandle> dependants;
          std::vector<UnsubscribeFn> keepalives;
          for (int k = 0; k < row.dependants; ++k) {
            dependants.push_back(make_map(core, source, [](int x) { return x; }));
            keepalives.push_back(subscribe_keepalive_core(dependants.back()));
          }
          const std::span<const SinkEntry> list = core->borrow()->aux_at(source.index()).sinks.entries();
          const SinkEntry* const first = list.data();
          const SinkEntry* const end = first + list.size();
          const Message data = Message::data(iv(2));
          bool in_call = false;
          run_in_owned_wave_scope(source, [&] {
            const DeliveryFrame frame;
            in_call = refused_at(limit + row.check_below + step * 16, [&] {
              if (by_check)
                check_below_caller(row.check_below);
              else if (row.dirty)
                first->sink->call_dirty_run(first, end);
              else
                first->sink->call_run(first, end, data);
              asm volatile("" : : : "memory");  // no tail call: each callee's caller is this frame
            });
          });
          refused[by_check].push_back(in_call);
        }
      }
      EXPECT_TRUE(refused[1].front()) << "the positions start too high";
      EXPECT_FALSE(refused[1].back()) << "the positions end too low";
      EXPECT_EQ(refused[0], refused[1]);
    }
  });
}
