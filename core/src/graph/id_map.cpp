#include "graph/id_map.hpp"

#include "node/arena/kept_core_release.hpp"

namespace korvalinth {

IdMap::IdMap(IdMap&& o) noexcept : core_(o.core_), entries_(std::move(o.entries_)) { o.entries_.clear(); }

IdMap::~IdMap() {
  for (auto& entry : entries_) NodeHandle gone = take_unit(entry.second);
}

NodeHandle IdMap::take_unit(RegisteredNode& node) noexcept {
  if (!node.count) return NodeHandle();
  return NodeHandle(*core_, std::move(node.count), node.key);
}

NodeHandle IdMap::take(iterator entry) {
  NodeHandle unit = take_unit(entry->second);
  entries_.erase(entry);
  return unit;
}

void IdMap::erase(const std::string& id) {
  if (auto it = entries_.find(id); it != entries_.end()) erase(it);
}

void IdMap::drop_units() {
  for (auto& entry : entries_) {
    const SharedCount count = std::move(entry.second.count);
    if (count) give_back_unit(*core_, *count, entry.second.key);
  }
  entries_.clear();  // so the destructor walks them no second time
}

}  // namespace korvalinth
