#include "node/wave/batch_node_index.hpp"

namespace korvalinth {

void BatchNodeIndex::clear() noexcept {
  used_ = 0;
  epoch_ += 1;
}

std::size_t BatchNodeIndex::first_probe(const NodeId& node) const noexcept {
  return NodeIdHash{}(node) & (slots_.size() - 1);
}

std::optional<std::size_t> BatchNodeIndex::find(const NodeId& node) const noexcept {
  if (used_ == 0) return std::nullopt;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = first_probe(node);; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.epoch != epoch_) return std::nullopt;
    if (s.node == node) return s.position;
  }
}

void BatchNodeIndex::place(const NodeId& node, std::size_t position) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = first_probe(node);
  while (slots_[i].epoch == epoch_) i = (i + 1) & mask;
  slots_[i] = Slot{node, position, epoch_};
  used_ += 1;
}

void BatchNodeIndex::insert(const NodeId& node, std::size_t position) {
  // At most half full, so that every probe ends soon at an unused slot.
  if (2 * (used_ + 1) > slots_.size()) grow();
  place(node, position);
}

void BatchNodeIndex::grow() {
  std::vector<Slot> old = std::move(slots_);
  const std::uint64_t old_epoch = epoch_;
  slots_.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
  used_ = 0;
  epoch_ = 1;
  for (const Slot& s : old)
    if (s.epoch == old_epoch) place(s.node, s.position);
}

}  // namespace korvalinth
