#pragma once
// Keys, handles, counts and pins of the nodes of a GraphCore.
//
// A counted NodeHandle holds one unit of its node's ExternalCount; the node's
// slot is released when the count reaches 0 and no pin is held. Handles are
// move-only: a counted copy is made explicitly (promote_counted), an
// uncounted one with uncounted(). Dropping runs graph code (release), so the
// explicit drop() may fault; the destructor keeps such a fault for later
// (base/drop_fault.hpp) instead of throwing.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace korvalinth {

class GraphCore;
using CoreRef = std::shared_ptr<GraphCore>;
using WeakCore = std::weak_ptr<GraphCore>;

// Identity of a GraphCore: a counter, unique per process.
using CoreId = std::uint64_t;

struct SlotKey {
  std::uint64_t index = 0;
  std::uint64_t generation = 0;
  friend bool operator==(const SlotKey&, const SlotKey&) = default;
};

// The number of counted handles of one node; 0 means externally dead.
struct ExternalCount {
  std::uint64_t count = 1;
};
using SharedCount = std::shared_ptr<ExternalCount>;
using WeakCount = std::weak_ptr<ExternalCount>;

// Identity of a node across cores: (core identity, slot index, generation).
struct NodeId {
  CoreId core = 0;
  std::uint64_t index = 0;
  std::uint64_t generation = 0;
  friend bool operator==(const NodeId&, const NodeId&) = default;
};

struct NodeIdHash {
  std::size_t operator()(const NodeId& k) const noexcept {
    std::uint64_t h = k.core * 0x9e3779b97f4a7c15ULL ^ k.index;
    h = h * 0x9e3779b97f4a7c15ULL ^ k.generation;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

class NodeHandle {
 public:
  NodeHandle() noexcept = default;
  // Adopts a unit of the count when counted (does not raise it).
  NodeHandle(CoreRef core, SharedCount count, SlotKey key, bool counted) noexcept
      : core_(std::move(core)), count_(std::move(count)), key_(key), counted_(counted) {}
  NodeHandle(NodeHandle&& o) noexcept
      : core_(std::move(o.core_)), count_(std::move(o.count_)), key_(o.key_), counted_(std::exchange(o.counted_, false)) {}
  NodeHandle& operator=(NodeHandle&& o) noexcept {
    if (this != &o) {
      if (counted_) drop_in_destructor();
      core_ = std::move(o.core_);
      count_ = std::move(o.count_);
      key_ = o.key_;
      counted_ = std::exchange(o.counted_, false);
    }
    return *this;
  }
  NodeHandle(const NodeHandle&) = delete;
  NodeHandle& operator=(const NodeHandle&) = delete;
  ~NodeHandle() {
    if (counted_) drop_in_destructor();
  }

  // A counted handle of the same node. Faults when the count is 0
  // ("Core counted promotion rejected: node is externally dead") or at its maximum.
  NodeHandle promote_counted() const;
  // An uncounted handle of the same node: keeps the core and the count record alive, not the node.
  NodeHandle uncounted() const noexcept { return NodeHandle(core_, count_, key_, false); }

  // Drops now: a counted handle lowers the count and releases the slot when
  // it reaches 0. Faults of the release propagate. Leaves the handle empty.
  void drop() {
    if (counted_) {
      drop_counted();
      return;
    }
    core_.reset();
    count_.reset();
  }

  bool empty() const noexcept { return !core_; }
  const CoreRef& core() const noexcept { return core_; }
  GraphCore& core_ref() const noexcept { return *core_; }
  const SharedCount& count() const noexcept { return count_; }
  SlotKey key() const noexcept { return key_; }
  std::uint64_t index() const noexcept { return key_.index; }
  std::uint64_t generation() const noexcept { return key_.generation; }
  bool counted() const noexcept { return counted_; }
  CoreId core_id() const noexcept;
  NodeId id() const noexcept { return NodeId{core_id(), key_.index, key_.generation}; }
  // Same core identity, slot index and generation; the counted flag plays no part.
  bool same_node(const NodeHandle& o) const noexcept { return id() == o.id(); }

 private:
  void drop_in_destructor() noexcept;
  void drop_counted();
  CoreRef core_;
  SharedCount count_;
  SlotKey key_;
  bool counted_ = false;
};

// Drops each handle in list order, then empties the list.
template <class List>
void drop_node_handles(List& list) {
  for (auto& h : list) h.drop();
  list.clear();
}

// One unit of a slot's pin count: a pinned node is not released.
class PinnedNode {
 public:
  PinnedNode() noexcept = default;
  // Adopts a unit of the pin count (does not raise it).
  PinnedNode(CoreRef core, SharedCount count, SlotKey key) noexcept
      : core_(std::move(core)), count_(std::move(count)), key_(key) {}
  PinnedNode(PinnedNode&& o) noexcept
      : core_(std::move(o.core_)), count_(std::move(o.count_)), key_(o.key_) {}
  PinnedNode& operator=(PinnedNode&& o) noexcept;
  PinnedNode(const PinnedNode&) = delete;
  PinnedNode& operator=(const PinnedNode&) = delete;
  ~PinnedNode() {
    if (core_) unpin_in_destructor();
  }

  // GraphCore::unpin: lowers the pin count and releases the slot when
  // nothing else keeps it. Faults of the release propagate.
  void unpin();
  // Gives up the pin's references without lowering the pin count: for a
  // caller that lowered it itself under its own borrow of the core.
  void forget() noexcept {
    core_.reset();
    count_.reset();
  }

  bool empty() const noexcept { return !core_; }
  const CoreRef& core() const noexcept { return core_; }
  const SharedCount& count() const noexcept { return count_; }
  SlotKey key() const noexcept { return key_; }
  CoreId core_id() const noexcept;
  NodeHandle handle() const noexcept { return NodeHandle(core_, count_, key_, false); }

 private:
  void unpin_in_destructor() noexcept;
  CoreRef core_;
  SharedCount count_;
  SlotKey key_;
};

// A weak reference to a node; GraphCore::pin turns it into a pin.
struct WeakNodeRef {
  WeakCount count;
  CoreId core = 0;
  SlotKey key;
  static WeakNodeRef of(const NodeHandle& h) noexcept { return WeakNodeRef{h.count(), h.core_id(), h.key()}; }
};

}  // namespace korvalinth
