#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "node/arena/dep_block_pool.hpp"

using namespace korvalinth;

namespace {

struct Taken {
  std::byte* at;
  DepBlockSlab* slab;
  std::size_t bytes;
  std::byte mark;
};

constexpr std::size_t kBytes[DepBlockPool::kSizes] = {120, 224, 328, 432};

}  // namespace

// Blocks of every size, many enough to fill several slabs each, written
// whole: none overlaps another, whichever go back and are handed out again.
TEST(DepBlockPool, LiveBlocksNeverOverlapAcrossSizesSlabsAndReuse) {
  DepBlockPool pool;
  std::vector<Taken> live;
  std::uint8_t next_mark = 1;
  auto take = [&](std::size_t size) {
    Taken t{nullptr, nullptr, kBytes[size], std::byte{next_mark++}};
    t.at = static_cast<std::byte*>(pool.allocate(size, t.bytes, t.slab));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(t.at) % alignof(void*), 0u);
    std::fill(t.at, t.at + t.bytes, t.mark);
    live.push_back(t);
  };
  for (int round = 0; round < 200; ++round)
    for (std::size_t size = 0; size < DepBlockPool::kSizes; ++size) take(size);
  std::vector<Taken> kept;
  for (std::size_t i = 0; i < live.size(); ++i)
    (i % 3 ? kept.push_back(live[i]) : DepBlockPool::deallocate(live[i].at, live[i].slab));
  live = kept;
  for (int round = 0; round < 100; ++round)
    for (std::size_t size = 0; size < DepBlockPool::kSizes; ++size) take(size);
  for (const Taken& t : live)
    EXPECT_TRUE(std::all_of(t.at, t.at + t.bytes, [&](std::byte b) { return b == t.mark; })) << t.bytes;
  for (const Taken& t : live) DepBlockPool::deallocate(t.at, t.slab);
}

// A graph that shrinks gives its memory back: a slab goes when its last
// block does, but for one slab per size kept for the next build. Blocks
// that outlive the pool free their slabs as they go (the sanitizer build
// catches a slab or the pool's state lost or freed early).
TEST(DepBlockPool, EmptiedSlabsGoBackButOnePerSize) {
  struct Case {
    const char* name;
    std::size_t blocks;
    std::size_t sizes;
    bool reverse;  // give back newest first
  };
  const Case cases[] = {
      {"one block", 1, 1, false},
      {"many slabs, oldest first", 3000, 1, false},
      {"many slabs, newest first", 3000, 1, true},
      {"every size", 500, DepBlockPool::kSizes, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DepBlockPool pool;
    std::vector<Taken> live;
    for (std::size_t i = 0; i < c.blocks; ++i)
      for (std::size_t size = 0; size < c.sizes; ++size) {
        Taken t{nullptr, nullptr, kBytes[size], std::byte{}};
        t.at = static_cast<std::byte*>(pool.allocate(size, t.bytes, t.slab));
        live.push_back(t);
      }
    const std::size_t full = pool.slab_count();
    EXPECT_GE(full, c.sizes);
    if (c.reverse) std::reverse(live.begin(), live.end());
    for (const Taken& t : live) DepBlockPool::deallocate(t.at, t.slab);
    EXPECT_EQ(pool.slab_count(), c.sizes);
    // Built again, the kept slabs serve first.
    Taken again{nullptr, nullptr, kBytes[0], std::byte{}};
    again.at = static_cast<std::byte*>(pool.allocate(0, again.bytes, again.slab));
    EXPECT_EQ(pool.slab_count(), c.sizes);
    DepBlockPool::deallocate(again.at, again.slab);
  }
  // Blocks live past their pool.
  std::vector<Taken> outliving;
  {
    DepBlockPool pool;
    for (int i = 0; i < 300; ++i) {
      Taken t{nullptr, nullptr, kBytes[1], std::byte{}};
      t.at = static_cast<std::byte*>(pool.allocate(1, t.bytes, t.slab));
      outliving.push_back(t);
    }
    EXPECT_GT(pool.slab_count(), 1u);
  }
  for (const Taken& t : outliving) DepBlockPool::deallocate(t.at, t.slab);
}
