#pragma once
// A pointer that owns its block through Drop, which takes the block (or
// null) and lets go of it. Moved, it leaves null behind; assigned or
// destroyed, it lets go of its own block first, and is null while Drop runs.

#include <utility>

#include "base/relocatable.hpp"

namespace korvalinth {

template <class Block, void (*Drop)(Block*) noexcept>
class BlockPtr {
 public:
  BlockPtr() noexcept = default;
  explicit BlockPtr(Block* block) noexcept : block_(block) {}
  BlockPtr(BlockPtr&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  BlockPtr& operator=(BlockPtr&& other) noexcept {
    if (this != &other) {
      if (block_) reset();
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  BlockPtr(const BlockPtr&) = delete;
  BlockPtr& operator=(const BlockPtr&) = delete;
  // A moved-from pointer, the usual one to go, pays no call of Drop.
  ~BlockPtr() {
    if (block_) reset();
  }

  void reset() noexcept { Drop(std::exchange(block_, nullptr)); }
  Block* get() const noexcept { return block_; }
  Block& operator*() const noexcept { return *block_; }
  Block* operator->() const noexcept { return block_; }
  explicit operator bool() const noexcept { return block_ != nullptr; }

 private:
  Block* block_ = nullptr;
};

template <class Block, void (*Drop)(Block*) noexcept>
inline constexpr bool relocatable_as_bytes<BlockPtr<Block, Drop>> =
    made_of_relocatable_parts<BlockPtr<Block, Drop>, Block*>;

}  // namespace korvalinth
