// A SmallVec's room: its inline elements and its heap block, through
// growth, moves and refills. A list without a heap block has no capacity
// of its own to read: each of these must still find room for what it holds.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "base/small_vec.hpp"

using namespace korvalinth;

namespace {

// An element that counts the live ones, so each is made and dropped once.
struct Counted {
  Counted(int v, int* live) : value(v), live(live) { ++*live; }
  Counted(const Counted& o) : value(o.value), live(o.live) { ++*live; }
  Counted(Counted&& o) noexcept : value(o.value), live(o.live) { ++*live; }
  ~Counted() { --*live; }
  int value;
  int* live;
};
using Vec = SmallVec<Counted, 2>;

void fill(Vec& v, int n, int* live) {
  for (int i = 0; i < n; ++i) v.emplace_back(i, live);
}
std::vector<int> values(const Vec& v) {
  std::vector<int> out;
  for (const Counted& c : v) out.push_back(c.value);
  return out;
}

}  // namespace

TEST(SmallVecRoom, EveryRoadLeavesRoomForWhatTheListHolds) {
  struct Case {
    const char* name;
    std::function<void(Vec&, int*)> apply;
    std::vector<int> held;
  };
  const Case cases[] = {
      {"fresh", [](Vec&, int*) {}, {}},
      {"within the inline room", [](Vec& v, int* live) { fill(v, 2, live); }, {0, 1}},
      {"past it", [](Vec& v, int* live) { fill(v, 5, live); }, {0, 1, 2, 3, 4}},
      {"heap list moved out, then refilled past the inline room",
       [](Vec& v, int* live) {
         fill(v, 5, live);
         Vec taken = std::move(v);
         fill(v, 3, live);
       },
       {0, 1, 2}},
      {"inline list moved out, then refilled past the inline room",
       [](Vec& v, int* live) {
         fill(v, 2, live);
         Vec taken = std::move(v);
         fill(v, 4, live);
       },
       {0, 1, 2, 3}},
      {"heap list moved in",
       [](Vec& v, int* live) {
         Vec other;
         fill(other, 3, live);
         v = std::move(other);
         fill(v, 2, live);
       },
       {0, 1, 2, 0, 1}},
      {"copied from a heap list",
       [](Vec& v, int* live) {
         Vec other;
         fill(other, 3, live);
         Vec copy(other);
         v = copy;
       },
       {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int live = 0;
    {
      Vec v;
      EXPECT_EQ(v.capacity(), 2u);
      c.apply(v, &live);
      EXPECT_EQ(values(v), c.held);
      EXPECT_GE(v.capacity(), v.size());
      EXPECT_EQ(v.on_heap(), v.capacity() > 2);
      EXPECT_EQ(live, static_cast<int>(c.held.size()));
    }
    EXPECT_EQ(live, 0);
  }
}
