#include "node/arena/count_record.hpp"

#include <new>

#include "node/arena/count_blocks.hpp"

namespace korvalinth {

static_assert(sizeof(detail::CountRecordBlock) <= CountBlocks::kBytes);
static_assert(alignof(detail::CountRecordBlock) <= CountBlocks::kAlign);

SharedCount SharedCount::make() {
  return SharedCount(::new (CountBlocks::take()) detail::CountRecordBlock());
}

void detail::free_count_record(CountRecordBlock* block) noexcept { CountBlocks::give_back(block); }

}  // namespace korvalinth
