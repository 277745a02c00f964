// The table of values by node (the batch's record positions): a probe finds a
// node added before, across the table's growth and after an emptying, or ends
// at the slot its entry takes.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "node/wave/node_keyed_table.hpp"

using namespace korvalinth;

namespace {

struct IndexCase {
  const char* name;
  std::vector<NodeId> nodes;  // distinct, added in order
};

std::vector<NodeId> ids(std::size_t n, NodeId (*make)(std::size_t)) {
  std::vector<NodeId> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(make(i));
  return out;
}

std::vector<IndexCase> index_cases() {
  return {
      {"one node", ids(1, [](std::size_t i) { return NodeId{1, i, 0}; })},
      {"up to the first growth", ids(8, [](std::size_t i) { return NodeId{1, i, 0}; })},
      {"past the first growth", ids(9, [](std::size_t i) { return NodeId{1, i, 0}; })},
      {"many growths", ids(1000, [](std::size_t i) { return NodeId{1, i, 0}; })},
      {"one slot index in many generations", ids(100, [](std::size_t i) { return NodeId{1, 7, i}; })},
      {"one slot of many cores", ids(100, [](std::size_t i) { return NodeId{i + 1, 7, 3}; })},
  };
}

// Adds every node at its place in the list, as a batch adds records.
void add_all(NodeKeyedTable<std::size_t>& index, const std::vector<NodeId>& nodes) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::size_t slot = index.probe_for_insert(nodes[i]);
    ASSERT_FALSE(index.value_at(slot).has_value()) << i;
    index.fill(slot, nodes[i], i);
  }
}

class NodeKeyedTableCases : public ::testing::TestWithParam<IndexCase> {};

TEST_P(NodeKeyedTableCases, EveryAddedNodeIsFoundAtItsPositionByBothLookups) {
  const std::vector<NodeId>& nodes = GetParam().nodes;
  NodeKeyedTable<std::size_t> index;
  EXPECT_FALSE(index.find(nodes[0]).has_value());
  add_all(index, nodes);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(index.find(nodes[i]), std::optional<std::size_t>(i)) << i;
    EXPECT_EQ(index.value_at(index.probe_for_insert(nodes[i])), std::optional<std::size_t>(i)) << i;
  }
  const NodeId absent{99999, 1, 1};
  EXPECT_FALSE(index.find(absent).has_value());
  EXPECT_FALSE(index.value_at(index.probe_for_insert(absent)).has_value());
}

TEST_P(NodeKeyedTableCases, AnEmptiedIndexForgetsEveryNodeAndTakesThemAgain) {
  std::vector<NodeId> nodes = GetParam().nodes;
  NodeKeyedTable<std::size_t> index;
  add_all(index, nodes);
  index.clear();
  for (const NodeId& n : nodes) EXPECT_FALSE(index.find(n).has_value());
  // Added again in the reverse order: each at its new position.
  std::vector<NodeId> reversed(nodes.rbegin(), nodes.rend());
  add_all(index, reversed);
  for (std::size_t i = 0; i < reversed.size(); ++i) EXPECT_EQ(index.find(reversed[i]), std::optional<std::size_t>(i));
}

INSTANTIATE_TEST_SUITE_P(Cases, NodeKeyedTableCases, ::testing::ValuesIn(index_cases()),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
