#include "node/wave/deferred_ops.hpp"

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"

namespace korvalinth {

void defer_core_op(const CoreRef& core, DeferredOp op) {
  {
    auto c = wave_scope_cell().borrow_mut();
    if (c->has_value()) {
      WaveScope& scope = **c;
      bool known = scope.owner_core == core->id();
      for (const DeferredCore& d : scope.deferred_cores) known |= d.id == core->id();
      if (!known) scope.deferred_cores.push_back(DeferredCore{core, core->id()});
    }
  }
  batch_register_core(core);
  auto a = core->borrow_mut();
  a->deferred_ops().push_back(std::move(op));
}

void discard_deferred_ops(const WeakCore& weak) {
  CoreRef core = weak.lock();
  if (!core) return;
  std::deque<DeferredOp> dropped;
  {
    auto a = core->borrow_mut();
    dropped = std::move(a->deferred_ops());
    a->deferred_ops().clear();
  }
}

void discard_all_deferred_ops(const CoreRef& own, const std::vector<DeferredCore>& deferred_cores) {
  discard_deferred_ops(own);
  for (const DeferredCore& d : deferred_cores) discard_deferred_ops(d.core);
}

void remove_unconfirmed_ops(const CoreRef& core) {
  std::deque<DeferredOp> removed;
  auto a = core->borrow_mut();
  std::deque<DeferredOp> kept;
  for (DeferredOp& op : a->deferred_ops()) {
    if (op.token && *op.token)
      kept.push_back(std::move(op));
    else
      removed.push_back(std::move(op));
  }
  a->deferred_ops() = std::move(kept);
  a.release();
}

namespace {

enum class OpOutcome { Done, Requeued };

OpOutcome run_op(const CoreRef& core, DeferredOp& op) {
  if (!op.token || !*op.token) return OpOutcome::Done;
  auto pinned = pin_node(core, op.node);
  if (!pinned) return OpOutcome::Done;
  UncountedNode& node = pinned->second;
  auto release = on_scope_exit([&]() noexcept {
    drop_quietly([&] {
      pinned->second.drop();
      pinned->first.unpin();
    });
  });

  switch (op.kind) {
    case DeferredKind::RewireNext:
      if (has_pause_locks(node)) return OpOutcome::Requeued;
      [[fallthrough]];
    case DeferredKind::Rewire: {
      auto& change = std::get<QueuedDepChange>(op.payload);
      change.apply(node, std::move(change.shape));
      return OpOutcome::Done;
    }
    case DeferredKind::UpNext: {
      if (has_pause_locks(node)) return OpOutcome::Requeued;
      auto& up = std::get<UpNextPayload>(op.payload);
      up_in_wave_scope(node, std::move(up.messages), up.toward_dep);
      return OpOutcome::Done;
    }
  }
  return OpOutcome::Done;
}

}  // namespace

void drain_queued_deferred_ops(const CoreRef& core) {
  core->borrow_mut()->set_draining(true);
  auto end_drain = [held = core] { held->borrow_mut()->set_draining(false); };
  // Clears the core's draining flag when the drain ends, also on unwind.
  auto end_on_unwind = on_scope_exit([&]() noexcept { drop_quietly(end_drain); });
  std::exception_ptr saved;
  std::size_t requeues = 0;
  for (;;) {
    std::optional<DeferredOp> op;
    {
      auto a = core->borrow_mut();
      if (a->deferred_ops().empty()) break;
      op = std::move(a->deferred_ops().front());
      a->deferred_ops().pop_front();
    }
    try {
      OpOutcome outcome = run_op(core, *op);
      if (outcome == OpOutcome::Requeued) {
        std::size_t len;
        {
          auto a = core->borrow_mut();
          a->deferred_ops().push_back(std::move(*op));
          len = a->deferred_ops().size();
        }
        requeues += 1;
        if (requeues >= len) break;
        continue;
      }
      requeues = 0;
    } catch (const HostBoundaryAbort&) {
      std::deque<DeferredOp> dropped;
      {
        auto a = core->borrow_mut();
        dropped = std::move(a->deferred_ops());
        a->deferred_ops().clear();
      }
      end_on_unwind.dismiss();
      end_drain();
      throw;
    } catch (...) {
      if (!saved) saved = std::current_exception();
      requeues = 0;
    }
  }
  end_on_unwind.dismiss();
  end_drain();
  if (saved) std::rethrow_exception(saved);
}

void drain_deferred_ops_guarded(const CoreRef& own, const std::vector<DeferredCore>& deferred_cores) {
  // With no other core, the own drain already empties its queue on an abort.
  if (deferred_cores.empty()) return drain_deferred_ops(own);
  std::exception_ptr saved;
  try {
    drain_deferred_ops(own);
  } catch (const HostBoundaryAbort&) {
    discard_all_deferred_ops(own, deferred_cores);
    throw;
  } catch (...) {
    saved = std::current_exception();
  }
  for (const DeferredCore& d : deferred_cores) {
    CoreRef core = d.core.lock();
    if (!core) continue;
    try {
      drain_deferred_ops(core);
    } catch (const HostBoundaryAbort&) {
      discard_all_deferred_ops(own, deferred_cores);
      throw;
    } catch (...) {
      if (!saved) saved = std::current_exception();
    }
  }
  if (saved) std::rethrow_exception(saved);
}

}  // namespace korvalinth
