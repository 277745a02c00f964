#pragma once
// How a rewire pairs a node's old deps with its new ones: the apply keeps a
// matched dep's state and subscription, and the feedback forecast follows
// the same pairs. Lists of NodeHandle, a vector or a node's DepList.

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

// The same deps at every position.
template <class Old, class New>
bool same_dep_lists(const Old& old_list, const New& new_list) {
  if (old_list.size() != new_list.size()) return false;
  for (std::size_t i = 0; i < old_list.size(); ++i)
    if (!old_list[i].same_node(new_list[i])) return false;
  return true;
}

// For each old position, the new position of the same dep (the first not
// matched yet), or none: a dep listed twice keeps its first place.
template <class Old, class New>
std::vector<std::optional<std::size_t>> match_deps(const Old& old_list, const New& new_list) {
  std::vector<std::optional<std::size_t>> match(old_list.size());
  if (old_list.size() * new_list.size() > 64) {
    std::unordered_map<NodeId, std::size_t, NodeIdHash> first_old;
    for (std::size_t i = 0; i < old_list.size(); ++i) first_old.try_emplace(old_list[i].id(), i);
    for (std::size_t j = 0; j < new_list.size(); ++j) {
      auto it = first_old.find(new_list[j].id());
      if (it == first_old.end()) continue;
      match[it->second] = j;
      first_old.erase(it);
    }
    return match;
  }
  std::vector<bool> taken(new_list.size(), false);
  for (std::size_t i = 0; i < old_list.size(); ++i) {
    for (std::size_t j = 0; j < new_list.size(); ++j) {
      if (!taken[j] && old_list[i].same_node(new_list[j])) {
        taken[j] = true;
        match[i] = j;
        break;
      }
    }
  }
  return match;
}

}  // namespace korvalinth
