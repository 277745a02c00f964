#include "node/wave/run_wave.hpp"

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "base/index_fault.hpp"
#include "base/thread_block.hpp"
#include "node/wave/down.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

constinit thread_local std::uint64_t tls_functions_running KORVALINTH_FAST_TLS = 0;

// Clears the fn-running flag in the node's edge entry e, unless nothing
// keeps the node any more.
inline void end_running(Arena& a, EdgeEntry& e, const UncountedNode& node) {
  if (node.count()->count == 0 && a.pin_count(node.key().index) == 0) return;
  e.state.end_run();
}

// The same, if the node still exists.
void end_running(Arena& a, const UncountedNode& node) {
  if (!a.is_current(node.key())) return;
  end_running(a, a.wave_edge(node.key()), node);
}

// The callbacks a run drops uncalled, release callbacks first.
struct OldCallbacks {
  std::vector<ReleaseCallback> release;
  std::vector<InvalidateCallback> invalidate;
};

// A dep that brought nothing this wave: no value, delivery or terminal.
bool quiet_this_wave(const DepSlot& d) noexcept {
  return !d.wave_value && !d.terminal_input_present() && d.deliveries.empty();
}

// Hands each dep's wave state to the run's inputs: its terminal and
// deliveries once, by a move, its latest and current value as shares.
void take_run_inputs(EdgeEntry& e, std::size_t n, DepInputs& inputs) {
  if (n > inputs.capacity()) inputs.reserve(n);
  DepSlot* const slots = e.dep_state.data();
  for (std::size_t i = 0; i < n; ++i) {
    DepSlot& d = slots[i];
    d.stamp = kNoStamp;
    if (quiet_this_wave(d)) [[likely]] {
      inputs.emplace_back(d.latest);
      continue;
    }
    inputs.emplace_back(d.take_terminal_input(), std::move(d.deliveries), d.latest,
                        d.wave_value ? &*d.wave_value : nullptr);
  }
}

// The values of this wave become the deps' latest; the replaced ones go to
// old_latest, to be dropped after the borrow.
void move_wave_values(EdgeEntry& e, SmallVec<SharedValue, 2>& old_latest) {
  for (DepSlot& d : e.dep_state) {
    if (!d.wave_value) continue;
    old_latest.push_back(std::exchange(d.latest, std::move(*d.wave_value)));
    d.wave_value.reset();
  }
}

}  // namespace

std::uint64_t node_functions_running() noexcept { return tls_functions_running; }

namespace {

// The run, under the caller's borrow held when given (with the node's
// entries it found and whether the running wave touched the node), else
// under its own.
void run_from(const UncountedNode& node, RefMut<Arena>* held, const LiveSlotsWithAux* found, bool touched) {
  check_stack_headroom();
  GraphCore& core = node.core_ref();
  const SlotKey node_key = node.key();
  RunContext ctx;
  DispatcherRef kept_dispatcher;  // held only when used past the borrow
  DispatcherKey key;
  Dispatcher::RunLookup call;
  bool looked_up = false;
  std::optional<OldCallbacks> old_callbacks;  // made only when there are some
  {
    RefMut<Arena> a = held ? std::move(*held) : core.borrow_mut();
    // Touched (and pinned) in the running wave before anything else.
    if (!(held ? touched : touched_in_installed_scope(*a, node_key))) {
      auto cell = wave_scope_cell().borrow_mut();
      if (cell->has_value()) touch_in_frame(**cell, *a, node.core(), node.count(), node_key);
    }
    EdgeEntry& e = found ? found->edge : a->wave_edge(node_key);
    if (e.state.running()) fault(kReentrantRun);
    // The other entries of a run, checked in column order.
    const std::uint64_t i = node_key.index;
    CallEntry& call_entry = found ? found->call : a->call_at(i);
    if (!found) a->config_at(i);
    std::uint8_t& has_run = found ? found->run : a->run_at(i);
    AuxEntry& aux = found ? found->aux : a->aux_at(i);
    const std::size_t n = (found ? found->topology : a->topology_at(i)).deps.size();
    if (e.dep_state.size() < n) index_fault(e.dep_state.size(), e.dep_state.size());
    take_run_inputs(e, n, ctx.inputs);
    has_run = 1;
    e.state.begin_run();
    if (!call_entry.key) fault("run_wave \xE2\x87\x92 handle present");
    key = *call_entry.key;
    // The node's call entry keeps its dispatcher while the borrow is held.
    const Dispatcher& dispatcher = *call_entry.dispatcher;
    AuxRare* rare = aux.rare_if_made();
    // Dropping old callbacks may run host code, which may replace the
    // function or turn timing on: with any to drop, the function is looked
    // up after them.
    const bool drops_callbacks =
        rare && (!rare->release_callbacks.empty() || !rare->invalidate_callbacks.empty());
    if (drops_callbacks) {
      ctx.partition_flag = dispatcher.partition_flag(key.partition);
      kept_dispatcher = call_entry.dispatcher;
    } else {
      call = dispatcher.lookup_for_run(key);
      looked_up = true;
      ctx.partition_flag = call.partition_flag;
      if (call.timing) kept_dispatcher = call_entry.dispatcher;
    }
    if (rare) {
      if (rare->current_pull) ctx.pull = rare->current_pull;
      if (drops_callbacks) {
        old_callbacks.emplace(OldCallbacks{std::exchange(rare->release_callbacks, {}),
                                           std::exchange(rare->invalidate_callbacks, {})});
      }
    }
    ctx.node = node;
  }
  // Callbacks registered during the previous run go uncalled.
  if (old_callbacks) {
    old_callbacks->release.clear();
    old_callbacks->invalidate.clear();
  }
  {
    auto cell = wave_scope_cell().borrow_mut();
    if (cell->has_value()) (*cell)->running_node = NodeId{core.id(), node_key.index, node_key.generation};
  }
  {
    // The flag is cleared when the function unwinds; when it returns, under
    // the borrow that follows. The caller's handle keeps the core and the
    // count record alive meanwhile.
    auto end_on_unwind = on_scope_exit([&]() noexcept {
      drop_quietly([&] {
        auto a = core.borrow_mut();
        end_running(*a, node);
      });
    });
    // Counts a node function on the thread's stack while it runs.
    tls_functions_running += 1;
    auto uncount = on_scope_exit([]() noexcept { tls_functions_running -= 1; });
    if (!looked_up) call = kept_dispatcher->lookup_for_run(key);
    // Held here: on unwind the function goes before the guards above run.
    SharedNodeFn fn = std::move(call.fn);
    if (fn) {
      if (call.timing) {
        // The call's time is recorded also on unwind.
        const std::uint64_t start = monotonic_now_ns();
        auto record_time = on_scope_exit([&]() noexcept {
          drop_quietly([&] { record_fn_timing(start, kept_dispatcher, key); });
        });
        fn->run(ctx);
      } else {
        fn->run(ctx);
      }
    }
    fn.reset();
    end_on_unwind.dismiss();
  }
  SmallVec<SharedValue, 2> old_latest;
  bool resolve;
  {
    auto a = core.borrow_mut();
    // A node gone meanwhile faults here, before the wave step.
    EdgeEntry& e = a->wave_edge(node_key);
    end_running(*a, e, node);
    resolve = e.state.resolves_after_run() && ctx.partition_flag == 0;
    if (!resolve) {
      move_wave_values(e, old_latest);
      e.state.end_wave();
      return;
    }
  }
  down(node, Message::resolved());
  auto a = core.borrow_mut();
  EdgeEntry& e = a->wave_edge(node_key);
  move_wave_values(e, old_latest);
  e.state.end_wave_unless_settled();
  a.release();
}

}  // namespace

void run_wave(const UncountedNode& node) { run_from(node, nullptr, nullptr, false); }

void run_wave(RefMut<Arena>& a, const UncountedNode& node, const LiveSlotsWithAux& s, bool touched) {
  run_from(node, &a, &s, touched);
}

}  // namespace korvalinth
