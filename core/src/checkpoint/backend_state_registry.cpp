#include "checkpoint/backend_state_registry.hpp"

#include <unordered_map>

#include "base/cell.hpp"
#include "base/fault.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

namespace {

struct KeyHash {
  std::size_t operator()(const BackendStateKey& k) const noexcept {
    std::uint64_t h = k.core_id * 0x9E3779B97F4A7C15ULL;
    h ^= k.slot + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
    h ^= k.generation + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
  }
};

using ProviderMap = std::unordered_map<BackendStateKey, BackendStateProvider, KeyHash>;

// Trivially destructible, so it stays readable while the thread's storage is
// torn down: 0 never used, 1 live, 2 destroyed.
thread_local int registry_state = 0;

struct Registry {
  Cell<ProviderMap> map;
  Registry() { registry_state = 1; }
  ~Registry() { registry_state = 2; }
};

const Cell<ProviderMap>& registry() {
  if (registry_state == 2)
    fault("cannot access a Thread Local Storage value during or after destruction: AccessError");
  thread_local Registry r;
  return r.map;
}

void forget_released_node(CoreId core, SlotKey key) { backend_state_registry_remove(core, key.index, key.generation); }

}  // namespace

BackendStateProvider backend_state_registry_lookup(std::uint64_t core_id, std::uint64_t slot,
                                                   std::uint64_t generation) {
  auto map = registry().borrow();
  auto it = map->find(BackendStateKey{core_id, slot, generation});
  return it == map->end() ? nullptr : it->second;
}

void backend_state_registry_remove(std::uint64_t core_id, std::uint64_t slot, std::uint64_t generation) {
  auto map = registry().borrow_mut();
  auto it = map->find(BackendStateKey{core_id, slot, generation});
  if (it == map->end()) return;
  map->erase(it);
}

void backend_state_registry_insert(std::uint64_t core_id, std::uint64_t slot, std::uint64_t generation,
                                   BackendStateProvider provider) {
  // A released node forgets its provider; the engine is told so once a
  // provider exists at all.
  static const bool hooked = (set_node_release_hook(&forget_released_node), true);
  (void)hooked;
  auto map = registry().borrow_mut();
  (*map)[BackendStateKey{core_id, slot, generation}] = std::move(provider);
}

}  // namespace korvalinth
