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
// holds a copy that the drain takes over (see keep_owner_items_past_wave).
struct PendingItem {
  PendingItem(const CoreRef& owner, const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : owner_core(owner), count(count), key(key), core_id(core_id), kind(kind) {}
  PendingItem(WeakCore core, const SharedCount& count, SlotKey key, CoreId core_id, PendingKind kind)
      : core(std::move(core)), count(count), key(key), core_id(core_id), kind(kind) {}

  CoreRef owner_core;  // empty: watched through core
  WeakCore core;
  SharedCount count;
  SlotKey key;
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
