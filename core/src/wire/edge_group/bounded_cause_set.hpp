#pragma once
// A set of cause ids with a fixed capacity: cause ids come from a peer, so
// the memory of finished causes must not grow without bound. The oldest id
// (by first remembrance, never by use) goes first; an evicted id is unseen
// again.

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>

namespace korvalinth {

class BoundedCauseSet {
 public:
  explicit BoundedCauseSet(std::size_t capacity) : capacity_(capacity) {}

  bool contains(const std::string& cause_id) const { return members_.contains(cause_id); }
  std::size_t size() const noexcept { return members_.size(); }

  // Remembering an id already present changes nothing.
  void remember(const std::string& cause_id) {
    if (!members_.insert(cause_id).second) return;
    order_.push_back(cause_id);
    while (order_.size() > capacity_) {
      members_.erase(order_.front());
      order_.pop_front();
    }
  }

 private:
  std::size_t capacity_;
  std::unordered_set<std::string> members_;
  std::deque<std::string> order_;  // first remembrance, oldest first
};

}  // namespace korvalinth
