#include "nodes/ctx_actions.hpp"

#include <functional>
#include <memory>

#include "node/wave/batch.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/down.hpp"
#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/up.hpp"
#include "nodes/ctx.hpp"
#include "nodes/node_callback.hpp"
#include "nodes/py_hook.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

namespace {

MessageList pull_message(CtxAction& action) {
  SharedValue params = action.object ? make_py_value(std::move(action.object)) : nullptr;
  return one_message(Message::pull(std::move(action.pull_id), std::move(params)));
}

void apply(CtxAction& action, const RunContext& run, const SharedFatalSlot& slot) {
  const UncountedNode& node = run.node;
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
      add_invalidate_callback(node, make_invalidate_callback([hook] { hook->call(); }, hook));
      return;
    }
    case CtxActionKind::OnDeactivation: {
      auto hook = std::make_shared<const PyHook>(std::move(action.object), node, slot);
      add_release_callback(node, ReleaseCallback([hook] { hook->call(); }, hook));
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
      up_refusing_feedback(node, pull_message(action), action.toward_dep);
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

void apply_ctx_actions(CtxActionQueue& queue, const RunContext& run, const SharedFatalSlot& slot) {
  CtxActions actions = std::exchange(*queue.borrow_mut(), {});
  for (CtxAction& action : actions) apply(action, run, slot);
}

}  // namespace korvalinth::py
