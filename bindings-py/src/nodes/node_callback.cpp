#include "nodes/node_callback.hpp"

#include "boundary/callback_settlers.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "nodes/ctx.hpp"
#include "nodes/ctx_actions.hpp"

namespace korvalinth::py {

namespace {

class PyNodeFn final : public NodeFn {
 public:
  PyNodeFn(kit::OwnedRef callback, SharedFatalSlot slot) noexcept
      : slot_(std::move(slot)), callback_(std::move(callback)) {}

  void run(RunContext& ctx) override { py_node_callback_adapter(ctx, callback_.borrow(), slot_); }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the dispatcher may drop the function anywhere
};

// With its count record's table and counts it takes one block.
static_assert(sizeof(PyNodeFn) + 2 * sizeof(void*) <= NodeFnBlocks::kBytes);

}  // namespace

void py_node_callback_adapter(RunContext& run, kit::BorrowedRef callback, const SharedFatalSlot& slot) {
  CallOutcome outcome;
  {
    kit::GilGuard gil;
    if (!gil.held()) return;
    CtxActionQueue actions;
    kit::OwnedRef ctx;
    try {
      ctx = make_ctx_object(run, actions);
    } catch (kit::PyErrAlreadySet& e) {
      outcome = CallOutcome::raised(e.take());
    }
    if (ctx) {
      // The spare leading slot lets the callee prepend without copying.
      PyObject* call_args[2] = {nullptr, ctx.get()};
      outcome = CallOutcome::of_call(
          PyObject_Vectorcall(callback.get(), call_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      invalidate_ctx(ctx.borrow());
      if (outcome.ok()) apply_ctx_actions(actions, run, slot);
    }
  }
  discard_callback_result(run.node, *slot, std::move(outcome));
}

SharedNodeFn make_py_node_fn(kit::OwnedRef callback, SharedFatalSlot slot) {
  return make_node_fn<PyNodeFn>(std::move(callback), std::move(slot));
}

}  // namespace korvalinth::py
