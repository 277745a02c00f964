#pragma once
// The thread's pending queue: the run checks and resolve checks waiting for
// the outermost down to return (see pending.hpp).

#include <cstdint>
#include <vector>

#include "base/cell.hpp"
#include "base/thread_block.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/queued_resolve_checks.hpp"

namespace korvalinth {

enum class PendingKind : std::uint8_t { RunCheck = 0, ResolveCheck = 1 };

// The count record is held, not watched: it outlives only a released
// node, whose key the drain finds no longer current. The core is watched,
// except the owning operation's: its reference outlives the wave, so an item
// holds a copy, in its node, that a drain of several runs in place (see
// keep_owner_items_past_wave).
struct PendingItem {
  PendingItem(const CoreRef& owner, const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : node(owner, count, key), core_id(core_id), kind(kind) {}
  PendingItem(WeakCore core, const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : node(CoreRef(), count, key), core(std::move(core)), core_id(core_id), kind(kind) {}

  UncountedNode node;  // its core empty: watched through core
  WeakCore core;
  CoreId core_id = 0;
  PendingKind kind = PendingKind::RunCheck;
};

struct PendingState {
  Cell<std::vector<PendingItem>> queue;
  QueuedResolveChecks resolve_checks;  // used under the queue's borrow
};

inline Cell<std::vector<PendingItem>>& pending_queue() noexcept { return ThreadBlock<PendingState>::get().queue; }
inline QueuedResolveChecks& queued_resolve_checks() noexcept { return ThreadBlock<PendingState>::get().resolve_checks; }

}  // namespace korvalinth
