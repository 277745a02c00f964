#include "nodes/value_callbacks.hpp"

#include <type_traits>

#include "boundary/callback_settlers.hpp"
#include "kit/class_call.hpp"
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

// How the light roads call a function (or any callable but an instance
// that kit::ClassCall calls).
using kit::PlainCall;

// The kind and the call are the class's, not fields: the function is kept
// per built node.
template <ValueCallbackKind kind, class Call>
class ValueCallbackFn final : public NodeFn {
 public:
  ValueCallbackFn(kit::OwnedRef callback, SharedFatalSlot slot, Call call) noexcept
      : slot_(std::move(slot)), callback_(std::move(callback)), call_(call) {}

  // A chain's link, under a binding frame (the GIL held, nothing to take or
  // give back): the one dep's object is the argument and the result is
  // settled straight, as the general road settles it. Any other run goes
  // out of line so that this one stays light. Flattened so that the sent
  // DATA's drop is in line: out of line it is a call for a test or two.
  [[gnu::flatten]] void run(RunContext& ctx) override {
    const PyObjectValue* held = light_roads_open() && ctx.inputs.size() == 1
                                    ? py_object_value_seen_at_once(ctx.inputs[0].current)
                                    : nullptr;
    if (held == nullptr) return run_off_chain(ctx);
    settle(ctx, call_with(held));
  }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  // The light roads call Python straight: only under a binding frame (the
  // GIL held), and never for a producer.
  [[gnu::always_inline]] static bool light_roads_open() noexcept {
    return kind != ValueCallbackKind::Producer && kit::gil_count() != 0;
  }

  // A diamond's join, two deps holding Python objects under a binding frame:
  // their objects are lent and the result settled as a chain's link does.
  // Any other run takes the general road. Flattened as run is.
  [[gnu::noinline, gnu::flatten]] void run_off_chain(RunContext& ctx) {
    const bool pair = light_roads_open() && ctx.inputs.size() == 2;
    const PyObjectValue* first = pair ? py_object_value_seen_at_once(ctx.inputs[0].current) : nullptr;
    const PyObjectValue* second = first ? py_object_value_seen_at_once(ctx.inputs[1].current) : nullptr;
    if (second == nullptr) return run_on_general_road(ctx);
    PyObject* args[4] = {nullptr, callback_.get(), first->object().get(), second->object().get()};
    settle(ctx, call_.call(callback_.get(), args, 2));
  }

  // A chain link's call. Its arguments go with it: the settle that follows,
  // which a chain's next runs nest in, need not keep their room. The slots
  // before the argument are the callee's to write; only a method call
  // reads the callable's.
  [[gnu::always_inline]] PyObject* call_with(const PyObjectValue* held) {
    PyObject* args[3];
    if constexpr (!std::is_same_v<Call, PlainCall>) args[1] = callback_.get();
    args[2] = held->object().get();
    return call_.call(callback_.get(), args, 1);
  }

  // What a light road's call returned (null: it raised), settled by kind.
  [[gnu::always_inline]] void settle(RunContext& ctx, PyObject* result) {
    if constexpr (kind == ValueCallbackKind::Derived) {
      map_call_result(ctx.node, slot_, result);
    } else {
      discard_call_result(ctx.node, slot_, result);
    }
  }

  [[gnu::noinline, gnu::flatten]] void run_on_general_road(RunContext& ctx) {
    run_value_callback(kind, callback_.borrow(), *slot_, ctx);
  }

  SharedFatalSlot slot_;
  kit::AnywhereRef callback_;  // the dispatcher may drop the function anywhere
  [[no_unique_address]] Call call_;
};

// With its count record's table and counts the usual function takes one
// block; a class-call road's goes to the heap.
static_assert(sizeof(ValueCallbackFn<ValueCallbackKind::Derived, PlainCall>) + 2 * sizeof(void*) <=
              NodeFnBlocks::kBytes);

// A derived or effect callback that is an instance of a class defining
// __call__ is called by its light roads through that method.
template <ValueCallbackKind kind>
SharedNodeFn make_dep_values_fn(kit::OwnedRef callback, SharedFatalSlot slot) {
  if (kit::ClassCall road = kit::ClassCall::of(callback.borrow())) {
    return make_node_fn<ValueCallbackFn<kind, kit::ClassCall>>(std::move(callback), std::move(slot), road);
  }
  return make_node_fn<ValueCallbackFn<kind, PlainCall>>(std::move(callback), std::move(slot), PlainCall{});
}

}  // namespace

SharedNodeFn make_value_callback_fn(ValueCallbackKind kind, kit::OwnedRef callback, SharedFatalSlot slot) {
  switch (kind) {
    case ValueCallbackKind::Derived:
      return make_dep_values_fn<ValueCallbackKind::Derived>(std::move(callback), std::move(slot));
    case ValueCallbackKind::Effect:
      return make_dep_values_fn<ValueCallbackKind::Effect>(std::move(callback), std::move(slot));
    case ValueCallbackKind::Producer:
      break;
  }
  return make_node_fn<ValueCallbackFn<ValueCallbackKind::Producer, PlainCall>>(std::move(callback), std::move(slot),
                                                                              PlainCall{});
}

}  // namespace korvalinth::py
