#pragma once
// Releases for a holder whose own reference keeps the node's core through
// the call (a local of its own, or a graph's reference to its core), so the
// release takes none of its own.

#include <cstdint>

#include "node/arena/node_handle.hpp"

namespace korvalinth {

// As release_slot.
void release_slot_in_kept_core(const CoreRef& core, SlotKey key, std::uint64_t external_count);

// Gives back one unit of the node's count, unless it is 0 already, and
// releases the node when that was the last; faults of the release propagate.
inline void give_back_unit(const CoreRef& core, ExternalCount& count, SlotKey key) {
  if (count.count == 0) return;
  count.count -= 1;
  if (count.count == 0) release_slot_in_kept_core(core, key, 0);
}

}  // namespace korvalinth
