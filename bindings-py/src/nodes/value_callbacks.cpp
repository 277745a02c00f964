#include "nodes/value_callbacks.hpp"

#include "boundary/callback_settlers.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

// The callback called with the deps' values; a dep without a value stops
// the run before the call, as a RuntimeError outcome.
CallOutcome call_with_dep_values(kit::BorrowedRef callback, const DepInputs& inputs) {
  kit::GilGuard gil;
  if (!gil.held()) return {};
  // One dep holding a Python value (a chain's link): its object is the
  // argument, with no argument list to build.
  if (const PyObjectValue* held = inputs.size() == 1 ? py_object_value_cast(inputs[0].current) : nullptr) {
    PyObject* args[2] = {nullptr, held->object().get()};
    return CallOutcome::of_call(PyObject_Vectorcall(callback.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
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

// One body for the three kinds, each kind's run taking it in whole (flatten):
// the call is then built in place, as partly inlined copies would not.
inline void run_value_callback(ValueCallbackKind kind, kit::BorrowedRef callback, const PendingFatalSlot& slot,
                               RunContext& ctx) {
  if (kind == ValueCallbackKind::Producer) return map_callback_result(ctx.node, slot, call_without_args(callback));
  CallOutcome outcome = call_with_dep_values(callback, ctx.inputs);
  if (kind == ValueCallbackKind::Derived) return map_callback_result(ctx.node, slot, std::move(outcome));
  discard_callback_result(ctx.node, slot, std::move(outcome));
}

// The kind is the class's, not a field: the function is kept per built node.
template <ValueCallbackKind kind>
class ValueCallbackFn final : public NodeFn {
 public:
  ValueCallbackFn(kit::OwnedRef callback, SharedFatalSlot slot) noexcept
      : slot_(std::move(slot)), callback_(std::move(callback)) {}

  [[gnu::flatten]] void run(RunContext& ctx) override { run_value_callback(kind, callback_.borrow(), *slot_, ctx); }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the dispatcher may drop the function anywhere
};

}  // namespace

SharedNodeFn make_value_callback_fn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) {
  switch (kind) {
    case ValueCallbackKind::Derived:
      return std::make_shared<ValueCallbackFn<ValueCallbackKind::Derived>>(std::move(callback), std::move(slot));
    case ValueCallbackKind::Effect:
      return std::make_shared<ValueCallbackFn<ValueCallbackKind::Effect>>(std::move(callback), std::move(slot));
    case ValueCallbackKind::Producer:
      break;
  }
  return std::make_shared<ValueCallbackFn<ValueCallbackKind::Producer>>(std::move(callback), std::move(slot));
}

}  // namespace korvalinth::py
