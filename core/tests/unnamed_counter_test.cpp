#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "graph/unnamed_counter.hpp"

using namespace korvalinth;

namespace {

void expect_spelled(const UnnamedCounter& c) {
  EXPECT_EQ(c.digits(), std::to_string(c.value()));
}

}  // namespace

// Counting up rewrites the text in place: every carry, including one that
// adds a digit, and a set to any number (shorter or longer) before it.
TEST(UnnamedCounter, TextFollowsTheNumberThroughCarriesAndSets) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t start;
    int steps;
  };
  const Case cases[] = {
      {0, 12}, {8, 3}, {99, 2}, {1099, 2}, {999999, 1}, {123456789, 1}, {kMax - 2, 2}, {9999999999999999999u, 1},
  };
  for (const Case& c : cases) {
    UnnamedCounter counter;
    counter.set(c.start);
    expect_spelled(counter);
    for (int i = 0; i < c.steps; ++i) {
      counter.advance();
      EXPECT_EQ(counter.value(), c.start + i + 1) << c.start;
      expect_spelled(counter);
    }
  }
  // A longer number set first leaves no stale digits when a shorter follows.
  UnnamedCounter counter;
  counter.set(kMax - 1);
  counter.set(9);
  counter.advance();
  EXPECT_EQ(counter.digits(), "10");
  EXPECT_FALSE(counter.exhausted());
  counter.set(kMax);
  EXPECT_TRUE(counter.exhausted());
  expect_spelled(counter);
}

TEST(UnnamedCounter, StartsAtZeroSpelledZero) {
  UnnamedCounter counter;
  EXPECT_EQ(counter.value(), 0u);
  EXPECT_EQ(counter.digits(), "0");
  counter.advance();
  EXPECT_EQ(counter.digits(), "1");
}
