#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "node/arena/dep_block_pool.hpp"
#include "failing_allocation.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// A pool whose state or slab cannot be had throws and stays as it was: the
// blocks already out stay whole, and the next allocation serves.
TEST(DepBlockPool, AFailedSlabLeavesThePoolServing) {
  constexpr std::size_t kBytes = 120;
  for (const int before : {0, 2, 6}) {
    SCOPED_TRACE(before);
    DepBlockPool pool;
    std::vector<std::pair<void*, DepBlockSlab*>> live;
    auto take = [&] {
      DepBlockSlab* slab = nullptr;
      void* b = pool.allocate(0, kBytes, slab);
      live.emplace_back(b, slab);
    };
    for (int i = 0; i < before; ++i) take();
    const std::size_t slabs = pool.slab_count();
    bool threw = false;
    {
      FailingAllocation fail(1);
      // The first slab holds two blocks: a full one makes the next take ask for one.
      try {
        take();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      EXPECT_EQ(threw, fail.failed());
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(pool.slab_count(), slabs);
    take();
    EXPECT_EQ(pool.slab_count(), slabs + 1);
    for (auto [b, slab] : live) DepBlockPool::deallocate(b, slab);
  }
}
