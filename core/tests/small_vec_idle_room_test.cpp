// A SmallVec whose elements are on the heap leaves its inline room alone:
// a lending run's list keeps its lending record there.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "base/small_vec.hpp"

using namespace korvalinth;

namespace {

using Vec = SmallVec<std::string, 2>;

// A heap list of n strings long enough to own heap blocks of their own.
Vec heap_list(std::size_t n) {
  Vec v;
  for (std::size_t i = 0; i < n; ++i) v.push_back(std::string(40, static_cast<char>('a' + i)));
  return v;
}

void plant(Vec& v) { std::memset(v.idle_inline_room(), 0x5A, Vec::kInlineRoomBytes); }

bool still_planted(Vec& v) {
  const auto* bytes = static_cast<const unsigned char*>(v.idle_inline_room());
  for (std::size_t i = 0; i < Vec::kInlineRoomBytes; ++i)
    if (bytes[i] != 0x5A) return false;
  return true;
}

struct Step {
  const char* name;
  std::function<void(Vec&)> apply;
};

}  // namespace

TEST(SmallVecIdleRoom, EveryStepOfAHeapListLeavesTheInlineRoomAsPlanted) {
  const Step steps[] = {
      {"push within the block", [](Vec& v) { v.push_back("x"); }},
      {"growth to a bigger block", [](Vec& v) { v.reserve(64); }},
      {"pop", [](Vec& v) { v.pop_back(); }},
      {"clear", [](Vec& v) { v.clear(); }},
      {"drop in place, then forget",
       [](Vec& v) {
         for (std::string& e : v) std::destroy_at(&e);
         v.forget_all();
       }},
      {"move out", [](Vec& v) { Vec taken = std::move(v); }},
      {"heap list moved in", [](Vec& v) { v = heap_list(5); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    Vec v = heap_list(4);
    v.reserve(8);
    ASSERT_TRUE(v.on_heap());
    plant(v);
    step.apply(v);
    EXPECT_TRUE(still_planted(v));
  }
}
