#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "node/arena/construct.hpp"
#include "node/arena/graph_core.hpp"
#include "test_support.hpp"

// This binary's allocator fails the n-th allocation a test arms it for
// (off otherwise). Every scalar form goes through malloc/free, so they pair
// under any sanitizer; the array and aligned forms are left alone.
namespace {
thread_local long tls_allocations_until_failure = 0;

void* allocate(std::size_t n) {
  if (tls_allocations_until_failure > 0 && --tls_allocations_until_failure == 0) throw std::bad_alloc();
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

class FailingAllocation {
 public:
  explicit FailingAllocation(long nth) { tls_allocations_until_failure = nth; }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  ~FailingAllocation() { tls_allocations_until_failure = 0; }
};
}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

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
