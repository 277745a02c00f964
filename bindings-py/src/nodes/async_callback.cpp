#include "nodes/async_callback.hpp"

#include "base/small_vec.hpp"
#include "boundary/callback_settlers.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "nodes/async_ctx.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

// The deps' values first: a dep without one stops the run before any ctx
// is made. The GIL must be held.
CallOutcome call_with_async_ctx(const RunContext& run, kit::BorrowedRef callback, const ActivationLiveness& live,
                                const SharedFatalSlot& slot) {
  try {
    DepArguments deps(run.inputs);
    kit::OwnedRef ctx = make_async_ctx_object(run, live, slot);
    const std::size_t dep_count = deps.nargsf() & ~PY_VECTORCALL_ARGUMENTS_OFFSET;
    // The spare leading slot lets the callee prepend without copying.
    SmallVec<PyObject*, 6> argv;
    argv.push_back(nullptr);
    argv.push_back(ctx.get());
    for (std::size_t i = 0; i < dep_count; ++i) argv.push_back(deps.argv()[i]);
    CallOutcome outcome = CallOutcome::of_call(
        PyObject_Vectorcall(callback.get(), argv.data() + 1, (dep_count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (outcome.ok()) {
      finish_async_ctx_callback(ctx.borrow(), run);
    } else {
      *live = false;
    }
    return outcome;
  } catch (kit::PyErrAlreadySet& e) {
    return CallOutcome::raised(e.take());
  }
}

class AsyncCallbackFn final : public NodeFn {
 public:
  AsyncCallbackFn(kit::OwnedRef callback, SharedFatalSlot slot) noexcept
      : slot_(std::move(slot)), callback_(std::move(callback)) {}

  void run(RunContext& run) override {
    auto live = std::make_shared<bool>(true);
    CallOutcome outcome;
    {
      kit::GilGuard gil;
      if (!gil.held()) return;
      outcome = call_with_async_ctx(run, callback_.borrow(), live, slot_);
    }
    discard_callback_result(run.node, *slot_, std::move(outcome));
  }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the dispatcher may drop the function anywhere
};

}  // namespace

SharedNodeFn make_async_callback_fn(kit::OwnedRef callback, SharedFatalSlot slot) {
  return std::make_shared<AsyncCallbackFn>(std::move(callback), std::move(slot));
}

}  // namespace korvalinth::py
