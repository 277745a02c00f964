#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "node/arena/dep_block_pool.hpp"

using namespace korvalinth;

// Blocks written whole never overlap, whichever go back and come again;
// a graph that shrinks gives its memory back (a slab goes with its last
// block, but for one per size kept for the next build); blocks that outlive
// the pool free their slabs as they go (the sanitizer build catches a slab
// or the pool's state lost or freed early).
TEST(DepBlockPool, BlocksStayApartAndEmptiedSlabsGoBackButOnePerSize) {
  constexpr std::size_t kBytes[DepBlockPool::kSizes] = {120, 224, 328, 432};
  struct Case {
    const char* name;
    std::size_t blocks;
    std::size_t sizes;
    bool newest_first;
    bool outlive_pool;
  };
  const Case cases[] = {
      {"one block", 1, 1, false, false},
      {"many slabs, oldest back first", 3000, 1, false, false},
      {"many slabs, newest back first", 3000, 1, true, false},
      {"every size", 300, DepBlockPool::kSizes, false, false},
      {"past the pool", 300, DepBlockPool::kSizes, false, true},
  };
  struct Taken {
    std::byte* at;
    DepBlockSlab* slab;
    std::size_t bytes;
    std::byte mark;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto pool = std::make_unique<DepBlockPool>();
    std::vector<Taken> live;
    std::uint8_t mark = 0;
    auto take = [&](std::size_t size) {
      Taken t{nullptr, nullptr, kBytes[size], std::byte{++mark}};
      t.at = static_cast<std::byte*>(pool->allocate(size, t.bytes, t.slab));
      std::fill(t.at, t.at + t.bytes, t.mark);
      live.push_back(t);
    };
    auto take_round = [&] {
      for (std::size_t i = 0; i < c.blocks; ++i)
        for (std::size_t size = 0; size < c.sizes; ++size) take(size);
    };
    take_round();
    std::erase_if(live, [&, i = 0](const Taken& t) mutable {
      if (i++ % 3) return false;
      DepBlockPool::deallocate(t.at, t.slab);
      return true;
    });
    take_round();
    for (const Taken& t : live)
      ASSERT_TRUE(std::all_of(t.at, t.at + t.bytes, [&](std::byte b) { return b == t.mark; })) << t.bytes;
    if (c.outlive_pool) pool.reset();
    if (c.newest_first) std::reverse(live.begin(), live.end());
    for (const Taken& t : live) DepBlockPool::deallocate(t.at, t.slab);
    if (c.outlive_pool) continue;
    EXPECT_EQ(pool->slab_count(), c.sizes);
    live.clear();
    take(0);  // the kept slab serves
    EXPECT_EQ(pool->slab_count(), c.sizes);
    DepBlockPool::deallocate(live[0].at, live[0].slab);
  }
}
