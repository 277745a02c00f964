#include "node/arena/sink_list.hpp"

namespace korvalinth {

void SinkList::Reading::deliver_each(const Block& block, const Message& message) {
  for (const SinkEntry& e : block.entries) e.sink->call(message);
}

SinkList::SinkList(SinkList&& other) noexcept = default;
SinkList& SinkList::operator=(SinkList&& other) noexcept = default;
SinkList::~SinkList() = default;

std::span<const SinkEntry> SinkList::entries() const noexcept {
  if (!block_) return {};
  return block_->entries;
}

std::vector<SinkEntry>& SinkList::edit() {
  if (!block_) {
    block_ = Held(new Block);
  } else if (block_->holders > 1) {
    // Readings hold the list: it passes to them, and the node edits a copy.
    block_ = Held(new Block{block_->entries});
  }
  return block_->entries;
}

}  // namespace korvalinth
