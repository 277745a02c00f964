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
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/cell.hpp"
#include "base/column.hpp"
#include "node/arena/deferred_op.hpp"
#include "node/arena/node_entries.hpp"
#include "node/arena/node_handle.hpp"
#include "node/arena/node_version.hpp"

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

// What a new node's slot is made from: occupy moves each part once, straight
// into the entry it makes in place in its column (its has-run flag starts
// clear, its aux entry empty, its wave state from whether it has a value,
// and it has no dep states yet).
struct NewSlotParts {
  DepList&& deps;
  TopologyHookShare&& topology_hook;
  OptionalKindText&& kind;
  std::optional<DispatcherKey> key;
  SharedCallContext&& context;
  ConfigEntry&& config;
  SharedValue&& initial;  // null: the node starts without a value
  NodeVersionSlot&& version;
};

// Bits of a slot's held mask: the slot is live, and which entries it holds.
// One byte per slot spares each entry a presence flag of its own (a slot
// without an entry keeps an empty one in its column). The arena keeps the
// mask; a released slot's record copies it.
struct SlotHeldBits {
  static constexpr std::uint8_t kLive = 1 << 0;  // the version slot goes with it
  static constexpr std::uint8_t kHeldTopology = 1 << 1;
  static constexpr std::uint8_t kHeldCall = 1 << 2;
  static constexpr std::uint8_t kHeldConfig = 1 << 3;
  static constexpr std::uint8_t kHeldEdge = 1 << 4;
  static constexpr std::uint8_t kHeldAux = 1 << 5;
  // The has-run flag is there (its column keeps 0 or 1 alone).
  static constexpr std::uint8_t kHeldRun = 1 << 6;
  static constexpr std::uint8_t kHeldAll =
      kLive | kHeldTopology | kHeldCall | kHeldConfig | kHeldEdge | kHeldAux | kHeldRun;
};

// The entries taken out of a released slot but its topology, relocated in
// as bytes: the slot's rows are left holding stale bytes, which nothing
// reads or drops (occupy makes new entries over them). They go with the
// record, in this order: aux, version, edge, config, call.
class VacatedSlotEntries : private SlotHeldBits {
 public:
  VacatedSlotEntries() noexcept = default;
  VacatedSlotEntries(const VacatedSlotEntries&) = delete;
  VacatedSlotEntries& operator=(const VacatedSlotEntries&) = delete;
  ~VacatedSlotEntries() {
    if (taken_ & kHeldAux) std::destroy_at(aux_.get());
    if (taken_ & kLive) std::destroy_at(version_.get());
    if (taken_ & kHeldEdge) std::destroy_at(edge_.get());
    if (taken_ & kHeldConfig) std::destroy_at(config_.get());
    if (taken_ & kHeldCall) std::destroy_at(call_.get());
  }

  // The entry when the slot held it, else null.
  CallEntry* call() noexcept { return (taken_ & kHeldCall) ? call_.get() : nullptr; }
  EdgeEntry* edge() noexcept { return (taken_ & kHeldEdge) ? edge_.get() : nullptr; }
  AuxEntry* aux() noexcept { return (taken_ & kHeldAux) ? aux_.get() : nullptr; }

 private:
  friend class Arena;
  std::uint8_t taken_ = 0;  // the slot's held mask
  RelocatedRoom<CallEntry> call_;
  RelocatedRoom<ConfigEntry> config_;
  RelocatedRoom<EdgeEntry> edge_;
  RelocatedRoom<NodeVersionSlot> version_;
  RelocatedRoom<AuxEntry> aux_;
};

// The columns, private: slots are taken, filled and vacated only through the
// verbs below, and a live slot's entries reached only after a key check.
class Arena : private SlotHeldBits {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // Index and generation name the slot (whether it is live not consulted).
  // Every column has a row per slot up to the held mask's length (pushed
  // last for a new slot), kept apart as one word.
  bool names_slot(SlotKey k) const noexcept { return names_slot_of(k, slot_rows_); }
  // The key is current: it names the slot and the slot is live.
  bool is_current(SlotKey k) const noexcept { return names_slot(k) && (held_[k.index] & kLive) != 0; }
  // The key is current and its slot holds every entry and its version:
  // no reader of the slot faults.
  bool holds_every_entry(SlotKey k) const noexcept { return names_slot(k) && current_holds_every_entry(k.index); }
  // The same for a slot whose key the caller knows current (a pinned one).
  bool current_holds_every_entry(std::uint64_t i) const noexcept {
    return holds_all(held_[i]) && version_[i].present();
  }
  // The key is current and its slot holds every entry (its version not
  // asked): a wave step's readers of the slot do not fault.
  // A dep sink asks it of each node a wave passes.
  bool current_with_every_entry(SlotKey k) const noexcept { return names_slot(k) && holds_all(held_[k.index]); }
  void check(SlotKey k) const {
    if (!is_current(k)) fault(kStaleSlot);
  }

  // The edge entry after the checks of a wave step, in their order: the key
  // is current, then the topology and edge entries are present (each fault
  // names its column).
  EdgeEntry& wave_edge(SlotKey k) {
    require_held(k, kWaveEntries);
    return edge_[k.index];
  }
  // The same for a slot whose key the caller found current under this borrow.
  EdgeEntry& current_wave_edge(std::uint64_t i) {
    require_held(i, kWaveEntries);
    return edge_[i];
  }
  const EdgeEntry& wave_edge(SlotKey k) const {
    require_held(k, kWaveEntries);
    return edge_[k.index];
  }
  // The same checks alone.
  void require_wave_entries(SlotKey k) const { wave_edge(k); }
  // The same for the five entries of a run: topology, call, config, run, edge.
  void require_live_entries(SlotKey k) const { require_held(k, kRunEntries); }

  // Entries of a current slot; a missing entry faults with its column's text.
  TopologyEntry& topology_at(std::uint64_t i) { return entry(topology_, i, kHeldTopology, kTopologySlot); }
  CallEntry& call_at(std::uint64_t i) { return entry(call_, i, kHeldCall, kCallSlot); }
  ConfigEntry& config_at(std::uint64_t i) { return entry(config_, i, kHeldConfig, kConfigSlot); }
  std::uint8_t& run_at(std::uint64_t i) { return entry(run_, i, kHeldRun, kRunSlot); }
  EdgeEntry& edge_at(std::uint64_t i) { return entry(edge_, i, kHeldEdge, kEdgeSlot); }
  NodeVersionSlot& version_at(std::uint64_t i) {
    if (!version_[i].present()) fault(kVersionSlot);
    return version_[i];
  }
  AuxEntry& aux_at(std::uint64_t i) { return entry(aux_, i, kHeldAux, kAuxSlot); }
  const TopologyEntry& topology_at(std::uint64_t i) const { return entry(topology_, i, kHeldTopology, kTopologySlot); }
  const CallEntry& call_at(std::uint64_t i) const { return entry(call_, i, kHeldCall, kCallSlot); }
  const ConfigEntry& config_at(std::uint64_t i) const { return entry(config_, i, kHeldConfig, kConfigSlot); }
  std::uint8_t run_at(std::uint64_t i) const { return entry(run_, i, kHeldRun, kRunSlot); }
  const EdgeEntry& edge_at(std::uint64_t i) const { return entry(edge_, i, kHeldEdge, kEdgeSlot); }
  const NodeVersionSlot& version_at(std::uint64_t i) const {
    if (!version_[i].present()) fault(kVersionSlot);
    return version_[i];
  }
  const AuxEntry& aux_at(std::uint64_t i) const { return entry(aux_, i, kHeldAux, kAuxSlot); }
  // The slot's entry when it has one, else null (no fault).
  EdgeEntry* find_edge(std::uint64_t i) noexcept { return (held_[i] & kHeldEdge) ? &edge_[i] : nullptr; }
  const ConfigEntry* find_config(std::uint64_t i) const noexcept {
    return (held_[i] & kHeldConfig) ? &config_[i] : nullptr;
  }

  // Fills the last freed slot (its generation raised by 1) or a new one and
  // makes it live; faults when a reused slot's generation is at its maximum.
  SlotKey occupy(NewSlotParts&& parts);
  // Takes a live slot's entries out, its topology into an empty entry, and
  // makes it not live; its index is not free until free_index.
  void vacate(std::uint64_t i, TopologyEntry& topology, VacatedSlotEntries& out) noexcept;
  void free_index(std::uint64_t i) noexcept {
    touch_[i] = free_head_;
    free_head_ = i;
  }
  // Slots ever taken, and those of them live now.
  std::uint64_t slot_count() const noexcept { return held_.size(); }
  bool is_live_index(std::uint64_t i) const noexcept { return i < held_.size() && (held_[i] & kLive) != 0; }
  std::uint64_t live_count() const noexcept;
  // Freed indices, the next to be reused last.
  std::vector<std::uint64_t> free_indices() const;

  std::uint64_t pin_count(std::uint64_t i) const { return pin_[i]; }
  // The key names a slot whose pin count is above 0.
  bool is_pinned(SlotKey k) const noexcept { return names_slot(k) && pin_[k.index] > 0; }
  // The slot's node may be released now, as release_slot decides: no count,
  // no pin, key current.
  bool release_due(SlotKey k, std::uint64_t external_count) const noexcept {
    return is_current(k) && release_due_at(k.index, external_count);
  }
  // As release_due, for a slot known current.
  bool release_due_at(std::uint64_t i, std::uint64_t external_count) const noexcept {
    return external_count == 0 && pin_[i] == 0;
  }
  // Raises the pin count of a slot by one.
  void add_pin(std::uint64_t i) {
    std::uint64_t& pin = pin_[i];
    std::uint64_t raised;
    if (__builtin_add_overflow(pin, std::uint64_t{1}, &raised)) fault(kPinOverflow);
    pin = raised;
  }
  // Lowers the pin count of the slot the key names, if it is pinned.
  void drop_pin(SlotKey k) noexcept {
    if (is_pinned(k)) pin_[k.index] -= 1;
  }
  // Lowers a pin its holder raised on a slot it found current, and tells
  // whether the node's release is then due. A pinned slot is never vacated,
  // so its key is current still and needs no check.
  bool drop_held_pin(std::uint64_t i, std::uint64_t external_count) noexcept {
    pin_[i] -= 1;
    return release_due_at(i, external_count);
  }

  // The id of the last wave scope that touched the slot (0: none).
  std::uint64_t touch_stamp(std::uint64_t i) const { return touch_[i]; }
  void set_touch_stamp(std::uint64_t i, std::uint64_t scope_id) { touch_[i] = scope_id; }

  // The core's queue of deferred operations, and whether it is being drained.
  std::deque<DeferredOp>& deferred_ops() noexcept { return deferred_; }
  const std::deque<DeferredOp>& deferred_ops() const noexcept { return deferred_; }
  bool draining() const noexcept { return draining_ != 0; }
  void set_draining(bool on) noexcept { draining_ = on ? 1 : 0; }

 private:
  // The entries each reader takes: a reader of the call and config entries
  // takes the run flag too.
  static constexpr std::uint8_t kWaveEntries = kHeldTopology | kHeldEdge;
  static constexpr std::uint8_t kRunEntries = kHeldTopology | kHeldCall | kHeldConfig | kHeldRun | kHeldEdge;
  static constexpr std::uint8_t kDownEntries = kHeldTopology | kHeldEdge | kHeldAux;
  static constexpr std::uint8_t kEntriesBesideWave = kHeldCall | kHeldConfig | kHeldRun | kHeldAux;
  static constexpr std::uint8_t kEveryEntry = kRunEntries | kHeldAux;
  // Whether a held mask is live with every entry. A mask holds no bit
  // outside kHeldAll (it is set to it whole, cleared, or loses and regains
  // its bits), so one holding all of them equals it: one compare, no mask.
  static_assert((kLive | kEveryEntry) == kHeldAll);
  static bool holds_all(std::uint8_t held) noexcept { return held == kHeldAll; }

  void require(std::uint64_t i, std::uint8_t bit, const char* text) const {
    if ((held_[i] & bit) == 0) fault(text);
  }
  // A reader's entries are told present by one test of the slot's mask (the
  // key's, too, when given); the checks one by one, which name what is
  // missing in their order, run only when that test fails.
  void require_held(SlotKey k, std::uint8_t entries) const {
    if (!names_slot(k) || !holds(held_[k.index], kLive | entries)) [[unlikely]]
      fault_for_missing_entry(k, entries);
  }
  // For a slot whose key the caller found current (live).
  void require_held(std::uint64_t i, std::uint8_t entries) const {
    if (!holds(held_[i], kLive | entries)) [[unlikely]]
      fault_for_missing_entry(i, entries);
  }
  // Whether a held mask has the wanted bits; for all of them, one compare.
  static bool holds(std::uint8_t held, std::uint8_t wanted) noexcept {
    return wanted == kHeldAll ? holds_all(held) : (held & wanted) == wanted;
  }
  // Faults as the checks one by one do, the run flag checked in its column's
  // place among the entries; called only when one of them fails.
  [[noreturn, gnu::cold]] void fault_for_missing_entry(SlotKey k, std::uint8_t entries) const;
  [[noreturn, gnu::cold]] void fault_for_missing_entry(std::uint64_t i, std::uint8_t entries) const;
  // Undoes the pushes of a new slot that failed part way (out of memory).
  [[gnu::cold]] void hand_back_partial_row(std::uint64_t index, NewSlotParts& p) noexcept;
  template <class C>
  auto entry(C& column, std::uint64_t i, std::uint8_t bit, const char* text) -> decltype(column[i]) {
    require(i, bit, text);
    return column[i];
  }
  template <class C>
  auto entry(const C& column, std::uint64_t i, std::uint8_t bit, const char* text) const -> decltype(column[i]) {
    require(i, bit, text);
    return column[i];
  }
  template <class E>
  void destroy_live_entries(Column<E>& column) noexcept {
    for (std::uint64_t i = 0; i < held_.size(); ++i)
      if ((held_[i] & kLive) != 0) std::destroy_at(&column[i]);
  }

  // The columns of entries that own through pointers grow by copying their
  // bytes: a move and a destroy per entry would cost more than the copy.
  std::vector<std::uint8_t> held_;
  Column<TopologyEntry> topology_;
  Column<CallEntry> call_;
  Column<ConfigEntry> config_;
  std::vector<std::uint8_t> run_;  // has-run flag
  Column<EdgeEntry> edge_;
  Column<NodeVersionSlot> version_;
  Column<AuxEntry> aux_;
  std::vector<std::uint64_t> generation_;
  std::vector<std::uint64_t> touch_;
  std::vector<std::uint64_t> pin_;
  // The last freed index; a freed slot's touch stamp holds the index freed
  // before it (no scope touches a slot that is not live), so the free list
  // takes no column of its own.
  static constexpr std::uint64_t kNoFreeIndex = ~std::uint64_t{0};
  std::uint64_t free_head_ = kNoFreeIndex;
  std::deque<DeferredOp> deferred_;
  std::uint8_t draining_ = 0;
  // The held mask's length, kept apart: a key check reads one word instead
  // of the mask's two. Rows are only ever added.
  std::uint64_t slot_rows_ = 0;

  // names_slot for an arena of rows slots.
  bool names_slot_of(SlotKey k, std::uint64_t rows) const noexcept {
    return k.index < rows && generation_[k.index] == k.generation;
  }

  friend struct ArenaTestAccess;  // tests that plant broken entries
  friend struct SlotReaders;
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
struct WaveSlots {
  TopologyEntry& topology;
  EdgeEntry& edge;
};
// The same for a slot whose key the caller found current, and whether the
// one test of its mask found the entries beside them too.
struct CurrentWaveSlots {
  TopologyEntry& topology;
  EdgeEntry& edge;
  bool holds_every_entry;
};
// The same for reading, under a shared borrow.
struct LiveSlotsView {
  const TopologyEntry& topology;
  const CallEntry& call;
  const ConfigEntry& config;
  std::uint8_t run;
  const EdgeEntry& edge;
};

class GraphCore {
 public:
  // A fresh, empty arena with a new identity.
  static CoreRef create();

  CoreId id() const noexcept { return id_; }
  Ref<Arena> borrow() const { return arena_.borrow(); }
  RefMut<Arena> borrow_mut() const { return arena_.borrow_mut(); }
  bool is_borrowed() const noexcept { return arena_.is_borrowed(); }
  bool is_mutably_borrowed() const noexcept { return arena_.is_mutably_borrowed(); }

  // For tests and teardown, and for a step that found the core unborrowed
  // and reaches no code that could borrow it while it uses the arena.
  Arena& unguarded() noexcept { return arena_.unguarded(); }

  // References to the core that host objects hold, as they count them: a
  // first test for the host's cycle collector (node/core_ownership.hpp).
  std::size_t host_holds() const noexcept { return host_holds_; }
  void add_host_holds(std::size_t n) const noexcept { host_holds_ += n; }
  void drop_host_holds(std::size_t n) const noexcept { host_holds_ -= n; }

  DepBlockPool& dep_blocks() noexcept { return dep_blocks_; }

  explicit GraphCore(CoreId id) : id_(id) {}

 private:
  CoreId id_;
  DepBlockPool dep_blocks_;  // goes after the arena: its columns give their blocks back to it
  Cell<Arena> arena_;
  mutable std::size_t host_holds_ = 0;
};

// Slot accessor family (caller holds the borrow): each tells its entries
// present by one test of the slot's mask, and faults as the checks one by
// one do (the key first, then each entry in column order).
struct SlotReaders {
  static LiveSlots live(Arena& a, SlotKey k) {
    a.require_held(k, Arena::kRunEntries);
    const auto i = k.index;
    return LiveSlots{a.topology_[i], a.call_[i], a.config_[i], a.run_[i], a.edge_[i]};
  }
  static LiveSlotsView live(const Arena& a, SlotKey k) {
    a.require_held(k, Arena::kRunEntries);
    const auto i = k.index;
    return LiveSlotsView{a.topology_[i], a.call_[i], a.config_[i], a.run_[i], a.edge_[i]};
  }
  static LiveSlotsWithAux with_aux(Arena& a, std::uint64_t i) {
    a.require_held(i, Arena::kEveryEntry);
    return LiveSlotsWithAux{a.topology_[i], a.call_[i], a.config_[i], a.run_[i], a.edge_[i], a.aux_[i]};
  }
  // The same for a slot whose key holds_every_entry found under this
  // borrow: its mask was tested then.
  static LiveSlotsWithAux with_aux_whole(Arena& a, std::uint64_t i) noexcept {
    return LiveSlotsWithAux{a.topology_[i], a.call_[i], a.config_[i], a.run_[i], a.edge_[i], a.aux_[i]};
  }
  static LiveSlotsWithAux with_aux(Arena& a, SlotKey k) {
    a.require_held(k, Arena::kEveryEntry);
    const auto i = k.index;
    return LiveSlotsWithAux{a.topology_[i], a.call_[i], a.config_[i], a.run_[i], a.edge_[i], a.aux_[i]};
  }
  static LiveSlotsWithAux beside_wave(Arena& a, std::uint64_t i, TopologyEntry& topology, EdgeEntry& edge) {
    return beside_wave(a, i, CurrentWaveSlots{topology, edge, false});
  }
  static LiveSlotsWithAux beside_wave(Arena& a, std::uint64_t i, const CurrentWaveSlots& wave) {
    if (!wave.holds_every_entry) a.require_held(i, Arena::kEntriesBesideWave);
    return LiveSlotsWithAux{wave.topology, a.call_[i], a.config_[i], a.run_[i], wave.edge, a.aux_[i]};
  }
  static DownSlots down(Arena& a, SlotKey k) {
    a.require_held(k, Arena::kDownEntries);
    const auto i = k.index;
    return DownSlots{a.topology_[i], a.edge_[i], a.aux_[i]};
  }
  static WaveSlots wave(Arena& a, SlotKey k) {
    a.require_held(k, Arena::kWaveEntries);
    return WaveSlots{a.topology_[k.index], a.edge_[k.index]};
  }
  // A slot holding every entry, as nearly all do, is told so by one test of
  // its mask; the others are tested for the wave step's entries alone.
  static CurrentWaveSlots current_wave(Arena& a, std::uint64_t i) {
    // Its key found current, the slot is live: every entry is the whole mask.
    const bool holds_every_entry = Arena::holds_all(a.held_[i]);
    if (!holds_every_entry) [[unlikely]]
      a.require_held(i, Arena::kWaveEntries);
    return CurrentWaveSlots{a.topology_[i], a.edge_[i], holds_every_entry};
  }
};

inline LiveSlots live_slots(Arena& a, SlotKey k) { return SlotReaders::live(a, k); }
// The same for a slot whose key the caller found current under this borrow.
inline LiveSlotsWithAux current_slots_with_aux(Arena& a, std::uint64_t i) { return SlotReaders::with_aux(a, i); }
// The same for a slot whose key holds_every_entry or
// current_with_every_entry found under this borrow.
inline LiveSlotsWithAux whole_slots_with_aux(Arena& a, std::uint64_t i) noexcept {
  return SlotReaders::with_aux_whole(a, i);
}
// The entries read beside a wave step's topology and edge entries, after
// them: their faults come in that order.
inline LiveSlotsWithAux slots_beside_wave_entries(Arena& a, std::uint64_t i, TopologyEntry& topology, EdgeEntry& edge) {
  return SlotReaders::beside_wave(a, i, topology, edge);
}
inline LiveSlotsWithAux slots_beside_wave_entries(Arena& a, std::uint64_t i, const CurrentWaveSlots& wave) {
  return SlotReaders::beside_wave(a, i, wave);
}
inline LiveSlotsWithAux live_slots_with_aux(Arena& a, SlotKey k) { return SlotReaders::with_aux(a, k); }
inline DownSlots down_slots(Arena& a, SlotKey k) { return SlotReaders::down(a, k); }
// A wave step's entries, topology then edge.
inline WaveSlots wave_slots(Arena& a, SlotKey k) { return SlotReaders::wave(a, k); }
// The same for a slot whose key the caller found current under this borrow.
inline CurrentWaveSlots current_wave_slots(Arena& a, std::uint64_t i) { return SlotReaders::current_wave(a, i); }
inline LiveSlotsView live_slots(const Arena& a, SlotKey k) { return SlotReaders::live(a, k); }

// What the run rules read of a node whose entries s holds. Always inlined:
// out of line it grew the frame of a pull served at the dep sink.
template <class Slots>
[[gnu::always_inline]] inline RunInputs run_inputs(const Slots& s) noexcept {
  return run_inputs(s.topology, s.call, s.config, s.run, s.edge);
}
// The same, each read when a rule asks it. Only over entries held by
// reference: a view's run mark is a copy the reader would outlive.
inline EntryRunInputs entry_run_inputs(const LiveSlotsWithAux& s) noexcept {
  return EntryRunInputs{s.topology, s.call, s.config, s.run, s.edge};
}

// The topology entry of a live node, with the shared borrow still held.
struct CheckedLive {
  Ref<Arena> arena;
  const TopologyEntry& topology;
};
CheckedLive check_live(const UncountedNode& node);

// A reader's view of a live node: holds the core's shared borrow, so it must
// be dropped before anything that can reach a sink, callback or node function.
class NodeView {
 public:
  // Faults with the stale-slot text when the handle's key is not current.
  explicit NodeView(const UncountedNode& node);
  const TopologyEntry& topology() const { return arena_->topology_at(index_); }
  const CallEntry& call() const { return arena_->call_at(index_); }
  const ConfigEntry& config() const { return arena_->config_at(index_); }
  const EdgeEntry& edge() const { return arena_->edge_at(index_); }
  const AuxEntry& aux() const { return arena_->aux_at(index_); }
  bool has_run() const { return (arena_->run_at(index_) & 1) != 0; }
  std::uint64_t pin_count() const { return arena_->pin_count(index_); }

 private:
  Ref<Arena> arena_;
  std::uint64_t index_;
};

// The key is current in the handle's core.
bool node_is_current(const UncountedNode& node);

NodeStatus status_of(const UncountedNode& node);
SharedValue cache_of(const UncountedNode& node);
bool dep_mutation_in_flight(const UncountedNode& node);
bool has_pause_locks(const UncountedNode& node);
SharedValue ctx_state_of(const UncountedNode& node);
std::optional<std::string> node_kind(const UncountedNode& node);
void set_node_kind(const UncountedNode& node, std::optional<std::string> kind);
void set_ctx_state(const UncountedNode& node, SharedValue value);
void set_ctx_state_persist(const UncountedNode& node, bool on);
void add_invalidate_callback(const UncountedNode& node, InvalidateCallback callback);
// Returns whether the node had a hook before.
bool set_topology_hook(const UncountedNode& node, TopologyHookShare hook);
// The node shares the given block of hooks (null: all seven empty).
void set_graph_hooks(const UncountedNode& node, const SharedGraphHooks& hooks);
void set_pull_id(const UncountedNode& node, std::optional<std::string> pull_id);
void add_release_callback(const UncountedNode& node, ReleaseCallback callback);
// The node's dep list as counted handles (faults when a dep is externally dead).
std::vector<NodeHandle> counted_deps(const UncountedNode& node);

// The node's versioning policy (sharing its hasher) and a copy of its current version.
NodeVersioning read_version(const UncountedNode& node);
std::optional<NodeVersion> version_metadata(const UncountedNode& node);

// Pins the node named by ref: none when it is gone, of another core, not
// current, or externally dead and unpinned.
std::optional<std::pair<PinnedNode, UncountedNode>> pin_node(const CoreRef& core, const WeakNodeRef& ref);

// Called for each released node, after its entries were taken out and before
// its function and callbacks go, so that layers above the engine can forget
// what they keep per node. One hook per process; a later one replaces it.
using NodeReleaseHook = void (*)(CoreId core, SlotKey key);
void set_node_release_hook(NodeReleaseHook hook) noexcept;

// Releases the slot when the node may go (count 0, no pin); a stale key does nothing.
void release_slot(const CoreRef& core, SlotKey key, std::uint64_t external_count);

// Whether the node may be released now.
bool node_is_quiescent(const UncountedNode& node);

}  // namespace korvalinth
