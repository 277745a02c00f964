#include "nodes/async_ctx.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "nodes/py_hook.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

namespace {

// The pending-fatal check, the liveness check, then the delivery from the
// node under the guard. A refused call delivers nothing; its argument goes
// with the caller's frame.
template <class Deliver>
kit::OwnedRef deliver(PyAsyncCtx& self, Deliver&& deliver_from) {
  raise_pending_fatal(*self.pending_fatal);
  if (!*self.live) kit::throw_error(PyExc_RuntimeError, kAsyncCtxNotLive);
  deliver_async_output(*self.pending_fatal, self.node, std::forward<Deliver>(deliver_from));
  return kit::py_none();
}

kit::OwnedRef async_ctx_emit_method(PyAsyncCtx& self, const kit::Args& args) {
  SharedValue value = make_py_value(args[0].new_ref());
  return deliver(self, [&](const UncountedNode& node) { async_ctx_emit(node, std::move(value)); });
}

kit::OwnedRef async_ctx_resolve_method(PyAsyncCtx& self, const kit::Args& args) {
  SharedValue value = make_py_value(args[0].new_ref());
  return deliver(self, [&](const UncountedNode& node) { async_ctx_resolve(node, std::move(value)); });
}

kit::OwnedRef async_ctx_complete_method(PyAsyncCtx& self, const kit::Args&) {
  return deliver(self, [](const UncountedNode& node) { async_ctx_complete(node); });
}

kit::OwnedRef async_ctx_error_method(PyAsyncCtx& self, const kit::Args& args) {
  std::string message = args.convert(0, kit::extract_str);
  return deliver(self, [&](const UncountedNode& node) { async_ctx_error(node, std::move(message)); });
}

kit::OwnedRef async_ctx_is_live(PyAsyncCtx& self, const kit::Args&) {
  raise_pending_fatal(*self.pending_fatal);
  return kit::OwnedRef::new_ref(*self.live ? Py_True : Py_False);
}

kit::OwnedRef async_ctx_on_deactivation(PyAsyncCtx& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  if (!*self.live) kit::throw_error(PyExc_RuntimeError, kAsyncCtxSetupNotLive);
  self.deactivation_callbacks->borrow_mut()->push_back(std::move(callback));
  return kit::py_none();
}

// The queued callbacks are the record's own references (a callback that
// refers to its ctx closes a cycle).
int async_ctx_traverse(const PyAsyncCtx& self, visitproc visit, void* arg) {
  if (self.deactivation_callbacks->is_mutably_borrowed()) return 0;
  for (const kit::OwnedRef& callback : *self.deactivation_callbacks->borrow()) Py_VISIT(callback.get());
  return 0;
}

struct AsyncCtxClass {
  using Record = PyAsyncCtx;
  static constexpr auto traverse = async_ctx_traverse;
  static constexpr const char* name = "AsyncCtx";
  static constexpr const char* internal_name = "_native::PyAsyncCtx";
  static constexpr kit::Method<PyAsyncCtx> methods[] = {
      {"emit", async_ctx_emit_method, {{"value"}}},
      {"complete", async_ctx_complete_method},
      {"resolve", async_ctx_resolve_method, {{"value"}}},
      {"error", async_ctx_error_method, {{"message"}}},
      {"is_live", async_ctx_is_live},
      {"on_deactivation", async_ctx_on_deactivation, {{"callback"}}},
  };
};

}  // namespace

PyTypeObject* async_ctx_type() { return kit::type_object<AsyncCtxClass>(); }

kit::OwnedRef make_async_ctx_object(const RunContext& run, ActivationLiveness live, SharedFatalSlot slot) {
  PyAsyncCtx record;
  record.node = WeakNodeHandle::of(run.node);
  record.live = std::move(live);
  record.pending_fatal = std::move(slot);
  return kit::make_instance<AsyncCtxClass>(std::move(record));
}

void finish_async_ctx_callback(kit::BorrowedRef ctx, const RunContext& run) {
  PyAsyncCtx& record = kit::checked_record<AsyncCtxClass>(ctx);
  std::vector<kit::OwnedRef> callbacks = std::exchange(*record.deactivation_callbacks->borrow_mut(), {});
  for (kit::OwnedRef& callback : callbacks) {
    auto hook = std::make_shared<const PyHook>(std::move(callback), run.node, record.pending_fatal);
    add_release_callback(run.node, ReleaseCallback(
                                       [live = record.live, hook] {
                                         *live = false;
                                         hook->call();
                                       },
                                       hook));
  }
}

}  // namespace korvalinth::py
