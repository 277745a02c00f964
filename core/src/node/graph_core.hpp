#pragma once
// GraphCore: the node arena of one graph. Each kind of per-node state lives
// in its own column indexed by slot index; a node is named by a SlotKey
// (index, generation). Released indices are reused last-in first-out with the
// generation raised by 1, so keys taken before a release are refused after it.
//
// The arena sits in one borrow-checked cell. Never hold a borrow (or a
// reference into a column) across a call that can reach a sink, callback,
// node function or handle drop: columns grow when nodes are constructed
// inside callbacks. Values taken out under a borrow are dropped after it.

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "base/cell.hpp"
#include "node/deferred_op.hpp"
#include "node/node_entries.hpp"
#include "node/node_handle.hpp"
#include "node/node_version.hpp"

namespace korvalinth {

inline constexpr const char* kStaleSlot = "Core points at a stale or freed GraphCore slot";
inline constexpr const char* kTopologySlot = "Core points at a live GraphCore topology slot";
inline constexpr const char* kCallSlot = "Core points at a live GraphCore call slot";
inline constexpr const char* kConfigSlot = "Core points at a live GraphCore config slot";
inline constexpr const char* kRunSlot = "Core points at a live GraphCore run slot";
inline constexpr const char* kEdgeSlot = "Core points at a live GraphCore edge slot";
inline constexpr const char* kAuxSlot = "Core points at a live GraphCore aux slot";
inline constexpr const char* kVersionSlot = "Core points at a live GraphCore version slot";
inline constexpr const char* kTouchSlot = "Core points at a live GraphCore touch slot";
inline constexpr const char* kPinOverflow = "GraphCore pin count overflow";

inline constexpr std::uint8_t kRunEmpty = 2;

struct Arena {
  std::vector<std::uint8_t> live;
  std::vector<std::optional<TopologyEntry>> topology;
  std::vector<std::optional<CallEntry>> call;
  std::vector<std::optional<ConfigEntry>> config;
  std::vector<std::uint8_t> run;  // has-run flag; kRunEmpty while released
  std::vector<std::optional<EdgeEntry>> edge;
  std::vector<NodeVersionSlot> version;
  std::vector<std::optional<AuxEntry>> aux;
  std::vector<std::uint64_t> generation;
  std::vector<std::uint64_t> touch;
  std::vector<std::uint64_t> pin;
  std::vector<std::uint64_t> free_list;
  std::deque<DeferredOp> deferred;
  std::uint8_t draining = 0;

  // Index and generation name the slot (its live byte not consulted).
  bool names_slot(SlotKey k) const noexcept {
    return k.index < generation.size() && generation[k.index] == k.generation;
  }
  // The key is current: it names the slot and the slot is live.
  bool is_current(SlotKey k) const noexcept {
    return names_slot(k) && k.index < live.size() && live[k.index] != 0;
  }
  // As is_current, with the live byte exactly 1 (pin, quiescence, batch flush).
  bool is_live1(SlotKey k) const noexcept {
    return names_slot(k) && k.index < live.size() && live[k.index] == 1;
  }
  void check(SlotKey k) const {
    if (!is_current(k)) fault(kStaleSlot);
  }

  // Entries of a current slot; a missing entry faults with its column's text.
  TopologyEntry& topology_at(std::uint64_t i) { return present(topology[i], kTopologySlot); }
  CallEntry& call_at(std::uint64_t i) { return present(call[i], kCallSlot); }
  ConfigEntry& config_at(std::uint64_t i) { return present(config[i], kConfigSlot); }
  std::uint8_t& run_at(std::uint64_t i) {
    if (run[i] == kRunEmpty) fault(kRunSlot);
    return run[i];
  }
  EdgeEntry& edge_at(std::uint64_t i) { return present(edge[i], kEdgeSlot); }
  NodeVersionSlot& version_at(std::uint64_t i) {
    if (!version[i].present()) fault(kVersionSlot);
    return version[i];
  }
  AuxEntry& aux_at(std::uint64_t i) { return present(aux[i], kAuxSlot); }
  const TopologyEntry& topology_at(std::uint64_t i) const { return present(topology[i], kTopologySlot); }
  const CallEntry& call_at(std::uint64_t i) const { return present(call[i], kCallSlot); }
  const ConfigEntry& config_at(std::uint64_t i) const { return present(config[i], kConfigSlot); }
  std::uint8_t run_at(std::uint64_t i) const {
    if (run[i] == kRunEmpty) fault(kRunSlot);
    return run[i];
  }
  const EdgeEntry& edge_at(std::uint64_t i) const { return present(edge[i], kEdgeSlot); }
  const NodeVersionSlot& version_at(std::uint64_t i) const {
    if (!version[i].present()) fault(kVersionSlot);
    return version[i];
  }
  const AuxEntry& aux_at(std::uint64_t i) const { return present(aux[i], kAuxSlot); }

  // Raises the pin count of a slot by one.
  void add_pin(std::uint64_t i) {
    if (pin[i] == ~std::uint64_t{0}) fault(kPinOverflow);
    pin[i] += 1;
  }

 private:
  template <class E>
  static E& present(std::optional<E>& e, const char* text) {
    if (!e) fault(text);
    return *e;
  }
  template <class E>
  static const E& present(const std::optional<E>& e, const char* text) {
    if (!e) fault(text);
    return *e;
  }
};

// References to several entries of one live slot, resolved after the key
// check. Valid only while the borrow they came from is held.
struct LiveSlots {
  TopologyEntry& topology;
  CallEntry& call;
  ConfigEntry& config;
  std::uint8_t& run;
  EdgeEntry& edge;
};
struct LiveSlotsWithAux {
  TopologyEntry& topology;
  CallEntry& call;
  ConfigEntry& config;
  std::uint8_t& run;
  EdgeEntry& edge;
  AuxEntry& aux;
};
struct DownSlots {
  TopologyEntry& topology;
  EdgeEntry& edge;
  AuxEntry& aux;
};

class GraphCore {
 public:
  // A fresh, empty arena with a new identity.
  static CoreRef create();

  CoreId id() const noexcept { return id_; }
  Ref<Arena> borrow() const { return arena_.borrow(); }
  RefMut<Arena> borrow_mut() const { return arena_.borrow_mut(); }
  bool is_borrowed() const noexcept { return arena_.is_borrowed(); }

  // For tests and teardown only.
  Arena& unguarded() noexcept { return arena_.unguarded(); }

  explicit GraphCore(CoreId id) : id_(id) {}

 private:
  CoreId id_;
  Cell<Arena> arena_;
};

// Slot accessor family (caller holds the borrow).
inline LiveSlots live_slots(Arena& a, SlotKey k) {
  a.check(k);
  auto i = k.index;
  return LiveSlots{a.topology_at(i), a.call_at(i), a.config_at(i), a.run_at(i), a.edge_at(i)};
}
inline LiveSlotsWithAux live_slots_with_aux(Arena& a, SlotKey k) {
  a.check(k);
  auto i = k.index;
  return LiveSlotsWithAux{a.topology_at(i), a.call_at(i), a.config_at(i), a.run_at(i), a.edge_at(i), a.aux_at(i)};
}
inline DownSlots down_slots(Arena& a, SlotKey k) {
  a.check(k);
  auto i = k.index;
  return DownSlots{a.topology_at(i), a.edge_at(i), a.aux_at(i)};
}
inline LiveSlots wave_slots(Arena& a, SlotKey k) { return live_slots(a, k); }
inline AuxEntry& release_aux_access(Arena& a, SlotKey k) {
  a.check(k);
  return a.aux_at(k.index);
}

// The topology entry of a live node, with the shared borrow still held.
struct CheckedLive {
  Ref<Arena> arena;
  const TopologyEntry& topology;
};
CheckedLive check_live(const NodeHandle& node);

NodeStatus status_of(const NodeHandle& node);
SharedValue cache_of(const NodeHandle& node);
bool dep_mutation_in_flight(const NodeHandle& node);
bool has_pause_locks(const NodeHandle& node);
SharedValue aux_value(const NodeHandle& node);
std::optional<std::string> node_kind(const NodeHandle& node);
void set_node_kind(const NodeHandle& node, std::string kind);
void set_aux_value(const NodeHandle& node, SharedValue value);
void set_topology_hook(const NodeHandle& node, TopologyHook hook);
void set_graph_hooks(const NodeHandle& node, GraphHooks hooks);
void set_pull_id(const NodeHandle& node, std::optional<std::string> pull_id);
void add_release_callback(const NodeHandle& node, ReleaseCallback callback);
// The node's dep list as counted handles (faults when a dep is externally dead).
std::vector<NodeHandle> counted_deps(const NodeHandle& node);

// The node's versioning policy (sharing its hasher) and a copy of its current version.
NodeVersioning read_version(const NodeHandle& node);
std::optional<NodeVersion> version_metadata(const NodeHandle& node);

// Pins the node named by ref: none when it is gone, of another core, not
// current, or externally dead and unpinned.
std::optional<std::pair<PinnedNode, NodeHandle>> pin_node(const CoreRef& core, const WeakNodeRef& ref);

// Called for each released node, after its entries were taken out and before
// its function and callbacks go, so that layers above the engine can forget
// what they keep per node. One hook per process; a later one replaces it.
using NodeReleaseHook = void (*)(CoreId core, SlotKey key);
void set_node_release_hook(NodeReleaseHook hook) noexcept;

// Releases the slot when the node may go (count 0, no pin); a stale key does nothing.
void release_slot(const CoreRef& core, SlotKey key, std::uint64_t external_count);

// The part of a release that detaches a node whose entries were taken out:
// frees its function, runs its per-dep unsubscribe actions in dep order and
// its release callbacks in registration order.
void release_from_dispatcher(std::optional<CallEntry>& call, std::optional<EdgeEntry>& edge,
                             std::optional<AuxEntry>& aux);

// Whether the node may be released now.
bool node_is_quiescent(const NodeHandle& node);

}  // namespace korvalinth
