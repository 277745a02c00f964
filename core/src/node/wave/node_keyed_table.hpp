#pragma once
// A table of values by node, open-addressed, so that a wave or a batch finds
// its node's entry in constant time instead of a walk. A new epoch empties
// it instead of a wipe, so that a table grown by one large wave or batch
// costs the small ones after it nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

// The value of a table that only says which nodes it holds.
struct NoValue {};

template <class Value>
class NodeKeyedTable {
 public:
  // Forgets every entry.
  void clear() noexcept {
    used_ = 0;
    epoch_ += 1;
  }
  std::optional<Value> find(const NodeId& node) const noexcept {
    if (used_ == 0) return std::nullopt;
    return value_at(probe(node));
  }
  // The slot holding node, or the unused slot that fill gives it, in a
  // table with room for one more entry (grown first when needed): a caller
  // finds its entry, or where to add it, in one walk.
  [[gnu::always_inline]] std::size_t probe_for_insert(const NodeId& node) {
    if (!has_room_for_one_more()) grow();
    return probe(node);
  }
  // Whether one more entry goes in without growing the table.
  bool has_room_for_one_more() const noexcept { return 2 * (used_ + 1) <= slots_.size(); }
  // The value a probed slot holds; none for an unused slot.
  std::optional<Value> value_at(std::size_t slot) const noexcept {
    const Slot& s = slots_[slot];
    if (s.epoch != epoch_) return std::nullopt;
    return s.value;
  }
  // Adds node with value in the unused slot its probe ended at. Nothing
  // may be added between the probe and its fill.
  void fill(std::size_t slot, const NodeId& node, const Value& value) noexcept {
    slots_[slot] = Slot{node, value, epoch_};
    used_ += 1;
  }

 private:
  struct Slot {
    NodeId node;
    [[no_unique_address]] Value value{};
    std::uint64_t epoch = 0;  // in use while it equals the table's epoch
  };
  std::size_t first_probe(const NodeId& node) const noexcept { return NodeIdHash{}(node) & (slots_.size() - 1); }
  // The slot holding node, or the unused slot where its probe ends.
  // Inlined: each insert walks it once.
  [[gnu::always_inline]] std::size_t probe(const NodeId& node) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = first_probe(node);
    while (slots_[i].epoch == epoch_ && !(slots_[i].node == node)) i = (i + 1) & mask;
    return i;
  }
  // Keeps the table at most half full, so that every probe ends soon at an
  // unused slot. The larger slots are had before the old ones are given up:
  // a failed allocation leaves the table as it was.
  [[gnu::noinline]] void grow() {
    std::vector<Slot> larger(slots_.empty() ? 16 : 2 * slots_.size(), Slot{});
    const std::vector<Slot> old = std::exchange(slots_, std::move(larger));
    const std::uint64_t old_epoch = epoch_;
    used_ = 0;
    epoch_ = 1;
    for (const Slot& s : old)
      if (s.epoch == old_epoch) fill(probe(s.node), s.node, s.value);
  }

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t used_ = 0;
  std::uint64_t epoch_ = 1;
};

}  // namespace korvalinth
