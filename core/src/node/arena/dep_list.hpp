#pragma once
// A node's deps, read like a vector of counted handles. The list is made
// whole (at construction or a rewire) and only ever emptied or replaced, so
// it keeps its size beside its handles in one heap block: the topology
// column pays one word per node, and a node without deps one null word.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "base/block_ptr.hpp"
#include "base/relocatable.hpp"
#include "node/arena/dep_block_pool.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

// The head of a deps block. A build's block of a few deps comes from its
// deps' core's pool. The head is one word: a pooled block finds its slab by
// its distance from it, not by a pointer.
struct DepBlockHead {
  DepBlockHead(DepBlockSlab* slab, std::uint32_t handles) noexcept
      : size(handles), slab_distance(DepBlockPool::distance_from_slab(this, slab)) {}
  std::uint32_t size;
  std::uint16_t slab_distance;  // 0: a heap block
  NodeHandle* handles() noexcept { return std::launder(reinterpret_cast<NodeHandle*>(this + 1)); }
  const NodeHandle* handles() const noexcept {
    return std::launder(reinterpret_cast<const NodeHandle*>(this + 1));
  }
  // Gives the block back to its slab or the heap.
  static void give_back(DepBlockHead* b) noexcept {
    DepBlockPool::deallocate(b, DepBlockPool::slab_at_distance(b, b->slab_distance));
  }
};
static_assert(sizeof(DepBlockHead) == sizeof(void*));
static_assert(sizeof(DepBlockHead) % alignof(NodeHandle) == 0);

class DepList {
 public:
  DepList() noexcept = default;
  // Moves the handles in, in order; the given vector keeps empty handles.
  DepList(std::vector<NodeHandle>&& deps) {
    if (deps.empty()) return;
    block_ = Owned(allocate(sizeof(Block) + deps.size() * sizeof(NodeHandle), deps.size()));
    NodeHandle* at = block_->handles();
    for (NodeHandle& d : deps) ::new (at++) NodeHandle(std::move(d));
    deps.clear();
  }
  // As the list of the handles moved in, made for a node's build: its
  // block comes from its deps' pool.
  static DepList for_build(std::vector<NodeHandle>&& deps) {
    DepList list = made(deps.size(), [&](std::size_t i) { return std::move(deps[i]); });
    deps.clear();
    return list;
  }
  // The n handles make(0) .. make(n - 1), made in order straight into the
  // block, for a node's build; when a make throws, those made so far drop
  // front to back.
  // The first handle is made before the block: its core's pool serves it.
  template <class Make>
  static DepList made(std::size_t n, Make&& make) {
    DepList list;
    if (n == 0) return list;
    NodeHandle first = make(0);
    list.block_ = Owned(allocate_for_build(first, n));
    NodeHandle* at = list.block_->handles();
    ::new (at) NodeHandle(std::move(first));
    list.block_->size = 1;  // counts the handles made, for the drop on a throw
    for (std::size_t i = 1; i < n; ++i) {
      ::new (at + i) NodeHandle(make(i));
      ++list.block_->size;
    }
    return list;
  }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  bool empty() const noexcept { return !block_; }
  NodeHandle* begin() noexcept { return block_ ? block_->handles() : nullptr; }
  NodeHandle* end() noexcept { return block_ ? block_->handles() + block_->size : nullptr; }
  const NodeHandle* begin() const noexcept { return block_ ? block_->handles() : nullptr; }
  const NodeHandle* end() const noexcept { return block_ ? block_->handles() + block_->size : nullptr; }
  NodeHandle& operator[](std::size_t i) noexcept { return block_->handles()[i]; }
  const NodeHandle& operator[](std::size_t i) const noexcept { return block_->handles()[i]; }

  void clear() noexcept { block_.reset(); }

  // The columns relocate lists as bytes: a list is its block's owner alone.
  static constexpr bool relocatable() noexcept { return made_of_relocatable_parts<DepList, Owned>; }

 private:
  using Block = DepBlockHead;

  // Drops the handles front to back (as a vector's clear does), then the
  // block. Inlined into each drop of a list, as the list's own destructor was.
  [[gnu::always_inline]] static void drop(Block* b) noexcept {
    if (!b) return;
    NodeHandle* h = b->handles();
    for (std::size_t i = 0; i < b->size; ++i) h[i].~NodeHandle();
    Block::give_back(b);
  }
  using Owned = BlockPtr<Block, &DepList::drop>;

  // A heap block of the given bytes, its list counting size handles.
  static Block* allocate(std::size_t bytes, std::size_t size) {
    return ::new (::operator new(bytes)) Block(nullptr, static_cast<std::uint32_t>(size));
  }
  // A block for n handles, with no handle made yet, from the pool of
  // first's core when it serves n deps.
  static Block* allocate_for_build(const NodeHandle& first, std::size_t n);

  Owned block_;
};

// Every built node pays its topology entry: the deps list is one word.
static_assert(sizeof(DepList) == sizeof(void*));
template <>
inline constexpr bool relocatable_as_bytes<DepList> = DepList::relocatable();

}  // namespace korvalinth
