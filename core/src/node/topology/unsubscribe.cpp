#include <utility>
#include <vector>

#include "base/scope_exit.hpp"
#include "base/small_vec.hpp"
#include "base/thread_block.hpp"
#include "node/topology/subscribe.hpp"

namespace korvalinth {

namespace {

// What deactivation takes out of a node to call after its borrow: the
// per-dep unsubscribe actions (dep order) and the release callbacks.
struct Deactivation {
  std::vector<UnsubscribeFn> unsubscribes;
  std::vector<ReleaseCallback> callbacks;
};

using RemovedSinks = SmallVec<SharedSink, 2>;

bool has_sink(const SinkList& sinks, std::uint64_t sink_id) {
  for (const SinkEntry& e : sinks)
    if (e.id == sink_id) return true;
  return false;
}

// Deactivating a node detaches its dep sinks, which may deactivate those
// deps in turn, down a chain as long as the graph. The outermost
// deactivation drives that cascade from an explicit stack instead of
// recursing: a deactivation entered from the driver's own unsubscribe call
// pushes a frame and returns, and the driver finishes that frame (its
// unsubscribes, its release callbacks, then the handle the recursive call
// would have dropped on its way out) before going on with the previous one;
// so everything happens in the order recursion would give it.
struct DeactivationFrame {
  // Dropped when the frame ends, as UnsubscribeFn::call drops it after
  // unsubscribe_sink returns.
  NodeHandle caller_handle;
  std::optional<Deactivation> taken;
  std::size_t next = 0;
};

struct DeactivationDriver {
  std::vector<DeactivationFrame>* stack = nullptr;
  bool entered_from_driver = false;  // set only around the driver's own unsubscribe call
};

constinit thread_local DeactivationDriver tls_deactivations KORVALINTH_FAST_TLS;

// Takes the activation out of the node under its borrow; what it drops goes
// right after the borrow, in the order the node held it.
void take_activation_state(const UncountedNode& node, Deactivation& d) {
  std::vector<std::shared_ptr<DepIndexCell>> cells;
  SharedValue cache;
  DepStates dep_state;
  std::vector<InvalidateCallback> invalidate;
  std::optional<PullRequest> pending_pull, current_pull;
  std::vector<MessageList> held;
  SharedValue ctx_state;
  {
    auto a = node.core_ref().borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    const std::size_t n = s.topology.deps.size();
    const bool has_fn = s.call.key.has_value();
    for (DepLink& link : s.edge.dep_links) {
      if (link.unsubscribe) d.unsubscribes.push_back(std::move(*link.unsubscribe));
      link.unsubscribe.reset();
      // A dep sink detached here may still be called from a delivery that
      // copied its dep's sinks before: with no position it ignores that.
      if (link.cell) link.cell->value = kNoDepIndex;
      cells.push_back(std::move(link.cell));
    }
    d.callbacks = s.aux.take(&AuxRare::release_callbacks);
    const bool clear_value = has_fn || n > 0;
    s.edge.state.deactivate(clear_value);
    if (clear_value) {
      cache = std::move(s.edge.cache);
      s.edge.cache.reset();
      if (n > 0) {
        dep_state = std::move(s.edge.dep_state);
        s.edge.dep_state = new_dep_state(dep_state.size());
      }
    }
    for (DepLink& link : s.edge.dep_links) link.flag = 0;
    s.run = 0;
    if (AuxRare* rare = s.aux.rare_if_made()) {
      invalidate = std::exchange(rare->invalidate_callbacks, {});
      rare->pause_locks.clear();  // keeps its table
      pending_pull = std::exchange(rare->pending_pull, std::nullopt);
      current_pull = std::exchange(rare->current_pull, std::nullopt);
      held = std::exchange(rare->held, {});
      if (!rare->ctx_state_persist) ctx_state = std::exchange(rare->ctx_state, SharedValue());
    }
  }
  cells.clear();
  cache.reset();
  dep_state.clear();
  invalidate.clear();
  pending_pull.reset();
  current_pull.reset();
  held.clear();
  ctx_state.reset();
}

void run_release_callbacks(Deactivation& d) {
  for (auto& cb : d.callbacks) {
    ReleaseCallback c = std::move(cb);
    c();
  }
}

void drive_deactivations(std::vector<DeactivationFrame>& stack) {
  std::vector<DeactivationFrame>* const saved = std::exchange(tls_deactivations.stack, &stack);
  // Drops the frames still on the stack innermost first (a fault unwinds),
  // as the unwinding of the recursive calls would.
  auto unwind = on_scope_exit([&]() noexcept {
    tls_deactivations.stack = saved;
    tls_deactivations.entered_from_driver = false;
    while (!stack.empty()) {
      DeactivationFrame frame = std::move(stack.back());
      stack.pop_back();
    }
  });
  while (!stack.empty()) {
    DeactivationFrame& top = stack.back();
    if (top.next < top.taken->unsubscribes.size()) {
      UnsubscribeFn action = std::move(top.taken->unsubscribes[top.next++]);
      tls_deactivations.entered_from_driver = true;
      action.call();  // may push a frame: `top` is not used after this
      tls_deactivations.entered_from_driver = false;
      continue;
    }
    run_release_callbacks(*top.taken);
    DeactivationFrame done = std::move(top);
    stack.pop_back();
    done.taken.reset();
    done.caller_handle.drop();
  }
}

// The sink list has just become empty: undo the activation. Entered from
// the driver, it leaves the calls to the driver.
void deactivate(const UncountedNode& node, bool entered_from_driver) {
  Deactivation d;
  take_activation_state(node, d);
  if (entered_from_driver) {
    DeactivationFrame frame;
    frame.taken = std::move(d);
    tls_deactivations.stack->push_back(std::move(frame));
    return;
  }
  if (d.unsubscribes.empty()) {
    run_release_callbacks(d);
    return;
  }
  std::vector<DeactivationFrame> stack;
  stack.emplace_back().taken = std::move(d);
  drive_deactivations(stack);
}

void detach_sink(const UncountedNode& node, std::uint64_t sink_id, bool entered_from_driver) {
  GraphCore& core = node.core_ref();
  {
    auto a = core.borrow();
    if (!a->is_current(node.key())) return;
  }
  RemovedSinks removed;  // dropped right after the borrow
  bool now_empty = false;
  {
    auto a = core.borrow_mut();
    a->check(node.key());
    AuxEntry& aux = a->aux_at(node.index());
    if (!has_sink(aux.sinks, sink_id)) return;
    aux.sinks.edit([&](std::vector<SinkEntry>& sinks) {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < sinks.size(); ++i) {
        if (sinks[i].id == sink_id) {
          removed.push_back(std::move(sinks[i].sink));
        } else {
          if (kept != i) sinks[kept] = std::move(sinks[i]);
          ++kept;
        }
      }
      sinks.resize(kept);
      now_empty = sinks.empty();
    });
  }
  removed.clear();
  if (now_empty) deactivate(node, entered_from_driver);
}

}  // namespace

void UnsubscribeFn::call() {
  const bool entered_from_driver = std::exchange(tls_deactivations.entered_from_driver, false);
  NodeHandle node = std::move(node_);
  if (node.empty()) return;
  if (!entered_from_driver) {
    detach_sink(node, sink_id_, false);
    node.drop();
    return;
  }
  const std::size_t frames = tls_deactivations.stack->size();
  detach_sink(node, sink_id_, true);
  if (tls_deactivations.stack->size() > frames)
    tls_deactivations.stack->back().caller_handle = std::move(node);  // dropped when that frame ends
  else
    node.drop();
}

void unsubscribe_sink(const UncountedNode& node, std::uint64_t sink_id) { detach_sink(node, sink_id, false); }

void drop_observer_sinks(const UncountedNode& node) {
  std::vector<SharedSink> dropped;  // released after the borrow
  auto a = node.core_ref().borrow_mut();
  if (!a->is_current(node.key())) return;
  SinkList& list = a->aux_at(node.index()).sinks;
  if (list.empty()) return;
  list.edit([&](std::vector<SinkEntry>& sinks) {
    std::vector<SinkEntry> kept;
    kept.reserve(sinks.size());
    for (SinkEntry& s : sinks) {
      if (s.observer) {
        dropped.push_back(std::move(s.sink));
      } else {
        kept.push_back(std::move(s));
      }
    }
    sinks = std::move(kept);
  });
}

}  // namespace korvalinth
