#pragma once
// The per-thread registry of node functions. Nodes hold a DispatcherKey
// (partition, slot, generation); a freed slot's generation is raised so a
// stale key never reaches the slot's next occupant.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/cell.hpp"
#include "dispatcher/fn_run_claim.hpp"

namespace korvalinth {

// The node-function interface belongs to the engine (node/node_fn.hpp); the
// registry only stores, hands out and drops shared references to it.

struct DispatcherKey {
  std::uint32_t partition = 0;
  std::uint32_t slot = 0;
  std::uint32_t generation = 0;
  friend bool operator==(const DispatcherKey&, const DispatcherKey&) = default;
};

struct DispatcherKeyHash {
  std::size_t operator()(const DispatcherKey& k) const noexcept {
    std::uint64_t h = (std::uint64_t(k.partition) << 32) ^ k.slot;
    h = h * 0x9e3779b97f4a7c15ULL ^ k.generation;
    return std::hash<std::uint64_t>{}(h);
  }
};

// An opaque hook that nodes carry for the graph container; this subsystem
// only stores, copies and drops it.
using GraphHook = std::shared_ptr<void>;

struct FnTimingStats {
  unsigned __int128 total_ns = 0;
  unsigned __int128 last_ns = 0;
  std::uint64_t calls = 0;
};

inline constexpr std::uint32_t kNoFreeSlot = ~std::uint32_t{0};

struct DispatcherSlot {
  SharedNodeFn fn;
  std::uint32_t generation = 0;
  std::uint32_t freed_before = kNoFreeSlot;  // while free: the slot freed before it
};

// The free slots are chained through the slots themselves, the last freed
// first: freeing one takes no room beyond its slot.
struct DispatcherPartition {
  std::vector<DispatcherSlot> slots;
  std::uint32_t last_freed = kNoFreeSlot;
  std::uint8_t flag = 0;

  std::size_t free_count() const noexcept {
    std::size_t n = 0;
    for (std::uint32_t i = last_freed; i != kNoFreeSlot; i = slots[i].freed_before) ++n;
    return n;
  }
};

struct DispatcherState {
  std::vector<DispatcherPartition> partitions;
  // Raised, from 1, when a slot is freed (a function leaves its slot only
  // then) and when timing turns on: what a run found under a key, untimed,
  // holds until the next raise.
  std::uint64_t found_epoch = 1;
  std::unordered_map<DispatcherKey, FnTimingStats, DispatcherKeyHash> timing;
  GraphHook default_graph_hook;
  std::uint8_t timing_flag = 0;
};

// What a run found under a node's key, kept beside the key so that later
// runs reach the function without the lookup while the registry's found
// epoch stays. Only untimed runs keep it: the reuse needs no timing test.
struct FoundRunFn {
  NodeFn* fn = nullptr;
  std::uint64_t epoch_then : 56 = 0;  // 0: nothing found yet
  std::uint64_t partition_flag : 8 = 0;
};

class Dispatcher;
using DispatcherRef = std::shared_ptr<Dispatcher>;

class Dispatcher {
 public:
  // A dispatcher with partitions whose flags are given in order.
  explicit Dispatcher(std::initializer_list<std::uint8_t> partition_flags);
  // Functions still running are handed to their claims.
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // The calling thread's default dispatcher: partitions 0 and 1 with flags 0 and 1.
  static DispatcherRef thread_default();

  // Registers fn in the partition; the last freed slot is reused first.
  DispatcherKey register_fn(std::uint32_t partition, SharedNodeFn fn);
  // Frees the key's slot when it is current; always removes its timing entry.
  void free_slot(DispatcherKey key);
  // Turns function timing on for good.
  void enable_fn_timing();

  bool timing_enabled() const;
  // The flag of a partition; faults when out of range.
  std::uint8_t partition_flag(std::uint32_t partition) const;
  // The function under a current key, else null.
  SharedNodeFn lookup(DispatcherKey key) const;
  // What one run of the function under key reads, under one borrow: the
  // function (null when the key is not current), its partition's flag
  // (faults when out of range) and whether to time it. Inline: every node
  // run asks. The function is kept by the registry: the run claims it
  // (FnRunClaim) before anything can free its slot.
  struct RunLookup {
    NodeFn* fn = nullptr;
    std::uint8_t partition_flag = 0;
    bool timing = false;
  };
  [[gnu::always_inline]] RunLookup lookup_for_run(DispatcherKey key) const {
    auto s = state_.borrow();
    RunLookup out = find_for_run(*s, key);
    out.timing = s->timing_flag == 1;
    return out;
  }
  // The same, reusing what the last run under key found (found, updated
  // when stale and untimed): the key itself is then not looked up. What was
  // found is read without a borrow: no mutable borrow of the state calls
  // out, so none is held while a node runs.
  // The key is read only when what was found is stale.
  [[gnu::always_inline]] RunLookup lookup_for_run(const DispatcherKey& key, FoundRunFn& found) const {
    if (found.epoch_then != state_.unguarded().found_epoch) [[unlikely]]
      return find_again_for_run(key, found);
    return RunLookup{found.fn, static_cast<std::uint8_t>(found.partition_flag), false};
  }
  std::optional<FnTimingStats> timing_of(DispatcherKey key) const;

  const Cell<DispatcherState>& state() const noexcept { return state_; }

 private:
  // The partition under the index; faults when it is out of range.
  static const DispatcherPartition& partition_at(const DispatcherState& s, std::uint32_t partition) {
    if (partition >= s.partitions.size()) [[unlikely]]
      partition_out_of_range(s.partitions.size(), partition);
    return s.partitions[partition];
  }
  // The key's slot in its partition p when the key's generation is the
  // slot's, else null.
  template <class Partition>
  static auto current_slot(Partition& p, DispatcherKey key) noexcept -> decltype(&p.slots[0]) {
    if (key.slot >= p.slots.size()) return nullptr;
    auto& slot = p.slots[key.slot];
    return slot.generation == key.generation ? &slot : nullptr;
  }

  // The function under key (null when the key is not current) and its
  // partition's flag; faults when the partition is out of range.
  static RunLookup find_for_run(const DispatcherState& s, DispatcherKey key) {
    const DispatcherPartition& p = partition_at(s, key.partition);
    RunLookup out;
    // A freed slot's function is null.
    if (const DispatcherSlot* slot = current_slot(p, key)) out.fn = slot->fn.get();
    out.partition_flag = p.flag;
    return out;
  }

  // The lookup under key, kept in found when untimed. Out of line: a run
  // reusing what it found reads no more than found and the epoch.
  [[gnu::noinline]] RunLookup find_again_for_run(const DispatcherKey& key, FoundRunFn& found) const;

  // The index fault, kept out of line so that the lookups inline.
  [[noreturn, gnu::cold]] static void partition_out_of_range(std::size_t len, std::uint32_t partition);

  Cell<DispatcherState> state_;
};

// Records one timed call of the function under key (start from a monotonic clock read).
void record_fn_timing(std::uint64_t start_ns, const DispatcherRef& dispatcher, DispatcherKey key);
std::uint64_t monotonic_now_ns() noexcept;

}  // namespace korvalinth
