// Where a dep sink's call checks the stack: a DATA, which takes a frame of
// its own, checks where the frame of any other message stands, so a chain
// too deep faults at the same node whichever message meets the limit.

#include <gtest/gtest.h>

#include <cstdint>
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
[[gnu::noinline]] bool refused_at(std::uintptr_t at, const Call& call) {
  const std::uintptr_t sp = detail::stack_position();
  void* gap = __builtin_alloca(sp > at ? sp - at : 0);
  asm volatile("" : : "r"(gap) : "memory");
  return fault_text(call) == kStackDepthExceeded;
}

}  // namespace

TEST(DepSinkStack, ADataFaultsForTheStackWhereAnyOtherMessageDoes) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the frame a DATA checks for is an optimized build's";
#endif
  run_on_stack(1 << 20, [] {
    check_stack_headroom();  // reads the thread's bounds
    const std::uintptr_t limit = detail::tls_stack_bounds.low + detail::tls_stack_bounds.reserve;
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
