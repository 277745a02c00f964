#include "node/arena/sink_list.hpp"

#include <utility>

namespace korvalinth {

void SinkList::Reading::deliver_each(const Block& block, const Message& message) {
  for (const SinkEntry& e : block.entries) e.sink->call(message);
}

SinkList::SinkList(SinkList&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

SinkList& SinkList::operator=(SinkList&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

SinkList::~SinkList() { release(); }

void SinkList::release() noexcept { Block::drop(std::exchange(block_, nullptr)); }

std::span<const SinkEntry> SinkList::entries() const noexcept {
  if (!block_) return {};
  return block_->entries;
}

std::vector<SinkEntry>& SinkList::edit() {
  if (!block_) {
    block_ = new Block;
  } else if (block_->holders > 1) {
    // Readings hold the list: it passes to them, and the node edits a copy.
    Block* copy = new Block{block_->entries};
    block_->holders -= 1;
    block_ = copy;
  }
  return block_->entries;
}

}  // namespace korvalinth
