#include "node/wave/wave_scope.hpp"

#include "base/drop_fault.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/deferred_ops.hpp"
#include "node/wave/down.hpp"
#include "node/wave/frame_data.hpp"
#include "node/arena/graph_core.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/up.hpp"
#include "node/wave/wave_end_reset.hpp"

namespace korvalinth {

namespace {

constinit thread_local std::uint64_t tls_next_scope_id KORVALINTH_FAST_TLS = 1;

// Unpins one touched node as PinnedNode::unpin does.
void unpin_touched_node(TouchedNode& t, const UncountedNode& owner) {
  PinnedNode(t.other_core ? std::move(t.other_core) : owner.core(), t.count ? std::move(t.count) : owner.count(), t.key)
      .unpin();
}

// Releases a touched node whose pin went with its release due; the record
// lets go of its references first.
void release_due_touched(TouchedNode& t, const UncountedNode& owner) {
  CoreRef other = std::move(t.other_core);
  SharedCount count = std::move(t.count);
  release_slot(other ? other : owner.core(), t.key, (count ? count : owner.count())->count);
}

// Unpins the touched nodes in order, as unpin_touched_node would, lowering
// the pins of a run of nodes of one core under one borrow; a node whose
// release is due is released at its turn, outside the borrow.
void unpin_touched(TouchedNode* it, TouchedNode* const end, const UncountedNode& owner) {
  while (it != end) {
    GraphCore* core = it->core_ref(owner.core()).get();
    if (core == nullptr) {
      ++it;
      continue;
    }
    const CoreId core_id = it->core;
    TouchedNode* due = nullptr;
    {
      auto a = core->borrow_mut();
      Arena& arena = *a;
      for (; it != end && it->core == core_id; ++it) {
        // The touch pinned a current slot: it is current still.
        if (arena.drop_held_pin(it->key.index, it->count_ref(owner.count())->count)) {
          due = it++;
          break;
        }
        // A core other than the owner's goes at its node's turn; the
        // count records go with the list, as dropping one runs no code.
        if (it->other_core) it->other_core.reset();
      }
    }
    if (due != nullptr) release_due_touched(*due, owner);
  }
}

void unpin_touched(TouchedList& touched, const UncountedNode& owner) {
  unpin_touched(touched.data(), touched.data() + touched.size(), owner);
}

// Lowers, under one borrow, the pins of the leading touched nodes of the
// owner's core whose release is not due, dropping their records as it
// goes: no code runs for them. The nodes left head the touched list for
// unpin_touched; true when the first one's pin went already with its
// release due. Inline, as is the install: each owned wave makes both.
[[gnu::always_inline]] inline bool lower_owner_pins_in_place(WaveScope& scope, const UncountedNode& owner) {
  TouchedList& touched = scope.touched;
  if (touched.empty() && !scope.owner_first) return false;
  if (owner.empty() || owner.core_ref().is_borrowed()) {
    scope.restore_owner_record();
    return false;
  }
  auto a = owner.core_ref().borrow_mut();
  Arena& arena = *a;
  if (scope.owner_first) {
    // The touch pinned a current slot: it is current still.
    if (arena.drop_held_pin(scope.owner_key.index, owner.count()->count)) {
      scope.restore_owner_record();
      return true;
    }
    scope.owner_first = false;
    if (touched.empty()) return false;  // a lone set's wave
  }
  bool due = false;
  const auto lower = [&](const TouchedNode& t) noexcept {
    // The touch pinned a current slot: it is current still. A touch's record
    // holds its count: the owner's record, which holds none, is put back at
    // the head only on the roads above that leave before this walk.
    due = arena.drop_held_pin(t.key.index, t.count->count);
    return !due;
  };
  if (scope.other_core_touched)
    touched.drop_owner_core_front_while<true>(lower);
  else
    touched.drop_owner_core_front_while<false>(lower);
  return due;
}

// Installs a scope owned by node's operation in the thread's cell, on the
// touched buffer the last scope left, so a wave's scope needs no allocation
// once it grew. No holder of the cell's borrow calls out, so with no scope
// installed none is held: the install needs no borrow.
[[gnu::always_inline]] inline void install_scope(const UncountedNode& node, Cell<InstalledScope>& cell) {
  if (tls_next_scope_id == ~std::uint64_t{0}) fault("wave scope id overflow");
  const std::uint64_t scope_id = tls_next_scope_id++;
  const CoreId owner = node.empty() ? 0 : node.core_ref().id();
  cell.unguarded().install(owner, node.count().get(), scope_id);
  detail::tls_installed_scope_id = scope_id;
  detail::tls_installed_owner = {&node.core(), owner};
}

// Forgets the thread's installed scope, under the borrow c of its cell; the
// scope must be there still.
void forget_installed_scope(const RefMut<InstalledScope>& c) {
  detail::tls_installed_owner = {};
  detail::tls_installed_scope_id = 0;
  if (!c->has_value()) fault("wave owner installed a scope");
}

// Uninstalls the scope, handing over what the wave's end works on.
EndedScope uninstall_scope() {
  keep_owner_items_past_wave();
  auto c = wave_scope_cell().borrow_mut();
  forget_installed_scope(c);
  (*c)->restore_owner_record();
  return c->uninstall();
}

// Gives the ended wave's emptied touched buffer back to the thread's scope.
void keep_touched_buffer(TouchedList& emptied) {
  auto c = wave_scope_cell().borrow_mut();
  c->keep_buffer(emptied);
}

std::optional<UncountedNode> upgrade_live_node(const TouchedNode& t, const UncountedNode& owner) {
  const CoreRef& core = t.core_ref(owner.core());
  auto a = core->borrow();
  if (!a->is_current(t.key)) return std::nullopt;
  return UncountedNode(core, t.count_ref(owner.count()), t.key);
}

}  // namespace

std::string panic_payload_message(const std::exception_ptr& fault) {
  try {
    std::rethrow_exception(fault);
  } catch (const Fault& f) {
    if (f.has_text()) return f.text();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "node fn panicked";
}

bool is_host_boundary_abort(const std::exception_ptr& fault) {
  try {
    std::rethrow_exception(fault);
  } catch (const HostBoundaryAbort&) {
    return true;
  } catch (...) {
    return false;
  }
}

void clear_wave_touched() { clear_pending_queue(); }

namespace {

// What a clean wave's end hands out of its scope when a release falls due
// or other cores queued deferred operations.
struct EndedRest {
  TouchedList touched;
  std::vector<DeferredCore> deferred_cores;
};

// Takes those lists out of the uninstalled scope, its cell's borrow given
// back (moving them runs no code, so no scope can be installed meanwhile);
// then ends the wave from the first touched node left to unpin and drains
// the deferred operations. Out of line, the lists in its own frame: most
// waves end with every pin lowered in place and no other core's operations.
[[gnu::noinline]] void end_clean_wave_rest(const UncountedNode& node, WaveScope& scope, bool first_due) {
  EndedRest rest;
  if (!scope.touched.empty()) rest.touched = std::move(scope.touched);
  if (!scope.deferred_cores.empty()) rest.deferred_cores = std::move(scope.deferred_cores);
  if (!rest.touched.empty()) {
    TouchedNode* it = rest.touched.data();
    if (first_due) release_due_touched(*it++, node);
    unpin_touched(it, rest.touched.data() + rest.touched.size(), node);
    rest.touched.clear();
    keep_touched_buffer(rest.touched);
  }
  if (!batch_is_active()) drain_deferred_ops_guarded(node.core(), rest.deferred_cores);
  rest.deferred_cores.clear();
  raise_kept_drop_fault();
}

// The end of a wave that did not fault. The touched nodes are unpinned in
// the scope's own list while no release is due (no code runs meanwhile, so
// no scope can be installed), and the list keeps its place; from a due
// release on, the rest is handed out of the uninstalled scope as a faulted
// wave's end hands it all. cell is the thread's scope cell. Inline: each
// owned wave ends here.
[[gnu::always_inline]] inline void end_clean_wave(const UncountedNode& node, Cell<InstalledScope>& cell) {
  keep_owner_items_past_wave();
  {
    auto c = cell.borrow_mut();
    forget_installed_scope(c);
    WaveScope& scope = c->uninstall_in_place();
    const bool first_due = lower_owner_pins_in_place(scope, node);
    if (!scope.touched.empty() || !scope.deferred_cores.empty()) {
      c.release();
      return end_clean_wave_rest(node, scope, first_due);
    }
  }
  // With no other core, the own core's drain is the guarded one.
  if (!batch_is_active()) drain_deferred_ops(node.core());
  raise_kept_drop_fault();
}

// The end of a wave whose work faulted with failure.
[[gnu::noinline]] void end_failed_wave(const UncountedNode& node, const std::exception_ptr& failure) {
  EndedScope scope = uninstall_scope();
  std::exception_ptr undelivered;
  for (const TouchedNode& t : scope.touched) end_wave_for_node(t, node.core());
  clear_wave_touched();
  if (is_host_boundary_abort(failure)) {
    discard_all_deferred_ops(node.core(), scope.deferred_cores);
    scope.deferred_cores.clear();
    for (TouchedNode& t : scope.touched) drop_quietly([&] { unpin_touched_node(t, node); });
    std::rethrow_exception(failure);
  }
  std::optional<UncountedNode> target;
  if (scope.running_node) {
    for (const TouchedNode& t : scope.touched) {
      if (t.core == scope.running_node->core && t.key.index == scope.running_node->index &&
          t.key.generation == scope.running_node->generation) {
        target = upgrade_live_node(t, node);
        break;
      }
    }
  }
  if (!target) target = node;
  try {
    MessageList list;
    list.push_back(Message::error(make_text_error(panic_payload_message(failure))));
    down(*target, std::move(list));
    target->drop();
  } catch (const StackDepthFault&) {
    // The ERROR itself went too deep: its dependents past that point
    // never learn of it, so the operation raises the fault instead.
    undelivered = std::current_exception();
  } catch (...) {
    // A fault while the ERROR is delivered is dropped.
  }
  clear_wave_touched();
  unpin_touched(scope.touched, node);
  scope.touched.clear();
  // A nested owner (a deferred op's wave) may have kept a larger buffer.
  keep_touched_buffer(scope.touched);
  if (!batch_is_active()) drain_deferred_ops_guarded(node.core(), scope.deferred_cores);
  scope.deferred_cores.clear();
  if (undelivered) std::rethrow_exception(undelivered);
  raise_kept_drop_fault();
}

// Runs work in a new wave scope owned by node's operation and ends the
// wave. Inline: a set's wave calls its down with no callable between.
template <class Work>
[[gnu::always_inline]] inline void run_owned(const UncountedNode& node, Work&& work) {
  // The thread's cell, found once for the install and the end.
  Cell<InstalledScope>& cell = wave_scope_cell();
  install_scope(node, cell);
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) return end_clean_wave(node, cell);
  end_failed_wave(node, failure);
}

}  // namespace

void run_in_owned_wave_scope(const UncountedNode& node, FunctionRef<void()> work) { run_owned(node, work); }

void set_in_owned_wave_scope(const UncountedNode& node, SharedValue& value) {
  run_owned(node, [&] {
    // The DATA goes as that down returns or unwinds.
    FrameData<false> data(std::move(value));
    detail::down_data_of_owned_set(node, data.message());
  });
}

void down_in_wave_scope(const UncountedNode& node, MessageList messages) {
  run_in_wave_scope(node, [&] { down(node, std::move(messages)); });
}

void node_down_in_wave_scope(const UncountedNode& node, MessageList messages) {
  down_in_wave_scope(node, std::move(messages));
}

void up_in_wave_scope(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward) {
  run_in_wave_scope(node, [&] { up_refusing_feedback(node, std::move(messages), toward); });
}

void node_up_in_wave_scope(const UncountedNode& node, MessageList messages) {
  up_in_wave_scope(node, std::move(messages), std::nullopt);
}

}  // namespace korvalinth
