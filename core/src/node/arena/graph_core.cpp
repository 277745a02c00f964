#include "node/arena/graph_core.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "base/drop_fault.hpp"
#include "base/index_fault.hpp"
#include "base/thread_block.hpp"
#include "node/arena/kept_core_release.hpp"

namespace korvalinth {

namespace {
std::atomic<CoreId> g_next_core_id{1};
std::atomic<NodeReleaseHook> g_node_release_hook{nullptr};
}  // namespace

void set_node_release_hook(NodeReleaseHook hook) noexcept { g_node_release_hook.store(hook, std::memory_order_release); }

CoreRef GraphCore::create() { return CoreRef::make(g_next_core_id.fetch_add(1)); }

DepStates new_dep_state(std::size_t n) { return DepStates(n); }

const AuxRare& AuxEntry::empty_rare() noexcept {
  static const AuxRare kNone;
  return kNone;
}

SlotKey Arena::occupy(NewSlotParts&& p) {
  NodeState state = p.initial ? NodeState::with_value() : NodeState{};
  note_config(state, p.config);
  if (free_head_ == kNoFreeIndex) {
    const std::uint64_t index = held_.size();
    // The held mask goes last: its length counts the rows every column has.
    try {
      topology_.emplace_back(std::move(p.deps), std::move(p.topology_hook));
      call_.emplace_back(std::move(p.kind), p.key, std::move(p.context), FoundRunFn{});
      config_.emplace_back(std::move(p.config));
      run_.push_back(0);
      // The dep states and links are made when the node first needs them
      // (see DepStates): most built nodes never do, and pay nothing for them.
      edge_.emplace_back(DepStates{}, state, std::uint64_t{0}, DepLinks{}, std::move(p.initial));
      version_.emplace_back(std::move(p.version));
      aux_.emplace_back();
      generation_.push_back(0);
      touch_.push_back(0);
      pin_.push_back(0);
      held_.push_back(kHeldAll);
      slot_rows_ = held_.size();
    } catch (...) {
      hand_back_partial_row(index, p);
      throw;
    }
    return SlotKey{index, 0};
  }
  const std::uint64_t index = free_head_;
  if (generation_[index] == ~std::uint64_t{0}) fault("GraphCore generation overflow on slot reuse");
  free_head_ = touch_[index];
  const std::uint64_t generation = ++generation_[index];
  held_[index] = kHeldAll;
  // A released slot's rows hold stale bytes (vacate relocated its entries
  // out) or empty entries: the new entries are made over them.
  ::new (static_cast<void*>(&topology_[index])) TopologyEntry(std::move(p.deps), std::move(p.topology_hook));
  ::new (static_cast<void*>(&call_[index])) CallEntry(std::move(p.kind), p.key, std::move(p.context), FoundRunFn{});
  ::new (static_cast<void*>(&config_[index])) ConfigEntry(std::move(p.config));
  run_[index] = 0;
  ::new (static_cast<void*>(&edge_[index]))
      EdgeEntry(DepStates{}, state, std::uint64_t{0}, DepLinks{}, std::move(p.initial));
  ::new (static_cast<void*>(&version_[index])) NodeVersionSlot(std::move(p.version));
  ::new (static_cast<void*>(&aux_[index])) AuxEntry();
  touch_[index] = 0;
  pin_[index] = 0;
  return SlotKey{index, generation};
}

// A column that grew past the last full row gives its parts back to the
// caller, who drops them after the borrow (a dep's drop may release it).
void Arena::hand_back_partial_row(std::uint64_t index, NewSlotParts& p) noexcept {
  if (topology_.size() > index) {
    p.deps = std::move(topology_.back().deps);
    p.topology_hook = std::move(topology_.back().hook);
    topology_.pop_back();
  }
  if (call_.size() > index) {
    p.kind = std::move(call_.back().kind);
    p.context = std::move(call_.back().context);
    call_.pop_back();
  }
  if (config_.size() > index) {
    p.config = std::move(config_.back());
    config_.pop_back();
  }
  if (edge_.size() > index) {
    p.initial = std::move(edge_.back().cache);
    edge_.pop_back();
  }
  if (version_.size() > index) {
    p.version = std::move(version_.back());
    version_.pop_back();
  }
  // The columns with nothing of the caller's in them.
  const auto drop_row = [index](auto&... columns) {
    ((columns.size() > index ? columns.pop_back() : void()), ...);
  };
  drop_row(run_, aux_, generation_, touch_, pin_);
}

std::vector<std::uint64_t> Arena::free_indices() const {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = free_head_; i != kNoFreeIndex; i = touch_[i]) out.push_back(i);
  std::reverse(out.begin(), out.end());
  return out;
}

std::uint64_t Arena::live_count() const noexcept {
  std::uint64_t n = 0;
  for (std::uint8_t held : held_) n += (held & kLive) != 0;
  return n;
}

void Arena::vacate(std::uint64_t i, TopologyEntry& topology, VacatedSlotEntries& out) noexcept {
  // Every row is relocated out, held or not: a row not held keeps an empty
  // entry, which the record then does not drop, and the caller's topology
  // entry is empty, so the bytes overwrite nothing that owns anything.
  std::memcpy(static_cast<void*>(&topology), static_cast<const void*>(&topology_[i]), sizeof(TopologyEntry));
  out.call_.relocate_from(call_[i]);
  out.config_.relocate_from(config_[i]);
  out.edge_.relocate_from(edge_[i]);
  out.version_.relocate_from(version_[i]);
  out.aux_.relocate_from(aux_[i]);
  out.taken_ = held_[i];
  held_[i] = 0;
}

// The rows of a slot that is not live hold bytes relocated out, or empty
// entries: only live slots' entries are destroyed, in the order the members'
// own drops take (the deferred operations, then column by column from the
// last, each front to back).
Arena::~Arena() {
  deferred_.clear();
  if (live_count() != 0) {
    destroy_live_entries(aux_);
    destroy_live_entries(version_);
    destroy_live_entries(edge_);
    destroy_live_entries(config_);
    destroy_live_entries(call_);
    destroy_live_entries(topology_);
  }
  aux_.forget_entries();
  version_.forget_entries();
  edge_.forget_entries();
  config_.forget_entries();
  call_.forget_entries();
  topology_.forget_entries();
}

NodeView::NodeView(const UncountedNode& node) : arena_(node.core_ref().borrow()), index_(node.index()) {
  arena_->check(node.key());
}

bool node_is_current(const UncountedNode& node) { return node.core_ref().borrow()->is_current(node.key()); }

CheckedLive check_live(const UncountedNode& node) {
  Ref<Arena> a = node.core_ref().borrow();
  a->check(node.key());
  const TopologyEntry& t = a->topology_at(node.index());
  return CheckedLive{std::move(a), t};
}

NodeStatus status_of(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  return a->wave_edge(node.key()).state.status();
}

SharedValue cache_of(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  return a->wave_edge(node.key()).cache;
}

bool dep_mutation_in_flight(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  return a->wave_edge(node.key()).state.mutation_in_flight();
}

bool has_pause_locks(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
  return !a->aux_at(node.index()).rare().pause_locks.empty();
}

SharedValue ctx_state_of(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
  return a->aux_at(node.index()).rare().ctx_state;
}

std::optional<std::string> node_kind(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
  return a->call_at(node.index()).kind.value();
}

void set_node_kind(const UncountedNode& node, std::optional<std::string> kind) {
  OptionalKindText text(std::move(kind));
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  std::swap(a->call_at(node.index()).kind, text);
}

void set_ctx_state(const UncountedNode& node, SharedValue value) {
  SharedValue old;  // dropped after the borrow
  {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    old = std::exchange(a->aux_at(node.index()).edit_rare().ctx_state, std::move(value));
  }
}

void set_ctx_state_persist(const UncountedNode& node, bool on) {
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  a->aux_at(node.index()).edit_rare().ctx_state_persist = on ? 1 : 0;
}

void add_invalidate_callback(const UncountedNode& node, InvalidateCallback callback) {
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  a->aux_at(node.index()).edit_rare().invalidate_callbacks.push_back(std::move(callback));
}

bool set_topology_hook(const UncountedNode& node, TopologyHookShare hook) {
  TopologyHookShare old;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlots s = live_slots(*a, node.key());
    old = std::exchange(s.topology.hook, std::move(hook));
  }
  return static_cast<bool>(old);
}

void set_graph_hooks(const UncountedNode& node, const SharedGraphHooks& hooks) {
  SharedCallContext old;
  {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    CallEntry& call = a->call_at(node.index());
    if (call.hooks() != hooks) old = std::exchange(call.context, share_call_context(call.dispatcher(), hooks));
  }
}

void set_pull_id(const UncountedNode& node, std::optional<std::string> pull_id) {
  if (!pull_id) return;
  std::optional<std::string> old_id;
  std::optional<PullRequest> old_pending, old_current;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    old_id = std::exchange(s.config.pull_id, std::move(pull_id));
    note_config(s.edge.state, s.config);
    old_pending = s.aux.take(&AuxRare::pending_pull);
    old_current = s.aux.take(&AuxRare::current_pull);
  }
}

void add_release_callback(const UncountedNode& node, ReleaseCallback callback) {
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  a->aux_at(node.index()).edit_rare().release_callbacks.push_back(std::move(callback));
}

std::vector<NodeHandle> counted_deps(const UncountedNode& node) {
  std::vector<NodeHandle> out;
  CheckedLive live = check_live(node);
  out.reserve(live.topology.deps.size());
  for (const UncountedNode& d : live.topology.deps) out.push_back(d.promote_counted());
  return out;
}

NodeVersioning read_version(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
  return a->version_at(node.index()).versioning();
}

std::optional<NodeVersion> version_metadata(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
  return a->version_at(node.index()).current();
}

std::optional<std::pair<PinnedNode, UncountedNode>> pin_node(const CoreRef& core, const WeakNodeRef& ref) {
  SharedCount count = ref.count.lock();
  if (!count || ref.core != core->id()) return std::nullopt;
  {
    auto a = core->borrow_mut();
    if (!a->is_current(ref.key)) return std::nullopt;
    if (count->count == 0 && a->pin_count(ref.key.index) == 0) return std::nullopt;
    a->add_pin(ref.key.index);
  }
  return std::make_pair(PinnedNode(core, count, ref.key), UncountedNode(core, count, ref.key));
}

namespace {

// Pushes a released index on the free list when it ends, also while a
// fault unwinds out of the release's call-outs.
class FreeSlotGuard {
 public:
  FreeSlotGuard(const GraphCore& core, std::uint64_t index) : core_(core), index_(index) {}
  FreeSlotGuard(const FreeSlotGuard&) = delete;
  FreeSlotGuard& operator=(const FreeSlotGuard&) = delete;
  ~FreeSlotGuard() {
    if (armed_) drop_quietly([&] { push(); });
  }
  void finish() {
    armed_ = false;
    push();
  }

 private:
  [[gnu::always_inline]] void push() { core_.borrow_mut()->free_index(index_); }
  const GraphCore& core_;
  std::uint64_t index_;
  bool armed_ = true;
};

// Detaches a node whose entries were taken out: frees its function, runs its
// per-dep unsubscribe actions in dep order and its release callbacks in
// registration order. Inlined into each release.
[[gnu::always_inline]] inline void detach_released(CallEntry* call, EdgeEntry* edge, AuxEntry* aux) {
  if (call && call->key && call->dispatcher()) call->dispatcher()->free_slot(*call->key);
  if (edge) {
    for (DepLink& link : edge->dep_links) {
      if (!link.unsubscribe) continue;
      UnsubscribeFn action = std::move(*link.unsubscribe);
      link.unsubscribe.reset();
      action.call();
    }
  }
  if (aux) {
    std::vector<ReleaseCallback> callbacks = aux->take(&AuxRare::release_callbacks);
    for (auto& cb : callbacks) {
      ReleaseCallback c = std::move(cb);
      c();
    }
  }
}

// Dropping a released node's deps may release those deps in turn, down a
// chain as long as the graph. The outermost release drives those drops from
// an explicit stack instead of recursing: a release entered from the driver
// pushes its dep list (with its topology hook, dropped after the deps) and
// returns, and the driver finishes that list before going on with the
// previous one; so the drops happen in the order recursion would give them.
// A list of one dep ends with that dep's drop, so its release hands the
// driver the dep alone as the next drop: a chain's release then keeps the
// stack short (a deep one would copy it again and again).
struct DepDropFrame {
  DepList deps;
  TopologyHook hook;
  std::size_t next = 0;
};

struct DepDropDriver {
  std::vector<DepDropFrame>* stack = nullptr;
  NodeHandle* next_alone = nullptr;  // dropped before the stack's top goes on
  bool entered_from_driver = false;  // set only around the driver's own handle drop
};

constinit thread_local DepDropDriver tls_dep_drops KORVALINTH_FAST_TLS;

// Drops what is still due innermost first: the dep handed over alone, then
// the frames on the stack (a fault unwinds).
class DepDropUnwind {
 public:
  DepDropUnwind(std::vector<DepDropFrame>& stack, NodeHandle& next_alone)
      : stack_(stack), next_alone_(next_alone), saved_(tls_dep_drops) {
    tls_dep_drops.stack = &stack_;
    tls_dep_drops.next_alone = &next_alone_;
  }
  DepDropUnwind(const DepDropUnwind&) = delete;
  DepDropUnwind& operator=(const DepDropUnwind&) = delete;
  ~DepDropUnwind() {
    tls_dep_drops.stack = saved_.stack;
    tls_dep_drops.next_alone = saved_.next_alone;
    tls_dep_drops.entered_from_driver = false;
    if (!next_alone_.empty()) drop_quietly([&] { next_alone_.drop(); });
    while (!stack_.empty()) {
      DepDropFrame frame = std::move(stack_.back());
      stack_.pop_back();
      for (std::size_t i = frame.next; i < frame.deps.size(); ++i) drop_quietly([&] { frame.deps[i].drop(); });
      drop_quietly([&] { frame.hook.reset(); });
    }
  }

 private:
  std::vector<DepDropFrame>& stack_;
  NodeHandle& next_alone_;
  DepDropDriver saved_;
};

// Hands the deps (and hook) over to the driver: the dep alone when it is
// the last thing the release drops, else a frame. Without deps nothing is
// handed over: the hook goes with the entry, as the driver's next step would.
// A lone dep's hook waits in a frame of its own, unless the top frame holds
// the same hook: that share goes later than this one would, so this one
// can go with the entry (the hook is destroyed at the same drop).
[[gnu::always_inline]] inline void hand_to_driver(TopologyEntry& topology, std::vector<DepDropFrame>& stack,
                                                  NodeHandle& next_alone) {
  if (topology.deps.empty()) return;
  if (topology.deps.size() != 1) {
    stack.emplace_back(std::move(topology.deps), std::move(topology.hook).take(), 0);
    return;
  }
  next_alone = std::move(topology.deps[0]);
  if (!topology.hook) return;
  if (!stack.empty()) {
    const TopologyHook& top = stack.back().hook;
    const TopologyHook& own = topology.hook.hook();
    if (!top.owner_before(own) && !own.owner_before(top)) return;
  }
  stack.emplace_back(DepList(), std::move(topology.hook).take(), 0);
}

// The outermost release's drops of its deps, and of theirs in turn.
void drive_dep_drops(TopologyEntry& topology) {
  if (topology.deps.empty()) return;
  std::vector<DepDropFrame> stack;
  NodeHandle next_alone;
  hand_to_driver(topology, stack, next_alone);
  DepDropUnwind unwind(stack, next_alone);
  for (;;) {
    if (!next_alone.empty()) {
      tls_dep_drops.entered_from_driver = true;
      // drop() empties the handle before the release, which may hand the
      // next dep over into it (or push a frame).
      next_alone.drop();
      tls_dep_drops.entered_from_driver = false;
      continue;
    }
    if (stack.empty()) break;
    DepDropFrame& top = stack.back();
    if (top.next < top.deps.size()) {
      NodeHandle& dep = top.deps[top.next++];
      tls_dep_drops.entered_from_driver = true;
      dep.drop();  // may push a frame: `top` is not used after this
      tls_dep_drops.entered_from_driver = false;
      continue;
    }
    DepDropFrame done = std::move(top);
    stack.pop_back();
    done.deps.clear();
    done.hook.reset();
  }
}

[[gnu::always_inline]] inline void drop_released_deps(TopologyEntry& topology, bool entered_from_driver) {
  if (entered_from_driver)
    hand_to_driver(topology, *tls_dep_drops.stack, *tls_dep_drops.next_alone);
  else
    drive_dep_drops(topology);
}

// The slot's entries taken out under one borrow into the caller's places;
// none when the slot is pinned or no longer current.
[[gnu::always_inline]] inline bool vacate_unpinned(const CoreRef& core, SlotKey key, TopologyEntry& topology,
                                                   VacatedSlotEntries& out) {
  auto a = core->borrow_mut();
  // A key that is no longer current was released already: its index is
  // on the free list once and must not go there again.
  if (a->is_pinned(key) || !a->is_current(key)) return false;
  a->vacate(key.index, topology, out);
  return true;
}

}  // namespace

namespace {

// A release whose caller may let go of its reference to the core in a
// call-out takes one of its own for them (kTakeCore).
template <bool kTakeCore>
void release_slot_as(const CoreRef& core, SlotKey key, std::uint64_t external_count) {
  const bool entered_from_driver = std::exchange(tls_dep_drops.entered_from_driver, false);
  if (external_count != 0) return;
  TopologyEntry topology;  // goes last, after the other contents
  {
    VacatedSlotEntries e;
    if (!vacate_unpinned(core, key, topology, e)) return;
    {
      const CoreRef taken = kTakeCore ? core : CoreRef();
      FreeSlotGuard guard(*core, key.index);
      if (NodeReleaseHook hook = g_node_release_hook.load(std::memory_order_acquire)) hook(core->id(), key);
      detach_released(e.call(), e.edge(), e.aux());
      guard.finish();
    }
    // The contents go after the index is free, as the entries' destructor
    // takes them: aux, version, edge, config, call.
  }
  // Dropping a dep's counted handle may release that dep in turn.
  drop_released_deps(topology, entered_from_driver);
}

}  // namespace

void release_slot(const CoreRef& core, SlotKey key, std::uint64_t external_count) {
  release_slot_as<true>(core, key, external_count);
}

void release_slot_in_kept_core(const CoreRef& core, SlotKey key, std::uint64_t external_count) {
  release_slot_as<false>(core, key, external_count);
}

void Arena::fault_for_missing_entry(SlotKey k, std::uint8_t entries) const {
  check(k);
  fault_for_missing_entry(k.index, entries);
}

void Arena::fault_for_missing_entry(std::uint64_t i, std::uint8_t entries) const {
  if (entries & kHeldTopology) require(i, kHeldTopology, kTopologySlot);
  if (entries & kHeldCall) require(i, kHeldCall, kCallSlot);
  if (entries & kHeldConfig) require(i, kHeldConfig, kConfigSlot);
  if (entries & kHeldRun) require(i, kHeldRun, kRunSlot);
  if (entries & kHeldEdge) require(i, kHeldEdge, kEdgeSlot);
  if (entries & kHeldAux) require(i, kHeldAux, kAuxSlot);
  fault(kStaleSlot);  // not reached: the caller found an entry missing
}

}  // namespace korvalinth
