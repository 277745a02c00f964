// Value blocks reused across threads: a value made on one thread and dropped
// on another gives its block to the dropping thread, which may reuse it; live
// values never share a block, and a thread's stocked blocks go at its exit.

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/value.hpp"

namespace korvalinth {
namespace {

// More than a thread stocks of one size class, so that both roads (stocked,
// given straight back) are taken.
constexpr int kValues = 2 * static_cast<int>(value_blocks::kMaxStockedPerClass) + 7;

std::vector<SharedValue> make_values(std::int64_t first, int count) {
  std::vector<SharedValue> made;
  for (int i = 0; i < count; ++i) made.push_back(make_value<std::int64_t>(first + i));
  return made;
}

TEST(ValueBlocks, LiveValuesStayDistinctWhenBlocksMoveBetweenThreads) {
  std::vector<SharedValue> kept = make_values(0, kValues);
  std::vector<SharedValue> handed = make_values(kValues, kValues);
  std::vector<SharedValue> remade;
  std::thread([&] {
    handed.clear();  // the blocks join this thread's stock
    remade = make_values(2 * kValues, kValues);
    std::vector<SharedValue> texts;  // another size class alongside
    for (int i = 0; i < kValues; ++i) texts.push_back(make_value<std::string>(std::string(40, 'x')));
    for (const SharedValue& v : remade) texts.push_back(v);
    std::set<const Value*> addresses;
    for (const SharedValue& v : texts) addresses.insert(v.get());
    for (const SharedValue& v : kept) addresses.insert(v.get());
    EXPECT_EQ(addresses.size(), texts.size() + kept.size());
  }).join();
  // Contents survived every reuse: no block served two live values.
  for (int i = 0; i < kValues; ++i) {
    EXPECT_EQ(*value_cast<std::int64_t>(kept[i]), i);
    EXPECT_EQ(*value_cast<std::int64_t>(remade[i]), 2 * kValues + i);
  }
}

#if !defined(__SANITIZE_ADDRESS__)  // there the stock is off, and the leak checker watches
// Emptied first by the values made, the stock then keeps exactly one class
// of blocks of the ones dropped and frees the rest.
TEST(ValueBlocks, AThreadStocksABoundedNumberOfDroppedBlocks) {
  std::vector<SharedValue> made = make_values(0, kValues);
  const std::size_t before = mallinfo2().uordblks;
  made.clear();
  const std::size_t freed = before - mallinfo2().uordblks;
  constexpr std::size_t kBlock = sizeof(BoxedValue<std::int64_t>);
  EXPECT_GE(freed, (kValues - value_blocks::kMaxStockedPerClass) * kBlock);
  EXPECT_LT(freed, kValues * kBlock);
}

TEST(ValueBlocks, AThreadsStockedBlocksGoAtItsExit) {
  const auto dropped_on_another_thread = [] {
    std::vector<SharedValue> made = make_values(0, kValues);
    std::thread([&] { made.clear(); }).join();
  };
  dropped_on_another_thread();  // settles the allocator's per-thread state
  const std::size_t before = mallinfo2().uordblks;
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) dropped_on_another_thread();
  // A kept stock would hold a full class of blocks per round.
  const std::size_t one_stock = value_blocks::kMaxStockedPerClass * sizeof(BoxedValue<std::int64_t>);
  EXPECT_LT(mallinfo2().uordblks, before + one_stock);
}
#endif

}  // namespace
}  // namespace korvalinth
