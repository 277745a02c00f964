#pragma once
// The settlers: what the runtime does with the outcome of a call into a
// Python callback that it made. Each classifies a raised exception with
// settle_callback_exception (an Exception becomes an ERROR on the node; any
// other BaseException is kept as the graph's pending fatal and the running
// operation aborts).

#include "boundary/pending_fatal.hpp"
#include "kit/gil.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_handle.hpp"
#include "node/wave/down.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

// What one call into Python gave: the returned object or the raised
// exception, or neither when no call was made (the GIL could not be had).
// An outcome may go where the GIL is not held. One reference and a flag:
// an outcome is made and settled per node function run.
class CallOutcome {
 public:
  static CallOutcome returned(kit::OwnedRef result) noexcept { return CallOutcome(std::move(result), false); }
  static CallOutcome raised(kit::OwnedRef exception) noexcept {
    const bool any = static_cast<bool>(exception);
    return CallOutcome(std::move(exception), any);
  }
  // The outcome of a CPython call that returned `result` (null: it raised,
  // and the error indicator is taken). The GIL must be held.
  static CallOutcome of_call(PyObject* result) noexcept {
    if (result != nullptr) return returned(kit::OwnedRef::steal(result));
    return raised_from_indicator();
  }

  CallOutcome() noexcept = default;

  bool ok() const noexcept { return !raised_; }
  // The returned object (empty when the call raised or was not made).
  kit::OwnedRef take_result() noexcept { return raised_ ? kit::OwnedRef() : object_.take(); }
  // The raised exception (empty when the call returned or was not made).
  kit::OwnedRef take_exception() noexcept { return raised_ ? object_.take() : kit::OwnedRef(); }

 private:
  CallOutcome(kit::OwnedRef object, bool raised) noexcept : object_(std::move(object)), raised_(raised) {}
  static CallOutcome raised_from_indicator() noexcept;

  kit::AnywhereRef object_;  // the result, or the exception when raised_
  bool raised_ = false;
};

// An outcome that raised: the ERROR of its Exception down from the node
// (any other BaseException aborts). Out of line: the rare road.
void down_callback_error(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome& outcome);

// The ERROR of the exception a call just raised (taken from the error
// indicator; the GIL held), down from the node as down_callback_error sends it.
void down_raised_error(const UncountedNode& node, const PendingFatalSlot& slot);

// Drops what a call returned, the GIL held. None is immortal on every
// interpreter this module runs on: its drop would change nothing.
inline void drop_call_result(PyObject* result) noexcept {
  if (result != Py_None) Py_DECREF(result);
}

// The returned object becomes the node's next value: [DATA(object)] down
// from the node (None included). Always inlined: one per derived run, and
// a call would cost its by-value reference a second drop test.
[[gnu::always_inline]] inline void down_returned(const UncountedNode& node, kit::OwnedRef result) {
  down(node, Message::data(make_py_value(std::move(result))));
}

// A call's outcome as the node's next value (down_returned). A raised
// Exception: [ERROR] down. No call, nothing down. Inline: one per derived run.
inline void map_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome) {
  if (!outcome.ok()) return down_callback_error(node, slot, outcome);
  if (kit::OwnedRef result = outcome.take_result()) down_returned(node, std::move(result));
}

// The returned object is released. A raised Exception: [ERROR] down.
inline void discard_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome) {
  if (!outcome.ok()) return down_callback_error(node, slot, outcome);
  CallOutcome released = std::move(outcome);
}

// map_callback_result and discard_callback_result for a call just made under
// a binding frame: `result` is what the call returned, null when it raised.
// No outcome is made: the light roads settle this way, in line.
// The down is its last step, with nothing of the caller's left to drop
// after it: a run that ends here leaves its frame to the down (through
// down_returned, the by-value reference's drop would follow the down and
// keep the frame). The slot is read only when the call raised.
[[gnu::always_inline]] inline void map_call_result(const UncountedNode& node, const SharedFatalSlot& slot,
                                                   PyObject* result) {
  if (result == nullptr) [[unlikely]] return down_raised_error(node, *slot);
  const Value* value = make_py_value(kit::OwnedRef::steal(result)).release();
  down_released(node, value);
}
[[gnu::always_inline]] inline void discard_call_result(const UncountedNode& node, const SharedFatalSlot& slot,
                                                       PyObject* result) {
  if (result == nullptr) [[unlikely]] return down_raised_error(node, *slot);
  drop_call_result(result);
}

// Calls `callable` with no arguments and discards its result; a raised
// Exception goes down from the node as [ERROR] in a wave scope of its own
// when no wave is running (hooks run outside node functions).
void call_python_noargs(kit::BorrowedRef callable, const PendingFatalSlot& slot, const UncountedNode& node);

}  // namespace korvalinth::py
