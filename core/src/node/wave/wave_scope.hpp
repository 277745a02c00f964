#pragma once
// Wave scopes. The first operation entering the runtime from outside a wave
// installs a WaveScope and owns the wave; operations started while it runs
// join it. The owner ends the wave: on a fault of its work it resets the
// touched nodes' per-wave state, empties the pending queue and delivers
// ERROR (the fault's text) to the node whose function ran last, or else to
// the operation's own node, and returns normally; the host-boundary abort
// empties the deferred queues and keeps unwinding. Then it unpins the touched
// nodes and, unless a batch is open, runs the deferred operations.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "base/cell.hpp"
#include "base/function_ref.hpp"
#include "base/thread_block.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/touched_list.hpp"

namespace korvalinth {

struct DeferredCore {
  WeakCore core;
  CoreId id = 0;
};

struct WaveScope {
  std::optional<NodeId> running_node;
  std::vector<DeferredCore> deferred_cores;
  TouchedList touched;
  CoreId owner_core = 0;  // the owning operation's core
  const ExternalCount* owner_count = nullptr;  // the owning operation's node's count record
  std::uint64_t scope_id = 0;
  // The owning operation's node, touched before any other node, heads the
  // touched nodes without a record: the wave's end knows it by owner_key.
  bool owner_first = false;
  // Whether a touched record holds a core (a node of a core other than the
  // owner's): until one does, the wave's end tests none of them for it.
  bool other_core_touched = false;
  SlotKey owner_key;

  // The touched nodes in touch order, each with a record: the owning
  // operation's node gets its record back at the head, for an end that
  // walks them all.
  void restore_owner_record() {
    if (!owner_first) return;
    touched.push_front(TouchedNode{CoreRef(), SharedCount(), owner_key, owner_core});
    owner_first = false;
  }
};

// What the end of a wave works on, taken from its scope as it is uninstalled.
struct EndedScope {
  TouchedList touched;
  std::vector<DeferredCore> deferred_cores;
  std::optional<NodeId> running_node;
};

// The thread's scope, installed or not. It stays in place between waves, so
// that installing one sets fields instead of making a scope, and its touched
// list keeps its buffer.
class InstalledScope {
 public:
  bool has_value() const noexcept { return installed_; }
  WaveScope& operator*() noexcept { return scope_; }
  WaveScope* operator->() noexcept { return &scope_; }
  // Marks the scope installed, owned by core id and the node whose count
  // record is owner_count, under scope_id.
  WaveScope& install(CoreId owner, const ExternalCount* owner_count, std::uint64_t scope_id) noexcept {
    installed_ = true;
    scope_.running_node.reset();
    scope_.owner_core = owner;
    scope_.owner_count = owner_count;
    scope_.scope_id = scope_id;
    scope_.owner_first = false;
    scope_.other_core_touched = false;
    return scope_;
  }
  // Marks it uninstalled and hands over its touched list and deferred cores:
  // tearing the wave down may install another scope.
  EndedScope uninstall() noexcept {
    installed_ = false;
    return EndedScope{std::move(scope_.touched), std::move(scope_.deferred_cores), scope_.running_node};
  }
  // Marks it uninstalled and leaves its lists in place, for an end that
  // works on them before any code can install another scope.
  WaveScope& uninstall_in_place() noexcept {
    installed_ = false;
    return scope_;
  }
  // Takes back the emptied touched buffer of an ended wave, when it is
  // larger than the one the scope holds now.
  void keep_buffer(TouchedList& emptied) noexcept {
    if (emptied.capacity() > scope_.touched.capacity() && scope_.touched.empty()) scope_.touched.swap(emptied);
  }

 private:
  WaveScope scope_;
  bool installed_ = false;
};

// The installed scope of this thread (a distinct type for its ThreadBlock).
struct WaveScopeCell : Cell<InstalledScope> {};
inline Cell<InstalledScope>& wave_scope_cell() noexcept { return ThreadBlock<WaveScopeCell>::get(); }
// The same while a scope is installed: the install made the cell.
inline Cell<InstalledScope>& installed_scope_cell() noexcept { return ThreadBlock<WaveScopeCell>::made(); }

namespace detail {
// The id of the installed scope, 0 when none: lets the hot paths see that a
// node is touched already without borrowing the scope.
inline constinit thread_local std::uint64_t tls_installed_scope_id KORVALINTH_FAST_TLS = 0;
}
inline std::uint64_t installed_scope_id() noexcept { return detail::tls_installed_scope_id; }

namespace detail {
// The owning operation's core (null when no scope is installed) and its id
// (0 then), set and cleared together: one thread-local block, its address
// reached once. The operation's caller holds that reference for the whole
// wave, so the scope points at it instead of copying it.
struct InstalledOwner {
  const CoreRef* ref = nullptr;
  CoreId id = 0;
};
inline constinit thread_local InstalledOwner tls_installed_owner KORVALINTH_FAST_TLS = {};
}  // namespace detail
// The owning operation's reference when it is to the core named by id,
// else null: it lives for the whole wave, so it may be lent without a copy.
// The id alone tells: it is 0 while the reference is null, and no core's is.
inline const CoreRef* installed_owner_ref(CoreId id) noexcept {
  const detail::InstalledOwner& owner = detail::tls_installed_owner;
  return owner.id == id ? owner.ref : nullptr;
}
// A strong reference to the core named by id: a copy of the owning
// operation's reference when it is that core (no atomic lock), else weak.lock().
inline CoreRef lock_core(const WeakCore& weak, CoreId id) {
  if (const CoreRef* owner = installed_owner_ref(id)) return *owner;
  return weak.lock();
}
inline bool wave_scope_installed() noexcept { return installed_scope_id() != 0; }

// Runs work in a new wave scope owned by node's operation, and ends the
// wave as described above. No scope may be installed.
void run_in_owned_wave_scope(const UncountedNode& node, FunctionRef<void()> work);
// run_in_owned_wave_scope of a down of a DATA with value, taken from value
// where the down is made.
void set_in_owned_wave_scope(const UncountedNode& node, SharedValue& value);
// Runs work in a wave scope of node: joins an installed scope, or owns a new
// one. Inline: a joining operation needs no frame of the owner's.
inline void run_in_wave_scope(const UncountedNode& node, FunctionRef<void()> work) {
  if (wave_scope_installed()) return work();
  run_in_owned_wave_scope(node, work);
}

void down_in_wave_scope(const UncountedNode& node, MessageList messages);
void node_down_in_wave_scope(const UncountedNode& node, MessageList messages);
void up_in_wave_scope(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward);
void node_up_in_wave_scope(const UncountedNode& node, MessageList messages);

// The text of a caught fault: its own text, or "node fn panicked".
std::string panic_payload_message(const std::exception_ptr& fault);
bool is_host_boundary_abort(const std::exception_ptr& fault);

// Empties the thread's pending queue without running its items.
void clear_wave_touched();

}  // namespace korvalinth
