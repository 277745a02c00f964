#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/id_map_pool.hpp"

using namespace korvalinth;

namespace {

struct Block {
  std::byte* at;
  std::size_t bytes;
  std::size_t alignment;
  std::byte mark;
};

void fill(const Block& b) { std::fill(b.at, b.at + b.bytes, b.mark); }

bool intact(const Block& b) {
  return std::all_of(b.at, b.at + b.bytes, [&](std::byte x) { return x == b.mark; });
}

}  // namespace

// Blocks of every size the pool serves and beyond it, many enough to fill
// several chunks, each written whole: none overlaps another, whichever is
// given back and handed out again.
TEST(IdMapPool, LiveBlocksNeverOverlapAcrossSizesChunksAndReuse) {
  IdMapPool pool;
  const std::size_t sizes[] = {1, 8, 16, 17, 24, 48, 64, 80, 96, 112, 127, 128, 129, 200, 4096};
  std::vector<Block> live;
  std::uint8_t next_mark = 1;
  auto take = [&](std::size_t bytes, std::size_t alignment) {
    Block b{static_cast<std::byte*>(pool.allocate(bytes, alignment)), bytes, alignment,
            std::byte{next_mark++}};
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.at) % alignment, 0u) << bytes;
    fill(b);
    live.push_back(b);
  };
  for (int round = 0; round < 300; ++round)
    for (std::size_t bytes : sizes) take(bytes, alignof(std::max_align_t));
  // Every other block goes back, then as many come again.
  std::vector<Block> kept;
  for (std::size_t i = 0; i < live.size(); ++i) {
    if (i % 2) {
      pool.deallocate(live[i].at, live[i].bytes, live[i].alignment);
    } else {
      kept.push_back(live[i]);
    }
  }
  live = kept;
  for (int round = 0; round < 150; ++round)
    for (std::size_t bytes : sizes) take(bytes, alignof(std::max_align_t));
  take(64, 64);  // over-aligned
  for (const Block& b : live) EXPECT_TRUE(intact(b)) << b.bytes;
  for (const Block& b : live) pool.deallocate(b.at, b.bytes, b.alignment);
}

// A block given back is the next one handed out for its size, and only for it.
TEST(IdMapPool, GivenBackBlockServesItsOwnSizeNext) {
  IdMapPool pool;
  void* a = pool.allocate(80, alignof(std::max_align_t));
  void* other = pool.allocate(32, alignof(std::max_align_t));
  pool.deallocate(a, 80, alignof(std::max_align_t));
  void* b = pool.allocate(32, alignof(std::max_align_t));
  EXPECT_NE(b, a);
  void* c = pool.allocate(72, alignof(std::max_align_t));  // the same size class as 80
  EXPECT_EQ(c, a);
  for (void* p : {other, b}) pool.deallocate(p, 32, alignof(std::max_align_t));
  pool.deallocate(c, 72, alignof(std::max_align_t));
}
