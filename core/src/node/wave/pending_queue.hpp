#pragma once
// The thread's pending queue: the run checks and resolve checks waiting for
// the outermost down to return (see pending.hpp).

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/thread_block.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/queued_resolve_checks.hpp"

namespace korvalinth {

enum class PendingKind : std::uint8_t { RunCheck = 0, ResolveCheck = 1 };

// The count record is held, not watched: it outlives only a released
// node, whose key the drain finds no longer current. The core is watched,
// except the owning operation's: its reference outlives the wave, so an item
// of that core holds no reference to it, and a drain names the items of
// that core in turn through one handle (see keep_owner_items_past_wave).
struct PendingItem {
  // An item of the owning operation's core.
  PendingItem(const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : count(count), key(key), core_id(core_id), kind(kind) {}
  PendingItem(WeakCore core, const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : count(count), key(key), core(std::move(core)), core_id(core_id), kind(kind) {}

  SharedCount count;
  SlotKey key;
  WeakCore core;  // empty: the owning operation's core, found by core_id
  CoreId core_id = 0;
  PendingKind kind = PendingKind::RunCheck;
};

// The lone item's node lent to its drain (see LoneOwnerItem): given
// up, never dropped, also on unwinding.
class LentLoneNode : public UncountedNode {
 public:
  explicit LentLoneNode(UncountedNode&& view) noexcept : UncountedNode(std::move(view)) {}
  LentLoneNode(const LentLoneNode&) = delete;
  LentLoneNode& operator=(const LentLoneNode&) = delete;
  ~LentLoneNode() { forget_lent(); }
};

// The first item queued, when it is of the owning operation's core: a
// chain's delivery queues exactly one run check and its frame's close
// drains it at once, so it waits here with no push to the vector. Items
// queued after it go to the vector; a drain takes it first. While the scope
// that touched its node is installed, that touch keeps the node's count
// record and the owning operation keeps its core: the item lends both then,
// taking no counts, and holds them from the wave's end on (stop_lending),
// before the wave's pins and owner go.
struct LoneOwnerItem {
  std::optional<UncountedNode> node;  // none: no item waits; lent while pinned_by names a scope
  // Written with pinned_by in one 16-byte store, then read apart by the
  // drain: 16-aligned, the store never crosses a cache line, where its
  // halves could not be forwarded to the drain's reads (a stall per node).
  alignas(16) CoreId core_id = 0;
  // The scope that had touched (so pinned) the node when it was queued, or
  // kNotPinned: while that scope is installed the node's key is current and
  // touched still, so the drain need not look again.
  static constexpr std::uint64_t kNotPinned = ~std::uint64_t{0};  // no scope takes this id
  std::uint64_t pinned_by = kNotPinned;
  PendingKind kind = PendingKind::RunCheck;

  LoneOwnerItem() noexcept = default;
  LoneOwnerItem(const LoneOwnerItem&) = delete;
  LoneOwnerItem& operator=(const LoneOwnerItem&) = delete;
  ~LoneOwnerItem() {
    if (waiting() && lends()) node->forget_lent();
  }

  bool waiting() const noexcept { return node.has_value(); }
  bool lends() const noexcept { return pinned_by != kNotPinned; }
  // Built in place in the empty slot. Inline in each push: the push of a
  // chain's every DATA.
  [[gnu::always_inline]] void hold(const CoreRef& owner, const SharedCount& count, SlotKey key, CoreId id,
                                   PendingKind k, std::uint64_t pinned_scope) {
    if (pinned_scope != kNotPinned) return hold_lent(owner, count, key, id, k, pinned_scope);
    node.emplace(owner, count, key);
    core_id = id;
    pinned_by = kNotPinned;
    kind = k;
  }
  // The same for a node the scope whose id is pinned_scope touched: lent.
  void hold_lent(const CoreRef& owner, const SharedCount& count, SlotKey key, CoreId id, PendingKind k,
                 std::uint64_t pinned_scope) noexcept {
    node.emplace(UncountedNode::Lent{}, owner, count, key);
    core_id = id;
    pinned_by = pinned_scope;
    kind = k;
  }
  // Whether the scope that touched the node is the installed one.
  bool pinned_by_installed_scope(std::uint64_t installed_id) const noexcept { return pinned_by == installed_id; }
  // Takes the counts of a lent node; the item is no longer pinned.
  void stop_lending() noexcept {
    if (waiting() && lends()) hold_lent_counts();
    pinned_by = kNotPinned;
  }
  // Out of line: the drains that take the node in their frames keep them
  // as small as they were.
  [[gnu::noinline]] void hold_lent_counts() noexcept {
    UncountedNode held = *node;
    node->forget_lent();
    *node = std::move(held);
  }
  // The waiting node as lent, for a drain while the scope that pinned it is
  // installed (that scope outlives the drain); leaves the slot empty.
  LentLoneNode take_lent() noexcept;
  // The waiting node, holding its counts; leaves the slot empty.
  UncountedNode take() noexcept {
    stop_lending();
    UncountedNode taken = std::move(*node);
    node.reset();
    return taken;
  }
};

inline LentLoneNode LoneOwnerItem::take_lent() noexcept {
  UncountedNode view = std::move(*node);
  node.reset();
  return LentLoneNode(std::move(view));
}

// Emptied buffers of drained items, kept for later drains of several: a
// drain takes the queue's buffer whole and leaves it a kept one, so its
// items run where they were queued and the pushes their runs make find
// room. Drains nest, each holding one buffer; a few are kept. The first
// `ready` slots hold one each; the slots past them stay, empty, so that
// neither a take nor a keep destroys a vector.
struct KeptBuffers {
  static constexpr std::size_t kCount = 8;
  std::array<std::vector<PendingItem>, kCount> buffers;
  std::size_t ready = 0;
};

// Used only by the moment of a push, a take or a conversion, which calls
// nothing out: no use can overlap another, so the queue has no borrow flag.
struct PendingState {
  std::vector<PendingItem> queue;
  // The scope that had touched (so pinned) the node of each item of the
  // vector when it was queued, or LoneOwnerItem::kNotPinned: while that
  // scope is installed, a drain of them need not look again. No scope id
  // is given twice, so an id kept past its wave never matches.
  std::uint64_t queue_pinned_by = LoneOwnerItem::kNotPinned;
  LoneOwnerItem lone;  // ahead of every item of the vector
  QueuedResolveChecks resolve_checks;
  KeptBuffers kept;  // for drains of several
};

inline PendingState& pending_state() noexcept { return ThreadBlock<PendingState>::get(); }
inline QueuedResolveChecks& queued_resolve_checks() noexcept { return pending_state().resolve_checks; }

}  // namespace korvalinth
