#pragma once
// Which id a node's first row (in table order) carries, without a scan of
// the rows. A graph keeps one only while topology observers are live, so a
// graph without observers spends nothing per node on it.

#include <string>
#include <unordered_map>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

struct NodeEntry;

class FirstRowIndex {
 public:
  // core is the graph's, where every row's node lives.
  FirstRowIndex(const std::vector<NodeEntry>& rows, CoreId core);

  // The id of the node's first row; null when it has none.
  const std::string* find(const NodeId& node) const;
  // A row appended to the table: it is its node's first only if the node had none.
  void add(const NodeEntry& row);
  // Rows taken out of the table; kept are those left, in table order. A node
  // that lost its first row but keeps another is found under the next one.
  void remove(const std::vector<NodeEntry>& removed, const std::vector<NodeEntry>& kept);
  std::size_t size() const noexcept { return ids_.size(); }

 private:
  CoreId core_;
  std::unordered_map<NodeId, std::string, NodeIdHash> ids_;
};

}  // namespace korvalinth
