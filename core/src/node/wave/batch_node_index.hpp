#pragma once
// The positions of a batch's records by node: an open-addressing table, so
// that a set inside a batch finds its node's record without walking all of
// them. A new epoch empties it instead of a wipe, so that a table grown by
// one large batch costs the small ones after it nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

class BatchNodeIndex {
 public:
  // Forgets every entry.
  void clear() noexcept;
  std::optional<std::size_t> find(const NodeId& node) const noexcept;
  // The slot holding node, or the unused slot that fill gives it, in a
  // table with room for one more entry (grown first when needed): a set
  // finds its record, or where to add it, in one walk.
  [[gnu::always_inline]] std::size_t probe_for_insert(const NodeId& node) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    return probe(node);
  }
  // The position a probed slot holds; none for an unused slot.
  std::optional<std::size_t> position_at(std::size_t slot) const noexcept {
    const Slot& s = slots_[slot];
    if (s.epoch != epoch_) return std::nullopt;
    return s.position;
  }
  // Adds node at position in the unused slot its probe ended at. Nothing
  // may be added between the probe and its fill.
  void fill(std::size_t slot, const NodeId& node, std::size_t position) noexcept {
    slots_[slot] = Slot{node, position, epoch_};
    used_ += 1;
  }

 private:
  struct Slot {
    NodeId node;
    std::size_t position = 0;
    std::uint64_t epoch = 0;  // in use while it equals the index's epoch
  };
  std::size_t first_probe(const NodeId& node) const noexcept { return NodeIdHash{}(node) & (slots_.size() - 1); }
  // The slot holding node, or the unused slot where its probe ends.
  // Inlined: each set inside a batch walks it once.
  [[gnu::always_inline]] std::size_t probe(const NodeId& node) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = first_probe(node);
    while (slots_[i].epoch == epoch_ && !(slots_[i].node == node)) i = (i + 1) & mask;
    return i;
  }
  void grow();

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t used_ = 0;
  std::uint64_t epoch_ = 1;
};

}  // namespace korvalinth
