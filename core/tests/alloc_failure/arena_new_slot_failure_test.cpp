#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "node/arena/construct.hpp"
#include "node/arena/graph_core.hpp"
#include "failing_allocation.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// Each allocation of a build fails in turn, once the columns are full so
// that every column push grows its column: the arena keeps no part row, the
// failed build's parts (its dep's count among them) go back to the caller,
// and the next build takes the same index with its own entries.
TEST(GraphCoreArena, ABuildFailingAtAnyAllocationLeavesNoPartRow) {
  int failures = 0;
  for (long nth = 1; nth < 1000; ++nth) {
    auto core = GraphCore::create();
    std::vector<NodeHandle> states;
    for (int i = 0; i < 3; ++i) states.push_back(make_state(core, iv(i)));
    NodeHandle dep = make_state(core, iv(3));
    const SlotKey dep_key = dep.key();
    auto dispatcher = Dispatcher::thread_default();
    const auto key = dispatcher->register_fn(NodeSpec{}.partition, fn_of([](RunContext&) {}));
    std::vector<NodeHandle> deps = deps_of({&dep});
    SharedValue initial = iv(99);
    std::optional<NodeHandle> built;
    {
      FailingAllocation fail(nth);
      try {
        built = construct_node(core, std::move(deps), key, dispatcher, std::move(initial), NodeSpec{});
      } catch (const std::bad_alloc&) {
      }
    }
    if (built) break;
    ++failures;
    const Arena& arena = core->unguarded();
    EXPECT_EQ(arena.slot_count(), 4u) << nth;
    EXPECT_EQ(arena.live_count(), 4u) << nth;
    EXPECT_FALSE(arena.names_slot(SlotKey{4, 0})) << nth;
    EXPECT_FALSE(arena.is_pinned(SlotKey{4, 0})) << nth;
    NodeHandle next = make_state(core, iv(7));
    EXPECT_EQ(next.key(), (SlotKey{4, 0})) << nth;
    EXPECT_EQ(int_of(cache_of(next)), 7) << nth;
    EXPECT_TRUE(NodeView(next).topology().deps.empty()) << nth;
    dep.drop();
    EXPECT_FALSE(core->unguarded().is_current(dep_key)) << nth;
  }
  // The build allocates at least once per column.
  EXPECT_GE(failures, 11);
}
