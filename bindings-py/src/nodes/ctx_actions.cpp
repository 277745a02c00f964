#include "nodes/ctx_actions.hpp"

#include <functional>
#include <memory>

#include "boundary/callback_errors.hpp"
#include "boundary/callback_settlers.hpp"
#include "kit/gil.hpp"
#include "node/batch.hpp"
#include "node/down.hpp"
#include "node/graph_core.hpp"
#include "node/node_ops.hpp"
#include "node/up.hpp"
#include "nodes/ctx.hpp"
#include "nodes/node_callback.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

namespace {

// A hook registered through on_invalidate or on_deactivation. It names its
// node without counting it: the node's own aux slot keeps the hook, and a
// counted handle there would keep the node from ever being released.
class PyHook {
 public:
  PyHook(kit::OwnedRef callback, const NodeHandle& node, SharedFatalSlot slot) noexcept
      : node_(node.uncounted()), slot_(std::move(slot)), callback_(std::move(callback)) {}

  // An Exception of the callback goes down from the node as ERROR, unless
  // the node has been released meanwhile (then there is no one to tell).
  void call() const {
    if (!node_is_current(node_)) {
      call_detached();
      return;
    }
    call_python_noargs(callback_.borrow(), *slot_, node_);
  }

 private:
  // The callback still runs; only a BaseException other than Exception has
  // anywhere to go.
  void call_detached() const {
    CallOutcome outcome;
    {
      kit::GilGuard gil;
      if (!gil.held()) return;
      outcome = CallOutcome::of_call(PyObject_CallNoArgs(callback_.get()));
    }
    if (!outcome.ok()) settle_callback_exception(*slot_, outcome.take_exception());
  }

  NodeHandle node_;  // uncounted
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the runtime drops hooks anywhere (a later run, a release)
};

MessageList pull_message(CtxAction& action) {
  SharedValue params = action.object ? make_py_value(std::move(action.object)) : nullptr;
  return one_message(Message::pull(std::move(action.pull_id), std::move(params)));
}

void apply(CtxAction& action, const RunContext& run, const SharedFatalSlot& slot) {
  const NodeHandle& node = run.node;
  switch (action.kind) {
    case CtxActionKind::Emit:
      emit_data(run, make_py_value(std::move(action.object)));
      return;
    case CtxActionKind::SetState:
      set_ctx_state(node, make_py_value(std::move(action.object)));
      return;
    case CtxActionKind::StatePersist:
      set_ctx_state_persist(node, action.on);
      return;
    case CtxActionKind::OnInvalidate: {
      auto hook = std::make_shared<const PyHook>(std::move(action.object), node, slot);
      add_invalidate_callback(node, std::make_shared<const std::function<void()>>([hook] { hook->call(); }));
      return;
    }
    case CtxActionKind::OnDeactivation: {
      auto hook = std::make_unique<PyHook>(std::move(action.object), node, slot);
      add_release_callback(node, [hook = std::move(hook)] { hook->call(); });
      return;
    }
    case CtxActionKind::RewireNextSubscribeDep:
      batch_defer_rewire(node, SubscribeDep{make_py_node_fn(std::move(action.object), slot), std::move(action.deps[0])});
      return;
    case CtxActionKind::RewireNextUnsubscribeDep: {
      NodeId dep = action.deps[0].id();
      action.deps.clear();
      batch_defer_rewire(node, UnsubscribeDep{make_py_node_fn(std::move(action.object), slot), dep});
      return;
    }
    case CtxActionKind::RewireNextReplaceDeps:
      batch_defer_rewire(node, ReplaceDeps{std::move(action.deps), make_py_node_fn(std::move(action.object), slot)});
      return;
    case CtxActionKind::UpNextPull:
      batch_defer_emission(node, pull_message(action), action.toward_dep);
      return;
    case CtxActionKind::UpPull:
      up(node, pull_message(action), action.toward_dep);
      return;
    case CtxActionKind::ConformanceDownComplete:
      down(node, Message::complete());
      return;
    case CtxActionKind::ConformanceUpData:
      up(node, one_message(Message::data(make_py_value(std::move(action.object)))), std::nullopt);
      return;
  }
}

}  // namespace

void apply_ctx_actions(kit::BorrowedRef ctx, const RunContext& run, const SharedFatalSlot& slot) {
  std::vector<CtxAction> actions = take_ctx_actions(ctx);
  for (CtxAction& action : actions) apply(action, run, slot);
}

}  // namespace korvalinth::py
