#include "nodes/conformance_async_handle.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/wave_scope.hpp"
#include "nodes/async_ctx.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kInternalName = "_native::PyConformanceAsyncHandle";

class CaptureFn final : public NodeFn {
 public:
  explicit CaptureFn(SharedConformanceAsyncState state) noexcept : state_(std::move(state)) {}
  void run(RunContext& run) override { *state_->pending.borrow_mut() = WeakNodeHandle::of(run.node); }

 private:
  SharedConformanceAsyncState state_;
};

// The pending activation is consumed before the delivery, also when the
// delivery then fails; no borrow is held while it runs, so a run it causes
// may capture into the same state.
template <class Deliver>
kit::OwnedRef consume_pending(PyConformanceAsyncHandle& self, const char* none_pending, Deliver&& deliver_from) {
  raise_pending_fatal(*self.pending_fatal);
  std::optional<WeakNodeHandle> pending = std::exchange(*self.state->pending.borrow_mut(), std::nullopt);
  if (!pending) kit::throw_error(PyExc_RuntimeError, none_pending);
  deliver_async_output(*self.pending_fatal, *pending, std::forward<Deliver>(deliver_from));
  return kit::py_none();
}

kit::OwnedRef handle_has_pending(PyConformanceAsyncHandle& self, const kit::Args&) {
  raise_pending_fatal(*self.pending_fatal);
  return kit::OwnedRef::new_ref(self.state->pending.borrow()->has_value() ? Py_True : Py_False);
}

kit::OwnedRef handle_resolve(PyConformanceAsyncHandle& self, const kit::Args& args) {
  SharedValue value = make_py_value(args[0].new_ref());
  return consume_pending(self, kNoPendingToResolve,
                         [&](const UncountedNode& node) { async_ctx_emit(node, std::move(value)); });
}

kit::OwnedRef handle_invalidate_live_deps(PyConformanceAsyncHandle& self, const kit::Args&) {
  return consume_pending(self, kNoPendingToInvalidate, [](const UncountedNode& node) {
    MessageList messages;
    messages.push_back(Message::invalidate());
    up_in_wave_scope(node, std::move(messages), std::nullopt);
  });
}

struct ConformanceAsyncHandleClass {
  using Record = PyConformanceAsyncHandle;
  static constexpr const char* name = "ConformanceAsyncHandle";
  static constexpr const char* internal_name = kInternalName;
  static constexpr kit::Method<PyConformanceAsyncHandle> methods[] = {
      {"has_pending", handle_has_pending},
      {"resolve", handle_resolve, {{"value"}}},
      {"invalidate_live_deps", handle_invalidate_live_deps},
  };
};

}  // namespace

PyTypeObject* conformance_async_handle_type() { return kit::type_object<ConformanceAsyncHandleClass>(); }

SharedNodeFn make_capture_fn(SharedConformanceAsyncState state) {
  return std::make_shared<CaptureFn>(std::move(state));
}

kit::OwnedRef make_conformance_async_pair(kit::OwnedRef node, SharedConformanceAsyncState state,
                                          SharedFatalSlot slot) {
  kit::OwnedRef handle =
      kit::make_instance<ConformanceAsyncHandleClass>(PyConformanceAsyncHandle{std::move(state), std::move(slot)});
  return kit::check(PyTuple_Pack(2, node.get(), handle.get()));
}

kit::BorrowedRef downcast_conformance_async_handle(kit::BorrowedRef object) {
  return kit::downcast<ConformanceAsyncHandleClass>(object);
}

SharedConformanceAsyncState share_conformance_async_state(kit::BorrowedRef handle) {
  auto* instance = kit::Instance<PyConformanceAsyncHandle>::of(handle.get());
  kit::check_owner_thread(instance->owner, kInternalName);
  raise_pending_fatal(*instance->record().pending_fatal);
  return instance->record().state;
}

}  // namespace korvalinth::py
