#include <gtest/gtest.h>

#include <cstddef>
#include <new>

#include "failing_allocation.hpp"
#include "node/wave/node_keyed_table.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// A table that cannot have its larger slots throws and keeps every entry it
// held: a batch whose index lost them would defer a node twice.
TEST(NodeKeyedTable, AFailedGrowthKeepsEveryEntry) {
  for (const std::size_t held : {0, 8, 16}) {
    SCOPED_TRACE(held);
    NodeKeyedTable<std::size_t> index;
    auto add = [&](std::size_t i) {
      const NodeId node{1, i, 0};
      const std::size_t slot = index.probe_for_insert(node);
      index.fill(slot, node, i);
    };
    for (std::size_t i = 0; i < held; ++i) add(i);
    ASSERT_FALSE(index.has_room_for_one_more());
    {
      FailingAllocation fail(1);
      EXPECT_THROW(add(held), std::bad_alloc);
      EXPECT_TRUE(fail.failed());
    }
    for (std::size_t i = 0; i < held; ++i) EXPECT_EQ(index.find(NodeId{1, i, 0}), i) << i;
    EXPECT_FALSE(index.find(NodeId{1, held, 0}).has_value());
    add(held);
    EXPECT_EQ(index.find(NodeId{1, held, 0}), held);
  }
}
