#pragma once
// Keys, handles, counts and pins of the nodes of a GraphCore.
//
// A node's slot is released when its ExternalCount reaches 0 and no pin is
// held. Ownership is in the handle's type:
//  - NodeHandle (counted, move-only) holds one unit of the count and drops it
//    when it goes. What keeps a node alive (a graph's id map, a node's deps,
//    a user's handle) holds one.
//  - UncountedNode (copyable) names the node and keeps its core and count
//    record alive, not the node. What a function only looks at or acts on is
//    taken as a const UncountedNode&, which a NodeHandle binds to without a
//    copy. Stored, it acts on the node while something else keeps it.
//  - BorrowedNode: a pointer to an UncountedNode held for the call (a run's
//    own node), with no reference counting; never stored.
//  - HeldNode: a NodeHandle or an UncountedNode, decided when the node is
//    acted on (pins alone may keep a node whose count is 0).
// Taking a unit is explicit: promote_counted() (it faults on a node that is
// externally dead). A counted handle is viewed as uncounted with uncounted(),
// or by binding to a const UncountedNode& (no copy); copying it into an
// UncountedNode by value needs uncounted().

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "base/local_shared.hpp"
#include "node/arena/count_record.hpp"

namespace korvalinth {

class GraphCore;
class NodeHandle;
using CoreRef = LocalShared<GraphCore>;
using WeakCore = LocalWeak<GraphCore>;

// Identity of a GraphCore: a counter, unique per process.
using CoreId = std::uint64_t;

struct SlotKey {
  std::uint64_t index = 0;
  std::uint64_t generation = 0;
  friend bool operator==(const SlotKey&, const SlotKey&) = default;
};

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

// Takes one more unit of the count on the record, for a holder that keeps
// the node's core itself. Faults when the count is 0 ("Core counted
// promotion rejected: node is externally dead") or at its maximum.
SharedCount promoted_unit(const SharedCount& count);

// An uncounted handle: names a node and keeps its core and count record
// alive, never the node itself. Copyable (a copy shares the core and the
// record, it takes no unit of the count); it may be kept past the call that
// received it (the node may then be gone: acting on it faults with the
// stale-slot text). A const UncountedNode& parameter takes a counted handle
// too, as a view without a copy.
class UncountedNode {
 public:
  UncountedNode() noexcept = default;
  UncountedNode(CoreRef core, SharedCount count, SlotKey key) noexcept
      : core_(std::move(core)), count_(std::move(count)), key_(key) {}
  // A copy from a counted handle is made explicitly, with uncounted().
  UncountedNode(const NodeHandle&) = delete;
  // A view of core and count taken without their counts, for a holder whose
  // node another keeps named (see LoneOwnerItem): given up with
  // forget_lent(), never dropped.
  struct Lent {};
  UncountedNode(Lent, const CoreRef& core, const SharedCount& count, SlotKey key) noexcept
      : core_(CoreRef::lent(core)), count_(SharedCount::lent(count)), key_(key) {}
  void forget_lent() noexcept {
    core_.forget_lent();
    count_.forget_lent();
  }

  // A counted handle of the same node. Faults when the count is 0
  // ("Core counted promotion rejected: node is externally dead") or at its maximum.
  NodeHandle promote_counted() const;

  // Lets go of the core and the count record.
  void drop() noexcept {
    core_.reset();
    count_.reset();
  }

  // Names another node of the same core, trading count-record shares with
  // count: a holder that acts on several nodes of one core in turn takes
  // that core's reference once.
  void rename(SharedCount& count, SlotKey key) noexcept {
    count_.swap(count);
    key_ = key;
  }

  bool empty() const noexcept { return !core_; }
  const CoreRef& core() const noexcept { return core_; }
  GraphCore& core_ref() const noexcept { return *core_; }
  const SharedCount& count() const noexcept { return count_; }
  SlotKey key() const noexcept { return key_; }
  std::uint64_t index() const noexcept { return key_.index; }
  std::uint64_t generation() const noexcept { return key_.generation; }
  CoreId core_id() const noexcept;
  NodeId id() const noexcept { return NodeId{core_id(), key_.index, key_.generation}; }
  // Same core identity, slot index and generation, counted or not.
  bool same_node(const UncountedNode& o) const noexcept { return id() == o.id(); }

 private:
  CoreRef core_;
  SharedCount count_;
  SlotKey key_;
};

// A counted handle: holds one unit of its node's ExternalCount and gives it
// back when it goes (release). Move-only: a second unit is taken explicitly
// with promote_counted(). Dropping runs graph code, so the explicit drop()
// may fault; the destructor keeps such a fault for later instead of throwing.
class NodeHandle {
 public:
  NodeHandle() noexcept = default;
  // Adopts a unit of the count (does not raise it).
  NodeHandle(CoreRef core, SharedCount count, SlotKey key) noexcept : node_(std::move(core), std::move(count), key) {}
  // A moved-from reference is empty, so a plain member move leaves the
  // source handle empty without building and swapping in a blank one.
  NodeHandle(NodeHandle&& o) noexcept : node_(std::move(o.node_)) {}
  NodeHandle& operator=(NodeHandle&& o) noexcept {
    if (this != &o) {
      if (!empty()) drop_in_destructor();
      node_ = std::move(o.node_);
    }
    return *this;
  }
  NodeHandle(const NodeHandle&) = delete;
  NodeHandle& operator=(const NodeHandle&) = delete;
  ~NodeHandle() {
    if (!empty()) drop_in_destructor();
  }

  // Another counted handle of the same node (same faults as UncountedNode's).
  NodeHandle promote_counted() const { return node_.promote_counted(); }
  // The uncounted view of this handle: no copy, valid while this handle is.
  const UncountedNode& uncounted() const noexcept { return node_; }
  operator const UncountedNode&() const noexcept { return node_; }

  // Lowers the count now and releases the slot when it reaches 0. Faults of
  // the release propagate. Leaves the handle empty.
  void drop();

  // The name, with the unit going along to the caller unreturned (for a
  // holder that keeps whether it has a unit elsewhere); leaves the handle
  // empty. adopting() takes back only a name given out with its unit, by
  // release_unit() or by HeldNode::release() saying it was counted.
  UncountedNode release_unit() noexcept { return std::move(node_); }
  static NodeHandle adopting(UncountedNode&& unit) noexcept { return NodeHandle(std::move(unit)); }

  bool empty() const noexcept { return node_.empty(); }
  // Holds a unit of the count (not yet dropped or moved from).
  bool counted() const noexcept { return !empty(); }
  const CoreRef& core() const noexcept { return node_.core(); }
  GraphCore& core_ref() const noexcept { return node_.core_ref(); }
  const SharedCount& count() const noexcept { return node_.count(); }
  SlotKey key() const noexcept { return node_.key(); }
  std::uint64_t index() const noexcept { return node_.index(); }
  std::uint64_t generation() const noexcept { return node_.generation(); }
  CoreId core_id() const noexcept { return node_.core_id(); }
  NodeId id() const noexcept { return node_.id(); }
  bool same_node(const UncountedNode& o) const noexcept { return node_.same_node(o); }

 private:
  explicit NodeHandle(UncountedNode&& unit) noexcept : node_(std::move(unit)) {}
  void drop_in_destructor() noexcept;
  UncountedNode node_;
};

// A view of an uncounted handle that its caller holds for the call: no
// reference-count traffic at all, so it is only valid while that handle is
// (a run's RunContext names its node through one). Never stored: what keeps
// the node's name past the call copies the UncountedNode it views.
class BorrowedNode {
 public:
  BorrowedNode() noexcept = default;
  BorrowedNode(const UncountedNode& node) noexcept : node_(&node) {}
  BorrowedNode(UncountedNode&&) = delete;  // would outlive its handle

  const UncountedNode& uncounted() const noexcept { return *node_; }
  operator const UncountedNode&() const noexcept { return *node_; }
  NodeHandle promote_counted() const { return node_->promote_counted(); }

  const CoreRef& core() const noexcept { return node_->core(); }
  GraphCore& core_ref() const noexcept { return node_->core_ref(); }
  const SharedCount& count() const noexcept { return node_->count(); }
  SlotKey key() const noexcept { return node_->key(); }
  std::uint64_t index() const noexcept { return node_->index(); }
  CoreId core_id() const noexcept { return node_->core_id(); }
  NodeId id() const noexcept { return node_->id(); }

 private:
  const UncountedNode* node_ = nullptr;
};

// A handle to act on a node now, counted while the node has counted
// handles, else uncounted (pins alone keep the node and its release waits
// for them): acting on such a node must not count it back to life.
class HeldNode {
 public:
  HeldNode() noexcept = default;
  HeldNode(NodeHandle counted) noexcept : held_(std::move(counted)) {}
  explicit HeldNode(UncountedNode uncounted) noexcept : held_(std::move(uncounted)) {}
  // Counted when the node's count is above 0, else uncounted.
  static HeldNode of(const UncountedNode& node);

  const UncountedNode& uncounted() const noexcept {
    if (const NodeHandle* c = std::get_if<NodeHandle>(&held_)) return c->uncounted();
    return std::get<UncountedNode>(held_);
  }
  operator const UncountedNode&() const noexcept { return uncounted(); }
  bool counted() const noexcept { return std::holds_alternative<NodeHandle>(held_) && !std::get<NodeHandle>(held_).empty(); }
  bool empty() const noexcept { return uncounted().empty(); }
  bool same_node(const UncountedNode& o) const noexcept { return uncounted().same_node(o); }
  // Drops a counted handle (faults of the release propagate); leaves it empty.
  void drop();
  // The name, and whether a unit of the count goes along with it to the
  // caller; leaves the handle empty.
  std::pair<UncountedNode, bool> release() noexcept;

 private:
  std::variant<UncountedNode, NodeHandle> held_;
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
  UncountedNode handle() const noexcept { return UncountedNode(core_, count_, key_); }

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
  static WeakNodeRef of(const UncountedNode& h) noexcept { return WeakNodeRef{h.count(), h.core_id(), h.key()}; }
};

}  // namespace korvalinth
