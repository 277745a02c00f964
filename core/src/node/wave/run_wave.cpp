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

// Clears the node's fn-running flag, if the node still exists.
void end_running(Arena& a, const UncountedNode& node) {
  const SlotKey key = node.key();
  if (!a.is_current(key)) return;
  if (node.count()->count == 0 && a.pin_count(key.index) == 0) return;
  a.wave_edge(key).state.end_run();
}

}  // namespace

std::uint64_t node_functions_running() noexcept { return tls_functions_running; }

void run_wave(const UncountedNode& node) {
  check_stack_headroom();
  GraphCore& core = node.core_ref();
  const SlotKey node_key = node.key();
  RunContext ctx;
  DispatcherRef dispatcher;
  DispatcherKey key;
  bool timing = false;
  std::vector<ReleaseCallback> old_release;
  std::vector<InvalidateCallback> old_invalidate;
  {
    auto a = core.borrow_mut();
    // Touched (and pinned) in the running wave before anything else.
    if (!touched_in_installed_scope(*a, node_key)) {
      auto cell = wave_scope_cell().borrow_mut();
      if (cell->has_value()) touch_in_frame(**cell, *a, node.core(), node.count(), node_key);
    }
    if (a->wave_edge(node_key).state.running()) fault(kReentrantRun);
    LiveSlotsWithAux s = live_slots_with_aux(*a, node_key);
    EdgeEntry& e = s.edge;
    const std::size_t n = s.topology.deps.size();
    if (e.dep_state.size() < n) index_fault(e.dep_state.size(), e.dep_state.size());
    ctx.inputs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      DepSlot& d = e.dep_state[i];
      DepInput& in = ctx.inputs.emplace_back();
      if (d.terminal_input.present) in.terminal = std::exchange(d.terminal_input, TerminalRecord{});
      if (!d.deliveries.empty()) in.deliveries = d.deliveries.take();
      d.stamp = kNoStamp;
      in.latest = d.latest;
      in.current = d.wave_value ? *d.wave_value : d.latest;
    }
    s.run = 1;
    e.state.begin_run();
    if (!s.call.key) fault("run_wave \xE2\x87\x92 handle present");
    key = *s.call.key;
    dispatcher = s.call.dispatcher;
    {
      auto d = dispatcher->state().borrow();
      check_index(d->partitions.size(), key.partition);
      ctx.partition_flag = d->partitions[key.partition].flag;
    }
    if (AuxRare* rare = s.aux.rare_if_made()) {
      if (rare->current_pull) ctx.pull = rare->current_pull;
      if (!rare->release_callbacks.empty()) old_release = std::exchange(rare->release_callbacks, {});
      if (!rare->invalidate_callbacks.empty()) old_invalidate = std::exchange(rare->invalidate_callbacks, {});
    }
    ctx.node = node;
  }
  // Callbacks registered during the previous run go uncalled.
  old_release.clear();
  old_invalidate.clear();
  {
    auto cell = wave_scope_cell().borrow_mut();
    if (cell->has_value()) (*cell)->running_node = node.id();
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
    {
      auto d = dispatcher->state().borrow();
      timing = d->timing_flag == 1;
    }
    SharedNodeFn fn = dispatcher->lookup(key);
    if (fn) {
      if (timing) {
        // The call's time is recorded also on unwind.
        const std::uint64_t start = monotonic_now_ns();
        auto record_time = on_scope_exit([&]() noexcept {
          drop_quietly([&] { record_fn_timing(start, dispatcher, key); });
        });
        fn->run(ctx);
      } else {
        fn->run(ctx);
      }
    }
    fn.reset();
    end_on_unwind.dismiss();
  }
  // The values of this wave become the deps' latest; they are dropped after the borrow.
  SmallVec<std::optional<SharedValue>, 2> old_wave;
  SmallVec<SharedValue, 2> old_latest;
  auto move_wave_values = [&](EdgeEntry& e) {
    for (DepSlot& d : e.dep_state) {
      if (!d.wave_value) continue;
      old_latest.push_back(std::exchange(d.latest, *d.wave_value));
      old_wave.push_back(std::exchange(d.wave_value, std::nullopt));
    }
  };
  bool resolve;
  {
    auto a = core.borrow_mut();
    end_running(*a, node);
    EdgeEntry& e = a->wave_edge(node_key);
    resolve = e.state.resolves_after_run() && ctx.partition_flag == 0;
    if (!resolve) {
      move_wave_values(e);
      e.state.end_wave();
      return;
    }
  }
  down(node, Message::resolved());
  auto a = core.borrow_mut();
  EdgeEntry& e = a->wave_edge(node_key);
  move_wave_values(e);
  e.state.end_wave_unless_settled();
  a.release();
}

}  // namespace korvalinth
