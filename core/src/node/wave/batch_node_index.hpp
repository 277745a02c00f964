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
  // Adds node, which it does not hold yet, at position.
  void insert(const NodeId& node, std::size_t position);

 private:
  struct Slot {
    NodeId node;
    std::size_t position = 0;
    std::uint64_t epoch = 0;  // in use while it equals the index's epoch
  };
  std::size_t first_probe(const NodeId& node) const noexcept;
  void place(const NodeId& node, std::size_t position) noexcept;
  void grow();

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t used_ = 0;
  std::uint64_t epoch_ = 1;
};

}  // namespace korvalinth
