#pragma once
// A node's deps, read like a vector of counted handles. The list is made
// whole (at construction or a rewire) and only ever emptied or replaced, so
// it keeps its size beside its handles in one heap block: the topology
// column pays one word per node, and a node without deps one null word.

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

class DepList {
 public:
  DepList() noexcept = default;
  // Moves the handles in, in order; the given vector keeps empty handles.
  DepList(std::vector<NodeHandle>&& deps) {
    if (deps.empty()) return;
    block_ = allocate(deps.size());
    NodeHandle* at = block_->handles();
    for (NodeHandle& d : deps) ::new (at++) NodeHandle(std::move(d));
    deps.clear();
  }
  // The n handles make(0) .. make(n - 1), made in order straight into the
  // block; when a make throws, those made so far drop front to back.
  template <class Make>
  static DepList made(std::size_t n, Make&& make) {
    DepList list;
    if (n == 0) return list;
    list.block_ = allocate(n);
    list.block_->size = 0;  // counts the handles made, for the drop on a throw
    NodeHandle* at = list.block_->handles();
    for (std::size_t i = 0; i < n; ++i) {
      ::new (at + i) NodeHandle(make(i));
      ++list.block_->size;
    }
    return list;
  }
  DepList(DepList&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
  DepList& operator=(DepList&& o) noexcept {
    if (this != &o) {
      clear();
      block_ = std::exchange(o.block_, nullptr);
    }
    return *this;
  }
  DepList(const DepList&) = delete;
  DepList& operator=(const DepList&) = delete;
  ~DepList() { clear(); }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  bool empty() const noexcept { return block_ == nullptr; }
  NodeHandle* begin() noexcept { return block_ ? block_->handles() : nullptr; }
  NodeHandle* end() noexcept { return block_ ? block_->handles() + block_->size : nullptr; }
  const NodeHandle* begin() const noexcept { return block_ ? block_->handles() : nullptr; }
  const NodeHandle* end() const noexcept { return block_ ? block_->handles() + block_->size : nullptr; }
  NodeHandle& operator[](std::size_t i) noexcept { return block_->handles()[i]; }
  const NodeHandle& operator[](std::size_t i) const noexcept { return block_->handles()[i]; }

  // Drops the handles front to back (as a vector's clear does), then the block.
  void clear() noexcept {
    Block* b = std::exchange(block_, nullptr);
    if (!b) return;
    NodeHandle* h = b->handles();
    for (std::size_t i = 0; i < b->size; ++i) h[i].~NodeHandle();
    ::operator delete(b);
  }

 private:
  struct Block {
    std::size_t size;
    NodeHandle* handles() noexcept { return std::launder(reinterpret_cast<NodeHandle*>(this + 1)); }
    const NodeHandle* handles() const noexcept {
      return std::launder(reinterpret_cast<const NodeHandle*>(this + 1));
    }
  };
  static_assert(sizeof(Block) % alignof(NodeHandle) == 0);

  static Block* allocate(std::size_t n) {
    void* raw = ::operator new(sizeof(Block) + n * sizeof(NodeHandle));
    return ::new (raw) Block{n};
  }

  Block* block_ = nullptr;
};

// Every built node pays its topology entry: the deps list is one word.
static_assert(sizeof(DepList) == sizeof(void*));

}  // namespace korvalinth
