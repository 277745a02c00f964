#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "node/arena/dep_block_pool.hpp"
#include "failing_allocation.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// A pool whose state or next slab cannot be had throws and stays as it was;
// the next allocation serves. Slabs hold 2, then 4 blocks.
TEST(DepBlockPool, AFailedSlabLeavesThePoolServing) {
  for (const int before : {0, 2, 6}) {
    SCOPED_TRACE(before);
    DepBlockPool pool;
    std::vector<std::pair<void*, DepBlockSlab*>> live;
    auto take = [&] {
      DepBlockSlab* slab = nullptr;
      void* b = pool.allocate(0, 120, slab);
      live.emplace_back(b, slab);
    };
    for (int i = 0; i < before; ++i) take();
    const std::size_t slabs = pool.slab_count();
    {
      FailingAllocation fail(1);
      EXPECT_THROW(take(), std::bad_alloc);
      EXPECT_TRUE(fail.failed());
    }
    EXPECT_EQ(pool.slab_count(), slabs);
    take();
    EXPECT_EQ(pool.slab_count(), slabs + 1);
    for (auto [b, slab] : live) DepBlockPool::deallocate(b, slab);
  }
}
