// The per-dep delivery lists of a wave: the inline single value and the
// move to the heap block keep the lists, their order and their values.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "node/arena/wave_deliveries.hpp"

namespace korvalinth {
namespace {

SharedValue iv(int x) { return make_value<int>(x); }

// The lists as ints, -1 for an INVALIDATE mark, read in place.
std::vector<std::vector<int>> shape(const WaveDeliveries& lists) {
  std::vector<std::vector<int>> out;
  for (const DeliveryView l : lists) {
    std::vector<int>& row = out.emplace_back();
    for (const SharedValue& v : l) row.push_back(v ? *value_cast<int>(*v) : -1);
  }
  EXPECT_EQ(lists.size(), out.size());
  return out;
}

// A set with these lists, -1 for an INVALIDATE mark.
WaveDeliveries made_of(const std::vector<std::vector<int>>& lists) {
  WaveDeliveries out;
  for (const std::vector<int>& l : lists) {
    out.open_list();
    for (int x : l) out.push(x < 0 ? SharedValue() : iv(x));
  }
  return out;
}

TEST(WaveDeliveries, KeepsListsAndValuesInOrderInlineAndOnTheHeap) {
  WaveDeliveries none;
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(shape(none).empty());

  WaveDeliveries resolved;  // a RESOLVED opens a list and brings nothing
  resolved.open_list();
  EXPECT_FALSE(resolved.empty());
  EXPECT_FALSE(resolved.any_value());
  WaveDeliveries taken(std::move(resolved));  // a run's input takes the set over whole
  EXPECT_EQ(shape(taken), (std::vector<std::vector<int>>{{}}));
  EXPECT_TRUE(resolved.empty());  // NOLINT: a moved-from list set is empty

  WaveDeliveries one;
  one.open_list();
  one.push(iv(1));
  EXPECT_TRUE(one.any_value());
  EXPECT_EQ(shape(one), (std::vector<std::vector<int>>{{1}}));

  WaveDeliveries same_frame;  // a second value of one frame spills
  same_frame.open_list();
  same_frame.push(iv(1));
  same_frame.push(nullptr);
  same_frame.push(iv(2));
  WaveDeliveries spilled(std::move(same_frame));
  EXPECT_EQ(shape(spilled), (std::vector<std::vector<int>>{{1, -1, 2}}));
  EXPECT_TRUE(same_frame.empty());  // NOLINT

  WaveDeliveries frames;  // a second frame spills, from an empty and from a full list
  frames.open_list();
  frames.open_list();
  frames.push(iv(3));
  frames.open_list();
  EXPECT_EQ(shape(frames), (std::vector<std::vector<int>>{{}, {3}, {}}));

  WaveDeliveries full_then_frame;
  full_then_frame.open_list();
  full_then_frame.push(iv(4));
  full_then_frame.open_list();
  full_then_frame.push(iv(5));
  EXPECT_EQ(shape(full_then_frame), (std::vector<std::vector<int>>{{4}, {5}}));
}

TEST(WaveDeliveries, InvalidateMarksAreNoValuesAndMovesEmptyTheSource) {
  WaveDeliveries marks;
  marks.open_list();
  marks.push(nullptr);
  EXPECT_FALSE(marks.any_value());
  marks.push(nullptr);
  EXPECT_FALSE(marks.any_value());
  marks.push(iv(7));
  EXPECT_TRUE(marks.any_value());

  WaveDeliveries moved(std::move(marks));
  EXPECT_TRUE(marks.empty());  // NOLINT: a moved-from list set is empty
  EXPECT_EQ(shape(moved), (std::vector<std::vector<int>>{{-1, -1, 7}}));

  // Assigning over a set drops its own values.
  SharedValue kept = iv(8);
  WeakValue watch = kept;
  WaveDeliveries target;
  target.open_list();
  target.push(std::move(kept));
  WaveDeliveries source;
  source.open_list();
  source.push(iv(9));
  target = std::move(source);
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(source.empty());  // NOLINT
  EXPECT_EQ(shape(target), (std::vector<std::vector<int>>{{9}}));
}

// Either side of a move may hold no store, the inline value or the heap block.
TEST(WaveDeliveries, MovesKeepTheSourceListsWhicheverStoreEachSideUses) {
  const std::vector<std::vector<std::vector<int>>> shapes = {{}, {{}}, {{1}}, {{-1}}, {{1, 2}}, {{}, {3}}, {{}, {}, {}}};
  for (const auto& old_shape : shapes) {
    WaveDeliveries source = made_of(old_shape);
    WaveDeliveries moved(std::move(source));
    EXPECT_EQ(shape(moved), old_shape);
    EXPECT_TRUE(source.empty());  // NOLINT
    for (const auto& new_shape : shapes) {
      WaveDeliveries target = made_of(old_shape);
      WaveDeliveries next = made_of(new_shape);
      target = std::move(next);
      EXPECT_EQ(shape(target), new_shape);
      EXPECT_TRUE(next.empty());  // NOLINT
    }
  }
}

// A dep that only settles opens an empty list per frame: the run of them
// keeps its length, and a value, a mark or a later frame after it lands in
// the right list.
TEST(WaveDeliveries, RunsOfEmptyListsKeepTheirCountAndOrder) {
  const std::vector<std::vector<std::vector<int>>> shapes = {
      {{}, {}},          {{}, {}, {}, {}, {}}, {{}, {}, {5}},     {{}, {}, {-1}},
      {{}, {}, {5}, {}}, {{}, {}, {5, 6}},     {{}, {}, {}, {7}, {}, {}}};
  for (const auto& lists : shapes) {
    WaveDeliveries set = made_of(lists);
    EXPECT_EQ(shape(set), lists);
    bool any = false;
    for (const auto& l : lists)
      for (int x : l) any |= x >= 0;
    EXPECT_EQ(set.any_value(), any);
    WaveDeliveries moved(std::move(set));
    EXPECT_EQ(shape(moved), lists);
    EXPECT_TRUE(set.empty());  // NOLINT: a moved-from list set is empty
  }
}

// A set opened with its first value is the set open_list then push makes,
// and goes on alike: values of the same frame, later frames, moves.
TEST(WaveDeliveries, OpeningTheFirstListWithAValueMatchesOpenThenPush) {
  // Each case: the first value (-1: an INVALIDATE mark), then what follows
  // as lists, the first of them continuing the opened one.
  const std::vector<std::pair<int, std::vector<std::vector<int>>>> cases = {
      {1, {}}, {-1, {}}, {1, {{2}}}, {1, {{-1, 2}}}, {1, {{}, {3}}}, {-1, {{}, {4, 5}}}};
  for (const auto& [first, rest] : cases) {
    WaveDeliveries in_place;
    in_place.open_first_list_with(first < 0 ? SharedValue() : iv(first));
    WaveDeliveries stepwise;
    stepwise.open_list();
    stepwise.push(first < 0 ? SharedValue() : iv(first));
    EXPECT_EQ(in_place.any_value(), stepwise.any_value());
    for (std::size_t i = 0; i < rest.size(); ++i) {
      for (WaveDeliveries* set : {&in_place, &stepwise}) {
        if (i > 0) set->open_list();
        for (int x : rest[i]) set->push(x < 0 ? SharedValue() : iv(x));
      }
    }
    const auto expected = shape(stepwise);
    EXPECT_EQ(shape(in_place), expected);
    WaveDeliveries moved(std::move(in_place));
    EXPECT_EQ(shape(moved), expected);
  }
}

}  // namespace
}  // namespace korvalinth
