#include "node/wave/batch_node_index.hpp"

namespace korvalinth {

void BatchNodeIndex::clear() noexcept {
  used_ = 0;
  epoch_ += 1;
}

std::optional<std::size_t> BatchNodeIndex::find(const NodeId& node) const noexcept {
  if (used_ == 0) return std::nullopt;
  return position_at(probe(node));
}

// Keeps the table at most half full, so that every probe ends soon at an
// unused slot.
void BatchNodeIndex::grow() {
  std::vector<Slot> old = std::move(slots_);
  const std::uint64_t old_epoch = epoch_;
  slots_.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
  used_ = 0;
  epoch_ = 1;
  for (const Slot& s : old)
    if (s.epoch == old_epoch) fill(probe(s.node), s.node, s.position);
}

}  // namespace korvalinth
