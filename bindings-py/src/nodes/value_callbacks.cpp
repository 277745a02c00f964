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
  try {
    DepArguments args(inputs);
    return CallOutcome::of_call(PyObject_Vectorcall(callback.get(), args.argv(), args.nargsf(), nullptr));
  } catch (kit::PyErrAlreadySet& e) {
    return CallOutcome::raised(e.take());
  }
}

CallOutcome call_without_args(kit::BorrowedRef callback) {
  kit::GilGuard gil;
  return CallOutcome::of_call(PyObject_CallNoArgs(callback.get()));
}

class ValueCallbackFn final : public NodeFn {
 public:
  ValueCallbackFn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) noexcept
      : kind_(kind), callback_(callback.release()), slot_(std::move(slot)) {}
  // The dispatcher may drop the function anywhere.
  ~ValueCallbackFn() override { kit::release_ref(callback_); }

  void run(RunContext& ctx) override {
    kit::BorrowedRef callback(callback_);
    switch (kind_) {
      case ValueCallbackKind::Derived:
        map_callback_result(ctx.node, *slot_, call_with_dep_values(callback, ctx.inputs));
        return;
      case ValueCallbackKind::Effect:
        discard_callback_result(ctx.node, *slot_, call_with_dep_values(callback, ctx.inputs));
        return;
      case ValueCallbackKind::Producer:
        map_callback_result(ctx.node, *slot_, call_without_args(callback));
        return;
    }
  }

 private:
  ValueCallbackKind kind_;
  PyObject* callback_;  // owned
  SharedFatalSlot slot_;
};

}  // namespace

SharedNodeFn make_value_callback_fn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) {
  return std::make_shared<ValueCallbackFn>(kind, std::move(callback), std::move(slot));
}

}  // namespace korvalinth::py
