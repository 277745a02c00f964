#include "nodes/value_callbacks.hpp"

#include "boundary/callback_settlers.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

// The callback called with the deps' values; a dep without a value stops
// the run before the call, as a RuntimeError outcome.
CallOutcome call_with_dep_values(kit::BorrowedRef callback, const DepInputs& inputs) {
  kit::GilGuard gil;
  if (!gil.held()) return {};
  try {
    DepArguments args(inputs);
    return CallOutcome::of_call(PyObject_Vectorcall(callback.get(), args.argv(), args.nargsf(), nullptr));
  } catch (kit::PyErrAlreadySet& e) {
    return CallOutcome::raised(e.take());
  }
}

CallOutcome call_without_args(kit::BorrowedRef callback) {
  kit::GilGuard gil;
  if (!gil.held()) return {};
  return CallOutcome::of_call(PyObject_CallNoArgs(callback.get()));
}

class ValueCallbackFn final : public NodeFn {
 public:
  ValueCallbackFn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) noexcept
      : kind_(kind), slot_(std::move(slot)), callback_(std::move(callback)) {}

  void run(RunContext& ctx) override {
    kit::BorrowedRef callback = callback_.borrow();
    if (kind_ == ValueCallbackKind::Producer) return map_callback_result(ctx.node, *slot_, call_without_args(callback));
    // One call site, so that the call is built in place.
    CallOutcome outcome = call_with_dep_values(callback, ctx.inputs);
    if (kind_ == ValueCallbackKind::Derived) return map_callback_result(ctx.node, *slot_, std::move(outcome));
    discard_callback_result(ctx.node, *slot_, std::move(outcome));
  }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  ValueCallbackKind kind_;
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the dispatcher may drop the function anywhere
};

}  // namespace

SharedNodeFn make_value_callback_fn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) {
  return std::make_shared<ValueCallbackFn>(kind, std::move(callback), std::move(slot));
}

}  // namespace korvalinth::py
