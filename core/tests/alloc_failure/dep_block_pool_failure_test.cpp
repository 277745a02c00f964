#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "node/arena/dep_block_pool.hpp"
#include "node/arena/dep_list.hpp"
#include "test_support.hpp"
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

// A build's list makes its first handle before its block: when the block
// (from the pool, or from the heap past the pool's sizes) cannot be had,
// that handle gives its unit back and no other is made.
TEST(DepList, AFailedBlockGivesTheFirstHandleBack) {
  for (const std::size_t n : {std::size_t{2}, std::size_t{6}}) {
    SCOPED_TRACE(n);
    auto core = GraphCore::create();
    std::vector<NodeHandle> nodes;
    for (std::size_t i = 0; i < n; ++i) nodes.push_back(make_state(core));
    std::size_t made = 0;
    auto make = [&](std::size_t i) {
      ++made;
      return nodes[i].promote_counted();
    };
    {
      FailingAllocation fail(1);
      EXPECT_THROW(DepList::made(n, make), std::bad_alloc);
      EXPECT_TRUE(fail.failed());
    }
    EXPECT_EQ(made, 1u);
    for (const NodeHandle& node : nodes) EXPECT_EQ(node.count()->count, 1u);
    DepList list = DepList::made(n, make);
    for (const NodeHandle& node : nodes) EXPECT_EQ(node.count()->count, 2u);
  }
}
