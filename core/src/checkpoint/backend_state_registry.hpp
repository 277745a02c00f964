#pragma once
// Per-thread map from a node's identity to the provider of the state a
// backend keeps for it outside the runtime's slots. The checkpoint writer
// asks it for "backendState"; releasing a node forgets its provider
// (through the engine's node release hook).

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "json/strict_json.hpp"

namespace korvalinth {

// Identity of a node: its GraphCore's identity counter, slot index, generation.
struct BackendStateKey {
  std::uint64_t core_id = 0;
  std::uint64_t slot = 0;
  std::uint64_t generation = 0;
  bool operator==(const BackendStateKey&) const = default;
};

// Called with the path "{id}.backendState"; gives the state or an error text.
using BackendStateProviderFn = std::function<std::expected<Json, std::string>(std::string_view path)>;
using BackendStateProvider = std::shared_ptr<const BackendStateProviderFn>;

// The node's provider (a new shared reference), or null. The registry's
// borrow is released before returning, so the caller may call the provider
// and the provider may use the registry.
BackendStateProvider backend_state_registry_lookup(std::uint64_t core_id, std::uint64_t slot,
                                                   std::uint64_t generation);

// Forgets the node's provider, if any. The registry's reference is dropped
// while the registry is still borrowed: a provider's teardown must not touch it.
void backend_state_registry_remove(std::uint64_t core_id, std::uint64_t slot, std::uint64_t generation);

// Attaches a provider to a node on this thread, replacing an existing one.
void backend_state_registry_insert(std::uint64_t core_id, std::uint64_t slot, std::uint64_t generation,
                                   BackendStateProvider provider);

}  // namespace korvalinth
