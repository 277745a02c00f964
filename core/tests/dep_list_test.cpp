#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "node/arena/dep_list.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// A list made handle by handle holds them in order; a make that throws
// leaves every node's count as it was before the list was begun.
TEST(DepList, MadeHandlesKeepTheirOrderAndAThrowGivesEachUnitBack) {
  const std::optional<std::size_t> throw_at[] = {std::nullopt, 0, 1, 2};
  for (const std::optional<std::size_t>& at : throw_at) {
    SCOPED_TRACE(at ? static_cast<int>(*at) : -1);
    auto core = GraphCore::create();
    std::vector<NodeHandle> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(make_state(core));
    auto make = [&](std::size_t i) {
      if (at && i == *at) throw std::runtime_error("make failed");
      return nodes[i].promote_counted();
    };
    if (at) {
      EXPECT_THROW(DepList::made(nodes.size(), make), std::runtime_error);
      for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
      continue;
    }
    DepList list = DepList::made(nodes.size(), make);
    ASSERT_EQ(list.size(), nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(list[i].key(), nodes[i].key());
      EXPECT_EQ(nodes[i].count()->count, 2u);
    }
    list.clear();
    for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
  }
}

TEST(DepList, MadeFromNothingHoldsNoBlock) {
  DepList list = DepList::made(0, [](std::size_t) -> NodeHandle { throw std::runtime_error("never made"); });
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), nullptr);
}
