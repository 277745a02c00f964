#include "graph/first_row_index.hpp"

#include <unordered_set>

#include "graph/graph_container.hpp"

namespace korvalinth {

FirstRowIndex::FirstRowIndex(const std::vector<NodeEntry>& rows, CoreId core) : core_(core) {
  ids_.reserve(rows.size());
  for (const NodeEntry& row : rows) add(row);
}

const std::string* FirstRowIndex::find(const NodeId& node) const {
  auto it = ids_.find(node);
  return it == ids_.end() ? nullptr : &it->second;
}

void FirstRowIndex::add(const NodeEntry& row) { ids_.try_emplace(row.node().id(core_), row.id()); }

void FirstRowIndex::remove(const std::vector<NodeEntry>& removed, const std::vector<NodeEntry>& kept) {
  std::unordered_set<NodeId, NodeIdHash> unindexed;
  for (const NodeEntry& row : removed) {
    auto it = ids_.find(row.node().id(core_));
    if (it == ids_.end() || it->second != row.id()) continue;
    unindexed.insert(it->first);
    ids_.erase(it);
  }
  if (unindexed.empty()) return;
  for (const NodeEntry& row : kept) {
    if (unindexed.contains(row.node().id(core_))) add(row);
  }
}

}  // namespace korvalinth
