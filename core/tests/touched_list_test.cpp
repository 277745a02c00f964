// A wave's touched list: the records of the owner's core its end drops from
// the front go with their count shares, and those left keep their order at
// the front, across growth and a record put in front.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "node/arena/graph_core.hpp"
#include "node/wave/touched_list.hpp"

using namespace korvalinth;

namespace {

constexpr std::size_t kNoCore = ~std::size_t{0};

// Adds a record as a touch does: room checked, grown if full, then placed.
void add_record(TouchedList& list, CoreRef core, SharedCount count, SlotKey key) {
  if (!list.has_room()) list.grow();
  list.emplace_reserved(std::move(core), std::move(count), key, CoreId{1});
}

struct DropCase {
  const char* name;
  std::size_t records;
  std::size_t passed;            // the pass returns true for this many, then false
  std::size_t held_core = kNoCore;  // the one record holding a core, if any
};

class TouchedListDrop : public ::testing::TestWithParam<DropCase> {};

TEST_P(TouchedListDrop, DropsThePassedFrontAndKeepsTheRestInOrder) {
  const DropCase& c = GetParam();
  const CoreRef core = GraphCore::create();
  std::vector<SharedCount> counts;
  TouchedList list;
  for (std::size_t i = 0; i < c.records; ++i) {
    counts.push_back(SharedCount::make());
    add_record(list, i == c.held_core ? core : CoreRef(), counts.back(), SlotKey{i, 0});
  }
  std::size_t seen = 0;
  const auto pass = [&](const TouchedNode& t) noexcept {
    EXPECT_EQ(t.key.index, seen);
    EXPECT_FALSE(t.other_core);
    return seen++ < c.passed;
  };
  // A list known to hold no core skips that test; one that may, makes it.
  if (c.held_core < c.records)
    list.drop_owner_core_front_while<true>(pass);
  else
    list.drop_owner_core_front_while<false>(pass);
  const std::size_t dropped = std::min({c.passed, c.records, c.held_core});
  ASSERT_EQ(list.size(), c.records - dropped);
  for (std::size_t i = 0; i < c.records; ++i) EXPECT_EQ(counts[i].use_count(), i < dropped ? 1 : 2) << i;
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list.data()[i].key.index, dropped + i);
  EXPECT_EQ(core.use_count(), c.held_core < c.records ? 2 : 1);
  list.clear();
  for (const SharedCount& count : counts) EXPECT_EQ(count.use_count(), 1);
  EXPECT_EQ(core.use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, TouchedListDrop,
                         ::testing::Values(DropCase{"empty", 0, 0}, DropCase{"all", 20, 20}, DropCase{"none", 5, 0},
                                           DropCase{"some", 20, 13}, DropCase{"all_but_last", 3, 2},
                                           DropCase{"stops_at_a_held_core", 20, 20, 9},
                                           DropCase{"held_core_first", 4, 4, 0},
                                           DropCase{"pass_stops_before_a_held_core", 10, 3, 6}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TouchedList, PushFrontAndGrowthKeepOrderAndShares) {
  SharedCount count = SharedCount::make();
  TouchedList list;
  for (std::size_t i = 1; i <= 17; ++i) add_record(list, CoreRef(), count, SlotKey{i, 0});
  list.push_front(TouchedNode{CoreRef(), SharedCount(), SlotKey{0, 0}, CoreId{1}});
  EXPECT_EQ(count.use_count(), 18);
  ASSERT_EQ(list.size(), 18u);
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list.data()[i].key.index, i);
  EXPECT_FALSE(list.data()[0].count);

  TouchedList moved(std::move(list));
  EXPECT_TRUE(list.empty());
  TouchedList other;
  add_record(other, CoreRef(), count, SlotKey{99, 0});
  other = std::move(moved);  // the record it held goes
  EXPECT_EQ(count.use_count(), 18);
  EXPECT_EQ(other.size(), 18u);
}

// A record put back in front takes the slot the list keeps spare, so it
// grows no buffer it holds, at or off a growth's boundary.
class TouchedListPushFront : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TouchedListPushFront, TakesTheSpareSlot) {
  const std::size_t records = GetParam();
  SharedCount count = SharedCount::make();
  TouchedList list;
  for (std::size_t i = 1; i <= records; ++i) add_record(list, CoreRef(), count, SlotKey{i, 0});
  const std::size_t capacity = list.capacity();
  const TouchedNode* const buffer = list.data();
  if (records > 0) EXPECT_GT(capacity, records);  // a slot kept spare
  list.push_front(TouchedNode{CoreRef(), SharedCount(), SlotKey{0, 0}, CoreId{1}});
  if (records > 0) {
    EXPECT_EQ(list.capacity(), capacity);
    EXPECT_EQ(list.data(), buffer);
  }
  ASSERT_EQ(list.size(), records + 1);
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list.data()[i].key.index, i);
  add_record(list, CoreRef(), count, SlotKey{records + 1, 0});
  EXPECT_EQ(list.data()[records + 1].key.index, records + 1);
  EXPECT_EQ(count.use_count(), static_cast<long>(records) + 2);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TouchedListPushFront, ::testing::Values(0u, 1u, 6u, 7u, 8u, 14u, 15u, 16u));

}  // namespace
