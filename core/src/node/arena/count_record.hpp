#pragma once
// A node's count record and the references that share it, with plain
// tallies (base/local_shared.hpp), in blocks of their own size.

#include <cstddef>
#include <cstdint>

#include "base/local_shared.hpp"
#include "node/arena/count_blocks.hpp"

namespace korvalinth {

// The number of counted handles of one node; 0 means externally dead.
struct ExternalCount {
  std::uint64_t count = 1;
};

struct CountRecordBlocks {
  static void* take(std::size_t bytes) {
    (void)bytes;  // one size: see the assertion below
    return CountBlocks::take();
  }
  static void give_back(void* block) noexcept { CountBlocks::give_back(block); }
};
static_assert(LocalShareHead::kObjectOffset + sizeof(ExternalCount) <= CountBlocks::kBytes);
static_assert(alignof(ExternalCount) <= CountBlocks::kAlign);

using SharedCount = LocalShared<ExternalCount, CountRecordBlocks>;
using WeakCount = LocalWeak<ExternalCount, CountRecordBlocks>;

}  // namespace korvalinth
